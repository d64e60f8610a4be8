#pragma once

#include <string>

// Paths from the command line, made absolute so that what kist prints and
// what the engine stores does not depend on the working folder.
class PathArgument {
public:
    // path made absolute against the working folder; throws ToolError for an
    // empty path or when the working folder cannot be read.
    [[nodiscard]] static std::string absolute(const std::string& path);

    // path made absolute against workingFolder (itself absolute), with empty
    // and "." components and trailing slashes dropped. ".." stays: only the
    // file system knows where it leads when a symbolic link is on the way.
    [[nodiscard]] static std::string absolute(const std::string& path, const std::string& workingFolder);

    // True when anything is at path, a dangling symbolic link included.
    [[nodiscard]] static bool isPresent(const std::string& path);

    // Creates folder and its missing parents; throws ToolError when it cannot.
    static void createFolder(const std::string& folder);
};
