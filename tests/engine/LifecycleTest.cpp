#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>

#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/storage/Database.h"
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
constexpr char kIncompatible[] =
    "The KORVELIN file you are opening has been created with an incompatible version of KORVELIN Writer:";

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw std::runtime_error("cannot stat " + path);
    return info.st_mode & 07777;
}

std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// Every regular file below folder with its size and a digest of its bytes,
// one line each, so a difference shows which file changed.
std::string fingerprint(const std::string& folder)
{
    std::string lines;
    for (const auto& [path, bytes] : tree(folder))
        lines += path + " " + std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>()(bytes)) + "\n";
    return lines;
}

// A vault with a password, one file and one folder, closed again.
void makeFilledVault(const std::string& password)
{
    auto kist = openVault(password);
    const std::string source = makeScratchFolder("filled");
    writeFile(source + "/letter.txt", patternBytes(3000));
    writeFile(source + "/album/one.jpg", patternBytes(4001));
    writeFile(source + "/album/two.jpg", "");
    KistFile added;
    kist->addFile(source + "/letter.txt", &added, false);
    kist->addFile(source + "/album", &added, false);
}

} // namespace

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

TEST(FormatVersion, OnlyTheSecondComponentDecides)
{
    struct Case {
        const char* version;
        bool compatible;
    };
    const Case cases[] = {
        {"0.31.012", true}, {"2.31", true},      {"31", true},     {"0.31", true},  {"9.31.999.1", true},
        {"0.30.009", false}, {"", false},        {"0.310.1", false}, {"0.3.1", false}, {"31.0", false},
        {"0.32.012", false}, {"0..31", false},   {".31", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isCompatibleFormatVersion(c.version), c.compatible) << '"' << c.version << '"';
}

TEST_F(Lifecycle, FirstConstructionCreatesTheVaultItsSettingsAndTheRestoreFolder)
{
    const std::string restore = std::string(std::getenv("XDG_DESKTOP_DIR")) + "/KORVELIN Restored Files";
    ASSERT_FALSE(fs::exists(vaultFolder()));
    {
        Kist kist(true);
        EXPECT_TRUE(kist.isFirstLaunch());
        ASSERT_TRUE(fs::is_directory(vaultFolder()));
        EXPECT_EQ(modeOf(vaultFolder()), 0700u);
        ASSERT_TRUE(fs::is_regular_file(vaultDatabasePath()));
        EXPECT_EQ(modeOf(vaultDatabasePath()), 0600u);
        EXPECT_TRUE(fs::is_directory(restore));
        EXPECT_EQ(kist.retrieveConfig("Version"), "0.31.018");

        EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select nv_name, nv_value from KistConfig order by rowid;"),
                  std::string("CurrentPassword|") + kEmptyTextSha1 + "\nPreviousPassword|" + kEmptyTextSha1
                      + "\nVersion|0.31.012\nSkin|\nEncryption|CALG_AES_128\nChangeCount|0\n");
        EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from ProtectedFiles;"), "0\n");
        EXPECT_TRUE(kist.isEmptyPassword());
        kist.setPassword("first password", "");
    }
    {
        Kist kist(true);
        EXPECT_FALSE(kist.isFirstLaunch());
        EXPECT_FALSE(kist.isEmptyPassword());
        EXPECT_TRUE(kist.login("first password"));
    }
    // A desktop folder removed by the user comes back with the next start.
    fs::remove_all(restore);
    Kist again(true);
    EXPECT_TRUE(fs::is_directory(restore));
}

TEST_F(Lifecycle, EngineKindsChooseTheirFolders)
{
    VaultEngine user(EngineKind::UserVault);
    EXPECT_EQ(user.kind, EngineKind::UserVault);
    EXPECT_EQ(toNarrow(user.vaultFolder), vaultFolder());
    EXPECT_TRUE(sameExactly(user.workFolder, user.vaultFolder));
    EXPECT_EQ(toNarrow(user.restoreFolder),
              std::string(std::getenv("XDG_DESKTOP_DIR")) + "/KORVELIN Restored Files");
    EXPECT_FALSE(user.removeVaultFolder);
    EXPECT_FALSE(user.removeWorkFolder);
    EXPECT_TRUE(user.contentReady);
    EXPECT_FALSE(user.loggedIn);
    EXPECT_TRUE(user.password.empty());
    EXPECT_TRUE(user.packagePath.empty());
    EXPECT_EQ(user.settings.size(), 5u);
    EXPECT_EQ(user.settings["Version"], "0.31.012");
    EXPECT_EQ(user.settings["Encryption"], "CALG_AES_128");

    const std::string temp = std::getenv("TMPDIR");
    VaultEngine temporary(EngineKind::TemporaryVault);
    EXPECT_EQ(temporary.kind, EngineKind::TemporaryVault);
    EXPECT_EQ(toNarrow(temporary.vaultFolder).rfind(temp + "/", 0), 0u);
    EXPECT_FALSE(sameExactly(temporary.vaultFolder, user.vaultFolder));
    EXPECT_TRUE(sameExactly(temporary.workFolder, temporary.vaultFolder));
    EXPECT_TRUE(temporary.removeVaultFolder);
    EXPECT_TRUE(temporary.contentReady);
    EXPECT_EQ(temporary.settings.size(), 5u);
    EXPECT_TRUE(fs::is_regular_file(toNarrow(temporary.vaultFolder) + "/" + kDatabaseName));
}

