#include "engine/crypto/ZipAesAuthentication.h"

#include <algorithm>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace {

constexpr std::size_t kVerifierLength = 2;
constexpr std::size_t kCodeLength = 10;
constexpr int kDerivationRounds = 1000;
constexpr std::size_t kMaxKeyLength = 32;

} // namespace

struct ZipAesAuthentication::MacState {
    EVP_MAC* algorithm = nullptr;
    EVP_MAC_CTX* context = nullptr;
    ~MacState()
    {
        EVP_MAC_CTX_free(context);
        EVP_MAC_free(algorithm);
    }
};

ZipAesAuthentication::ZipAesAuthentication(const std::string& password, int keyBits) : password(password)
{
    switch (keyBits) {
    case 128: keyLength = 16; break;
    case 192: keyLength = 24; break;
    case 256: keyLength = 32; break;
    default: failed = true; break;
    }
    saltLength = keyLength / 2;
}

ZipAesAuthentication::~ZipAesAuthentication()
{
    OPENSSL_cleanse(password.data(), password.size());
}

void ZipAesAuthentication::startMac()
{
    unsigned char keys[2 * kMaxKeyLength + kVerifierLength];
    const std::size_t derived = 2 * keyLength + kVerifierLength;
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), header.data(),
                          static_cast<int>(saltLength), kDerivationRounds, EVP_sha1(), static_cast<int>(derived), keys)
        != 1) {
        failed = true;
        return;
    }
    // A wrong password almost always shows here already.
    if (CRYPTO_memcmp(keys + 2 * keyLength, header.data() + saltLength, kVerifierLength) != 0)
        failed = true;

    mac = std::make_unique<MacState>();
    char digest[] = "SHA1";
    const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
    mac->algorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac->context = mac->algorithm != nullptr ? EVP_MAC_CTX_new(mac->algorithm) : nullptr;
    if (mac->context == nullptr || EVP_MAC_init(mac->context, keys + keyLength, keyLength, parameters) != 1)
        failed = true;
    OPENSSL_cleanse(keys, sizeof keys);
}

void ZipAesAuthentication::macUpdate(const unsigned char* data, std::size_t size)
{
    if (!failed && size > 0 && EVP_MAC_update(mac->context, data, size) != 1)
        failed = true;
}

void ZipAesAuthentication::feed(const char* data, std::size_t size)
{
    auto bytes = reinterpret_cast<const unsigned char*>(data);
    if (failed)
        return;
    const std::size_t headerLength = saltLength + kVerifierLength;
    if (header.size() < headerLength) {
        const std::size_t taken = std::min(size, headerLength - header.size());
        header.insert(header.end(), bytes, bytes + taken);
        bytes += taken;
        size -= taken;
        if (header.size() < headerLength)
            return;
        startMac();
    }
    // The last kCodeLength bytes of the stream are the code, not data: hold
    // back that many until more arrive.
    tail.insert(tail.end(), bytes, bytes + size);
    if (tail.size() > kCodeLength) {
        const std::size_t dataLength = tail.size() - kCodeLength;
        macUpdate(tail.data(), dataLength);
        tail.erase(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(dataLength));
    }
}

bool ZipAesAuthentication::finish()
{
    if (failed || mac == nullptr || tail.size() != kCodeLength)
        return false;
    unsigned char computed[EVP_MAX_MD_SIZE];
    std::size_t computedLength = 0;
    if (EVP_MAC_final(mac->context, computed, &computedLength, sizeof computed) != 1 || computedLength < kCodeLength)
        return false;
    failed = true; // one answer per entry
    return CRYPTO_memcmp(computed, tail.data(), kCodeLength) == 0;
}
