#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/FileKey.h"
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

constexpr char kEmptyTextSha1[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
constexpr char kPasswordMessage[] = "Cannot use this feature until you enter your password.";
constexpr char kIncorrectOld[] = "Incorrect old password.";
constexpr int64_t kNow = 1700000000;

// SQL on the vault database of the scratch home.
std::string vaultSql(const std::string& sql)
{
    return sqlcipher(vaultDatabasePath(), sql);
}

std::string setting(const std::string& name)
{
    std::string value = vaultSql("select nv_value from KistConfig where nv_name='" + name + "';");
    if (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

// Everything a password change may touch, as the database holds it.
std::string storedState()
{
    return vaultSql("select nv_name, nv_value from KistConfig order by nv_name;"
                     "select unique_name, cipher, is_encrypted, pending_transform from ProtectedFiles "
                     "order by unique_name;");
}

std::vector<std::string> storedCiphers()
{
    std::vector<std::string> ciphers;
    std::string text = vaultSql("select cipher from ProtectedFiles where cipher <> '' order by unique_name;");
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        ciphers.push_back(text.substr(start, end - start));
    return ciphers;
}

// The SHA-1 of a text as sha1sum computes it.
std::string sha1Hex(const std::string& text)
{
    const std::string file = makeScratchFolder("sha1") + "/text";
    writeFile(file, text);
    return testsupport::sha1OfFile(file);
}

bool isCryptoMessage(const std::string& message)
{
    return message == "Internal error. Cannot encrypt data. Are you running on Windows XP SP2+?"
           || message == "Corruption in your data. Possible tampering of the product.";
}

std::string resetCode(const std::string& text)
{
    CryptoContext context;
    return context.encryptText(kFixedKeyText, text);
}

// A source folder with three files of different sizes and an empty folder.
struct Sources {
    std::string folder = makeScratchFolder("src");
    Sources()
    {
        writeFile(folder + "/alpha.txt", patternBytes(2001));
        writeFile(folder + "/beta/inner.bin", patternBytes(4000));
        writeFile(folder + "/beta/deeper/zero.txt", "");
        writeFile(folder + "/gamma.doc", patternBytes(15));
        fs::create_directories(folder + "/empty");
    }
};

void addAll(Kist& kist, const Sources& sources)
{
    KistFile added;
    for (const char* name : {"alpha.txt", "beta", "gamma.doc"})
        kist.addFile(sources.folder + "/" + name, &added, false);
}

void expectEverythingComesOut(Kist& kist)
{
    const std::string out = makeScratchFolder("out");
    for (const char* name : {"alpha.txt", "beta", "gamma.doc"})
        kist.removeFile(name, out);
    EXPECT_EQ(readFile(out + "/alpha.txt"), patternBytes(2001));
    EXPECT_EQ(readFile(out + "/beta/inner.bin"), patternBytes(4000));
    EXPECT_EQ(readFile(out + "/beta/deeper/zero.txt"), "");
    EXPECT_EQ(readFile(out + "/gamma.doc"), patternBytes(15));
}

int64_t fixedNow()
{
    return kNow;
}

} // namespace

class Passwords : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        savedClock = VaultEngine::clock;
        VaultEngine::clock = fixedNow;
    }
    void TearDown() override { VaultEngine::clock = savedClock; }

    int64_t (*savedClock)() = nullptr;
};

TEST_F(Passwords, NewVaultHasTheEmptyPassword)
{
    Kist kist(true);
    EXPECT_EQ(errorOf([&] { list(kist); }), kPasswordMessage);
    EXPECT_TRUE(kist.isEmptyPassword());
    EXPECT_TRUE(list(kist).empty()); // the answer logged the engine in
    EXPECT_FALSE(kist.login("x"));
    EXPECT_EQ(errorOf([&] { list(kist); }), kPasswordMessage);
    EXPECT_TRUE(kist.login(""));
    EXPECT_TRUE(list(kist).empty());
}

