#include "tests/archive/ArchiveTestTools.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include <unistd.h>

#include "engine/archive/ZipArchive.h"

namespace archivetest {

int writeArchive(const std::string& zipPath, const std::vector<EntrySource>& entries)
{
    ZipHandle zip = createZip(wide(zipPath));
    if (zip == nullptr)
        return lastWriterResult();
    int first = ZR_OK;
    for (const EntrySource& entry : entries) {
        const int result = zipAdd(zip, wide(entry.entryName), wide(entry.sourcePath));
        if (first == ZR_OK)
            first = result;
    }
    const int closed = closeZip(zip);
    return first != ZR_OK ? first : closed;
}

int extractAll(const std::string& zipPath, const std::string* password, const std::string& base)
{
    ZipHandle zip = openZip(wide(zipPath), password);
    if (zip == nullptr)
        return -1;
    ZipItem count;
    int result = setUnzipBaseFolder(zip, wide(base));
    if (result == ZR_OK)
        result = getZipItem(zip, -1, count);
    for (int i = 0; result == ZR_OK && i < count.index; ++i) {
        ZipItem item;
        result = getZipItem(zip, i, item);
        if (result == ZR_OK)
            result = unzipItem(zip, i, item.name);
    }
    const int closed = closeZip(zip);
    return result != ZR_OK ? result : closed;
}

std::vector<std::string> listTree(const std::string& root)
{
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        paths.push_back(fs::relative(it->path(), root).string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string treeDifference(const std::vector<std::pair<std::string, std::string>>& actual,
                           const std::vector<std::pair<std::string, std::string>>& expected)
{
    const std::map<std::string, std::string> have(actual.begin(), actual.end());
    const std::map<std::string, std::string> want(expected.begin(), expected.end());
    std::string report;
    for (const auto& [name, bytes] : want) {
        const auto found = have.find(name);
        if (found == have.end())
            report += "missing: " + name + "\n";
        else if (found->second != bytes)
            report += "different bytes: " + name + "\n";
    }
    for (const auto& [name, bytes] : have) {
        if (want.count(name) == 0)
            report += "unexpected: " + name + "\n";
    }
    return report;
}

} // namespace archivetest
