#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "tests/crypto/CryptoTestSupport.h"
#include "tests/support/ScratchHome.h"

using cryptotest::kCipherMessage;
using cryptotest::kCorruptionMessage;
using cryptotest::messageOf;

namespace {

// Keys derived by CryptoAPI's documented rule for a SHA-1 base hash,
// computed independently with Python's hashlib. Stored hashes, sealed keys
// and bodies depend on them never changing.
const std::vector<std::pair<std::string, std::string>> kDerivedKeys = {
    { "", "d67c99ba25d88b618d638842271fde09" },
    { "password", "a3bc508753274827cf2515600eaea32c" },
    { "tavqermo57kzlw", "26bb4781b9c6ec39825e1118f7852e36" },
};

} // namespace

TEST(SecureHash, MatchesIndependentSha1Digests)
{
    CryptoContext crypto;
    // FIPS 180 examples.
    EXPECT_EQ(crypto.secureHash(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(crypto.secureHash("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(crypto.secureHash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
        "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    // Every byte counts, zero bytes and UTF-8 included (digests from sha1sum).
    EXPECT_EQ(crypto.secureHash(std::string("a\0b", 3)), "4a3dec2d1f8245280855c42db0ee4239f917fdb8");
    EXPECT_EQ(crypto.secureHash("caf\xc3\xa9"), "f424452a9673918c6f09b0cdd35b20be8e6ae7d7");
}

TEST(KeyDerivation, SealsLikeOpensslUnderTheDerivedKey)
{
    const std::string folder = testsupport::makeScratchFolder("derivation");
    for (const auto& [keyText, keyHex] : kDerivedKeys) {
        for (const std::string& plain : { std::string(), std::string("abc"), std::string(16, 'x'),
                 std::string("a longer text that spans three blocks") }) {
            CryptoContext crypto;
            EXPECT_EQ(crypto.encryptText(keyText, plain),
                toHex(cryptotest::opensslEncrypt(keyHex, plain, true, folder)))
                << "key text '" << keyText << "', plain '" << plain << "'";
        }
    }
}

TEST(SealedText, MatchesKnownAnswers)
{
    CryptoContext crypto;
    EXPECT_EQ(crypto.encryptText("", ""), "c8ceb0fd6aceaff170778fe47b391895");
    EXPECT_EQ(crypto.encryptText("password", "abc"), "c02856bf09ed275d15bb31e229f5d839");
    EXPECT_EQ(crypto.encryptText("tavqermo57kzlw", "owner@example.com 1700000000"),
        "db061b8d84a7ab20527e4465f2385963f06e4e3743d46fe9250924aa81aa9a35");

    // A whole padding block follows a text that fills its blocks.
    EXPECT_EQ(crypto.encryptText("k", std::string(16, 'a')).size(), 64U);
    EXPECT_EQ(crypto.encryptText("k", std::string(15, 'a')).size(), 32U);
}

TEST(SealedText, OpensKnownAnswersAndRoundTrips)
{
    CryptoContext crypto;
    EXPECT_EQ(crypto.decryptText("", "c8ceb0fd6aceaff170778fe47b391895"), "");
    EXPECT_EQ(crypto.decryptText("password", "c02856bf09ed275d15bb31e229f5d839"), "abc");
    EXPECT_EQ(crypto.decryptText("tavqermo57kzlw",
                  "DB061B8D84A7AB20527E4465F2385963F06E4E3743D46FE9250924AA81AA9A35"),
        "owner@example.com 1700000000");

    const std::string binary = "\x01\xff caf\xc3\xa9 \x7f";
    EXPECT_EQ(crypto.decryptText("pw", crypto.encryptText("pw", binary)), binary);
    // A sealed text ends at its first zero byte, as the stored texts always did.
    EXPECT_EQ(crypto.decryptText("pw", crypto.encryptText("pw", std::string("key\0tail", 8))), "key");
}

TEST(SealedText, RefusesDamagedOrForeignTexts)
{
    {
        // Odd length: reported as corruption, with no key derived at all.
        CryptoContext crypto;
        try {
            (void)crypto.decryptText("password", "c02856bf09ed275d15bb31e229f5d83");
            FAIL() << "an odd-length text was accepted";
        } catch (const ExceptionModule& error) {
            EXPECT_EQ(error.getMessage(), kCorruptionMessage);
            EXPECT_EQ(error.getCause(), "");
        }
        EXPECT_FALSE(crypto.hasKey());
    }
    CryptoContext crypto;
    EXPECT_EQ(messageOf([&] { (void)crypto.decryptText("password", "c02856bf09ed275d15bb31e229f5d8zz"); }),
        kCorruptionMessage);
    EXPECT_EQ(messageOf([&] { (void)crypto.decryptText("password", "c02856bf09ed275d 5bb31e229f5d839"); }),
        kCorruptionMessage);

    // A wrong key text fails on the padding.
    EXPECT_EQ(messageOf([&] { (void)crypto.decryptText("passwort", "c02856bf09ed275d15bb31e229f5d839"); }),
        kCipherMessage);
    // Not whole blocks, or nothing at all.
    EXPECT_EQ(messageOf([&] { (void)crypto.decryptText("password", "c02856bf09ed275d15bb31e229f5d8"); }),
        kCipherMessage);
    EXPECT_EQ(messageOf([&] { (void)crypto.decryptText("password", ""); }), kCipherMessage);
}

TEST(Algorithm, AcceptsOnlyTheTwoExactNames)
{
    CryptoContext crypto;
    EXPECT_EQ(crypto.algorithm(), "CALG_AES_128");
    crypto.setAlgorithm("CALG_AES_256");
    EXPECT_EQ(crypto.algorithm(), "CALG_AES_256");
    crypto.setAlgorithm("CALG_AES_128");
    EXPECT_EQ(crypto.algorithm(), "CALG_AES_128");

    for (const std::string name : { "calg_aes_128", "CALG_AES_192", "", "CALG_AES_128 ", "CALG_AES_12" }) {
        try {
            crypto.setAlgorithm(name);
            ADD_FAILURE() << "accepted '" << name << "'";
        } catch (const ExceptionModule& error) {
            EXPECT_EQ(error.getMessage(), "Unsupported encryption algorithm.");
            EXPECT_EQ(error.getCause(), "");
        }
        EXPECT_EQ(crypto.algorithm(), "CALG_AES_128");
    }
}

TEST(Algorithm, Aes256NameStillGivesTheAes128Key)
{
    // Stored records that name CALG_AES_256 were sealed with 128-bit keys.
    CryptoContext crypto;
    crypto.setAlgorithm("CALG_AES_256");
    EXPECT_EQ(crypto.encryptText("password", "abc"), "c02856bf09ed275d15bb31e229f5d839");
}

TEST(Hex, EncodesLowerCaseAndDecodesBothCases)
{
    EXPECT_EQ(toHex(""), "");
    EXPECT_EQ(toHex(std::string("\x00\x0f\xa0\xff\x7f", 5)), "000fa0ff7f");
    EXPECT_EQ(fromHex("000FA0ff7F"), std::string("\x00\x0f\xa0\xff\x7f", 5));
    EXPECT_EQ(fromHex(""), "");

    for (const std::string bad : { "0", "abc", "0g", "g0", " 0", "0x10", "-1" }) {
        try {
            (void)fromHex(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ExceptionModule& error) {
            EXPECT_EQ(error.getMessage(), kCorruptionMessage) << bad;
        }
    }
}

TEST(BodyLength, FollowsTheChunkRule)
{
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> table = {
        { 0, 0 }, { 1, 16 }, { 15, 16 }, { 16, 32 }, { 1983, 1984 }, { 1984, 2000 }, { 1999, 2000 },
        { 2000, 2000 }, { 2001, 2016 }, { 3990, 4000 }, { 4000, 4000 }, { 4001, 4016 }, { 5000, 5008 },
        { 4294967295ULL, 4294967296ULL },
    };
    for (const auto& [plain, body] : table)
        EXPECT_EQ(encryptedBodyLength(plain), body) << plain;
}
