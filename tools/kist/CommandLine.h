#pragma once

#include <optional>
#include <string>
#include <vector>

// What the command line asks for, checked against the form of its command.
struct Invocation {
    enum class Command {
        Help,
        Version,
        List,
        Add,
        TakeOut,
        Export,
        PackageList,
        PackageExtract,
        PackageImport,
        Passwd,
        Email,
        Backup,
        Restore,
        UpdateCheck,
        Check,
        Harden,
        Info,
    };

    Command command = Command::Help;
    std::vector<std::string> operands;
    std::optional<std::string> to;  // --to DIR
    std::optional<std::string> out; // --out FILE
    bool force = false;             // --force
    bool dropbox = false;           // --dropbox
    bool addMissingTags = false;    // --add-missing-tags
    bool recoveryKey = false;       // --recovery-key
    bool hardened = false;          // --hardened
};

// Reads kist's arguments (without the program name). Options may stand
// before, between or after the operands, as "--to DIR" or "--to=DIR"; "--"
// ends the options, so names that begin with "-" can be given.
class CommandLine {
public:
    // Throws ToolError (usage) for a command line that does not fit.
    [[nodiscard]] static Invocation parse(const std::vector<std::string>& arguments);
};
