// A hardened vault: converted from a vault with entries or made from an
// empty one, opened only by its password or recovery key, and telling
// nothing without them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <sys/stat.h>

#include "engine/HardenedVault.h"
#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/KeyWrap.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "pass phrase";
// Longer than one block of the pipeline, streamed or not, and no whole
// number of the body's chunks.
constexpr std::size_t kLongFile = (std::size_t{5} << 20) + 4567;

// Every file in the vault folder but the header and the lock, by name.
std::map<std::string, std::string> vaultFiles()
{
    std::map<std::string, std::string> files;
    for (const auto& [path, bytes] : tree(vaultFolder()))
        if (path != "vault.header" && path != ".lock")
            files[path] = bytes;
    return files;
}

std::string resetCodeFor(const std::string& email)
{
    CryptoContext context;
    return context.encryptText(kFixedKeyText, email + " " + std::to_string(std::time(nullptr)));
}

class HardenedVaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        // The floor of the format (64 MiB, one pass), so tests stay quick.
        HardenedVault::fixedParameters = Argon2Parameters{1, kLeastArgon2MemoryKiB, 1};
        source = makeScratchFolder("hardened-source");
    }
    void TearDown() override { HardenedVault::fixedParameters.reset(); }

    // A file and a folder with a nested file, added to the standard vault.
    std::unique_ptr<Kist> vaultWithEntries()
    {
        auto kist = openVault(kPassword);
        writeFile(source + "/secret-report.txt", patternBytes(200000));
        writeFile(source + "/album/one.jpg", patternBytes(70000));
        writeFile(source + "/album/long.bin", patternBytes(kLongFile));
        writeFile(source + "/album/deep/two.txt", "two");
        writeFile(source + "/album/deep/empty.txt", "");
        for (const char* name : {"secret-report.txt", "album"}) {
            KistFile added;
            kist->addFile(source + "/" + name, &added, false);
        }
        return kist;
    }

    std::vector<std::pair<std::string, std::string>> takeEverythingOut(Kist& kist)
    {
        const std::string out = makeScratchFolder("hardened-out");
        for (const Entry& entry : list(kist))
            kist.removeFile(entry.name, out);
        return tree(out);
    }

    const std::vector<std::pair<std::string, std::string>> expected{
        {"album/deep/empty.txt", ""},
        {"album/deep/two.txt", "two"},
        {"album/long.bin", patternBytes(kLongFile)},
        {"album/one.jpg", patternBytes(70000)},
        {"secret-report.txt", patternBytes(200000)},
    };
    std::string source;
};

} // namespace

