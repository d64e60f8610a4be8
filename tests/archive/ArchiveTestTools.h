#pragma once

#include <string>
#include <vector>

#include "engine/Strings.h"
#include "tests/support/ToolRun.h"

// Helpers shared by the zip tests.
namespace archivetest {

using testsupport::runPython;
using testsupport::runTool;
using testsupport::ToolRun;

inline nocase_wstring wide(const std::string& utf8)
{
    return toWide(utf8);
}

} // namespace archivetest

namespace archivetest {

struct EntrySource {
    std::string entryName; // as given to zipAdd
    std::string sourcePath;
};

// Writes an archive with zipAdd; returns the first non-zero code, or closeZip's.
int writeArchive(const std::string& zipPath, const std::vector<EntrySource>& entries);

// Opens zipPath and extracts every entry under base by its reported name.
// Returns the first non-zero code (opening failure: -1).
int extractAll(const std::string& zipPath, const std::string* password, const std::string& base);

// Every path below root (files, folders and links), relative, sorted.
std::vector<std::string> listTree(const std::string& root);

// Empty when both snapshots (testsupport::snapshotTree) hold the same files
// with the same bytes; otherwise the names that differ, one a line.
std::string treeDifference(const std::vector<std::pair<std::string, std::string>>& actual,
                           const std::vector<std::pair<std::string, std::string>>& expected);

} // namespace archivetest
