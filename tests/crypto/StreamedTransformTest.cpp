// Large files take three threads (read ahead, transform, write behind, past
// the page cache where the file system allows it). Their bodies must be the
// very bytes the one-thread transform writes, and every failure must still
// leave no target behind.

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "tests/crypto/CryptoTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using cryptotest::decryptFile;
using cryptotest::encryptFile;
using cryptotest::kCipherMessage;
using cryptotest::kPasswordKeyHex;
using cryptotest::messageOf;
using testsupport::exists;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::sha1OfFile;
using testsupport::writeFile;

namespace {

// Its derived key is kPasswordKeyHex, which openssl is given.
const std::string kKey = "password";
constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;

// The pattern of patternBytes, written in pieces: files of gigabytes.
void writePatternFile(const std::string& path, std::uint64_t length)
{
    const std::string unit = patternBytes(251 * 4096);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (std::uint64_t left = length; left > 0;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, unit.size()));
        ASSERT_EQ(std::fwrite(unit.data(), 1, piece, file), piece);
        left -= piece;
    }
    ASSERT_EQ(std::fclose(file), 0);
}

} // namespace

TEST(StreamedTransform, BodiesAreTheChainOpensslWrites)
{
    const std::string folder = testsupport::makeScratchFolder("streamed-bodies");
    // Around the 2 MiB blocks and the 8 MiB where streaming starts: an empty
    // last block that still takes the padding, a padded chunk filling 2000
    // bytes, whole chunks that end inside a block, and one byte short.
    const std::vector<std::uint64_t> lengths = { 8 * kMiB - 1, 8 * kMiB, 12 * kMiB + 1990, 20000000, 16 * kMiB + 1 };
    for (const std::uint64_t length : lengths) {
        const std::string plain = patternBytes(length);
        writeFile(folder + "/plain", plain);
        std::vector<std::uint64_t> progress;
        FileTransformOptions options;
        options.onBytes = [&](std::uint64_t done) { progress.push_back(done); };
        ASSERT_EQ(encryptFile(kKey, folder + "/plain", folder + "/body", options), length);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), length);
        EXPECT_TRUE(readFile(folder + "/body")
            == cryptotest::opensslEncrypt(kPasswordKeyHex, plain, length % 2000 != 0, folder))
            << "plain length " << length;
        ASSERT_EQ(decryptFile(kKey, folder + "/body", folder + "/back", length), length);
        EXPECT_TRUE(readFile(folder + "/back") == plain) << "plain length " << length;
    }
}

TEST(StreamedTransform, FailuresOfEveryStageLeaveNoTarget)
{
    const std::string folder = testsupport::makeScratchFolder("streamed-failures");
    constexpr std::uint64_t length = 13 * kMiB + 5;
    writePatternFile(folder + "/plain", length);
    const std::string plainSha1 = sha1OfFile(folder + "/plain");

    // The writer: the file-size limit refuses a write in the middle.
    {
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit previous {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit small = previous;
        small.rlim_cur = 6 * kMiB;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string message = messageOf([&] { (void)encryptFile(kKey, folder + "/plain", folder + "/body"); });
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &previous), 0);
        std::signal(SIGXFSZ, previousHandler);
        EXPECT_EQ(message, "Internal error. Failed to write new file.");
        EXPECT_FALSE(exists(folder + "/body"));
    }

    // The transform: a caller cancelling half-way, and a source that is not
    // as long as it was measured.
    FileTransformOptions cancelling;
    cancelling.onBytes = [](std::uint64_t done) {
        if (done > 5 * kMiB)
            throw ExceptionModule(L"Cancelled.", L"");
    };
    EXPECT_EQ(messageOf([&] { (void)encryptFile(kKey, folder + "/plain", folder + "/body", cancelling); }),
        "Cancelled.");
    EXPECT_FALSE(exists(folder + "/body"));
    FileTransformOptions measured;
    measured.plainSize = length + 1;
    EXPECT_EQ(messageOf([&] { (void)encryptFile(kKey, folder + "/plain", folder + "/body", measured); }),
        "Internal error. Failed to read file.");
    EXPECT_FALSE(exists(folder + "/body"));

    // Decrypting: a wrong key fails on the padding, a damaged last block too,
    // and neither leaves a plain file.
    ASSERT_EQ(encryptFile(kKey, folder + "/plain", folder + "/body"), length);
    EXPECT_EQ(messageOf([&] { (void)decryptFile("passwore", folder + "/body", folder + "/back", length); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/back"));
    {
        std::FILE* body = std::fopen((folder + "/body").c_str(), "r+b");
        ASSERT_NE(body, nullptr);
        ASSERT_EQ(std::fseek(body, -1, SEEK_END), 0);
        const int last = std::fgetc(body);
        ASSERT_EQ(std::fseek(body, -1, SEEK_END), 0);
        std::fputc(last ^ 0x01, body);
        ASSERT_EQ(std::fclose(body), 0);
    }
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kKey, folder + "/body", folder + "/back", length); }), kCipherMessage);
    EXPECT_FALSE(exists(folder + "/back"));

    EXPECT_EQ(sha1OfFile(folder + "/plain"), plainSha1);
}

TEST(StreamedTransform, BodiesJustUnder4GiBMatchKnownAnswers)
{
    // Minutes of disk traffic: run where KIST_SLOW_TESTS is set.
    if (!std::getenv("KIST_SLOW_TESTS"))
        GTEST_SKIP() << "set KIST_SLOW_TESTS=1 to run the bodies just under 4 GiB";
    // SHA-1 of `openssl enc -aes-128-cbc` (with -nopad for whole chunks) over
    // the pattern, computed apart from this code base.
    struct Vector {
        std::uint64_t plainLength;
        std::uint64_t bodyLength;
        const char* sha1;
    };
    const std::vector<Vector> vectors = {
        { 4294967295, 4294967296, "42b1bd3a88bc5d3344d0eb56039e08866ffa6c69" },
        { 4294966000, 4294966000, "5748b8a1c396bb921235c7bcffb9c383aaab10a1" },
    };
    const std::string folder = testsupport::makeScratchFolder("under-4gib");
    for (const Vector& vector : vectors) {
        writePatternFile(folder + "/plain", vector.plainLength);
        const std::string plainSha1 = sha1OfFile(folder + "/plain");
        ASSERT_EQ(encryptFile(kKey, folder + "/plain", folder + "/body"), vector.plainLength);
        EXPECT_EQ(std::filesystem::file_size(folder + "/body"), vector.bodyLength);
        EXPECT_EQ(sha1OfFile(folder + "/body"), vector.sha1) << vector.plainLength;
        std::remove((folder + "/plain").c_str());
        ASSERT_EQ(decryptFile(kKey, folder + "/body", folder + "/back", vector.plainLength), vector.plainLength);
        EXPECT_EQ(sha1OfFile(folder + "/back"), plainSha1) << vector.plainLength;
        std::remove((folder + "/body").c_str());
        std::remove((folder + "/back").c_str());
    }
}
