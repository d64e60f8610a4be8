#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ToolRun.h"

// Helpers of the package tests: a package's own database read and edited
// with the sqlcipher command-line tool, and snapshots that tell whether
// anything appeared outside a given place.
namespace packagetest {

using testsupport::runPython;
using testsupport::runTool;
using testsupport::ToolRun;

// Runs a tool and throws std::runtime_error (with its output) unless it exits with 0.
std::string runOrThrow(const std::vector<std::string>& argv, const std::string& folder = "",
                       const std::string& input = "");

// The lines of a tool's output that are not empty.
std::vector<std::string> nonEmptyLines(const std::string& text);

// Lower-case hex SHA-1 of the bytes, from the system's sha1sum.
std::string sha1Hex(const std::string& bytes);

// A package holds its database under the vault database's name.
using enginetest::kDatabaseName;
using enginetest::sqlcipher;

// Unpacks a zip file into folder with Python's zipfile.
void unpackZip(const std::string& zipPath, const std::string& folder);

// Writes every file and folder below folder into a new zip file with Python's
// zipfile (deflated, "/" separated names; the database entry last, as the
// engine writes it).
void packZip(const std::string& folder, const std::string& zipPath);

// Unpacks package, runs statements on its database and packs it again at
// result.
void editPackage(const std::string& package, const std::string& statements, const std::string& result);

// One entry of a zip file built by makeZip.
struct ZipEntrySpec {
    std::string name;
    std::string data;
    enum Kind { File, Folder, Link } kind = File; // a Link's data is its target
};

// Writes exactly these entries, names unchanged, with Python's zipfile.
void makeZip(const std::string& zipPath, const std::vector<ZipEntrySpec>& entries);

// Names directly inside $TMPDIR, sorted.
std::vector<std::string> temporaryEntries();

// Every path (files, folders, links) below root, relative and sorted, except
// those below any of the skipped absolute paths.
std::vector<std::string> pathsBelow(const std::string& root, const std::vector<std::string>& skipped = {});

// Paths of regular files of up to 64 MiB below root whose bytes contain marker.
std::vector<std::string> filesHolding(const std::string& root, const std::string& marker);

// The message of the ExceptionModule that action throws, or "" when it throws none.
template <typename Action>
std::string messageOf(Action&& action)
{
    try {
        action();
    } catch (const ExceptionModule& e) {
        return e.getMessage();
    }
    return {};
}

inline std::string invalidFileMessage(const std::string& path)
{
    return "Invalid KORVELIN file: " + path + ".";
}

inline constexpr char kPasswordMessage[] = "Cannot use this feature until you enter your password.";
inline constexpr char kUnsupportedZip[] =
    "Zip files not created by Windows Explorer or Zip files with password are not supported in this version.";

// A vault entry's content as files: relative path -> bytes.
using Snapshot = std::vector<std::pair<std::string, std::string>>;

// A snapshot as short sorted lines "path: size bytes, sha1", so that a
// failing comparison prints names and digests instead of contents.
std::vector<std::string> summary(const Snapshot& files);

// Takes the named entry out of reader into a new scratch folder and returns
// the files that came out.
Snapshot takeOut(Kist& kist, const std::string& name);

} // namespace packagetest