TEST_F(HardenedVaultTest, HardeningKeepsEveryEntryAndNothingOpensWithoutThePassword)
{
    std::string recoveryKey;
    {
        auto kist = vaultWithEntries();
        const auto before = list(*kist);
        // The long file is re-encrypted in the streamed blocks of a large one.
        const uint64_t usualStreamThreshold = BlockPipeline::streamThreshold;
        BlockPipeline::streamThreshold = uint64_t{1} << 20;
        try {
            recoveryKey = kist->harden(kPassword);
        } catch (...) {
            BlockPipeline::streamThreshold = usualStreamThreshold;
            throw;
        }
        BlockPipeline::streamThreshold = usualStreamThreshold;
        EXPECT_EQ(list(*kist), before) << "the engine goes on with the hardened vault";
        EXPECT_EQ(kist->vaultInfo().format, "hardened");
        EXPECT_EQ(kist->vaultInfo().argon2MemoryKiB, kLeastArgon2MemoryKiB);
    }
    EXPECT_TRUE(std::regex_match(recoveryKey, std::regex("([A-Z2-7]{4}-){12}[A-Z2-7]{4}"))) << recoveryKey;
    EXPECT_FALSE(fs::exists(vaultFolder() + "/.hardening"));

    // The database no longer opens with the key every copy of the program holds.
    EXPECT_THROW(sqlcipher(vaultDatabasePath(), "select display_name from ProtectedFiles;"), std::runtime_error);
    // No hash of the password is kept: not in the settings, not in the header.
    const std::string passwordHash = CryptoContext().secureHash(kPassword);
    EXPECT_EQ(readFile(vaultFolder() + "/vault.header").find(fromHex(passwordHash)), std::string::npos);
    {
        VaultEngine engine(EngineKind::UserVault);
        EXPECT_TRUE(engine.settings.empty()) << "nothing is read before the password is known";
        ASSERT_TRUE(engine.login(kPassword));
        EXPECT_EQ(engine.settings["CurrentPassword"], "");
        EXPECT_EQ(engine.settings["PreviousPassword"], "");
        EXPECT_EQ(engine.settings["Encryption"], HardenedVault::encryptionName);
    }
    // Every body is in the new form, and the old ones are gone.
    for (const auto& [path, bytes] : vaultFiles()) {
        if (path == kDatabaseName)
            continue;
        EXPECT_EQ(bytes.substr(0, 8), std::string("KVHBODY\x01", 8)) << path;
    }

    Kist kist(true);
    EXPECT_FALSE(kist.isEmptyPassword());
    EXPECT_EQ(errorOf([&] { list(kist); }), "Cannot use this feature until you enter your password.");
    EXPECT_FALSE(kist.login("pass phrasE"));
    ASSERT_TRUE(kist.login(kPassword));
    EXPECT_EQ(checkFindings(kist), "");
    EXPECT_EQ(takeEverythingOut(kist), expected);
    EXPECT_TRUE(list(kist).empty());
    EXPECT_EQ(vaultFiles().size(), 1u) << "only the database is left";

    // The page keys kept for other programs are those of the fixed
    // passphrase only: the hardened database's salt has no line there.
    const std::string keptKeys = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/kist/page-keys";
    ASSERT_TRUE(fs::exists(keptKeys)) << "the standard vault's key was kept";
    EXPECT_EQ(readFile(keptKeys).find(toHex(readFile(vaultDatabasePath()).substr(0, 16))), std::string::npos);
}

TEST_F(HardenedVaultTest, AnEmptyVaultBecomesHardenedAndNewFilesGoInHardened)
{
    {
        auto kist = openVault(kPassword);
        kist->logoff();
        Kist fresh(true);
        ASSERT_TRUE(fresh.login(kPassword));
        EXPECT_EQ(errorOf([&] { (void)fresh.harden("other"); }), "Incorrect password.");
        (void)fresh.harden(kPassword);
        EXPECT_EQ(errorOf([&] { (void)fresh.harden(kPassword); }), "This vault is hardened already.");
        writeFile(source + "/later.bin", patternBytes(100000));
        KistFile added;
        fresh.addFile(source + "/later.bin", &added, false);
    }
    auto files = vaultFiles();
    files.erase(kDatabaseName);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second.substr(0, 8), std::string("KVHBODY\x01", 8));
    Kist kist(true);
    ASSERT_TRUE(kist.login(kPassword));
    const auto out = takeEverythingOut(kist);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].second, patternBytes(100000));
}

TEST_F(HardenedVaultTest, APasswordChangeRewritesTheHeaderAndNothingElse)
{
    std::string recoveryKey;
    {
        auto kist = vaultWithEntries();
        recoveryKey = kist->harden(kPassword);
    }
    const auto before = vaultFiles();
    const std::string headerBefore = readFile(vaultFolder() + "/vault.header");
    {
        Kist kist(true);
        EXPECT_EQ(errorOf([&] { kist.setPassword("new one", "wrong"); }), "Incorrect old password.");
        EXPECT_EQ(errorOf([&] { kist.setPassword("", kPassword); }),
                  "A hardened vault needs a password: it cannot be empty.");
        kist.setPassword("new one", kPassword);
        EXPECT_EQ(list(kist).size(), 2u);
    }
    EXPECT_EQ(vaultFiles(), before);
    EXPECT_NE(readFile(vaultFolder() + "/vault.header"), headerBefore);
    Kist kist(true);
    EXPECT_FALSE(kist.login(kPassword));
    ASSERT_TRUE(kist.login("new one"));
    EXPECT_EQ(takeEverythingOut(kist), expected);
}

