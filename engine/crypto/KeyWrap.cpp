#include "engine/crypto/KeyWrap.h"

#include <atomic>

#include <sodium.h>

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"

namespace {

constexpr wchar_t kKeyDerivationFailed[] =
    L"Cannot derive the vault's key from the password: the computer may not have the memory it needs.";

std::atomic<std::uint64_t> derivations{0};

const unsigned char* bytesOf(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

} // namespace

void requireSodium()
{
    // sodium_init is safe to call from any thread, any number of times.
    if (sodium_init() < 0)
        throw ExceptionModule(cryptoerrors::kProviderFailed, L"");
}

std::string randomBytes(std::size_t count)
{
    requireSodium();
    std::string bytes(count, '\0');
    randombytes_buf(bytes.data(), bytes.size());
    return bytes;
}

SecretText argon2idKey(const std::string& password, std::string_view salt, const Argon2Parameters& parameters)
{
    requireSodium();
    if (salt.size() != crypto_pwhash_SALTBYTES || parameters.lanes != 1 || parameters.passes < 1
        || parameters.memoryKiB < 8)
        throw ExceptionModule(kKeyDerivationFailed, L"");
    ++derivations;
    std::string key(kKeyLength, '\0');
    const auto memory = static_cast<std::size_t>(parameters.memoryKiB) * 1024U;
    if (crypto_pwhash(reinterpret_cast<unsigned char*>(key.data()), key.size(), password.data(), password.size(),
                      bytesOf(salt), parameters.passes, memory, crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        throw ExceptionModule(kKeyDerivationFailed, L"");
    return SecretText(std::move(key));
}

std::uint64_t argon2idDerivations()
{
    return derivations.load();
}

std::string wrapKey(const std::string& key, const std::string& wrappingKey, std::string_view additionalData)
{
    requireSodium();
    if (key.size() != kKeyLength || wrappingKey.size() != kKeyLength)
        throw ExceptionModule(cryptoerrors::kKeyFailed, L"");
    std::string wrapped = randomBytes(kWrapNonceLength);
    wrapped.resize(kWrappedKeyLength);
    unsigned long long sealedLength = 0;
    auto* out = reinterpret_cast<unsigned char*>(wrapped.data()) + kWrapNonceLength;
    if (crypto_aead_xchacha20poly1305_ietf_encrypt(out, &sealedLength, bytesOf(key), key.size(),
                                                   bytesOf(additionalData), additionalData.size(), nullptr,
                                                   bytesOf(wrapped), bytesOf(wrappingKey))
            != 0
        || sealedLength != kKeyLength + kWrapTagLength)
        throw ExceptionModule(cryptoerrors::kCipherFailed, L"");
    return wrapped;
}

std::optional<SecretText> unwrapKey(std::string_view wrapped, const std::string& wrappingKey,
                                    std::string_view additionalData)
{
    requireSodium();
    if (wrapped.size() != kWrappedKeyLength || wrappingKey.size() != kKeyLength)
        return std::nullopt;
    std::string key(kKeyLength, '\0');
    unsigned long long keyLength = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(key.data()), &keyLength,
                                                   nullptr, bytesOf(wrapped) + kWrapNonceLength,
                                                   kKeyLength + kWrapTagLength, bytesOf(additionalData),
                                                   additionalData.size(), bytesOf(wrapped), bytesOf(wrappingKey))
            != 0
        || keyLength != kKeyLength) {
        sodium_memzero(key.data(), key.size());
        return std::nullopt;
    }
    return SecretText(std::move(key));
}

SecretText hkdfSha256(const std::string& key, std::string_view info, std::size_t length)
{
    // Fetched once for the whole program (and kept to its end): a hardened
    // vault derives a wrapping key for every file it seals or opens.
    static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* context = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    if (context == nullptr)
        throw ExceptionModule(cryptoerrors::kKeyFailed, cryptoerrors::openSslErrorText());
    char digest[] = "SHA256";
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(key.data()), key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    std::string derived(length, '\0');
    const int result =
        EVP_KDF_derive(context, reinterpret_cast<unsigned char*>(derived.data()), derived.size(), parameters);
    EVP_KDF_CTX_free(context);
    if (result != 1)
        throw ExceptionModule(cryptoerrors::kKeyFailed, cryptoerrors::openSslErrorText());
    return SecretText(std::move(derived));
}

bool sameSecret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    requireSodium();
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}
