#include "engine/PackageRows.h"

#include <map>

#include "engine/crypto/CryptoContext.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/VaultSchema.h"

namespace {

constexpr uint64_t kUnpackingMargin = 1024 * 1024;
constexpr uint64_t kLargestFileSize = 0xFFFFFFFFu;

// A name that a record may carry: one component, and no backslash, which a
// stored path would read back as a separator (adding refuses it the same way).
bool isUsableName(const std::string& name)
{
    return name.find('\\') == std::string::npos && isSafeComponent(toWide(name));
}

// Top-level entries are told apart by name without regard to letter case,
// as the vault's own list does; the files inside a folder by their exact name.
std::string siblingKey(const PackageRow& row, const std::string& name)
{
    if (!row.parent.empty())
        return name;
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

} // namespace

PackageRows::PackageRows(std::vector<PackageRow> packageRows)
    : rows(std::move(packageRows))
{
    check();
    if (!isValid()) {
        filePaths.clear();
        folderPaths.clear();
        bodyBytes = 0;
    }
}

uint64_t PackageRows::unpackingBudget() const
{
    return bodyBytes + bodyBytes / 64 + kUnpackingMargin;
}

void PackageRows::check()
{
    std::set<std::string> identities;
    for (const PackageRow& row : rows) {
        if (!checkRow(row))
            return;
        if (!identities.insert(row.uniqueName).second) {
            fault = "two rows share the identity " + row.uniqueName;
            return;
        }
    }
    if (hasParentLoop())
        fault = "the parents of some rows form a loop";
    else if (hasDuplicateSiblings())
        fault = "two rows of one folder share a name";
}

bool PackageRows::checkRow(const PackageRow& row)
{
    const std::string path = vaultschema::storedPath(row.currentPath);
    if (row.uniqueName.empty() || row.uniqueName == row.parent) {
        fault = "a row without an identity of its own";
    } else if (!isUsableName(row.displayName) || !isUsableName(row.rawFileName)) {
        fault = "a row with an unusable name: " + row.displayName;
    } else if (!isSafeRelativePath(toWide(path)) || path == vaultschema::databaseFileName) {
        fault = "a row whose body lies outside the package: " + row.currentPath;
    } else if (row.pendingTransform != 0 || !row.currentRoot.empty() || !row.targetRoot.empty()
               || !row.targetPath.empty()) {
        fault = "a row with a change under way: " + row.displayName;
    } else if (row.size < 0 || (!row.isDirectory && static_cast<uint64_t>(row.size) > kLargestFileSize)) {
        fault = "a row with an impossible size: " + row.displayName;
    } else if (filePaths.count(path) || !(row.isDirectory ? folderPaths : filePaths).insert(path).second
               || (!row.isDirectory && folderPaths.count(path))) {
        fault = "two rows share the body path " + path;
    } else {
        if (!row.isDirectory) {
            const auto size = static_cast<uint64_t>(row.size);
            bodyBytes += row.isEncrypted ? encryptedBodyLength(size) : size;
        }
        return true;
    }
    return false;
}

bool PackageRows::hasParentLoop() const
{
    std::map<std::string, const PackageRow*> byIdentity;
    for (const PackageRow& row : rows)
        byIdentity[row.uniqueName] = &row;
    // Walks up from every row; a chain longer than the number of rows has
    // come back to a row it passed. Rows already known to end well stop the
    // walk early, so the whole check stays linear in practice.
    std::set<std::string> endsWell;
    for (const PackageRow& row : rows) {
        std::vector<const std::string*> chain;
        const PackageRow* at = &row;
        while (at != nullptr && !endsWell.count(at->uniqueName)) {
            if (chain.size() > rows.size())
                return true;
            chain.push_back(&at->uniqueName);
            const auto parent = byIdentity.find(at->parent);
            at = parent == byIdentity.end() ? nullptr : parent->second;
        }
        for (const std::string* identity : chain)
            endsWell.insert(*identity);
    }
    return false;
}

bool PackageRows::hasDuplicateSiblings() const
{
    std::set<std::pair<std::string, std::string>> displayNames;
    std::set<std::pair<std::string, std::string>> rawNames;
    for (const PackageRow& row : rows) {
        if (!displayNames.insert({row.parent, siblingKey(row, row.displayName)}).second)
            return true;
        // Top-level entries are taken out under their display names; an entry
        // added twice keeps its file name twice.
        if (!row.parent.empty() && !rawNames.insert({row.parent, row.rawFileName}).second)
            return true;
    }
    return false;
}