TEST_F(HardenedVaultTest, TheRecoveryKeySetsANewPasswordAndResetCodesAreRefused)
{
    std::string recoveryKey;
    {
        auto kist = vaultWithEntries();
        kist->setEmail("me@example.com");
        recoveryKey = kist->harden(kPassword);
    }
    Kist kist(true);
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", resetCodeFor("me@example.com")); }),
              "A hardened vault does not accept reset codes: use its recovery key in place of the old password.");
    // A key of the right form that is not this vault's, and a mistyped one.
    std::string otherKey = recoveryKey;
    otherKey[0] = otherKey[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", otherKey); }), "Incorrect old password.");
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", recoveryKey.substr(1)); }), "Incorrect old password.");
    // Written down in lower case with blanks for hyphens, it still opens.
    std::string typed = recoveryKey;
    for (char& c : typed)
        c = c == '-' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    kist.setPassword("after recovery", typed);
    EXPECT_EQ(list(kist).size(), 2u);
    Kist again(true);
    EXPECT_FALSE(again.login(kPassword));
    ASSERT_TRUE(again.login("after recovery"));
    EXPECT_EQ(takeEverythingOut(again), expected);
}

TEST_F(HardenedVaultTest, AlteredOrSwappedBodiesAreRefusedAndStay)
{
    {
        auto kist = vaultWithEntries();
        writeFile(source + "/third.bin", patternBytes(5000));
        KistFile added;
        kist->addFile(source + "/third.bin", &added, false);
        (void)kist->harden(kPassword);
    }
    // The two top-level file bodies trade places.
    std::vector<std::string> topFiles;
    for (const auto& entry : fs::directory_iterator(vaultFolder()))
        if (entry.is_regular_file() && entry.path().filename().string().size() == 36
            && entry.path().filename() != kDatabaseName)
            topFiles.push_back(entry.path().string());
    ASSERT_EQ(topFiles.size(), 2u);
    const std::string first = readFile(topFiles[0]);
    writeFile(topFiles[0], readFile(topFiles[1]));
    writeFile(topFiles[1], first);

    Kist kist(true);
    ASSERT_TRUE(kist.login(kPassword));
    const std::string findings = checkFindings(kist);
    EXPECT_NE(findings.find("damaged: secret-report.txt (the body belongs to another file)"), std::string::npos)
        << findings;
    EXPECT_NE(findings.find("damaged: third.bin (the body belongs to another file)"), std::string::npos) << findings;
    const std::string out = makeScratchFolder("swapped-out");
    const std::string refused = errorOf([&] { kist.removeFile("third.bin", out); });
    EXPECT_NE(refused.find("damaged: third.bin"), std::string::npos) << refused;
    EXPECT_EQ(list(kist).size(), 3u) << "a refused body stays in the vault";
    EXPECT_TRUE(tree(out).empty());
}

