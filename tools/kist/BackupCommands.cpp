#include "tools/kist/BackupCommands.h"

#include "engine/Kist.h"
#include "tools/kist/Console.h"
#include "tools/kist/EntryFormatter.h"
#include "tools/kist/EntryList.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/PackageCommands.h"
#include "tools/kist/PackageSession.h"
#include "tools/kist/PasswordSource.h"
#include "tools/kist/PathArgument.h"
#include "tools/kist/ToolError.h"
#include "tools/kist/VaultSession.h"

BackupCommands::BackupCommands(Console& consoleToUse)
    : console(consoleToUse)
{
}

std::string BackupCommands::backupFileName(const std::string& deviceIdentity)
{
    return "korvelin." + deviceIdentity + ".kzipbkp";
}

void BackupCommands::backup(const std::optional<std::string>& folder, bool force)
{
    const std::string target = folder ? PathArgument::absolute(*folder)
                                      : Kist::getFolder(DropboxDir) + "/" + kDropboxFolder;
    const std::string path = target + "/" + backupFileName(Kist::getDeviceIdentity());
    if (!force && PathArgument::isPresent(path))
        throw ToolError::failure("A KORVELIN backup already exists: " + path + " (use --force to replace it).");
    VaultSession session(console.passwords);
    PathArgument::createFolder(target);
    const std::vector<std::string> names = EntryList::names(session.kist());
    console.watch(session.kist());
    // The package replaces an older backup only once it is complete.
    session.kist().exportFiles(path, names, session.password() + kPasswordSuffix);
    console.printLine(EntryFormatter::escape(path));
}

void BackupCommands::restore(const std::string& file)
{
    const std::string path = PathArgument::absolute(file);
    VaultSession vault(console.passwords);
    PackageSession backup(path);
    if (backup.isLocked()) {
        const std::optional<std::string> given = console.passwords.backupPasswordVariable();
        bool unlocked = backup.unlock((given ? *given : vault.password()) + kPasswordSuffix);
        // Made under an earlier Vault password: ask for that one.
        if (!unlocked && !given) {
            if (const std::optional<std::string> earlier = console.passwords.askBackupPassword())
                unlocked = backup.unlock(*earlier + kPasswordSuffix);
        }
        if (!unlocked)
            throw ToolError::password(
                given ? "Wrong password for the backup: " + path
                      : "The backup does not open with the current Vault password: set "
                            + std::string(PasswordSource::kBackupVariable)
                            + " to the Vault password that was current when it was made.");
    }
    const std::vector<std::string> before = EntryList::names(vault.kist());
    const std::vector<std::string> names = EntryList::names(backup.kist());
    console.watch(backup.kist());
    std::size_t foundInVault = 0;
    if (!names.empty())
        console.errors.attempt([&]() {
            backup.kist().copyFilesToVault(names, vault.password());
            foundInVault = backup.kist().lastCopyFoundInVault();
        });
    PackageCommands::printNewEntries(console, before, EntryList::names(vault.kist()));
    PackageCommands::noteFoundInVault(console, foundInVault);
}
