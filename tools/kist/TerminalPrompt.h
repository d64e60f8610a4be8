#pragma once

#include <optional>
#include <string>

// Asks for a secret on the controlling terminal (/dev/tty) with echo off,
// so that neither the command line nor a pipe ever carries it.
class TerminalPrompt {
public:
    // The line typed after question, without its line end; nullopt when
    // standard input is no terminal or /dev/tty cannot be opened. Throws
    // ToolError when the terminal is closed before anything is entered.
    [[nodiscard]] static std::optional<std::string> ask(const std::string& question);
};
