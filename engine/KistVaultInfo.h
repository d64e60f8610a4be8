#pragma once

#include <cstdint>
#include <string>

// Which format a vault keeps its keys and bodies in (Kist::vaultInfo).
struct KistVaultInfo {
    // "standard" (readable by every older build) or "hardened".
    std::string format;
    // How file bodies are encrypted ("CALG_AES_128", "AES_256_GCM_CHUNKED").
    std::string encryption;
    // Hardened vaults: the Argon2id parameters of the password's key.
    uint32_t argon2Passes = 0;
    uint32_t argon2MemoryKiB = 0;
    uint32_t argon2Lanes = 0;
};
