// The pure pieces of kist: output escaping, command-line forms, path
// arguments, where passwords come from, how failures are reported.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <sstream>

#include "engine/Kist.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"
#include "tools/kist/CommandLine.h"
#include "tools/kist/EntryFormatter.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/PasswordSource.h"
#include "tools/kist/PathArgument.h"
#include "tools/kist/TerminalProgress.h"
#include "tools/kist/ToolError.h"

namespace {

using Command = Invocation::Command;

// Sets or unsets one environment variable for the length of a test.
class ScopedVariable {
public:
    ScopedVariable(const char* variableName, const std::optional<std::string>& value)
        : name(variableName)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable()
    {
        if (previous)
            setenv(name, previous->c_str(), 1);
        else
            unsetenv(name);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};

// A terminal that answers from a list and records the questions.
struct ScriptedTerminal {
    std::deque<std::optional<std::string>> answers;
    std::vector<std::string> questions;

    PasswordSource::Prompt prompt()
    {
        return [this](const std::string& question) -> std::optional<std::string> {
            questions.push_back(question);
            if (answers.empty())
                return std::nullopt;
            auto answer = answers.front();
            answers.pop_front();
            return answer;
        };
    }
};

ToolError::Kind usageKindOf(const std::vector<std::string>& arguments)
{
    try {
        (void)CommandLine::parse(arguments);
    } catch (const ToolError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "accepted: " << ::testing::PrintToString(arguments);
    return ToolError::Kind::Failure;
}

} // namespace

TEST(EntryFormatter, EscapesTabNewlineAndBackslashOnly)
{
    EXPECT_EQ(EntryFormatter::escape("plain name.txt"), "plain name.txt");
    EXPECT_EQ(EntryFormatter::escape("a\tb"), "a\\tb");
    EXPECT_EQ(EntryFormatter::escape("line\nbreak"), "line\\nbreak");
    EXPECT_EQ(EntryFormatter::escape("back\\slash"), "back\\\\slash");
    // An escaped backslash stays apart from an escaped TAB: "\\t" is not "\t".
    EXPECT_EQ(EntryFormatter::escape("\\t\t"), "\\\\t\\t");
    EXPECT_EQ(EntryFormatter::escape("it's caf\xC3\xA9 \r"), "it's caf\xC3\xA9 \r");
    EXPECT_EQ(EntryFormatter::escape(""), "");
}

TEST(EntryFormatter, EntryLineHasNameTypeAndUnsignedSize)
{
    EXPECT_EQ(EntryFormatter::entryLine("notes.txt", false, 1990), "notes.txt\tf\t1990");
    EXPECT_EQ(EntryFormatter::entryLine("My Folder", true, 0), "My Folder\td\t0");
    EXPECT_EQ(EntryFormatter::entryLine("tab\there", false, 4294967295u), "tab\\there\tf\t4294967295");
}

TEST(CommandLine, ReadsEveryCommandForm)
{
    Invocation list = CommandLine::parse({"list"});
    EXPECT_EQ(list.command, Command::List);
    EXPECT_TRUE(list.operands.empty());

    Invocation add = CommandLine::parse({"add", "a", "b c", "it's"});
    EXPECT_EQ(add.command, Command::Add);
    EXPECT_EQ(add.operands, (std::vector<std::string>{"a", "b c", "it's"}));

    Invocation takeOut = CommandLine::parse({"take-out", "x", "--to", "out", "y"});
    EXPECT_EQ(takeOut.command, Command::TakeOut);
    EXPECT_EQ(takeOut.operands, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(takeOut.to, "out");
    EXPECT_FALSE(CommandLine::parse({"take-out", "x"}).to.has_value());

    Invocation exported = CommandLine::parse({"export", "--out=p.kzip", "--force", "a"});
    EXPECT_EQ(exported.command, Command::Export);
    EXPECT_EQ(exported.out, "p.kzip");
    EXPECT_TRUE(exported.force);
    EXPECT_FALSE(CommandLine::parse({"export", "--out", "p.kzip", "a"}).force);

    EXPECT_EQ(CommandLine::parse({"package", "list", "p.kzip"}).command, Command::PackageList);
    Invocation extract = CommandLine::parse({"package", "extract", "p.kzip", "--to", "d"});
    EXPECT_EQ(extract.command, Command::PackageExtract);
    EXPECT_EQ(extract.operands, std::vector<std::string>{"p.kzip"});
    EXPECT_EQ(extract.to, "d");
    Invocation import = CommandLine::parse({"package", "import", "p.kzip"});
    EXPECT_EQ(import.command, Command::PackageImport);
    EXPECT_EQ(CommandLine::parse({"package", "import", "p.kzip", "a", "b"}).operands.size(), 3u);

    EXPECT_EQ(CommandLine::parse({"passwd"}).command, Command::Passwd);
    EXPECT_EQ(CommandLine::parse({"email", "a@b.c"}).operands, std::vector<std::string>{"a@b.c"});
    Invocation toFolder = CommandLine::parse({"backup", "--to", "bk"});
    EXPECT_EQ(toFolder.command, Command::Backup);
    EXPECT_EQ(toFolder.to, "bk");
    EXPECT_FALSE(toFolder.dropbox);
    Invocation toDropbox = CommandLine::parse({"backup", "--force", "--dropbox"});
    EXPECT_TRUE(toDropbox.dropbox);
    EXPECT_TRUE(toDropbox.force);
    EXPECT_EQ(CommandLine::parse({"restore", "b.kzipbkp"}).command, Command::Restore);
    EXPECT_EQ(CommandLine::parse({"update-check"}).command, Command::UpdateCheck);
    EXPECT_FALSE(CommandLine::parse({"check"}).addMissingTags);
    EXPECT_TRUE(CommandLine::parse({"check", "--add-missing-tags"}).addMissingTags);
}

TEST(CommandLine, HelpAndVersionAndTheEndOfOptions)
{
    EXPECT_EQ(CommandLine::parse({"--help"}).command, Command::Help);
    EXPECT_EQ(CommandLine::parse({"-h"}).command, Command::Help);
    EXPECT_EQ(CommandLine::parse({"help"}).command, Command::Help);
    EXPECT_EQ(CommandLine::parse({"take-out", "--help"}).command, Command::Help);
    EXPECT_EQ(CommandLine::parse({"--version"}).command, Command::Version);

    // After "--" everything is a name, "--help" and "--to" included.
    Invocation names = CommandLine::parse({"take-out", "--to", "d", "--", "--help", "-x", "--to"});
    EXPECT_EQ(names.command, Command::TakeOut);
    EXPECT_EQ(names.operands, (std::vector<std::string>{"--help", "-x", "--to"}));
    EXPECT_EQ(names.to, "d");
    // A lone "-" is an operand, as it is for most tools.
    EXPECT_EQ(CommandLine::parse({"add", "-"}).operands, std::vector<std::string>{"-"});
}

TEST(CommandLine, RefusesWhatDoesNotFitAsUsageErrors)
{
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"package"},
        {"package", "open", "p.kzip"},
        {"list", "extra"},
        {"add"},
        {"take-out"},
        {"take-out", "--to"},
        {"take-out", "--to", "a", "--to", "b", "x"},
        {"take-out", "--force", "x"},
        {"export", "a"},
        {"export", "--out", "p.kzip"},
        {"export", "--force=yes", "--out", "p", "a"},
        {"package", "list"},
        {"package", "list", "a", "b"},
        {"package", "extract", "p.kzip"},
        {"package", "import"},
        {"passwd", "secret"},
        {"email"},
        {"email", "a@b.c", "d@e.f"},
        {"backup"},
        {"backup", "--to", "d", "--dropbox"},
        {"backup", "--dropbox", "--dropbox"},
        {"restore"},
        {"restore", "a", "b"},
        {"update-check", "now"},
        {"check", "--add-missing-tags=yes"},
        {"check", "--add-missing-tags", "--add-missing-tags"},
        {"list", "--add-missing-tags"},
        {"--version", "list"},
        {"list", "--version"},
        {"list", "--password=x"},
    };
    for (const auto& arguments : wrong)
        EXPECT_EQ(usageKindOf(arguments), ToolError::Kind::Usage) << ::testing::PrintToString(arguments);
}

TEST(PathArgument, MakesPathsAbsoluteAndClean)
{
    EXPECT_EQ(PathArgument::absolute("a/./b//c/", "/work"), "/work/a/b/c");
    EXPECT_EQ(PathArgument::absolute("it's here.txt", "/w d"), "/w d/it's here.txt");
    EXPECT_EQ(PathArgument::absolute(".", "/work"), "/work");
    EXPECT_EQ(PathArgument::absolute("/abs//x/", "/work"), "/abs/x");
    EXPECT_EQ(PathArgument::absolute("/", "/work"), "/");
    // ".." is left to the file system, which knows the symbolic links.
    EXPECT_EQ(PathArgument::absolute("../x", "/work/sub"), "/work/sub/../x");

    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(PathArgument::absolute("f.txt"), PathArgument::absolute("f.txt", here));
    EXPECT_EQ(PathArgument::absolute("/etc/hosts"), "/etc/hosts");
    try {
        (void)PathArgument::absolute("");
        ADD_FAILURE() << "an empty path was accepted";
    } catch (const ToolError& error) {
        EXPECT_EQ(error.kind(), ToolError::Kind::Usage);
    }
}

TEST(PathArgument, CreatesMissingFoldersAndReportsWhyNot)
{
    const std::string root = testsupport::makeScratchFolder("folders");
    PathArgument::createFolder(root + "/a/b c/d");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/a/b c/d"));
    PathArgument::createFolder(root + "/a"); // already there: fine

    testsupport::writeFile(root + "/file", "x");
    for (const std::string& blocked : {root + "/file", root + "/file/sub"}) {
        try {
            PathArgument::createFolder(blocked);
            ADD_FAILURE() << "created " << blocked;
        } catch (const ToolError& error) {
            EXPECT_EQ(error.kind(), ToolError::Kind::Failure);
            EXPECT_EQ(std::string(error.what()), "Failed to create " + blocked);
            EXPECT_FALSE(error.cause().empty());
        }
    }
    EXPECT_EQ(testsupport::readFile(root + "/file"), "x");
}

TEST(PasswordSource, VariableWinsEvenWhenEmptyAndNoQuestionIsAsked)
{
    const ScopedVariable vault(PasswordSource::kVaultVariable, std::string());
    const ScopedVariable fresh(PasswordSource::kNewVaultVariable, std::string("new one"));
    const ScopedVariable package(PasswordSource::kPackageVariable, std::string("pkg"));
    ScriptedTerminal terminal;
    terminal.answers = {std::string("typed")};
    PasswordSource passwords(terminal.prompt());
    EXPECT_EQ(passwords.vaultPassword(), "");
    EXPECT_EQ(passwords.oldVaultPassword(), "");
    EXPECT_EQ(passwords.newVaultPassword(), "new one");
    EXPECT_EQ(passwords.packagePassword(), "pkg");
    EXPECT_EQ(passwords.newPackagePassword(), "pkg");
    EXPECT_TRUE(terminal.questions.empty());
}

TEST(PasswordSource, AsksTheTerminalWhenTheVariableIsUnsetAndNewPasswordsTwice)
{
    const ScopedVariable vault(PasswordSource::kVaultVariable, std::nullopt);
    const ScopedVariable fresh(PasswordSource::kNewVaultVariable, std::nullopt);
    const ScopedVariable package(PasswordSource::kPackageVariable, std::nullopt);
    ScriptedTerminal terminal;
    terminal.answers = {std::string("vault pw"), std::string("n1"), std::string("n1"), std::string("p"),
                        std::string("p2"), std::string("p2")};
    PasswordSource passwords(terminal.prompt());
    EXPECT_EQ(passwords.vaultPassword(), "vault pw");
    EXPECT_EQ(passwords.newVaultPassword(), "n1");
    EXPECT_EQ(passwords.packagePassword(), "p");
    EXPECT_EQ(passwords.newPackagePassword(), "p2");
    EXPECT_EQ(terminal.questions.size(), 6u);
}

TEST(PasswordSource, FailsAsAPasswordErrorWhenMissingMistypedOrEmptyWhenNew)
{
    const ScopedVariable vault(PasswordSource::kVaultVariable, std::nullopt);
    const ScopedVariable fresh(PasswordSource::kNewVaultVariable, std::nullopt);
    const ScopedVariable package(PasswordSource::kPackageVariable, std::nullopt);
    const ScopedVariable backup(PasswordSource::kBackupVariable, std::nullopt);

    ScriptedTerminal none;
    PasswordSource withoutTerminal(none.prompt());
    const auto expectRefusal = [](const auto& obtain, const std::string& mentioned) {
        try {
            obtain();
            ADD_FAILURE() << "no refusal for " << mentioned;
        } catch (const ToolError& error) {
            EXPECT_EQ(error.kind(), ToolError::Kind::Password);
            EXPECT_EQ(error.status(), ExitStatus::UsageOrPassword);
            EXPECT_NE(std::string(error.what()).find(mentioned), std::string::npos) << error.what();
        }
    };
    expectRefusal([&] { (void)withoutTerminal.vaultPassword(); }, "KIST_PASSWORD");
    expectRefusal([&] { (void)withoutTerminal.newVaultPassword(); }, "KIST_NEW_PASSWORD");
    expectRefusal([&] { (void)withoutTerminal.packagePassword(); }, "KIST_PACKAGE_PASSWORD");
    EXPECT_FALSE(withoutTerminal.backupPasswordVariable().has_value());
    EXPECT_FALSE(withoutTerminal.askBackupPassword().has_value());

    ScriptedTerminal mistyped;
    mistyped.answers = {std::string("one"), std::string("two")};
    PasswordSource twice(mistyped.prompt());
    expectRefusal([&] { (void)twice.newVaultPassword(); }, "do not match");

    ScriptedTerminal blank;
    blank.answers = {std::string(), std::string()};
    PasswordSource emptyTwice(blank.prompt());
    expectRefusal([&] { (void)emptyTwice.newPackagePassword(); }, "cannot be empty");
    {
        const ScopedVariable emptyNew(PasswordSource::kNewVaultVariable, std::string());
        expectRefusal([&] { (void)withoutTerminal.newVaultPassword(); }, "cannot be empty");
    }

    const ScopedVariable backupSet(PasswordSource::kBackupVariable, std::string(""));
    EXPECT_EQ(withoutTerminal.backupPasswordVariable(), std::optional<std::string>(""));
}

TEST(ErrorReporter, WritesMessageAndCauseAndKeepsTheWorstStatus)
{
    std::ostringstream err;
    ErrorReporter errors(err);
    EXPECT_EQ(errors.status(), ExitStatus::Done);

    errors.report(ExceptionModule(L"Failed to move: /a/b", L"Permission denied"));
    EXPECT_EQ(err.str(), "kist: Failed to move: /a/b\nPermission denied\n");
    EXPECT_EQ(errors.status(), ExitStatus::Refused);

    err.str("");
    errors.report(ExceptionModule(L"Cannot use this feature until you enter your password.", L""));
    EXPECT_EQ(err.str(), "kist: Cannot use this feature until you enter your password.\n");
    EXPECT_EQ(errors.status(), ExitStatus::UsageOrPassword);

    // A later, milder failure does not lower the status.
    err.str("");
    EXPECT_FALSE(errors.attempt([] { throw ExceptionModule(L"No such file found in the store: x", L""); }));
    EXPECT_EQ(err.str(), "kist: No such file found in the store: x\n");
    EXPECT_EQ(errors.status(), ExitStatus::UsageOrPassword);
    EXPECT_TRUE(errors.attempt([] {}));
}

TEST(ErrorReporter, ClassifiesPasswordRefusalsAndToolErrors)
{
    EXPECT_EQ(ErrorReporter::classify("Incorrect old password."), ExitStatus::UsageOrPassword);
    EXPECT_EQ(ErrorReporter::classify("Cannot use this feature until you enter your password."),
              ExitStatus::UsageOrPassword);
    EXPECT_EQ(ErrorReporter::classify("Invalid KORVELIN file: /p.kzip."), ExitStatus::Refused);

    std::ostringstream err;
    ErrorReporter errors(err);
    int cleared = 0;
    errors.setBeforeReport([&cleared] { ++cleared; });
    errors.report(ToolError::failure("Failed to create /x", "Not a directory"));
    EXPECT_EQ(errors.status(), ExitStatus::Refused);
    errors.report(ToolError::usage("No command given."));
    EXPECT_EQ(err.str(), "kist: Failed to create /x\nNot a directory\n"
                         "kist: No command given.\nTry 'kist --help' for more information.\n");
    EXPECT_EQ(errors.status(), ExitStatus::UsageOrPassword);
    EXPECT_FALSE(errors.attempt([] { throw std::runtime_error("odd"); }));
    EXPECT_EQ(cleared, 3);
    EXPECT_EQ(worse(ExitStatus::Refused, ExitStatus::Done), ExitStatus::Refused);
    EXPECT_EQ(worse(ExitStatus::Refused, ExitStatus::UsageOrPassword), ExitStatus::UsageOrPassword);
}

TEST(TerminalProgress, DescribesCountsBytesAndTheEntry)
{
    EXPECT_EQ(TerminalProgress::byteCount(0), "0 B");
    EXPECT_EQ(TerminalProgress::byteCount(1023), "1023 B");
    EXPECT_EQ(TerminalProgress::byteCount(1024), "1.0 KiB");
    EXPECT_EQ(TerminalProgress::byteCount(1536), "1.5 KiB");
    EXPECT_EQ(TerminalProgress::byteCount(5u * 1024 * 1024), "5.0 MiB");
    EXPECT_EQ(TerminalProgress::byteCount(3ull * 1024 * 1024 * 1024), "3.0 GiB");

    KistProgressState state;
    state.filesDone = 2;
    state.filesTotal = 5;
    state.bytesDone = 1536;
    state.bytesTotal = 4096;
    state.name = "a\tb";
    EXPECT_EQ(TerminalProgress::describe(state, 200), "2/5 files, 1.5 KiB of 4.0 KiB: a\\tb");
    state.name.clear();
    EXPECT_EQ(TerminalProgress::describe(state, 200), "2/5 files, 1.5 KiB of 4.0 KiB");

    // Cut to the width, never inside a UTF-8 sequence: "é" is two bytes.
    state.name = "\xC3\xA9\xC3\xA9";
    const std::string full = TerminalProgress::describe(state, 200);
    EXPECT_EQ(TerminalProgress::describe(state, full.size() - 1), full.substr(0, full.size() - 2));
    EXPECT_EQ(TerminalProgress::describe(state, 4), "2/5 ");
}
