#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// One ProtectedFiles row of a package as it was read, before anything trusts it.
struct PackageRow {
    std::string uniqueName;
    std::string parent;
    std::string displayName;
    std::string rawFileName;
    std::string currentPath;
    std::string currentRoot;
    std::string targetPath;
    std::string targetRoot;
    bool isDirectory = false;
    bool isEncrypted = false;
    int64_t size = 0;
    int64_t pendingTransform = 0;
};

// The rows of a package, judged as a whole before any of them is loaded or
// any body unpacked: a package is hostile until its rows form a sound tree.
// Pure: no database, no files.
class PackageRows {
public:
    explicit PackageRows(std::vector<PackageRow> packageRows);

    // Sound rows: every identity unique and non-empty, every name a single
    // component without a backslash, every body path relative and inside
    // the package and used once, nothing pending, no parent chain that comes
    // back to itself, and no two siblings of one name.
    [[nodiscard]] bool isValid() const { return fault.empty(); }
    // What is wrong with them, for tests and reports; empty when valid.
    [[nodiscard]] const std::string& whatIsWrong() const { return fault; }

    // True when a row's body (a file) or folder lies at this zip entry name.
    [[nodiscard]] bool namesFile(const std::string& entryName) const { return filePaths.count(entryName) != 0; }
    [[nodiscard]] bool namesFolder(const std::string& entryName) const { return folderPaths.count(entryName) != 0; }

    // The bytes the rows' bodies take on disk, as their sizes declare them.
    [[nodiscard]] uint64_t declaredBodyBytes() const { return bodyBytes; }
    // What unpacking may write in all: the declared bytes and a margin.
    [[nodiscard]] uint64_t unpackingBudget() const;

private:
    void check();
    [[nodiscard]] bool checkRow(const PackageRow& row);
    [[nodiscard]] bool hasParentLoop() const;
    [[nodiscard]] bool hasDuplicateSiblings() const;

    std::vector<PackageRow> rows;
    std::string fault;
    std::set<std::string> filePaths;
    std::set<std::string> folderPaths;
    uint64_t bodyBytes = 0;
};
