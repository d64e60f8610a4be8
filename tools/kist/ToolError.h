#pragma once

#include <stdexcept>
#include <string>

#include "tools/kist/ExitStatus.h"

// A failure found by the tool itself rather than by the engine: a usage
// error, a password that is wrong or cannot be asked for, a file that must
// not be replaced, a folder that cannot be created.
class ToolError : public std::runtime_error {
public:
    enum class Kind {
        Usage,    // the command line is wrong; the help names the right form
        Password, // a password is wrong, missing or mistyped
        Failure,  // anything else
    };

    ToolError(Kind kind, const std::string& message, std::string cause = {});

    [[nodiscard]] static ToolError usage(const std::string& message);
    [[nodiscard]] static ToolError password(const std::string& message);
    [[nodiscard]] static ToolError failure(const std::string& message, std::string cause = {});

    [[nodiscard]] Kind kind() const { return errorKind; }
    [[nodiscard]] const std::string& cause() const { return errorCause; }
    [[nodiscard]] ExitStatus status() const;

private:
    Kind errorKind;
    std::string errorCause;
};
