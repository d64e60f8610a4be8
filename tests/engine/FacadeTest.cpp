#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr char kPasswordMessage[] = "Cannot use this feature until you enter your password.";

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class Facade : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

TEST_F(Facade, MasterKeyIsAlwaysEmpty)
{
    Kist kist(true);
    EXPECT_EQ(kist.generateMasterKey("anything at all"), "");
    EXPECT_EQ(kist.generateMasterKey(""), "");
}

TEST_F(Facade, SettingsAreStoredPerUserAndNeedNoLogin)
{
    {
        Kist kist(true);
        kist.setPassword("pw", "");
        kist.logoff();
        EXPECT_EQ(kist.retrieveConfig("never stored"), "");
        kist.persistConfig("RestoreFolder", "/home/o'brien/Restored 'files'");
        kist.persistConfig("it's a name", "value");
        kist.persistConfig("Skin", "blue");
        kist.persistConfig("Skin", "green"); // a second value replaces the first
        kist.persistConfig("DefaultPassword", "");
        EXPECT_EQ(kist.retrieveConfig("RestoreFolder"), "/home/o'brien/Restored 'files'");
        EXPECT_EQ(kist.retrieveConfig("never stored"), "");
    }
    // Every engine of the user reads the same store.
    Kist temporary(false);
    EXPECT_EQ(temporary.retrieveConfig("RestoreFolder"), "/home/o'brien/Restored 'files'");
    EXPECT_EQ(temporary.retrieveConfig("it's a name"), "value");
    EXPECT_EQ(temporary.retrieveConfig("Skin"), "green");
    EXPECT_EQ(temporary.retrieveConfig("DefaultPassword"), "");
    EXPECT_EQ(temporary.retrieveConfig("skin"), ""); // names are exact
    EXPECT_FALSE(temporary.isFirstLaunch());
}

TEST_F(Facade, ContentNeedsALoginAgainAfterLogoff)
{
    const std::string source = makeScratchFolder("src");
    const std::string out = makeScratchFolder("out");
    writeFile(source + "/kept.txt", "kept");
    writeFile(source + "/waiting.txt", "waiting");
    auto kist = openVault("pw");
    KistFile added;
    kist->addFile(source + "/kept.txt", &added, false);
    kist->logoff();

    EXPECT_EQ(errorOf([&] { kist->addFile(source + "/waiting.txt", &added, false); }), kPasswordMessage);
    EXPECT_EQ(readFile(source + "/waiting.txt"), "waiting");
    EXPECT_EQ(errorOf([&] { kist->removeFile("kept.txt", out); }), kPasswordMessage);
    EXPECT_EQ(errorOf([&] { list(*kist); }), kPasswordMessage);
    EXPECT_EQ(errorOf([&] { kist->copyFilesToVault({"kept.txt"}, "pw"); }), kPasswordMessage);
    EXPECT_EQ(errorOf([&] { kist->setEmail("me@example.com"); }), kPasswordMessage);
    EXPECT_FALSE(kist->isEmptyPassword());
    EXPECT_TRUE(fs::is_empty(out));

    ASSERT_TRUE(kist->login("pw"));
    kist->removeFile("kept.txt", out);
    EXPECT_EQ(readFile(out + "/kept.txt"), "kept");
}

TEST_F(Facade, ExportWithoutLoginLeavesNoTemporaryFolder)
{
    const std::string source = makeScratchFolder("src");
    writeFile(source + "/a.txt", "a");
    auto kist = openVault("pw");
    KistFile added;
    kist->addFile(source + "/a.txt", &added, false);
    kist->logoff();
    const std::string temp = std::getenv("TMPDIR");
    const auto before = namesIn(temp);
    const std::string packages = makeScratchFolder("pkg");
    EXPECT_EQ(errorOf([&] { kist->exportFiles(packages + "/a.kzip", {"a.txt"}, "x"); }), kPasswordMessage);
    EXPECT_EQ(namesIn(temp), before);
    EXPECT_TRUE(fs::is_empty(packages));

    // A failing export of a logged-in engine cleans up after itself too.
    ASSERT_TRUE(kist->login("pw"));
    EXPECT_NE(errorOf([&] { kist->exportFiles(packages + "/no such folder/a.kzip", {"a.txt"}, "x"); }),
              "(no error)");
    EXPECT_EQ(namesIn(temp), before);
    kist->exportFiles(packages + "/a.kzip", {"a.txt"}, "x");
    EXPECT_EQ(namesIn(temp), before);
    EXPECT_TRUE(fs::is_regular_file(packages + "/a.kzip"));
}

TEST_F(Facade, FoldersAndVersion)
{
    const std::string desktop = std::getenv("XDG_DESKTOP_DIR");
    EXPECT_EQ(Kist::getFolder(DesktopDir), desktop);
    EXPECT_EQ(Kist::getFolder(RestoredFilesDir), desktop + "/KORVELIN Restored Files");
    EXPECT_TRUE(fs::is_directory(desktop + "/KORVELIN Restored Files"));

    const std::string first = Kist::getFolder(TempDir);
    const std::string second = Kist::getFolder(TempDir);
    EXPECT_NE(first, second);
    for (const std::string& folder : {first, second}) {
        EXPECT_EQ(fs::path(folder).parent_path().string(), std::getenv("TMPDIR"));
        EXPECT_TRUE(fs::is_directory(folder));
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        fs::remove(folder);
    }
    EXPECT_EQ(Kist::version(), "0.31.018");
}

TEST_F(Facade, TextIsAPackagePathNeverAVaultChoice)
{
    const std::string missing = makeScratchFolder("pkg") + "/missing.kzip";
    EXPECT_NE(errorOf([&] { Kist reader(missing.c_str()); }), "(no error)");
    EXPECT_NE(errorOf([&] { Kist reader("relative-missing.kzip"); }), "(no error)");
    // Neither attempt opened or created the user's vault.
    EXPECT_FALSE(fs::exists(vaultFolder()));
}
