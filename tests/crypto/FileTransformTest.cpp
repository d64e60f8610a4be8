#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

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

const std::string kFileKey = "7Hq2LmZ9x";
// Lengths around the chunk edges, the 1984..1999 range whose padded last
// chunk fills exactly 2000 bytes among them.
const std::vector<std::uint64_t> kEdgeLengths = { 0, 1, 15, 16, 1984, 1990, 1999, 2000, 2001, 3990, 4000, 4001 };

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        ADD_FAILURE() << "cannot stat " << path;
    return info.st_mode & 07777;
}

class UmaskScope {
public:
    explicit UmaskScope(mode_t mask)
        : previous(::umask(mask))
    {
    }
    ~UmaskScope() { ::umask(previous); }

private:
    mode_t previous;
};

} // namespace

TEST(FileBody, MatchesKnownAnswers)
{
    struct Vector {
        std::size_t plainLength;
        std::uint64_t bodyLength;
        const char* sha1;
    };
    const std::vector<Vector> vectors = {
        { 0, 0, "da39a3ee5e6b4b0d3255bfef95601890afd80709" },
        { 15, 16, "39f032e029fac72dafe4b66cfad0d87511c737f7" },
        { 3990, 4000, "0b6a09c38cf5c6a75f617070ff55070c87cf8784" },
        { 4000, 4000, "1b0df606a952d2aa17f33a40eb86efd077f8f6e0" },
        { 5000, 5008, "53cf44cf12ed9e92ac567a27d6f454763284dc1c" },
    };
    const std::string folder = testsupport::makeScratchFolder("known-bodies");
    for (const Vector& vector : vectors) {
        const std::string name = folder + "/" + std::to_string(vector.plainLength);
        writeFile(name + ".plain", patternBytes(vector.plainLength));
        EXPECT_EQ(encryptFile(kFileKey, name + ".plain", name + ".body"), vector.plainLength);
        EXPECT_EQ(std::filesystem::file_size(name + ".body"), vector.bodyLength) << vector.plainLength;
        EXPECT_EQ(sha1OfFile(name + ".body"), vector.sha1) << vector.plainLength;

        EXPECT_EQ(decryptFile(kFileKey, name + ".body", name + ".back", vector.plainLength), vector.plainLength);
        EXPECT_EQ(readFile(name + ".back"), patternBytes(vector.plainLength)) << vector.plainLength;
    }
}

TEST(FileBody, IsOneChainThatOpensslReadsWhole)
{
    // One CBC chain over the whole file: the body equals openssl's encryption
    // of the whole file, padded exactly when the last chunk is partial.
    const std::string folder = testsupport::makeScratchFolder("openssl-bodies");
    for (const std::uint64_t length : kEdgeLengths) {
        const std::string plain = patternBytes(length);
        writeFile(folder + "/plain", plain);
        (void)encryptFile("password", folder + "/plain", folder + "/body");
        EXPECT_EQ(toHex(readFile(folder + "/body")),
            toHex(cryptotest::opensslEncrypt(kPasswordKeyHex, plain, length % 2000 != 0, folder)))
            << "plain length " << length;
    }
}

TEST(FileBody, Aes256NameAfterDerivingKeepsTheAes128Key)
{
    const std::string folder = testsupport::makeScratchFolder("aes256-name");
    const std::string plain = patternBytes(2500);
    writeFile(folder + "/plain", plain);
    CryptoContext crypto;
    crypto.deriveKey("password");
    crypto.setAlgorithm("CALG_AES_256");
    (void)crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/body"), true);
    EXPECT_EQ(toHex(readFile(folder + "/body")),
        toHex(cryptotest::opensslEncrypt(kPasswordKeyHex, plain, true, folder)));
}

TEST(FileTransform, RoundTripsEveryEdgeLength)
{
    const std::string folder = testsupport::makeScratchFolder("round-trips");
    for (const std::uint64_t length : kEdgeLengths) {
        const std::string plain = patternBytes(length);
        writeFile(folder + "/plain", plain);
        EXPECT_EQ(encryptFile(kFileKey, folder + "/plain", folder + "/body"), length);
        EXPECT_EQ(std::filesystem::file_size(folder + "/body"), encryptedBodyLength(length));
        EXPECT_EQ(decryptFile(kFileKey, folder + "/body", folder + "/back", length), length);
        EXPECT_EQ(readFile(folder + "/back"), plain) << "plain length " << length;
    }
}

