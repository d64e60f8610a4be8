#include "tools/kist/PathArgument.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "tools/kist/ToolError.h"

std::string PathArgument::absolute(const std::string& path)
{
    if (path.empty())
        throw ToolError::usage("An empty path was given.");
    if (path.front() == '/')
        return absolute(path, "/");
    std::error_code error;
    const std::filesystem::path working = std::filesystem::current_path(error);
    if (error)
        throw ToolError::failure("Cannot read the working folder.", error.message());
    return absolute(path, working.string());
}

std::string PathArgument::absolute(const std::string& path, const std::string& workingFolder)
{
    const std::string joined = path.empty() || path.front() != '/' ? workingFolder + "/" + path : path;
    std::string cleaned;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos)
            end = joined.size();
        const std::string_view component(joined.data() + start, end - start);
        if (!component.empty() && component != ".") {
            cleaned += '/';
            cleaned += component;
        }
        start = end + 1;
    }
    return cleaned.empty() ? "/" : cleaned;
}

bool PathArgument::isPresent(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

void PathArgument::createFolder(const std::string& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw ToolError::failure("Failed to create " + folder, error.message());
    if (!std::filesystem::is_directory(folder, error))
        throw ToolError::failure("Failed to create " + folder, std::strerror(ENOTDIR));
}