TEST_F(Passwords, SettingAPasswordStoresOnlyHashes)
{
    Kist kist(true);
    kist.setPassword("correct horse", "");
    EXPECT_EQ(setting("CurrentPassword"), sha1Hex("correct horse"));
    EXPECT_EQ(setting("PreviousPassword"), kEmptyTextSha1);
    EXPECT_TRUE(list(kist).empty()); // logged in by the change
    EXPECT_FALSE(kist.isEmptyPassword());

    kist.setPassword("battery staple", "correct horse");
    EXPECT_EQ(setting("CurrentPassword"), sha1Hex("battery staple"));
    EXPECT_EQ(setting("PreviousPassword"), sha1Hex("correct horse"));
    EXPECT_EQ(vaultSql("select count(*) from KistConfig where nv_value like '%horse%' or nv_value like '%staple%';"),
              "0\n");

    // Any text is a password, the empty one too.
    kist.setPassword("", "battery staple");
    Kist again(true);
    EXPECT_TRUE(again.isEmptyPassword());
}

TEST_F(Passwords, WrongOldPasswordChangesNothing)
{
    Sources sources;
    auto kist = openVault("pw");
    addAll(*kist, sources);
    const std::string before = storedState();

    EXPECT_EQ(errorOf([&] { kist->setPassword("new", "wrong"); }), kIncorrectOld);
    EXPECT_EQ(errorOf([&] { kist->setPassword("new", "PW"); }), kIncorrectOld);
    EXPECT_EQ(storedState(), before);
    EXPECT_EQ(list(*kist).size(), 3u); // still logged in

    // The facade still holds the old password: an export opens the keys.
    const std::string packages = makeScratchFolder("pkg");
    kist->exportFiles(packages + "/p.kzip", {"gamma.doc"}, "package pw");
    {
        Kist reader(packages + "/p.kzip");
        ASSERT_TRUE(reader.login("package pw"));
        const std::string out = makeScratchFolder("extract");
        reader.removeFile("gamma.doc", out);
        EXPECT_EQ(readFile(out + "/gamma.doc"), patternBytes(15));
    }

    Kist fresh(true);
    EXPECT_FALSE(fresh.login("new"));
    ASSERT_TRUE(fresh.login("pw"));
    expectEverythingComesOut(fresh);
}

TEST_F(Passwords, ChangeReSealsEveryKeyAndTheNewPasswordOpensThemAll)
{
    Sources sources;
    {
        auto kist = openVault("old password");
        addAll(*kist, sources);
        const auto before = storedCiphers();
        ASSERT_EQ(before.size(), 4u); // three files and the empty one; folders have no key
        kist->setPassword("new password", "old password");
        const auto after = storedCiphers();
        ASSERT_EQ(after.size(), before.size());
        for (const std::string& cipher : after)
            EXPECT_EQ(std::count(before.begin(), before.end(), cipher), 0) << cipher;
        // The engine goes on with the new password at once.
        const std::string out = makeScratchFolder("now");
        kist->removeFile("gamma.doc", out);
        EXPECT_EQ(readFile(out + "/gamma.doc"), patternBytes(15));
        KistFile added;
        kist->addFile(out + "/gamma.doc", &added, false);
    }
    Kist kist(true);
    EXPECT_FALSE(kist.login("old password"));
    ASSERT_TRUE(kist.login("new password"));
    expectEverythingComesOut(kist);
}

TEST_F(Passwords, ChangeReSealsRowsAnotherEngineAddedMeanwhile)
{
    Sources sources;
    auto first = openVault("one");
    KistFile added;
    first->addFile(sources.folder + "/alpha.txt", &added, false);
    {
        // A second program adds entries after the first one loaded the vault.
        Kist second(true);
        ASSERT_TRUE(second.login("one"));
        second.addFile(sources.folder + "/beta", &added, false);
        second.addFile(sources.folder + "/gamma.doc", &added, false);
    }
    const auto before = storedCiphers();
    ASSERT_EQ(before.size(), 4u);
    first->setPassword("two", "one");
    for (const std::string& cipher : storedCiphers())
        EXPECT_EQ(std::count(before.begin(), before.end(), cipher), 0) << cipher;
    first.reset();

    Kist fresh(true);
    ASSERT_TRUE(fresh.login("two"));
    expectEverythingComesOut(fresh);
}

