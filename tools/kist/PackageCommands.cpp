#include "tools/kist/PackageCommands.h"

#include <set>

#include "engine/Kist.h"
#include "tools/kist/Console.h"
#include "tools/kist/EntryFormatter.h"
#include "tools/kist/EntryList.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/PackageSession.h"
#include "tools/kist/PathArgument.h"
#include "tools/kist/VaultSession.h"

PackageCommands::PackageCommands(Console& consoleToUse)
    : console(consoleToUse)
{
}

void PackageCommands::list(const std::string& file)
{
    PackageSession package(PathArgument::absolute(file));
    package.unlock(console.passwords);
    for (const ListedEntry& entry : EntryList::read(package.kist()))
        console.printLine(EntryFormatter::entryLine(entry.name, entry.isDirectory, entry.size));
}

void PackageCommands::extract(const std::string& file, const std::string& folder)
{
    const std::string destination = PathArgument::absolute(folder);
    PackageSession package(PathArgument::absolute(file));
    package.unlock(console.passwords);
    PathArgument::createFolder(destination);
    console.watch(package.kist());
    for (const std::string& name : EntryList::names(package.kist())) {
        if (console.stopsBefore(name))
            return;
        console.errors.attempt([&]() {
            package.kist().removeFile(name, destination);
            console.printLine(EntryFormatter::escape(package.kist().lastTakeOutPath()));
        });
    }
}

void PackageCommands::import(const std::string& file, const std::vector<std::string>& names)
{
    const std::string packagePath = PathArgument::absolute(file);
    VaultSession vault(console.passwords);
    PackageSession package(packagePath);
    package.unlock(console.passwords);
    const std::vector<std::string> before = EntryList::names(vault.kist());
    console.watch(package.kist());
    std::size_t foundInVault = 0;
    if (names.empty()) {
        const std::vector<std::string> all = EntryList::names(package.kist());
        if (!all.empty())
            console.errors.attempt([&]() {
                package.kist().copyFilesToVault(all, vault.password());
                foundInVault += package.kist().lastCopyFoundInVault();
            });
    } else {
        for (const std::string& name : names) {
            if (console.stopsBefore(name))
                break;
            console.errors.attempt([&]() {
                package.kist().copyFilesToVault({name}, vault.password());
                foundInVault += package.kist().lastCopyFoundInVault();
            });
        }
    }
    // What did arrive is shown even when a copy failed part way.
    printNewEntries(console, before, EntryList::names(vault.kist()));
    noteFoundInVault(console, foundInVault);
}

void PackageCommands::printNewEntries(Console& console, const std::vector<std::string>& before,
                                      const std::vector<std::string>& after)
{
    const std::set<std::string> known(before.begin(), before.end());
    for (const std::string& name : after)
        if (!known.count(name))
            console.printLine(EntryFormatter::escape(name));
}

void PackageCommands::noteFoundInVault(Console& console, std::size_t count)
{
    // Entries copied before are not copied again, and that is said.
    if (count > 0)
        console.errors.note("already in the vault: " + std::to_string(count) + (count == 1 ? " entry" : " entries"));
}