TEST_F(Lifecycle, SecondConstructionLoadsTheEntriesLoggedOff)
{
    makeFilledVault("pw");
    Kist kist(true);
    EXPECT_EQ(errorOf([&] { list(kist); }), "Cannot use this feature until you enter your password.");
    EXPECT_FALSE(kist.login("PW"));
    ASSERT_TRUE(kist.login("pw"));
    EXPECT_EQ(list(kist), (std::vector<Entry>{{"album", true, 4001}, {"letter.txt", false, 3000}}));
}

TEST_F(Lifecycle, TemporaryVaultLivesExactlyAsLongAsItsObject)
{
    const std::string temp = std::getenv("TMPDIR");
    const auto before = namesIn(temp);
    const std::string source = makeScratchFolder("temp-src");
    writeFile(source + "/kept.txt", patternBytes(2500));
    {
        Kist temporary(false);
        const auto during = namesIn(temp);
        ASSERT_EQ(during.size(), before.size() + 1);
        EXPECT_TRUE(temporary.isEmptyPassword());
        KistFile added;
        temporary.addFile(source + "/kept.txt", &added, false);
        EXPECT_EQ(added.name, "kept.txt");
        // A temporary vault encrypts a copy and leaves the source where it is.
        EXPECT_EQ(readFile(source + "/kept.txt"), patternBytes(2500));
        Kist other(false);
        EXPECT_EQ(namesIn(temp).size(), before.size() + 2);
        EXPECT_EQ(list(temporary).size(), 1u);
    }
    EXPECT_EQ(namesIn(temp), before);
    // Temporary vaults never create or touch the user's vault.
    EXPECT_FALSE(fs::exists(vaultFolder()));
}

TEST_F(Lifecycle, DestroyingTheUserVaultRemovesNothing)
{
    makeFilledVault("pw");
    const auto files = tree(vaultFolder());
    ASSERT_GE(files.size(), 3u); // the database and at least two bodies
    {
        Kist kist(true);
        ASSERT_TRUE(kist.login("pw"));
    }
    EXPECT_TRUE(fs::is_regular_file(vaultDatabasePath()));
    std::vector<std::string> bodies;
    for (const auto& [path, bytes] : tree(vaultFolder()))
        if (path != kDatabaseName)
            bodies.push_back(path);
    std::vector<std::string> bodiesBefore;
    for (const auto& [path, bytes] : files)
        if (path != kDatabaseName)
            bodiesBefore.push_back(path);
    EXPECT_EQ(bodies, bodiesBefore);
}

TEST_F(Lifecycle, IncompatibleUserVaultIsRefusedAndLeftExactlyAsItWas)
{
    makeFilledVault("pw");
    sqlcipher(vaultDatabasePath(), "update KistConfig set nv_value='0.30.009' where nv_name='Version';");
    const auto before = fingerprint(vaultFolder());

    EXPECT_EQ(errorOf([] { Kist kist(true); }), std::string(kIncompatible) + "0.30.009");
    EXPECT_EQ(fingerprint(vaultFolder()), before);

    // A vault without a version row is refused the same way.
    sqlcipher(vaultDatabasePath(), "delete from KistConfig where nv_name='Version';");
    const auto withoutVersion = fingerprint(vaultFolder());
    EXPECT_EQ(errorOf([] { Kist kist(true); }), kIncompatible);
    EXPECT_EQ(fingerprint(vaultFolder()), withoutVersion);

    // Nothing was lost: a build that knows the format opens every entry.
    sqlcipher(vaultDatabasePath(), "insert into KistConfig (nv_name, nv_value) values ('Version', '2.31');");
    auto kist = openVault("pw");
    const std::string out = makeScratchFolder("out");
    kist->removeFile("letter.txt", out);
    kist->removeFile("album", out);
    EXPECT_EQ(readFile(out + "/letter.txt"), patternBytes(3000));
    EXPECT_EQ(readFile(out + "/album/one.jpg"), patternBytes(4001));
    EXPECT_EQ(readFile(out + "/album/two.jpg"), "");
}