TEST_F(Passwords, FailedReSealingLeavesEverythingAsItWas)
{
    // A cipher that is no hex text, and one sealed under another password.
    std::string otherSealing;
    {
        otherSealing = sealFileKey("someone else", drawFileKey());
    }
    for (const std::string& badCipher : {std::string("not a cipher"), otherSealing}) {
        SCOPED_TRACE(badCipher);
        resetProfile();
        Sources sources;
        auto kist = openVault("pw");
        addAll(*kist, sources);
        const std::string goodCipher =
            vaultSql("select cipher from ProtectedFiles where display_name='inner.bin';");
        vaultSql("update ProtectedFiles set cipher='" + badCipher + "' where display_name='inner.bin';");
        const std::string before = storedState();

        const std::string message = errorOf([&] { kist->setPassword("new", "pw"); });
        EXPECT_TRUE(isCryptoMessage(message)) << message;
        EXPECT_EQ(storedState(), before);

        // Still logged in with the old password, and the connection is usable.
        const std::string out = makeScratchFolder("out");
        kist->removeFile("alpha.txt", out);
        EXPECT_EQ(readFile(out + "/alpha.txt"), patternBytes(2001));
        KistFile added;
        kist->addFile(out + "/alpha.txt", &added, false);
        kist.reset();

        vaultSql("update ProtectedFiles set cipher='" + goodCipher.substr(0, goodCipher.size() - 1)
                  + "' where display_name='inner.bin';");
        Kist fresh(true);
        EXPECT_FALSE(fresh.login("new"));
        ASSERT_TRUE(fresh.login("pw"));
        expectEverythingComesOut(fresh);
    }
}

