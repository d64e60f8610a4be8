// The hardened format's primitives against answers computed apart from this
// code. The vectors were computed once with argon2-cffi 21.1, PyNaCl 1.5
// (libsodium) and pyca/cryptography 38 (OpenSSL) on Debian 12 by a script
// that follows docs/security.md; the Argon2id key also with the reference
// `argon2` command-line tool:
//   echo -n "correct horse" | argon2 "KORVELIN salt 16" -id -t 1 -k 65536 -p 1 -l 32 -r

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <openssl/sha.h>

#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/KeyWrap.h"
#include "tests/crypto/CryptoTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using cryptotest::messageOf;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string bytesFrom(const std::string& hex)
{
    return fromHex(hex);
}

std::string keyOfBytes0To31()
{
    std::string key;
    for (int i = 0; i < 32; ++i)
        key.push_back(static_cast<char>(i));
    return key;
}

// The plain bytes of the large vector: byte i is (7 i + 3) mod 256.
std::string vectorPattern(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    return bytes;
}

std::string sha256Hex(const std::string& bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return toHex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

const std::string kSmallPlain = "The quick brown fox jumps over the lazy dog";
// Written by the Python script from the small plain text under the key 00 01 .. 1f.
const std::string kSmallBody =
    "4b5648424f44590171a034e3432e38479e54ae8d12ec477a2b0000000000000041bedadc3581597d650e334b83d154d773f064740ec"
    "739f400206caf4342532a52f3479d4956fd1c3db0a40984255e7b261ce7be3b613909861714";
const std::string kEmptyBody =
    "4b5648424f44590171a034e3432e38479e54ae8d12ec477a000000000000000058532e084085c51b16dac1d5980c690b";
// 150000 bytes of the pattern: three chunks, the last one short.
const std::string kLargeBodySha256 = "d63ce9e14fa5e3fa43c0d7e507f9d9abac3f63203cd6450c3cbf9e9027123d0f";
constexpr std::size_t kLargeBodyLength = 150080;

class HardenedBodyTest : public ::testing::Test {
protected:
    std::string folder = testsupport::makeScratchFolder("hardened-body");
    std::string key = keyOfBytes0To31();

    std::string path(const std::string& name) const { return folder + "/" + name; }

    std::string encrypt(const std::string& plain, const std::string& name)
    {
        writeFile(path(name + ".plain"), plain);
        encryptHardenedBody(toWide(path(name + ".plain")), toWide(path(name)), key);
        return readFile(path(name));
    }

    std::string decryptMessage(const std::string& body, const std::string& fileKey)
    {
        writeFile(path("tampered"), body);
        return messageOf([&] { decryptHardenedBody(toWide(path("tampered")), toWide(path("out")), fileKey); });
    }
};

} // namespace

TEST(KeyWrapTest, Argon2idMatchesTheReferenceImplementation)
{
    Argon2Parameters parameters;
    parameters.passes = 1;
    parameters.memoryKiB = 65536;
    const SecretText key = argon2idKey("correct horse", "KORVELIN salt 16", parameters);
    EXPECT_EQ(toHex(key.text()), "cc2b4f5d657cd63a636f49e0b06bebcd0298af96702391705a5a450cebc36aa4");
    parameters.passes = 2;
    EXPECT_EQ(toHex(argon2idKey("correct horse", "KORVELIN salt 16", parameters).text()),
              "e2307ef2c2d0eaa74e50673aca2b3f3dec52ae60e7fc04659624a8636263d847");
}

TEST(KeyWrapTest, HkdfLabelsMatchAnIndependentHkdf)
{
    const std::string master(32, '\x42');
    EXPECT_EQ(toHex(hkdfSha256(master, "KORVELIN Safehold database key 1", 32).text()),
              "e48675fa8d3ad2f87c56d655777b01b6599dad9db15a644e47bccf95b7499e49");
    EXPECT_EQ(toHex(hkdfSha256(master, "KORVELIN Safehold file key wrap 1", 32).text()),
              "6003c515463b7b698eb320310b8917c63ff0fc0174832ccd5a9aa46811345f1f");
}

TEST(KeyWrapTest, AKeyWrappedByPyNaClUnwrapsAndNothingElseDoes)
{
    Argon2Parameters parameters;
    parameters.passes = 1;
    const SecretText wrapping = argon2idKey("correct horse", "KORVELIN salt 16", parameters);
    const std::string wrapped = bytesFrom(
        "000102030405060708090a0b0c0d0e0f1011121314151617832ddd3101be038913abd12ca4157c09b735593e05c341bccfa39360f2"
        "ac1b99c6cd3ac13a746151a9fbe60772dd5879");
    const auto master = unwrapKey(wrapped, wrapping, "KORVELIN-test-binding");
    ASSERT_TRUE(master.has_value());
    EXPECT_EQ(master->text(), std::string(32, '\x42'));

    EXPECT_FALSE(unwrapKey(wrapped, wrapping, "KORVELIN-test-bindinG"));
    const SecretText wrongPassword = argon2idKey("correct horsE", "KORVELIN salt 16", parameters);
    EXPECT_FALSE(unwrapKey(wrapped, wrongPassword, "KORVELIN-test-binding"));
    std::string flipped = wrapped;
    flipped[40] = static_cast<char>(flipped[40] ^ 1);
    EXPECT_FALSE(unwrapKey(flipped, wrapping, "KORVELIN-test-binding"));

    // And the reverse: our wrap opens again (with a fresh nonce each time).
    const std::string again = wrapKey(master->text(), wrapping, "binding");
    EXPECT_NE(again.substr(0, 24), wrapKey(master->text(), wrapping, "binding").substr(0, 24));
    EXPECT_EQ(unwrapKey(again, wrapping, "binding")->text(), master->text());
}

