#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What Kist::checkVault found. Each finding is one line naming the entry
// (its path of display names) or the file in the vault folder concerned; the
// vault is whole when there is none.
struct KistCheckReport {
    uint64_t rows = 0;   // rows read
    uint64_t bodies = 0; // bodies decrypted to their recorded size
    std::vector<std::string> findings;
    // Bodies that decrypt but have no integrity tag (an older vault, another
    // program): not a fault of the vault, told apart from the findings.
    std::vector<std::string> untagged;
    // Tags added for untagged bodies that decrypted cleanly, when asked.
    uint64_t tagsAdded = 0;

    [[nodiscard]] bool whole() const { return findings.empty(); }
};