TEST(FileTransform, RoundTripsFilesLargerThanItsBlocks)
{
    const std::string folder = testsupport::makeScratchFolder("large");
    // Exactly one block, several blocks ending in a padded chunk that fills
    // 2000 bytes, and several blocks of whole chunks.
    const std::vector<std::uint64_t> lengths = { std::uint64_t { 1 } << 20, 3201990, 4000000 };
    for (const std::uint64_t length : lengths) {
        const std::string plain = patternBytes(length);
        writeFile(folder + "/plain", plain);

        std::vector<std::uint64_t> progress;
        FileTransformOptions options;
        options.onBytes = [&](std::uint64_t done) { progress.push_back(done); };
        EXPECT_EQ(encryptFile(kFileKey, folder + "/plain", folder + "/body", options), length);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), length);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

        CryptoContext crypto;
        crypto.deriveKey(kFileKey);
        FileTransformOptions back;
        back.plainSize = length;
        back.flush = false;
        std::uint64_t lastReported = 0;
        back.onBytes = [&](std::uint64_t done) { lastReported = done; };
        EXPECT_EQ(crypto.transformFile(toWide(folder + "/body"), toWide(folder + "/back"), false, back), length);
        EXPECT_EQ(lastReported, length);
        EXPECT_TRUE(readFile(folder + "/back") == plain) << "plain length " << length;
    }
}

TEST(FileTransform, RefusesBodiesThatDoNotFitThePlainLength)
{
    const std::string folder = testsupport::makeScratchFolder("misfit");
    writeFile(folder + "/plain4000", patternBytes(4000));
    writeFile(folder + "/plain5000", patternBytes(5000));
    (void)encryptFile(kFileKey, folder + "/plain4000", folder + "/body4000");
    (void)encryptFile(kFileKey, folder + "/plain5000", folder + "/body5000");
    const std::string body5000 = readFile(folder + "/body5000");

    // Wrong length for the plain size.
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kFileKey, folder + "/body4000", folder + "/out", 4001); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));

    // Same length, but an unpadded body read as one whose last chunk is padded.
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kFileKey, folder + "/body4000", folder + "/out", 3990); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));

    // A truncated body, and one with a damaged padding byte.
    writeFile(folder + "/short", body5000.substr(0, 4992));
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kFileKey, folder + "/short", folder + "/out", 5000); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));
    std::string damaged = body5000;
    damaged[damaged.size() - 1] = static_cast<char>(damaged.back() ^ 0x01);
    writeFile(folder + "/damaged", damaged);
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kFileKey, folder + "/damaged", folder + "/out", 5000); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));
    EXPECT_EQ(readFile(folder + "/body5000"), body5000);
}

TEST(FileTransform, WrongKeyFailsOnThePadding)
{
    const std::string folder = testsupport::makeScratchFolder("wrong-key");
    writeFile(folder + "/plain", patternBytes(5000));
    (void)encryptFile(kFileKey, folder + "/plain", folder + "/body");
    EXPECT_EQ(messageOf([&] { (void)decryptFile("7Hq2LmZ9y", folder + "/body", folder + "/out", 5000); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));
}

TEST(FileTransform, NeedsAKeyAndThePlainLengthToDecrypt)
{
    const std::string folder = testsupport::makeScratchFolder("preconditions");
    writeFile(folder + "/plain", patternBytes(100));
    CryptoContext noKey;
    EXPECT_EQ(messageOf([&] { (void)noKey.transformFile(toWide(folder + "/plain"), toWide(folder + "/out"), true); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));

    (void)encryptFile(kFileKey, folder + "/plain", folder + "/body");
    CryptoContext crypto;
    crypto.deriveKey(kFileKey);
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/body"), toWide(folder + "/out"), false); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));

    // A plain length whose body length would not fit 64 bits.
    writeFile(folder + "/empty", "");
    EXPECT_EQ(messageOf([&] { (void)decryptFile(kFileKey, folder + "/empty", folder + "/out", UINT64_MAX); }),
        kCipherMessage);
    EXPECT_FALSE(exists(folder + "/out"));
}

TEST(FileTransform, MissingSourceNamesItAndLeavesNoTarget)
{
    const std::string folder = testsupport::makeScratchFolder("missing-source");
    const std::string source = folder + "/it's not here.txt";
    CryptoContext crypto;
    crypto.deriveKey(kFileKey);
    try {
        (void)crypto.transformFile(toWide(source), toWide(folder + "/out"), true);
        FAIL() << "a missing source was accepted";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot find the file: " + source);
        EXPECT_NE(error.getCause(), "");
    }
    EXPECT_FALSE(exists(folder + "/out"));

    // A folder is no file to encrypt either.
    std::filesystem::create_directory(folder + "/sub");
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/sub"), toWide(folder + "/out"), true); }),
        "Cannot find the file: " + folder + "/sub");
    EXPECT_FALSE(exists(folder + "/out"));
}

TEST(FileTransform, TargetRulesProtectFilesItDidNotCreate)
{
    const std::string folder = testsupport::makeScratchFolder("targets");
    const std::string plain = patternBytes(3000);
    writeFile(folder + "/plain", plain);
    CryptoContext crypto;
    crypto.deriveKey(kFileKey);

    // A target folder that does not exist.
    const std::string unreachable = folder + "/missing/body";
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/plain"), toWide(unreachable), true); }),
        "Cannot find the file: " + unreachable);

    // Exclusive creation leaves an existing file alone.
    writeFile(folder + "/taken", "someone else's");
    FileTransformOptions exclusive;
    exclusive.exclusive = true;
    EXPECT_EQ(messageOf([&] {
        (void)crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/taken"), true, exclusive);
    }),
        "Cannot find the file: " + folder + "/taken");
    EXPECT_EQ(readFile(folder + "/taken"), "someone else's");

    // Otherwise a longer existing file is replaced by exactly the output.
    writeFile(folder + "/old", std::string(10000, 'z'));
    EXPECT_EQ(crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/old"), true), 3000U);
    EXPECT_EQ(std::filesystem::file_size(folder + "/old"), encryptedBodyLength(3000));
    EXPECT_EQ(decryptFile(kFileKey, folder + "/old", folder + "/back", 3000), 3000U);
    EXPECT_EQ(readFile(folder + "/back"), plain);

    // A symbolic link is not followed into the file it names.
    writeFile(folder + "/victim", "keep me");
    std::filesystem::create_symlink(folder + "/victim", folder + "/link");
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/link"), true); }),
        "Cannot find the file: " + folder + "/link");
    EXPECT_EQ(readFile(folder + "/victim"), "keep me");
    EXPECT_TRUE(std::filesystem::is_symlink(folder + "/link"));

    // A transform onto its own source would destroy it.
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/plain"), true); }),
        "Cannot find the file: " + folder + "/plain");
    std::filesystem::create_hard_link(folder + "/plain", folder + "/alias");
    EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(folder + "/plain"), toWide(folder + "/alias"), true); }),
        "Cannot find the file: " + folder + "/alias");
    EXPECT_EQ(readFile(folder + "/plain"), plain);
}