TEST_F(Passwords, ResetCodeRules)
{
    VaultEngine engine(EngineKind::UserVault);
    ASSERT_TRUE(engine.isEmptyPassword());
    engine.setEmail("me@example.com");
    const auto issuedAt = [](int64_t secondsAgo) {
        return resetCode("me@example.com " + std::to_string(kNow - secondsAgo));
    };
    struct Case {
        std::string label;
        std::string code;
        bool accepted;
    };
    const Case cases[] = {
        {"just issued", issuedAt(0), true},
        {"one day old exactly", issuedAt(86400), true},
        {"one second too old", issuedAt(86401), false},
        {"a year old", issuedAt(365 * 86400), false},
        {"issued in the future", issuedAt(-1000), true},
        {"another address", resetCode("you@example.com " + std::to_string(kNow)), false},
        {"address in other case", resetCode("Me@Example.com " + std::to_string(kNow)), false},
        {"no number", resetCode("me@example.com"), false},
        {"no number after the address", resetCode("me@example.com soon"), false},
        {"only a number", resetCode(std::to_string(kNow)), false},
        {"number beyond 32 bits", resetCode("me@example.com 99999999999"), false},
        {"not hexadecimal", "zz" + issuedAt(0).substr(2), false},
        {"odd length", issuedAt(0).substr(1), false},
        {"empty", "", false},
        {"sealed with another text", CryptoContext().encryptText("another", "me@example.com 1700000000"), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine.checkResetCode(c.code), c.accepted) << c.label;
}

TEST_F(Passwords, ResetCodeReplacesAForgottenPasswordWhileNoKeyIsSealed)
{
    {
        Kist kist(true);
        kist.setPassword("forgotten", "");
        kist.setEmail("me@example.com");
        // Folders carry no keys, so an empty one does not stand in the way.
        const std::string source = makeScratchFolder("src");
        fs::create_directories(source + "/empty folder");
        KistFile added;
        kist.addFile(source + "/empty folder", &added, false);
    }
    Kist kist(true);
    EXPECT_EQ(errorOf([&] { kist.setPassword("remembered", resetCode("me@example.com " + std::to_string(kNow - 86401))); }),
              kIncorrectOld);
    kist.setPassword("remembered", resetCode("me@example.com " + std::to_string(kNow - 60)));
    EXPECT_EQ(setting("CurrentPassword"), sha1Hex("remembered"));
    EXPECT_EQ(setting("PreviousPassword"), sha1Hex("forgotten"));
    const std::string out = makeScratchFolder("out");
    kist.removeFile("empty folder", out);
    EXPECT_TRUE(fs::is_directory(out + "/empty folder"));

    Kist again(true);
    EXPECT_FALSE(again.login("forgotten"));
    EXPECT_TRUE(again.login("remembered"));
}

TEST_F(Passwords, ResetCodeCannotOpenSealedKeysSoNothingChanges)
{
    Sources sources;
    {
        auto kist = openVault("forgotten");
        kist->setEmail("me@example.com");
        addAll(*kist, sources);
    }
    const std::string before = storedState();
    Kist kist(true);
    const std::string message =
        errorOf([&] { kist.setPassword("remembered", resetCode("me@example.com " + std::to_string(kNow))); });
    EXPECT_TRUE(isCryptoMessage(message)) << message;
    EXPECT_EQ(storedState(), before);
    EXPECT_EQ(errorOf([&] { list(kist); }), kPasswordMessage);
    EXPECT_FALSE(kist.login("remembered"));
    ASSERT_TRUE(kist.login("forgotten"));
    expectEverythingComesOut(kist);
}

TEST_F(Passwords, EmailNeedsALoginAndAnAddress)
{
    Kist kist(true);
    kist.setPassword("pw", "");
    kist.logoff();
    EXPECT_EQ(errorOf([&] { kist.setEmail("me@example.com"); }), kPasswordMessage);
    EXPECT_TRUE(kist.isEmptyEmail());
    EXPECT_EQ(kist.retrieveConfig("Email"), "");
    EXPECT_EQ(kist.retrieveConfig("EmailD"), "");

    ASSERT_TRUE(kist.login("pw"));
    const std::string refusal = errorOf([&] { kist.setEmail(""); });
    EXPECT_NE(refusal, "(no error)");
    EXPECT_NE(refusal.find("address"), std::string::npos) << refusal;
    EXPECT_EQ(refusal.find("password"), std::string::npos) << refusal;
    EXPECT_TRUE(kist.isEmptyEmail());
    EXPECT_EQ(kist.retrieveConfig("Email"), "");

    const std::string address = "Jane.O'Neil+vault@example.com";
    kist.setEmail(address);
    EXPECT_FALSE(kist.isEmptyEmail());
    EXPECT_EQ(kist.retrieveConfig("Email"), sha1Hex(address));
    EXPECT_EQ(kist.retrieveConfig("EmailD"), address);

    // A refused change keeps the address stored before.
    EXPECT_NE(errorOf([&] { kist.setEmail(""); }), "(no error)");
    EXPECT_EQ(kist.retrieveConfig("EmailD"), address);

    Kist again(true);
    EXPECT_FALSE(again.isEmptyEmail()); // no login needed
    EXPECT_EQ(again.retrieveConfig("Email"), sha1Hex(address));
}

TEST_F(Passwords, FailedLoginLogsOffAndTheRightOneLogsInAgain)
{
    Sources sources;
    auto kist = openVault("pw");
    addAll(*kist, sources);
    EXPECT_FALSE(kist->login("wrong"));
    EXPECT_EQ(errorOf([&] { list(*kist); }), kPasswordMessage);
    EXPECT_EQ(errorOf([&] { kist->exportFiles(makeScratchFolder("pkg") + "/p.kzip", {"alpha.txt"}, "x"); }),
              kPasswordMessage);
    ASSERT_TRUE(kist->login("pw"));
    expectEverythingComesOut(*kist);
}

TEST_F(Passwords, EngineOpenedBeforeAChangeElsewhereNeverSealsUnderTheOldPassword)
{
    Sources sources;
    auto stale = openVault("one");
    KistFile added;
    stale->addFile(sources.folder + "/alpha.txt", &added, false);
    {
        Kist other(true);
        ASSERT_TRUE(other.login("one"));
        other.setPassword("two", "one");
    }
    // The engine that still believes in "one" must not go on with it.
    EXPECT_EQ(errorOf([&] { stale->addFile(sources.folder + "/gamma.doc", &added, false); }), kPasswordMessage);
    EXPECT_TRUE(fs::exists(sources.folder + "/gamma.doc"));
    EXPECT_FALSE(stale->login("one"));
    ASSERT_TRUE(stale->login("two"));
    stale->addFile(sources.folder + "/gamma.doc", &added, false);
    stale->addFile(sources.folder + "/beta", &added, false);
    const std::string out = makeScratchFolder("out");
    stale->removeFile("alpha.txt", out);
    EXPECT_EQ(readFile(out + "/alpha.txt"), patternBytes(2001));
    stale->addFile(out + "/alpha.txt", &added, false);
    stale.reset();

    Kist fresh(true);
    ASSERT_TRUE(fresh.login("two"));
    expectEverythingComesOut(fresh);
}
