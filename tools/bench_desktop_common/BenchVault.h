#pragma once

#include <memory>
#include <string>

class Kist;

// The vault of a desktop benchmark, in the scratch home it sets up.

// Makes scratchFolder/home the benchmark's home (temporary and runtime
// folders of its own beside it) and gives kist the vault password. Returns
// the home folder.
std::string useDesktopScratchHome(const std::string& scratchFolder, const char* vaultPassword);

// Replaces the vault by a new, empty one with password.
void newVault(const char* password);

// The vault, logged in with password; throws when it does not open.
std::unique_ptr<Kist> loggedInVault(const char* password);

// Replaces the vault by one of entries top-level entries, one in ten a folder
// of five files. Only a seed file and a seed folder are added (from work);
// the rest are copies of their rows in the vault database, made through the
// sqlcipher shell: adding that many entries one by one would take far longer
// than what the benchmarks measure.
void fillManyEntries(const std::string& work, int entries, const char* password);
