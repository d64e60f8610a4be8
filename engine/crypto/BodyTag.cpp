#include "engine/crypto/BodyTag.h"

#include <vector>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/SourceFile.h"

using namespace cryptoerrors;

namespace {

constexpr std::size_t kReadBlock = std::size_t { 1 } << 20;

[[noreturn]] void throwTagFailure()
{
    throw ExceptionModule(kHashFailed, openSslErrorText());
}

// Fetched once for the whole program (and kept to its end): every file gets
// a tag, and each fetch is a lock and a search in OpenSSL's tables.
EVP_KDF* sharedHkdf()
{
    static EVP_KDF* const fetched = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return fetched;
}

EVP_MAC* sharedHmac()
{
    static EVP_MAC* const fetched = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return fetched;
}

void deriveTagKey(const std::string& fileKey, unsigned char* out)
{
    EVP_KDF* kdf = sharedHkdf();
    if (kdf == nullptr)
        throwTagFailure();
    EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
    if (context == nullptr)
        throwTagFailure();
    char digest[] = "SHA256";
    std::string info(kBodyTagInfo);
    std::string key(fileKey);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.data(), key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        OSSL_PARAM_construct_end(),
    };
    const bool derived = EVP_KDF_derive(context, out, kBodyTagKeyLength, params) == 1;
    EVP_KDF_CTX_free(context);
    OPENSSL_cleanse(key.data(), key.size());
    if (!derived)
        throwTagFailure();
}

} // namespace

struct BodyTag::Mac {
    EVP_MAC_CTX* context = nullptr;

    ~Mac() { EVP_MAC_CTX_free(context); }
};

BodyTag::BodyTag(const std::string& fileKey)
    : mac(std::make_unique<Mac>())
{
    unsigned char key[kBodyTagKeyLength];
    deriveTagKey(fileKey, key);
    if (EVP_MAC* hmac = sharedHmac())
        mac->context = EVP_MAC_CTX_new(hmac);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    const bool ready = mac->context != nullptr && EVP_MAC_init(mac->context, key, sizeof key, params) == 1;
    OPENSSL_cleanse(key, sizeof key);
    if (!ready)
        throwTagFailure();
}

BodyTag::~BodyTag() = default;

void BodyTag::update(const unsigned char* data, std::size_t count)
{
    if (finished)
        throwTagFailure();
    if (count == 0)
        return;
    if (EVP_MAC_update(mac->context, data, count) != 1)
        throwTagFailure();
    length += count;
}

std::string BodyTag::finish()
{
    if (finished)
        throwTagFailure();
    unsigned char lengthBytes[8];
    for (int i = 0; i < 8; ++i)
        lengthBytes[i] = static_cast<unsigned char>(length >> (56 - 8 * i));
    if (EVP_MAC_update(mac->context, lengthBytes, sizeof lengthBytes) != 1)
        throwTagFailure();
    unsigned char tag[EVP_MAX_MD_SIZE];
    std::size_t tagLength = 0;
    if (EVP_MAC_final(mac->context, tag, &tagLength, sizeof tag) != 1 || tagLength != kBodyTagLength)
        throwTagFailure();
    finished = true;
    return toHex(std::string_view(reinterpret_cast<const char*>(tag), tagLength));
}

std::string BodyTag::ofFile(const std::string& fileKey, const nocase_wstring& path,
                           const std::function<void(std::uint64_t)>& onBytes)
{
    BodyTag tag(fileKey);
    SourceFile source(path);
    std::vector<unsigned char> buffer(kReadBlock);
    for (;;) {
        const std::size_t got = source.read(buffer.data(), buffer.size());
        tag.update(buffer.data(), got);
        if (onBytes)
            onBytes(tag.length);
        if (got < buffer.size())
            break;
    }
    return tag.finish();
}

std::string BodyTag::derivedKey(const std::string& fileKey)
{
    unsigned char key[kBodyTagKeyLength];
    deriveTagKey(fileKey, key);
    std::string bytes(reinterpret_cast<const char*>(key), sizeof key);
    OPENSSL_cleanse(key, sizeof key);
    return bytes;
}

bool sameTag(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
