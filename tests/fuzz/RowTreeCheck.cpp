#include "tests/fuzz/RowTreeCheck.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/ProtectedFile.h"
#include "engine/storage/VaultSchema.h"

namespace rowtreecheck {
namespace {

bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

bool isInsidePackage(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    if (path.empty() || path.front() == '/' || path == vaultschema::databaseFileName)
        return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::string folded(std::string name)
{
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

} // namespace

std::string unsoundness(const std::vector<PackageRow>& rows)
{
    std::map<std::string, const PackageRow*> byIdentity;
    for (const PackageRow& row : rows) {
        if (row.uniqueName.empty() || !byIdentity.emplace(row.uniqueName, &row).second)
            return "identity empty or shared: '" + row.uniqueName + "'";
        if (!isPlainName(row.displayName) || !isPlainName(row.rawFileName))
            return "unusable name: '" + row.displayName + "' / '" + row.rawFileName + "'";
        if (!isInsidePackage(row.currentPath))
            return "body path outside the package: '" + row.currentPath + "'";
        if (row.size < 0)
            return "negative size";
        if (row.pendingTransform != 0 || !row.currentRoot.empty() || !row.targetRoot.empty()
            || !row.targetPath.empty())
            return "a change under way: '" + row.uniqueName + "'";
    }
    for (const PackageRow& row : rows) {
        std::set<const PackageRow*> passed;
        for (const PackageRow* at = &row; at != nullptr;) {
            if (!passed.insert(at).second)
                return "parent loop through '" + at->uniqueName + "'";
            const auto parent = byIdentity.find(at->parent);
            at = parent == byIdentity.end() ? nullptr : parent->second;
        }
    }
    std::set<std::pair<std::string, std::string>> displayNames;
    std::set<std::pair<std::string, std::string>> fileNames;
    for (const PackageRow& row : rows) {
        const bool topLevel = row.parent.empty();
        if (!displayNames.emplace(row.parent, topLevel ? folded(row.displayName) : row.displayName).second)
            return "two siblings named '" + row.displayName + "'";
        if (!topLevel && !fileNames.emplace(row.parent, row.rawFileName).second)
            return "two siblings with the file name '" + row.rawFileName + "'";
    }
    return "";
}

std::string loadingDifference(const std::vector<PackageRow>& rows,
                              const std::vector<std::unique_ptr<ProtectedFile>>& loaded)
{
    std::multimap<std::string, const PackageRow*> byParent;
    for (const PackageRow& row : rows)
        byParent.emplace(row.parent, &row);

    // The rows a loader must reach: top-level rows, and the rows below every
    // folder it reaches.
    std::map<std::string, const PackageRow*> expected;
    std::vector<const PackageRow*> pending;
    for (auto [it, end] = byParent.equal_range(""); it != end; ++it)
        pending.push_back(it->second);
    while (!pending.empty()) {
        const PackageRow* row = pending.back();
        pending.pop_back();
        if (!expected.emplace(row->uniqueName, row).second)
            return "reached twice: '" + row->uniqueName + "'";
        if (!row->isDirectory)
            continue;
        for (auto [it, end] = byParent.equal_range(row->uniqueName); it != end; ++it)
            pending.push_back(it->second);
    }

    std::set<std::string> seen;
    std::string difference;
    std::vector<std::pair<const ProtectedFile*, std::string>> records;
    for (const auto& top : loaded)
        records.emplace_back(top.get(), "");
    while (!records.empty() && difference.empty()) {
        const auto [record, parent] = records.back();
        records.pop_back();
        const std::string identity = toNarrow(record->unique_name);
        const auto row = expected.find(identity);
        if (row == expected.end())
            difference = "loaded a row it should not reach: '" + identity + "'";
        else if (!seen.insert(identity).second)
            difference = "loaded twice: '" + identity + "'";
        else if (row->second->parent != parent || record->display_name != toWide(row->second->displayName)
                 || record->raw_file_name != toWide(row->second->rawFileName))
            difference = "loaded with other names or parent: '" + identity + "'";
        for (const auto& child : record->children)
            records.emplace_back(child.get(), identity);
    }
    if (difference.empty() && seen.size() != expected.size())
        difference = "loaded " + std::to_string(seen.size()) + " of " + std::to_string(expected.size()) + " rows";
    return difference;
}

} // namespace rowtreecheck