TEST_F(HardenedBodyTest, WritesExactlyTheIndependentlyComputedBodies)
{
    EXPECT_EQ(toHex(encrypt(kSmallPlain, "small")), kSmallBody);
    EXPECT_EQ(toHex(encrypt("", "empty")), kEmptyBody);
    const std::string large = encrypt(vectorPattern(150000), "large");
    EXPECT_EQ(large.size(), kLargeBodyLength);
    EXPECT_EQ(hardenedBodyLength(150000), kLargeBodyLength);
    EXPECT_EQ(sha256Hex(large), kLargeBodySha256);
}

TEST_F(HardenedBodyTest, ReadsBodiesWrittenByTheIndependentScript)
{
    writeFile(path("script-small"), bytesFrom(kSmallBody));
    EXPECT_EQ(decryptHardenedBody(toWide(path("script-small")), toWide(path("small.out")), key), kSmallPlain.size());
    EXPECT_EQ(readFile(path("small.out")), kSmallPlain);
    writeFile(path("script-empty"), bytesFrom(kEmptyBody));
    EXPECT_EQ(decryptHardenedBody(toWide(path("script-empty")), toWide(path("empty.out")), key), 0u);
    EXPECT_EQ(readFile(path("empty.out")), "");
}

TEST_F(HardenedBodyTest, LargeBodiesStreamThroughEveryBlockSize)
{
    // 9 MiB + 5 bytes takes the streaming pipeline, whose 2 MiB blocks 12 MiB
    // fills exactly (its last block is empty); 64 KiB ends on a full chunk.
    for (const std::size_t length :
         {std::size_t{65536}, std::size_t{65537}, (std::size_t{9} << 20) + 5, std::size_t{12} << 20}) {
        const std::string plain = testsupport::patternBytes(length);
        const std::string body = encrypt(plain, "body");
        EXPECT_EQ(body.size(), hardenedBodyLength(length));
        HardenedBodyOptions options;
        options.plainSize = length;
        EXPECT_EQ(decryptHardenedBody(toWide(path("body")), toWide(path("body.out")), key, options), length);
        EXPECT_EQ(readFile(path("body.out")), plain) << length;
        std::remove(path("body").c_str());
        std::remove(path("body.out").c_str());
    }
}

TEST_F(HardenedBodyTest, RefusesEveryTamperingWithAClearReasonAndKeepsNothing)
{
    const std::string body = encrypt(vectorPattern(150000), "three-chunks");
    constexpr std::size_t frame = 65536 + 16;
    const auto refused = [&](const std::string& tampered, const std::string& reason) {
        const std::string message = decryptMessage(tampered, key);
        EXPECT_EQ(message.rfind("damaged: ", 0), 0u) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
        EXPECT_FALSE(testsupport::exists(path("out"))) << "a refused body left plain bytes behind";
    };
    std::string flipped = body;
    flipped[100000] = static_cast<char>(flipped[100000] ^ 0x01);
    refused(flipped, "a byte was changed");
    std::string header = body;
    header[24] = static_cast<char>(header[24] ^ 0x01); // the size field
    refused(header, "cut short");
    std::string dropped = body;
    dropped.erase(32 + frame, frame);
    refused(dropped, "a chunk is missing");
    std::string reordered = body.substr(0, 32) + body.substr(32 + frame, frame) + body.substr(32, frame)
        + body.substr(32 + 2 * frame);
    refused(reordered, "chunks were reordered");
    refused(body.substr(0, body.size() - 1), "cut short");
    refused(body.substr(0, 32 + 2 * frame), "cut short");
    refused(body + "x", "holds more than its chunks");
    std::string notHardened = body;
    notHardened[0] = 'X';
    refused(notHardened, "not a body of a hardened vault");
    // The body of another file (another key) in this one's place.
    std::string otherKey = key;
    otherKey[0] = 'Z';
    const std::string message = decryptMessage(body, otherKey);
    EXPECT_NE(message.find("belongs to another file"), std::string::npos) << message;
    // Its record's size tells a body swapped for another of the same key.
    HardenedBodyOptions options;
    options.plainSize = 150001;
    writeFile(path("sized"), body);
    EXPECT_NE(messageOf([&] { decryptHardenedBody(toWide(path("sized")), toWide(path("out")), key, options); })
                  .find("size differs from its record"),
              std::string::npos);
}
