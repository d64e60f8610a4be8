#include "tools/kist/CommandLine.h"

#include <array>
#include <string_view>

#include "tools/kist/ToolError.h"

namespace {

using Command = Invocation::Command;

enum Option : unsigned {
    NoOptions = 0,
    ToOption = 1u << 0,
    OutOption = 1u << 1,
    ForceOption = 1u << 2,
    DropboxOption = 1u << 3,
    AddMissingTagsOption = 1u << 4,
    RecoveryKeyOption = 1u << 5,
    HardenedOption = 1u << 6,
};

// The form of one command: its words, the options it takes and how many
// operands it needs (maxOperands 0 with variadic false: none).
struct CommandForm {
    std::string_view firstWord;
    std::string_view secondWord; // empty: the command is one word
    Command command;
    unsigned options;
    std::size_t minOperands;
    bool variadic;
    std::size_t maxOperands;
    std::string_view operandHint;
};

constexpr std::array kForms = {
    CommandForm{"list", "", Command::List, NoOptions, 0, false, 0, ""},
    CommandForm{"add", "", Command::Add, NoOptions, 1, true, 0, "PATH..."},
    CommandForm{"take-out", "", Command::TakeOut, ToOption, 1, true, 0, "NAME..."},
    CommandForm{"export", "", Command::Export, OutOption | ForceOption | HardenedOption, 1, true, 0, "NAME..."},
    CommandForm{"package", "list", Command::PackageList, NoOptions, 1, false, 1, "FILE"},
    CommandForm{"package", "extract", Command::PackageExtract, ToOption, 1, false, 1, "FILE"},
    CommandForm{"package", "import", Command::PackageImport, NoOptions, 1, true, 0, "FILE [NAME...]"},
    CommandForm{"passwd", "", Command::Passwd, RecoveryKeyOption, 0, false, 0, ""},
    CommandForm{"email", "", Command::Email, NoOptions, 1, false, 1, "ADDRESS"},
    CommandForm{"backup", "", Command::Backup, ToOption | DropboxOption | ForceOption, 0, false, 0, ""},
    CommandForm{"restore", "", Command::Restore, NoOptions, 1, false, 1, "FILE"},
    CommandForm{"update-check", "", Command::UpdateCheck, NoOptions, 0, false, 0, ""},
    CommandForm{"check", "", Command::Check, AddMissingTagsOption, 0, false, 0, ""},
    CommandForm{"harden", "", Command::Harden, NoOptions, 0, false, 0, ""},
    CommandForm{"info", "", Command::Info, NoOptions, 0, false, 0, ""},
};

std::string commandName(const CommandForm& form)
{
    std::string name(form.firstWord);
    if (!form.secondWord.empty())
        name += " " + std::string(form.secondWord);
    return name;
}

const CommandForm& findForm(const std::vector<std::string>& arguments, std::size_t& consumed)
{
    const std::string& first = arguments.front();
    if (first == "package") {
        if (arguments.size() < 2)
            throw ToolError::usage("'package' needs one of: list, extract, import.");
        for (const CommandForm& form : kForms)
            if (form.firstWord == "package" && form.secondWord == arguments[1]) {
                consumed = 2;
                return form;
            }
        throw ToolError::usage("Unknown command: 'package " + arguments[1] + "'.");
    }
    for (const CommandForm& form : kForms)
        if (form.secondWord.empty() && form.firstWord == first) {
            consumed = 1;
            return form;
        }
    throw ToolError::usage("Unknown command: '" + first + "'.");
}

void setValue(std::optional<std::string>& slot, const std::string& option, const std::string& value)
{
    if (slot)
        throw ToolError::usage(option + " is given twice.");
    slot = value;
}

void setFlag(bool& flag, const std::string& option)
{
    if (flag)
        throw ToolError::usage(option + " is given twice.");
    flag = true;
}

void checkForm(const CommandForm& form, const Invocation& invocation)
{
    const std::string name = commandName(form);
    const std::size_t count = invocation.operands.size();
    if (count < form.minOperands)
        throw ToolError::usage("'" + name + "' needs " + std::string(form.operandHint) + ".");
    if (!form.variadic && count > form.maxOperands)
        throw ToolError::usage("'" + name + "' takes "
                               + (form.maxOperands == 0 ? std::string("no arguments")
                                                        : std::string(form.operandHint))
                               + ".");
    switch (form.command) {
    case Command::Export:
        if (!invocation.out)
            throw ToolError::usage("'export' needs --out FILE.");
        break;
    case Command::PackageExtract:
        if (!invocation.to)
            throw ToolError::usage("'package extract' needs --to DIR.");
        break;
    case Command::Backup:
        if (invocation.to.has_value() == invocation.dropbox)
            throw ToolError::usage("'backup' needs either --to DIR or --dropbox.");
        break;
    default:
        break;
    }
}

} // namespace

Invocation CommandLine::parse(const std::vector<std::string>& arguments)
{
    Invocation invocation;
    if (arguments.empty())
        throw ToolError::usage("No command given.");
    // --help and --version win wherever they stand before "--".
    for (const std::string& argument : arguments) {
        if (argument == "--")
            break;
        if (argument == "--help" || argument == "-h") {
            invocation.command = Command::Help;
            return invocation;
        }
    }
    if (arguments.front() == "--version") {
        if (arguments.size() > 1)
            throw ToolError::usage("--version takes no arguments.");
        invocation.command = Command::Version;
        return invocation;
    }
    if (arguments.front() == "help") {
        invocation.command = Command::Help;
        return invocation;
    }

    std::size_t index = 0;
    const CommandForm& form = findForm(arguments, index);
    invocation.command = form.command;
    bool optionsEnded = false;
    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            invocation.operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string option = argument.substr(0, equals);
        const bool inlineValue = equals != std::string::npos;
        const auto takeValue = [&]() -> std::string {
            if (inlineValue)
                return argument.substr(equals + 1);
            if (index + 1 >= arguments.size())
                throw ToolError::usage(option + " needs a value.");
            return arguments[++index];
        };
        const auto refuseValue = [&]() {
            if (inlineValue)
                throw ToolError::usage(option + " takes no value.");
        };
        if (option == "--to" && (form.options & ToOption))
            setValue(invocation.to, option, takeValue());
        else if (option == "--out" && (form.options & OutOption))
            setValue(invocation.out, option, takeValue());
        else if (option == "--force" && (form.options & ForceOption)) {
            refuseValue();
            setFlag(invocation.force, option);
        } else if (option == "--dropbox" && (form.options & DropboxOption)) {
            refuseValue();
            setFlag(invocation.dropbox, option);
        } else if (option == "--add-missing-tags" && (form.options & AddMissingTagsOption)) {
            refuseValue();
            setFlag(invocation.addMissingTags, option);
        } else if (option == "--hardened" && (form.options & HardenedOption)) {
            refuseValue();
            setFlag(invocation.hardened, option);
        } else if (option == "--recovery-key" && (form.options & RecoveryKeyOption)) {
            refuseValue();
            setFlag(invocation.recoveryKey, option);
        } else
            throw ToolError::usage("'" + commandName(form) + "' does not know the option " + option + ".");
    }
    checkForm(form, invocation);
    return invocation;
}
