#include "engine/crypto/FileKey.h"

#include <array>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"

namespace {

static_assert(kFileKeyAlphabet.size() == 62);

// 248 is the largest multiple of 62 not above 256: bytes below it map evenly
// onto the alphabet, the rest are drawn again.
constexpr unsigned kUnbiasedLimit = 256 - 256 % kFileKeyAlphabet.size();

bool isWellFormedFileKey(const std::string& key)
{
    return key.size() == kFileKeyLength && key.find_first_not_of(kFileKeyAlphabet) == std::string::npos;
}

} // namespace

SecretText drawFileKey()
{
    std::string key;
    key.reserve(kFileKeyLength);
    std::array<unsigned char, 32> pool {};
    while (key.size() < kFileKeyLength) {
        if (RAND_bytes(pool.data(), static_cast<int>(pool.size())) != 1)
            throw ExceptionModule(cryptoerrors::kKeyFailed, cryptoerrors::openSslErrorText());
        for (const unsigned char byte : pool) {
            if (byte < kUnbiasedLimit && key.size() < kFileKeyLength)
                key += kFileKeyAlphabet[byte % kFileKeyAlphabet.size()];
        }
    }
    OPENSSL_cleanse(pool.data(), pool.size());
    return SecretText(std::move(key));
}

std::string sealFileKey(const std::string& sealingText, const std::string& fileKey)
{
    CryptoContext context;
    return context.encryptText(sealingText, fileKey);
}

SecretText openFileKey(const std::string& sealingText, const std::string& cipher)
{
    CryptoContext context;
    SecretText key(context.decryptText(sealingText, cipher));
    if (!isWellFormedFileKey(key))
        throw ExceptionModule(cryptoerrors::kCipherFailed, L"");
    return key;
}
