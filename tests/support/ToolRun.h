#pragma once

#include <string>
#include <vector>

// Running third-party tools (zip, unzip, 7z, python3, sqlcipher, sha1sum)
// from the tests without a shell, so names with blanks and apostrophes need
// no quoting.
namespace testsupport {

struct ToolRun {
    int exitCode = -1; // -1 when the tool did not exit normally
    std::string output; // standard output and standard error together
};

// Runs argv[0] from PATH in folder (empty: the current one) with a UTF-8
// locale; input is its standard input.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& folder = "", const std::string& input = "");

// Runs a Python 3 script; its arguments arrive in sys.argv[1:].
ToolRun runPython(const std::string& script, const std::vector<std::string>& arguments);

} // namespace testsupport
