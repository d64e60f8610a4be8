#include "tools/kist/KistTool.h"

#include <ostream>

#include "engine/Kist.h"
#include "tools/kist/BackupCommands.h"
#include "tools/kist/CommandLine.h"
#include "tools/kist/Console.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/HelpText.h"
#include "tools/kist/PackageCommands.h"
#include "tools/kist/PasswordSource.h"
#include "tools/kist/TerminalPrompt.h"
#include "tools/kist/ToolError.h"
#include "tools/kist/VaultCommands.h"

namespace {

void runCommand(const Invocation& invocation, Console& console)
{
    using Command = Invocation::Command;
    const std::vector<std::string>& operands = invocation.operands;
    VaultCommands vault(console);
    PackageCommands packages(console);
    BackupCommands backups(console);
    switch (invocation.command) {
    case Command::Help:
    case Command::Version:
        break; // answered before any vault is opened
    case Command::List:
        vault.list();
        break;
    case Command::Add:
        vault.add(operands);
        break;
    case Command::TakeOut:
        vault.takeOut(operands, invocation.to);
        break;
    case Command::Export:
        vault.exportPackage(*invocation.out, invocation.force, invocation.hardened, operands);
        break;
    case Command::PackageList:
        packages.list(operands.front());
        break;
    case Command::PackageExtract:
        packages.extract(operands.front(), *invocation.to);
        break;
    case Command::PackageImport:
        packages.import(operands.front(), std::vector<std::string>(operands.begin() + 1, operands.end()));
        break;
    case Command::Passwd:
        vault.changePassword(invocation.recoveryKey);
        break;
    case Command::Email:
        vault.setEmail(operands.front());
        break;
    case Command::Backup:
        backups.backup(invocation.to, invocation.force);
        break;
    case Command::Restore:
        backups.restore(operands.front());
        break;
    case Command::UpdateCheck:
        vault.checkForUpdate();
        break;
    case Command::Check:
        vault.check(invocation.addMissingTags);
        break;
    case Command::Harden:
        vault.harden();
        break;
    case Command::Info:
        vault.info();
        break;
    }
}

} // namespace

KistTool::KistTool(std::ostream& outStream, std::ostream& errStream)
    : out(outStream)
    , err(errStream)
{
}

int KistTool::run(const std::vector<std::string>& arguments)
{
    ErrorReporter errors(err);
    Invocation invocation;
    if (!errors.attempt([&]() { invocation = CommandLine::parse(arguments); }))
        return static_cast<int>(errors.status());

    if (invocation.command == Invocation::Command::Help)
        out << HelpText::text();
    else if (invocation.command == Invocation::Command::Version)
        out << "kist " << Kist::version() << '\n';
    else {
        PasswordSource passwords(TerminalPrompt::ask);
        Console console(out, errors, passwords);
        errors.setBeforeReport([&console]() { console.clearProgress(); });
        errors.attempt([&]() { runCommand(invocation, console); });
        errors.setBeforeReport({});
    }
    out.flush();
    if (!out)
        errors.report(ToolError::failure("Cannot write to standard output."));
    return static_cast<int>(errors.status());
}
