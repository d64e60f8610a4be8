#include "tests/fuzz/ExtractionScratch.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kChain[] = {"up1", "up2", "up3", "up4", "base"};
constexpr char kPlantedName[] = "planted";
constexpr char kTemporaryPrefix[] = ".kist-unzip-";

std::string temporaryParent()
{
    for (const char* variable : {"KIST_FUZZ_TMP", "TMPDIR"}) {
        if (const char* value = std::getenv(variable); value != nullptr && *value != '\0')
            return value;
    }
    return "/tmp";
}

// The only names a folder on the way from the root to the base may hold.
bool isExpectedBesideBase(const fs::path& folder, const std::string& name, const std::string& root)
{
    fs::path expected = root;
    for (const char* step : kChain) {
        if (folder == expected)
            return name == step || (expected == fs::path(root) && name == "bait");
        expected /= step;
    }
    return false;
}

// A relative name as extraction lays it out: no empty or "." components.
std::string laidOut(const std::string& name)
{
    std::string path;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string component = name.substr(start, end - start);
        if (!component.empty() && component != ".")
            path += (path.empty() ? "" : "/") + component;
        start = end + 1;
    }
    return path;
}

} // namespace

void ExtractionScratch::create()
{
    std::string pattern = temporaryParent() + "/kist-zip-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create the scratch folder " + pattern);
    root = pattern;
    fs::path folder = root;
    for (const char* step : kChain)
        folder /= step;
    base = folder.string();
    bait = root + "/bait";
    fs::create_directories(base);
    fs::create_directory(bait);
    plant();
}

void ExtractionScratch::remove()
{
    if (root.empty())
        return;
    std::error_code ignored;
    fs::remove_all(root, ignored);
    root.clear();
}

void ExtractionScratch::plant() const
{
    fs::create_directory_symlink(bait, base + "/" + kPlantedName);
}

std::string ExtractionScratch::checkAndReset(const std::set<std::string>& entryNames)
{
    std::set<std::string> entryPaths;
    for (const std::string& name : entryNames)
        entryPaths.insert(laidOut(name));
    std::string problems;
    const fs::path planted = fs::path(base) / kPlantedName;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& path = it->path();
        const std::string where = path.string();
        const bool insideBase = where.rfind(base + "/", 0) == 0;
        const fs::file_type type = it->symlink_status().type();
        if (path == planted) {
            if (type != fs::file_type::symlink || fs::read_symlink(path) != fs::path(bait))
                problems += "the planted link was replaced: " + where + "\n";
            continue;
        }
        if (type == fs::file_type::symlink)
            problems += "a link: " + where + "\n";
        else if (type != fs::file_type::regular && type != fs::file_type::directory)
            problems += "neither file nor folder: " + where + "\n";
        else if (!insideBase && !isExpectedBesideBase(path.parent_path(), path.filename().string(), root))
            problems += "outside the base folder: " + where + "\n";
        else if (type == fs::file_type::regular && path.filename().string().rfind(kTemporaryPrefix, 0) == 0
                 && !entryPaths.count(where.substr(base.size() + 1)))
            problems += "a temporary file left behind: " + where + "\n";
    }

    for (const auto& entry : fs::directory_iterator(base)) {
        std::error_code failed;
        fs::remove_all(entry.path(), failed);
        if (failed)
            problems += "cannot remove " + entry.path().string() + ": " + failed.message() + "\n";
    }
    if (!fs::is_empty(bait)) {
        for (const auto& entry : fs::directory_iterator(bait))
            fs::remove_all(entry.path());
    }
    plant();
    return problems;
}