// A named pipe in the place of the header or of a body (opened for reading
// the ordinary way, it would wait for a writer): refused, nothing waits.
TEST_F(HardenedVaultTest, ANamedPipeInPlaceOfTheHeaderOrABodyIsRefused)
{
    {
        auto kist = vaultWithEntries();
        (void)kist->harden(kPassword);
    }
    const auto refusedBeside = [](const std::string& pipe, const std::function<void()>& action) {
        std::future<std::string> refusal = std::async(std::launch::async, [&] { return errorOf(action); });
        if (refusal.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "waited on the pipe at " << pipe;
            const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
        return refusal.get();
    };
    std::string body;
    for (const auto& entry : fs::directory_iterator(vaultFolder()))
        if (entry.is_regular_file() && entry.path().filename().string().size() == 36
            && entry.path().filename() != kDatabaseName)
            body = entry.path().string();
    ASSERT_FALSE(body.empty());
    fs::rename(body, body + ".aside");
    ASSERT_EQ(::mkfifo(body.c_str(), 0600), 0);
    {
        Kist kist(true);
        ASSERT_TRUE(kist.login(kPassword));
        const std::string out = makeScratchFolder("pipe-out");
        EXPECT_NE(refusedBeside(body, [&] { kist.removeFile("secret-report.txt", out); }), "");
        EXPECT_EQ(list(kist).size(), 2u);
        EXPECT_TRUE(tree(out).empty());
    }
    fs::remove(body);
    fs::rename(body + ".aside", body);

    const std::string header = vaultFolder() + "/vault.header";
    fs::rename(header, header + ".aside");
    ASSERT_EQ(::mkfifo(header.c_str(), 0600), 0);
    EXPECT_NE(refusedBeside(header, [] { Kist kist(true); }).find("Cannot read the hardened vault's header"),
              std::string::npos);
    fs::remove(header);
    fs::rename(header + ".aside", header);
    Kist kist(true);
    ASSERT_TRUE(kist.login(kPassword));
    EXPECT_EQ(checkFindings(kist), "");
}

// Each old body is checked against its tag while it is converted: an altered
// one stops the hardening, and the vault stays as it was, standard and whole.
TEST_F(HardenedVaultTest, HardeningRefusesAnAlteredBodyAndLeavesTheVaultAsItWas)
{
    auto kist = vaultWithEntries();
    std::string body;
    for (const auto& entry : fs::directory_iterator(vaultFolder()))
        if (entry.is_regular_file() && entry.path().filename().string().size() == 36
            && entry.path().filename() != kDatabaseName)
            body = entry.path().string();
    ASSERT_FALSE(body.empty()) << "the body of secret-report.txt";
    std::string bytes = readFile(body);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    writeFile(body, bytes);

    EXPECT_EQ(errorOf([&] { (void)kist->harden(kPassword); }), "damaged: secret-report.txt");
    EXPECT_EQ(kist->vaultInfo().format, "standard");
    EXPECT_FALSE(fs::exists(vaultFolder() + "/.hardening"));
    EXPECT_FALSE(fs::exists(vaultFolder() + "/vault.header"));
    const std::string out = makeScratchFolder("after-refusal");
    kist->removeFile("album", out);
    EXPECT_EQ(readFile(out + "/album/long.bin"), patternBytes(kLongFile));
    EXPECT_EQ(list(*kist).size(), 1u) << "the altered file stays in the vault";
}

TEST_F(HardenedVaultTest, AProgramThatHadTheVaultOpenFollowsTheHardening)
{
    auto before = vaultWithEntries();
    {
        Kist other(true);
        ASSERT_TRUE(other.login(kPassword));
        (void)other.harden(kPassword);
    }
    // Its password was proven for the old vault only: it asks again.
    EXPECT_EQ(errorOf([&] { list(*before); }), "Cannot use this feature until you enter your password.");
    ASSERT_TRUE(before->login(kPassword));
    EXPECT_EQ(before->vaultInfo().format, "hardened");
    EXPECT_EQ(takeEverythingOut(*before), expected);
}

TEST_F(HardenedVaultTest, AWrongPasswordAndAWrongRecoveryKeyCostAndSayTheSame)
{
    std::string recoveryKey;
    {
        auto kist = vaultWithEntries();
        recoveryKey = kist->harden(kPassword);
    }
    std::string otherKey = recoveryKey;
    otherKey[0] = otherKey[0] == 'A' ? 'B' : 'A';
    Kist kist(true);
    // Each refusal runs exactly one key derivation and compares nothing but
    // an authenticated unwrap: neither its time nor its words tell which.
    const std::uint64_t start = argon2idDerivations();
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", "not the password"); }), "Incorrect old password.");
    const std::uint64_t afterPassword = argon2idDerivations();
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", otherKey); }), "Incorrect old password.");
    const std::uint64_t afterKey = argon2idDerivations();
    EXPECT_EQ(errorOf([&] { kist.setPassword("new", "ABCD"); }), "Incorrect old password.");
    const std::uint64_t afterMalformed = argon2idDerivations();
    EXPECT_FALSE(kist.login("not the password"));
    EXPECT_EQ(afterPassword - start, 1u);
    EXPECT_EQ(afterKey - afterPassword, 1u);
    EXPECT_EQ(afterMalformed - afterKey, 1u);
    EXPECT_EQ(argon2idDerivations() - afterMalformed, 1u);
}
