// The one-pass cipher and tag against NIST's AES-128-CBC vector and a tag
// computed outside the program, against OpenSSL's cipher and BodyTag over
// pieces that start and end anywhere in a hash block, and in a transform
// against the two run apart.

#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/EncryptAndTag.h"
#include "tests/crypto/CryptoTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kFileKey = "7Hq2LmZ9x";

std::vector<unsigned char> bytesOf(const std::string& hex)
{
    const std::string raw = fromHex(hex);
    return { raw.begin(), raw.end() };
}

std::string hexOf(const std::vector<unsigned char>& bytes)
{
    return toHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<unsigned char> opensslCbc(const unsigned char* key, std::vector<unsigned char> data)
{
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    const unsigned char zeroIv[16] = {};
    int produced = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, zeroIv), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_set_padding(context, 0), 1);
    EXPECT_EQ(EVP_EncryptUpdate(context, data.data(), &produced, data.data(), static_cast<int>(data.size())), 1);
    EVP_CIPHER_CTX_free(context);
    return data;
}

std::string bodyTagOf(const std::vector<unsigned char>& body)
{
    BodyTag tag(kFileKey);
    tag.update(body.data(), body.size());
    return tag.finish();
}

class EncryptAndTagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!EncryptAndTag::available())
            GTEST_SKIP() << "this processor has no AES and SHA instructions";
    }
    void TearDown() override { EncryptAndTag::allowed = true; }
};

} // namespace

TEST_F(EncryptAndTagTest, MatchesKnownAnswers)
{
    // NIST SP 800-38A F.2.1 (CBC-AES128.Encrypt). The chain starts from a
    // zero IV here, so the first block is given XOR the vector's IV.
    const std::vector<unsigned char> key = bytesOf("2b7e151628aed2a6abf7158809cf4f3c");
    std::vector<unsigned char> data = bytesOf("6bc0bce12a459991e134741a7f9e1925"
                                              "ae2d8a571e03ac9c9eb76fac45af8e51"
                                              "30c81c46a35ce411e5fbc1191a0a52ef"
                                              "f69f2445df4f9b17ad2b417be66c3710");
    EncryptAndTag pass(key.data(), kFileKey);
    pass.encrypt(data.data(), data.size());
    EXPECT_EQ(hexOf(data), "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                           "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    // `openssl dgst -sha256 -mac HMAC` under the tag key of kFileKey (see the
    // body tag's tests) of those 64 bytes and their length, and the same by
    // Python's hmac.
    EXPECT_EQ(pass.finishTag(), "3c08b28d5e85d524a5681689d98bf787fa6379eb2511829ff8712ef490e0f11e");
    EXPECT_EQ(cryptotest::messageOf([&] { (void)pass.finishTag(); }),
              "Internal error. Cannot create a secure hash of data to be protected. Are you running on Windows XP SP2+?");
}

TEST_F(EncryptAndTagTest, PiecesOfAnyWholeBlocksGiveOpenSslsCipherAndTheBodyTag)
{
    const std::vector<unsigned char> key = bytesOf("000102030405060708090a0b0c0d0e0f");
    // Pieces that leave part of a hash block over (16, 48, 80 bytes) switch
    // between the one-pass path and the kept bytes; the lengths end on and
    // off a hash block, and one is long enough for many.
    const std::vector<std::vector<std::size_t>> cuts = {
        {}, { 16 }, { 64 }, { 48, 16 }, { 16, 64, 64, 32 }, { 80, 1024, 16, 4096 }, { (1 << 20) + 48, 64 * 3 },
    };
    for (const auto& pieces : cuts) {
        std::size_t total = 0;
        for (const std::size_t piece : pieces)
            total += piece;
        SCOPED_TRACE(total);
        const std::string pattern = patternBytes(total);
        std::vector<unsigned char> data(pattern.begin(), pattern.end());
        const std::vector<unsigned char> expected = opensslCbc(key.data(), data);

        EncryptAndTag pass(key.data(), kFileKey);
        std::size_t at = 0;
        for (const std::size_t piece : pieces) {
            pass.encrypt(data.data() + at, piece);
            at += piece;
        }
        EXPECT_TRUE(data == expected);
        EXPECT_EQ(pass.finishTag(), bodyTagOf(expected));
    }
    EncryptAndTag pass(key.data(), kFileKey);
    unsigned char partial[24] = {};
    EXPECT_EQ(cryptotest::messageOf([&] { pass.encrypt(partial, sizeof partial); }), cryptotest::kCipherMessage);
}

// Small files run on the calling thread, large ones in three stages; the
// body and its tag are the same whether cipher and tag share a pass or not.
TEST_F(EncryptAndTagTest, ATransformWritesTheSameBodyAndTagEitherWay)
{
    const std::string folder = testsupport::makeScratchFolder("one-pass");
    const std::string plain = folder + "/plain";
    for (const std::size_t length : { std::size_t { 0 }, std::size_t { 4000 }, std::size_t { 70001 },
                                      (std::size_t { 9 } << 20) + 5 }) {
        SCOPED_TRACE(length);
        writeFile(plain, patternBytes(length));
        std::string bodies[2];
        std::string tags[2];
        for (const bool onePass : { true, false }) {
            EncryptAndTag::allowed = onePass;
            const std::string body = folder + (onePass ? "/one" : "/apart");
            std::remove(body.c_str());
            FileTransformOptions options;
            options.tagFileKey = &kFileKey;
            options.computedTag = &tags[onePass ? 0 : 1];
            EXPECT_EQ(cryptotest::encryptFile(kFileKey, plain, body, options), length);
            bodies[onePass ? 0 : 1] = readFile(body);
        }
        EXPECT_EQ(bodies[0].size(), encryptedBodyLength(length));
        EXPECT_TRUE(bodies[0] == bodies[1]);
        EXPECT_EQ(tags[0], tags[1]);
        EXPECT_EQ(tags[0].size(), 64U);
    }
}
