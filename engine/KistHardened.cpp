// The facade's members for hardened vaults.

#include "engine/Kist.h"

#include "engine/Hardening.h"
#include "engine/HardenedVault.h"
#include "engine/SecretText.h"
#include "engine/VaultEngine.h"
#include "engine/storage/VaultSchema.h"

std::string Kist::harden(std::string password)
{
    const SecretText given(std::move(password));
    std::string recoveryKey = Hardening::harden(*engine, given, engine->progressObserver);
    wipeText(cachedPassword);
    cachedPassword = given;
    return recoveryKey;
}

KistVaultInfo Kist::vaultInfo()
{
    KistVaultInfo info;
    // Another program may have hardened the vault since this one opened it.
    const bool hardenedOnDisk =
        engine->kind == EngineKind::UserVault && HardenedVault::isHardened(engine->vaultFolder);
    if (!engine->isHardened() && !hardenedOnDisk) {
        info.format = "standard";
        const auto found = engine->settings.find(vaultschema::encryptionSetting);
        info.encryption = found == engine->settings.end() || found->second.empty() ? vaultschema::defaultEncryption
                                                                                   : found->second;
        return info;
    }
    const std::unique_ptr<HardenedVault> onDisk =
        engine->isHardened() ? nullptr : HardenedVault::read(engine->vaultFolder);
    const Argon2Parameters& kdf = (onDisk ? *onDisk : *engine->hardened).header().kdf;
    info.format = "hardened";
    info.encryption = HardenedVault::encryptionName;
    info.argon2Passes = kdf.passes;
    info.argon2MemoryKiB = kdf.memoryKiB;
    info.argon2Lanes = kdf.lanes;
    return info;
}