TEST_F(Lifecycle, ExistingVaultWithoutReadableSettingsIsNeverReset)
{
    makeFilledVault("pw");
    const std::string rowsBefore = sqlcipher(vaultDatabasePath(), "select unique_name, cipher from ProtectedFiles;");
    ASSERT_EQ(std::count(rowsBefore.begin(), rowsBefore.end(), '\n'), 4);

    // An empty settings table: the vault is not new, so it is not set up again.
    sqlcipher(vaultDatabasePath(), "delete from KistConfig;");
    const auto emptied = fingerprint(vaultFolder());
    EXPECT_EQ(errorOf([] { Kist kist(true); }), "Cannot initialize configuration database.");
    EXPECT_EQ(fingerprint(vaultFolder()), emptied);
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from KistConfig;"), "0\n");
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select unique_name, cipher from ProtectedFiles;"), rowsBefore);

    // No settings table at all, but records.
    sqlcipher(vaultDatabasePath(), "drop table KistConfig;");
    const auto dropped = fingerprint(vaultFolder());
    EXPECT_EQ(errorOf([] { Kist kist(true); }), "Cannot initialize configuration database.");
    EXPECT_EQ(fingerprint(vaultFolder()), dropped);
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from sqlite_master where name='KistConfig';"), "0\n");
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select unique_name, cipher from ProtectedFiles;"), rowsBefore);
}

TEST_F(Lifecycle, UnreadableDatabaseFileIsRefusedUntouched)
{
    makeFilledVault("pw");
    // Not a database at all (or one under a different key).
    writeFile(vaultDatabasePath(), patternBytes(8192));
    const auto before = fingerprint(vaultFolder());
    EXPECT_EQ(errorOf([] { Kist kist(true); }), "Cannot initialize configuration database.");
    EXPECT_EQ(fingerprint(vaultFolder()), before);

    // Not a file: a folder, or a named pipe that would hold the opening.
    fs::rename(vaultDatabasePath(), vaultDatabasePath() + ".aside");
    fs::create_directory(vaultDatabasePath());
    EXPECT_EQ(errorOf([] { Kist kist(true); }), "The vault database is not a file: " + vaultDatabasePath());
    fs::remove(vaultDatabasePath());
    ASSERT_EQ(::mkfifo(vaultDatabasePath().c_str(), 0600), 0);
    EXPECT_EQ(errorOf([] { Kist kist(true); }), "The vault database is not a file: " + vaultDatabasePath());
    fs::remove(vaultDatabasePath());
    fs::rename(vaultDatabasePath() + ".aside", vaultDatabasePath());
    EXPECT_EQ(fingerprint(vaultFolder()), before);
}

TEST_F(Lifecycle, EmptyDatabaseFileIsANewVault)
{
    fs::create_directories(vaultFolder());
    writeFile(vaultDatabasePath(), "");
    Kist kist(true);
    EXPECT_TRUE(kist.isEmptyPassword());
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from KistConfig;"), "6\n");
}

TEST_F(Lifecycle, RowsWhoseParentsLeadBackAreLeftOutWithoutEndlessLoading)
{
    makeFilledVault("pw");
    // one.jpg becomes a folder holding a row with the album's own identity:
    // album -> one.jpg -> album -> ... for ever, unless loading remembers
    // where it has been.
    sqlcipher(vaultDatabasePath(),
              "update ProtectedFiles set is_directory=1 where display_name='one.jpg';"
              "update ProtectedFiles set is_directory=1, "
              "unique_name=(select unique_name from ProtectedFiles where display_name='album'), "
              "parent=(select unique_name from ProtectedFiles where display_name='one.jpg') "
              "where display_name='two.jpg';");
    Kist kist(true);
    ASSERT_TRUE(kist.login("pw"));
    EXPECT_EQ(list(kist), (std::vector<Entry>{{"letter.txt", false, 3000}}));
}

// Found by the package rows fuzzer: loading kept a database connection open
// for every folder level, and each new connection derives its key afresh, so
// a folder nested 40 deep took seconds per level to open, in a vault as in a
// package.
TEST_F(Lifecycle, DeeplyNestedFoldersLoadOverAFewConnections)
{
    constexpr int kDepth = 30;
    const std::string source = makeScratchFolder("deep");
    std::string folder = source + "/top";
    for (int level = 1; level < kDepth; ++level)
        folder += "/level" + std::to_string(level);
    writeFile(folder + "/leaf.txt", "leaf");
    {
        auto kist = openVault("pw");
        KistFile added;
        kist->addFile(source + "/top", &added, false);
    }

    VaultEngine engine(EngineKind::UserVault);
    ASSERT_EQ(engine.entries().size(), 1u);
    const ProtectedFile* record = engine.entries().begin()->second.get();
    int depth = 0;
    while (!record->children.empty()) {
        ASSERT_EQ(record->children.size(), 1u);
        record = record->children.front().get();
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(toNarrow(record->display_name), "leaf.txt");
    EXPECT_LE(engine.database->connectionCount(), 3u);
}
