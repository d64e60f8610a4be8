#include "tests/support/TestFiles.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

void writeFile(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool exists(const std::string& path)
{
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

std::string patternBytes(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::string sha1OfFile(const std::string& path)
{
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    FILE* pipe = popen(("sha1sum " + quoted).c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run sha1sum");
    std::array<char, 128> line{};
    std::string result;
    if (fgets(line.data(), line.size(), pipe))
        result = std::string(line.data()).substr(0, 40);
    pclose(pipe);
    return result;
}

std::vector<std::pair<std::string, std::string>> snapshotTree(const std::string& root)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files.emplace_back(fs::relative(entry.path(), root).string(), readFile(entry.path()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

} // namespace testsupport
