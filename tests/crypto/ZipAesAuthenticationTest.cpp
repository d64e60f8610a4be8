#include <gtest/gtest.h>

#include <string>

#include "engine/crypto/ZipAesAuthentication.h"
#include "engine/crypto/CryptoContext.h"

namespace {

// Known answers from Python's hashlib and hmac, independent of this code:
//   k = hashlib.pbkdf2_hmac('sha1', b'zippw', salt, 1000, 2 * keyLength + 2)
//   verifier = k[2 * keyLength:]
//   code = hmac.new(k[keyLength:2 * keyLength], data, 'sha1').digest()[:10]
// with salt = bytes(range(keyLength // 2)) and data = bytes(i * 7 % 256 for i in range(70)).
struct Vector {
    int keyBits;
    std::string verifier;
    std::string code;
};

std::string rawEntry(const Vector& vector)
{
    std::string raw;
    for (int i = 0; i < vector.keyBits / 16; ++i)
        raw.push_back(static_cast<char>(i));
    raw += fromHex(vector.verifier);
    for (int i = 0; i < 70; ++i)
        raw.push_back(static_cast<char>(i * 7 % 256));
    return raw + fromHex(vector.code);
}

bool authenticates(const std::string& password, int keyBits, const std::string& raw, std::size_t piece)
{
    ZipAesAuthentication authentication(password, keyBits);
    for (std::size_t at = 0; at < raw.size(); at += piece)
        authentication.feed(raw.data() + at, std::min(piece, raw.size() - at));
    return authentication.finish();
}

} // namespace

TEST(ZipAesAuthentication, KnownAnswersPassAndAnyChangeFails)
{
    const Vector vectors[] = {{128, "3b27", "2e86f1a45d5bb9987c42"}, {256, "0f29", "abb5fbe80f4fb1bc470a"}};
    for (const Vector& vector : vectors) {
        SCOPED_TRACE(vector.keyBits);
        const std::string raw = rawEntry(vector);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{11}, raw.size()})
            EXPECT_TRUE(authenticates("zippw", vector.keyBits, raw, piece)) << piece;

        EXPECT_FALSE(authenticates("zippx", vector.keyBits, raw, raw.size()));
        EXPECT_FALSE(authenticates("zippw", vector.keyBits == 128 ? 256 : 128, raw, raw.size()));
        EXPECT_FALSE(authenticates("zippw", 100, raw, raw.size()));
        // A changed data byte, a changed code and a cut stream all fail.
        std::string changed = raw;
        changed[vector.keyBits / 16 + 2 + 30] ^= 1;
        EXPECT_FALSE(authenticates("zippw", vector.keyBits, changed, 7));
        changed = raw;
        changed.back() ^= 0x80;
        EXPECT_FALSE(authenticates("zippw", vector.keyBits, changed, 7));
        EXPECT_FALSE(authenticates("zippw", vector.keyBits, raw.substr(0, raw.size() - 1), 7));
        EXPECT_FALSE(authenticates("zippw", vector.keyBits, raw.substr(0, 5), 7));
    }
}
