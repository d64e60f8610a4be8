#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Console;

// The commands on packages (.kzip, .kzipbkp) and zip files.
class PackageCommands {
public:
    explicit PackageCommands(Console& console);

    void list(const std::string& file);
    // Takes every entry out into folder (created when missing).
    void extract(const std::string& file, const std::string& folder);
    // Copies the named entries (all when names is empty) into the vault.
    void import(const std::string& file, const std::vector<std::string>& names);

    // Prints the vault entries whose names are not among before: what a copy
    // into the vault brought.
    static void printNewEntries(Console& console, const std::vector<std::string>& before,
                                const std::vector<std::string>& after);
    // Says on standard error how many entries were in the vault already.
    static void noteFoundInVault(Console& console, std::size_t count);

private:
    Console& console;
};
