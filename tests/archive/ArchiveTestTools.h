#pragma once

#include <string>
#include <vector>

#include "engine/Strings.h"

// Helpers shared by the zip tests: running the third-party zip tools without
// a shell (so names with blanks and apostrophes need no quoting).
namespace archivetest {

struct ToolRun {
    int exitCode = -1;
    std::string output; // stdout and stderr together
};

// Runs argv[0] from PATH in folder (empty: the current one), with a UTF-8 locale.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& folder = "");

// Runs a Python 3 script; its arguments arrive in sys.argv[1:].
ToolRun runPython(const std::string& script, const std::vector<std::string>& arguments);

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
