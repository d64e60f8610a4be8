#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/Kist.h"

// Helpers shared by the engine tests: a fresh user vault for each test and
// listings as plain values.
namespace enginetest {

// Deletes the user's vault, settings and restore folders of the scratch home,
// so the next Kist(true) starts from nothing.
void resetProfile();

// The vault folder of the scratch home.
std::string vaultFolder();

struct Entry {
    std::string name;
    bool isDirectory;
    uint32_t size;
    bool operator==(const Entry& other) const = default;
};

std::vector<Entry> list(Kist& kist);

// A user vault logged in with password (set on first use).
std::unique_ptr<Kist> openVault(const std::string& password = "secret");

// Every regular file below folder, relative path -> bytes.
std::vector<std::pair<std::string, std::string>> tree(const std::string& folder);

// Regular files inside the vault folder whose bytes equal one of contents.
bool vaultHoldsPlainCopy(const std::vector<std::string>& contents);

} // namespace enginetest
