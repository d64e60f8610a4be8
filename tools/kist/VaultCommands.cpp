#include "tools/kist/VaultCommands.h"

#include "engine/Kist.h"
#include "tools/kist/Console.h"
#include "tools/kist/EntryFormatter.h"
#include "tools/kist/EntryList.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/PasswordSource.h"
#include "tools/kist/PathArgument.h"
#include "tools/kist/ToolError.h"
#include "tools/kist/VaultSession.h"

VaultCommands::VaultCommands(Console& consoleToUse)
    : console(consoleToUse)
{
}

void VaultCommands::list()
{
    VaultSession session(console.passwords);
    for (const ListedEntry& entry : EntryList::read(session.kist()))
        console.printLine(EntryFormatter::entryLine(entry.name, entry.isDirectory, entry.size));
    for (const std::string& name : session.kist().unreadableEntries())
        console.errors.report(ToolError::failure("Cannot read the records of this entry; it is not listed: "
                                                 + EntryFormatter::escape(name)));
    for (const auto& [name, reason] : session.kist().unfinishedEntries())
        console.errors.report(ToolError::failure(
            "An interrupted change of this entry could not be finished; it stays pending: "
                + EntryFormatter::escape(name),
            reason));
}

void VaultCommands::check(bool addMissingTags)
{
    VaultSession session(console.passwords);
    console.watch(session.kist());
    const KistCheckReport report = session.kist().checkVault(addMissingTags);
    console.clearProgress();
    for (const std::string& finding : report.findings)
        console.printLine(EntryFormatter::escape(finding));
    for (const std::string& line : report.untagged)
        console.printLine(EntryFormatter::escape(line));
    if (addMissingTags)
        console.printLine("integrity tags added: " + std::to_string(report.tagsAdded));
    else if (!report.untagged.empty())
        console.printLine(std::to_string(report.untagged.size())
                          + " bodies have no integrity tag; kist check --add-missing-tags gives them one");
    if (!report.whole())
        throw ToolError::failure("The vault is not whole: " + std::to_string(report.findings.size())
                                 + " finding(s).");
    console.printLine("ok: " + std::to_string(report.rows) + " records, " + std::to_string(report.bodies)
                      + " bodies");
}

void VaultCommands::add(const std::vector<std::string>& paths)
{
    VaultSession session(console.passwords);
    console.watch(session.kist());
    // Relative paths are taken from the working folder; one that cannot be
    // made absolute is reported and the others are added all the same.
    std::vector<std::string> given;
    std::vector<std::string> absolutePaths;
    for (const std::string& path : paths)
        console.errors.attempt([&]() {
            absolutePaths.push_back(PathArgument::absolute(path));
            given.push_back(path);
        });
    // The engine adds them in batches that share their flushes; each outcome
    // is printed as its batch ends, and a stop is heard between batches.
    std::size_t index = 0;
    bool stopped = false;
    console.errors.attempt([&]() {
        session.kist().addFiles(absolutePaths, [&](const KistAddOutcome& outcome) {
            const std::string& argument = given.at(index++);
            switch (outcome.state) {
            case KistAddOutcome::State::Added:
                console.printLine(EntryFormatter::escape(outcome.name));
                break;
            case KistAddOutcome::State::Failed:
                console.errors.report(ExceptionModule(toWide(outcome.message), toWide(outcome.cause)));
                break;
            case KistAddOutcome::State::NotTried:
                if (!stopped)
                    stopped = console.stopsBefore(argument);
                break;
            }
        });
    });
}

void VaultCommands::takeOut(const std::vector<std::string>& names, const std::optional<std::string>& to)
{
    // Empty: the engine's restore folder.
    const std::string destination = to ? PathArgument::absolute(*to) : std::string();
    VaultSession session(console.passwords);
    if (!destination.empty())
        PathArgument::createFolder(destination);
    console.watch(session.kist());
    for (const std::string& name : names) {
        if (console.stopsBefore(name))
            return;
        console.errors.attempt([&]() {
            session.kist().removeFile(name, destination);
            console.printLine(EntryFormatter::escape(session.kist().lastTakeOutPath()));
        });
    }
}

void VaultCommands::exportPackage(const std::string& out, bool force, bool hardened,
                                  const std::vector<std::string>& names)
{
    const std::string destination = PathArgument::absolute(out);
    if (!force && PathArgument::isPresent(destination))
        throw ToolError::failure("The file already exists: " + destination + " (use --force to replace it).");
    VaultSession session(console.passwords);
    const std::string packagePassword = console.passwords.newPackagePassword();
    console.watch(session.kist());
    session.kist().setHardenedPackages(hardened);
    session.kist().exportFiles(destination, names, packagePassword);
}

void VaultCommands::changePassword(bool byRecoveryKey)
{
    Kist vault(true);
    if (byRecoveryKey) {
        if (vault.vaultInfo().format != "hardened")
            throw ToolError::failure("Only a hardened vault has a recovery key (kist harden makes one).");
        const std::string recoveryKey = console.passwords.recoveryKey();
        const std::string newPassword = console.passwords.newVaultPassword();
        vault.setPassword(newPassword, recoveryKey);
        return;
    }
    // A vault whose password is still empty takes the empty text as its current one.
    const std::string oldPassword = vault.isEmptyPassword() ? std::string() : console.passwords.oldVaultPassword();
    const std::string newPassword = console.passwords.newVaultPassword();
    vault.setPassword(newPassword, oldPassword);
}

void VaultCommands::setEmail(const std::string& address)
{
    VaultSession session(console.passwords);
    session.kist().setEmail(address);
}

void VaultCommands::checkForUpdate()
{
    Kist vault(true);
    const int code = vault.isUpgradeAvailable();
    console.printLine(std::to_string(code) + " " + EntryFormatter::escape(vault.getUpgradeDownloadUrl()));
}

void VaultCommands::harden()
{
    Kist vault(true);
    if (vault.vaultInfo().format == "hardened")
        throw ToolError::failure("The vault is hardened already.");
    // A vault whose password is still empty gets one first: a hardened
    // vault without a password would protect nothing.
    std::string password;
    if (vault.isEmptyPassword()) {
        password = console.passwords.newVaultPassword();
        vault.setPassword(password, "");
    } else {
        password = console.passwords.vaultPassword();
        if (!vault.login(password))
            throw ToolError::password("Wrong password.");
    }
    console.watch(vault);
    const std::string recoveryKey = vault.harden(password);
    console.clearProgress();
    console.printLine("The vault is hardened. Its recovery key (shown only now; write it down and keep it");
    console.printLine("apart from this computer: it opens the vault when the password is forgotten):");
    console.printLine("  " + recoveryKey);
}

void VaultCommands::info()
{
    Kist vault(true);
    const KistVaultInfo info = vault.vaultInfo();
    console.printLine("format: " + info.format);
    console.printLine("encryption: " + info.encryption);
    if (info.format == "hardened")
        console.printLine("key derivation: Argon2id, " + std::to_string(info.argon2Passes) + " passes, "
                          + std::to_string(info.argon2MemoryKiB) + " KiB, " + std::to_string(info.argon2Lanes)
                          + " lane(s)");
}
