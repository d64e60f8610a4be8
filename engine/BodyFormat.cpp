#include "engine/BodyFormat.h"

#include <memory>

#include "engine/HardenedVault.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/FileKey.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/KeyWrap.h"
#include "engine/storage/VaultSchema.h"

namespace {

class StandardFormat final : public BodyFormat {
public:
    std::string sealNewFileKey(const std::string& sealingText) const override
    {
        return sealFileKey(sealingText, drawFileKey());
    }

    SecretText openFileKey(const std::string& sealingText, const std::string& cipher) const override
    {
        return ::openFileKey(sealingText, cipher);
    }

    std::string resealFileKey(const std::string& cipher, const std::string& oldText,
                              const std::string& newText) const override
    {
        return sealFileKey(newText, ::openFileKey(oldText, cipher));
    }

    std::uint64_t transform(const nocase_wstring& source, const nocase_wstring& target, bool encrypt,
                            const SecretText& fileKey, const std::string& algorithm,
                            const FileTransformOptions& options) const override
    {
        CryptoContext context(L"Korvelin");
        context.deriveKey(fileKey);
        context.setAlgorithm(algorithm.empty() ? vaultschema::defaultEncryption : algorithm);
        return context.transformFile(source, target, encrypt, options);
    }

    std::uint64_t largestPlainSize() const override { return UINT32_MAX; }
    std::uint64_t bodyLength(std::uint64_t plainLength) const override { return encryptedBodyLength(plainLength); }
    bool usesIntegrityTags() const override { return true; }
    std::string algorithmName() const override { return {}; }
};

// Keys are 32 random bytes wrapped under the vault's master key; the
// sealing text (the password) plays no part, so a password change touches
// no row.
class HardenedFormat final : public BodyFormat {
public:
    explicit HardenedFormat(const HardenedVault& owner)
        : vault(owner)
    {
    }

    std::string sealNewFileKey(const std::string&) const override
    {
        const SecretText key(randomBytes(kKeyLength));
        return vault.wrapFileKey(key);
    }

    SecretText openFileKey(const std::string&, const std::string& cipher) const override
    {
        return vault.unwrapFileKey(cipher);
    }

    std::string resealFileKey(const std::string& cipher, const std::string&, const std::string&) const override
    {
        return cipher;
    }

    std::uint64_t transform(const nocase_wstring& source, const nocase_wstring& target, bool encrypt,
                            const SecretText& fileKey, const std::string&,
                            const FileTransformOptions& options) const override
    {
        HardenedBodyOptions hardened;
        hardened.exclusive = options.exclusive;
        hardened.flush = options.flush;
        hardened.plainSize = options.plainSize;
        hardened.onBytes = options.onBytes;
        return encrypt ? encryptHardenedBody(source, target, fileKey, hardened)
                       : decryptHardenedBody(source, target, fileKey, hardened);
    }

    std::uint64_t largestPlainSize() const override { return UINT64_MAX; }
    std::uint64_t bodyLength(std::uint64_t plainLength) const override { return hardenedBodyLength(plainLength); }
    bool usesIntegrityTags() const override { return false; }
    std::string algorithmName() const override { return HardenedVault::encryptionName; }

private:
    const HardenedVault& vault;
};

} // namespace

const BodyFormat& BodyFormat::standard()
{
    static const StandardFormat format;
    return format;
}

std::unique_ptr<BodyFormat> BodyFormat::hardened(const HardenedVault& vault)
{
    return std::make_unique<HardenedFormat>(vault);
}
