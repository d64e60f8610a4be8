#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/SecretText.h"
#include "engine/Strings.h"

struct FileTransformOptions;
class HardenedVault;

// How a vault keeps its file keys and bodies, chosen once when the vault
// opens (a hardened vault has a header beside its database), so the
// journaled transforms never ask which format they work on.
class BodyFormat {
public:
    virtual ~BodyFormat() = default;

    // A new file key, sealed as the cipher column stores it.
    [[nodiscard]] virtual std::string sealNewFileKey(const std::string& sealingText) const = 0;
    [[nodiscard]] virtual SecretText openFileKey(const std::string& sealingText, const std::string& cipher) const = 0;
    // The cipher column after the sealing text changed from oldText to newText.
    [[nodiscard]] virtual std::string resealFileKey(const std::string& cipher, const std::string& oldText,
                                                    const std::string& newText) const = 0;
    // Encrypts or decrypts one body; returns the plain bytes. A body that is
    // refused throws a message beginning with "damaged: ".
    virtual std::uint64_t transform(const nocase_wstring& source, const nocase_wstring& target, bool encrypt,
                                    const SecretText& fileKey, const std::string& algorithm,
                                    const FileTransformOptions& options) const = 0;
    // The largest file a record of this format holds (32-bit sizes in the
    // standard format, 64-bit ones in a hardened vault).
    [[nodiscard]] virtual std::uint64_t largestPlainSize() const = 0;
    // How long the body of a plain file of that length is.
    [[nodiscard]] virtual std::uint64_t bodyLength(std::uint64_t plainLength) const = 0;
    // Whether bodies get integrity tags in the vault's table (the hardened
    // body authenticates itself).
    [[nodiscard]] virtual bool usesIntegrityTags() const = 0;
    // The algorithm name new bodies are recorded with; empty: the vault's
    // Encryption setting.
    [[nodiscard]] virtual std::string algorithmName() const = 0;

    // The format of the vaults and packages every older build reads.
    [[nodiscard]] static const BodyFormat& standard();
    // The format of a hardened vault whose keys the vault holds.
    [[nodiscard]] static std::unique_ptr<BodyFormat> hardened(const HardenedVault& vault);
};
