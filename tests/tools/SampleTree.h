#pragma once

#include <string>
#include <utility>
#include <vector>

// The files the end-to-end runs protect: names with an apostrophe, blanks,
// non-ASCII letters and a TAB; a folder with a sub-folder, an empty file and
// an empty folder.
namespace kisttest {

using Snapshot = std::vector<std::pair<std::string, std::string>>;

struct SampleTree {
    // Writes the samples into folder (created) and remembers their bytes.
    explicit SampleTree(const std::string& folder);

    // The top-level names in the order add is given them.
    static std::vector<std::string> topLevelNames();
    // The absolute paths of the top-level samples, in that order.
    std::vector<std::string> topLevelPaths() const;
    // What "kist list" shows for them: case-blind name order.
    static std::vector<std::string> listing();

    // The bytes of every sample file, by relative path.
    Snapshot files;
    std::string folder;
};

// Every regular file below folder, by relative path, in path order.
Snapshot snapshotOf(const std::string& folder);

// Files of expected whose top-level name is among names.
Snapshot onlyEntries(const Snapshot& expected, const std::vector<std::string>& names);

} // namespace kisttest
