#pragma once

#include <string>

#include "engine/Kist.h"

class PasswordSource;

// A package or zip file opened for reading.
class PackageSession {
public:
    // path must be absolute; throws ExceptionModule when it cannot be read.
    explicit PackageSession(const std::string& path);
    PackageSession(const PackageSession&) = delete;
    PackageSession& operator=(const PackageSession&) = delete;

    // True while the package still needs its password.
    [[nodiscard]] bool isLocked();
    [[nodiscard]] bool unlock(const std::string& password);
    // Unlocks with the package password from its variable or the terminal
    // when the package has one; throws ToolError when it is wrong.
    void unlock(PasswordSource& passwords);

    [[nodiscard]] Kist& kist() { return reader; }
    [[nodiscard]] const std::string& path() const { return packagePath; }

private:
    std::string packagePath;
    Kist reader;
    bool unlocked = false;
};