TEST(FileTransform, EncryptedBodiesArePrivateAndPlainFilesFollowTheUmask)
{
    const std::string folder = testsupport::makeScratchFolder("modes");
    writeFile(folder + "/plain", patternBytes(2500));
    {
        UmaskScope mask(0);
        (void)encryptFile(kFileKey, folder + "/plain", folder + "/body");
        EXPECT_EQ(modeOf(folder + "/body"), 0600U);

        // Also when the body replaces an ordinary file.
        writeFile(folder + "/shared", "old");
        ASSERT_EQ(::chmod((folder + "/shared").c_str(), 0644), 0);
        (void)encryptFile(kFileKey, folder + "/plain", folder + "/shared");
        EXPECT_EQ(modeOf(folder + "/shared"), 0600U);
    }
    {
        UmaskScope mask(022);
        (void)decryptFile(kFileKey, folder + "/body", folder + "/back022", 2500);
        EXPECT_EQ(modeOf(folder + "/back022"), 0644U);
    }
    {
        UmaskScope mask(027);
        (void)decryptFile(kFileKey, folder + "/body", folder + "/back027", 2500);
        EXPECT_EQ(modeOf(folder + "/back027"), 0640U);
    }
}

TEST(FileTransform, FailuresRemoveThePartialTarget)
{
    const std::string folder = testsupport::makeScratchFolder("failures");
    const std::string plain = patternBytes(300000);
    writeFile(folder + "/plain", plain);

    // A write that the file-size limit refuses.
    {
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit previous {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit small = previous;
        small.rlim_cur = 64 * 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string message = messageOf([&] { (void)encryptFile(kFileKey, folder + "/plain", folder + "/body"); });
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &previous), 0);
        std::signal(SIGXFSZ, previousHandler);
        EXPECT_EQ(message, "Internal error. Failed to write new file.");
        EXPECT_FALSE(exists(folder + "/body"));
    }

    // A source that fails to read (memory at address 0 is never mapped).
    EXPECT_EQ(messageOf([&] { (void)encryptFile(kFileKey, "/proc/self/mem", folder + "/body"); }),
        "Internal error. Failed to read file.");
    EXPECT_FALSE(exists(folder + "/body"));

    // A source whose length is not the one recorded for it.
    FileTransformOptions measured;
    measured.plainSize = plain.size() - 1;
    EXPECT_EQ(messageOf([&] { (void)encryptFile(kFileKey, folder + "/plain", folder + "/body", measured); }),
        "Internal error. Failed to read file.");
    EXPECT_FALSE(exists(folder + "/body"));

    // A caller that cancels from the progress report.
    FileTransformOptions cancelling;
    cancelling.onBytes = [](std::uint64_t) { throw ExceptionModule(L"Cancelled.", L""); };
    writeFile(folder + "/big", patternBytes(3 << 20));
    EXPECT_EQ(messageOf([&] { (void)encryptFile(kFileKey, folder + "/big", folder + "/body", cancelling); }),
        "Cancelled.");
    EXPECT_FALSE(exists(folder + "/body"));

    EXPECT_EQ(readFile(folder + "/plain"), plain);
}
