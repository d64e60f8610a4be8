// Packages and backups of hardened vaults: packages for other people stay
// in the standard format, a backup is as hardened as its vault, and either
// comes back into a vault of either format.

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/HardenedPackages.h"
#include "engine/HardenedVault.h"
#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "vault words";
const std::string kBackupPassword = kPassword + "471502836";
using Files = std::vector<std::pair<std::string, std::string>>;

class HardenedPackagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        HardenedVault::fixedParameters = Argon2Parameters{1, kLeastArgon2MemoryKiB, 1};
        folder = makeScratchFolder("hardened-packages");
    }
    void TearDown() override { HardenedVault::fixedParameters.reset(); }

    // A vault (hardened when asked) with a file and a folder.
    std::unique_ptr<Kist> makeVault(bool hardened)
    {
        auto kist = openVault(kPassword);
        const std::string source = makeScratchFolder("package-source");
        writeFile(source + "/private-diary.txt", patternBytes(90000));
        writeFile(source + "/photos/cat.jpg", patternBytes(66000));
        writeFile(source + "/photos/empty.txt", "");
        for (const char* name : {"private-diary.txt", "photos"}) {
            KistFile added;
            kist->addFile(source + "/" + name, &added, false);
        }
        if (hardened)
            (void)kist->harden(kPassword);
        return kist;
    }

    Files takeEverythingOut(Kist& kist)
    {
        const std::string out = makeScratchFolder("package-out");
        for (const Entry& entry : list(kist))
            kist.removeFile(entry.name, out);
        return tree(out);
    }

    // A new vault, hardened or not, that the package's entries are copied into.
    Files copyIntoNewVault(const std::string& package, const std::string& packagePassword, bool hardened)
    {
        resetProfile();
        {
            auto vault = openVault(kPassword);
            if (hardened)
                (void)vault->harden(kPassword);
        }
        Kist reader(package);
        EXPECT_TRUE(reader.login(packagePassword));
        std::vector<std::string> names;
        for (const Entry& entry : list(reader))
            names.push_back(entry.name);
        reader.copyFilesToVault(names, kPassword);
        reader.copyFilesToVault(names, kPassword);
        EXPECT_EQ(reader.lastCopyFoundInVault(), names.size()) << "a second copy adds nothing";
        auto vault = openVault(kPassword);
        EXPECT_EQ(vault->vaultInfo().format, hardened ? "hardened" : "standard");
        EXPECT_EQ(checkFindings(*vault), "");
        return takeEverythingOut(*vault);
    }

    const Files expected{
        {"photos/cat.jpg", patternBytes(66000)}, {"photos/empty.txt", ""}, {"private-diary.txt", patternBytes(90000)}};
    std::string folder;
};

} // namespace

TEST_F(HardenedPackagesTest, APackageFromAHardenedVaultIsAStandardOneThatOpensAnywhere)
{
    const std::string package = folder + "/for-a-friend.kzip";
    {
        auto kist = makeVault(true);
        kist->exportFiles(package, {"private-diary.txt", "photos"}, "friend");
        EXPECT_EQ(list(*kist).size(), 2u) << "exporting takes nothing out";
    }
    EXPECT_FALSE(HardenedPackages::isHardenedPackage(toWide(package)));
    {
        Kist reader(package);
        EXPECT_FALSE(reader.login("wrong"));
        ASSERT_TRUE(reader.login("friend"));
        const auto entries = list(reader);
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].name, "photos");
    }
    EXPECT_EQ(copyIntoNewVault(package, "friend", false), expected);
    EXPECT_EQ(copyIntoNewVault(package, "friend", true), expected);
}

TEST_F(HardenedPackagesTest, ABackupOfAHardenedVaultIsHardenedAndRestores)
{
    const std::string backup = folder + "/korvelin.001122334455.kzipbkp";
    {
        auto kist = makeVault(true);
        kist->exportFiles(backup, {"photos", "private-diary.txt"}, kBackupPassword);
    }
    ASSERT_TRUE(HardenedPackages::isHardenedPackage(toWide(backup)));
    const std::string bytes = readFile(backup);
    EXPECT_EQ(bytes.find("private-diary"), std::string::npos) << "the names are sealed";
    EXPECT_EQ(bytes.find("cat.jpg"), std::string::npos);
    {
        Kist reader(backup);
        EXPECT_FALSE(reader.isEmptyPassword());
        EXPECT_EQ(errorOf([&] { list(reader); }), "Cannot use this feature until you enter your password.");
        EXPECT_FALSE(reader.login(kPassword));
        ASSERT_TRUE(reader.login(kBackupPassword));
        EXPECT_EQ(takeEverythingOut(reader), expected) << "a backup's entries come out of the reader too";
    }
    EXPECT_EQ(copyIntoNewVault(backup, kBackupPassword, true), expected);
    EXPECT_EQ(copyIntoNewVault(backup, kBackupPassword, false), expected);
}

TEST_F(HardenedPackagesTest, ABackupOfAStandardVaultStaysStandard)
{
    const std::string backup = folder + "/korvelin.001122334455.kzipbkp";
    {
        auto kist = makeVault(false);
        kist->exportFiles(backup, {"photos", "private-diary.txt"}, kBackupPassword);
    }
    EXPECT_FALSE(HardenedPackages::isHardenedPackage(toWide(backup)));
    EXPECT_EQ(copyIntoNewVault(backup, kBackupPassword, true), expected);
}

TEST_F(HardenedPackagesTest, ADamagedHardenedBackupIsRefusedAndLeavesTheReaderLocked)
{
    const std::string backup = folder + "/korvelin.001122334455.kzipbkp";
    {
        auto kist = makeVault(true);
        kist->exportFiles(backup, {"photos"}, kBackupPassword);
    }
    std::string bytes = readFile(backup);
    // A byte in the middle of the sealed package (stored, so it is there as written).
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    writeFile(backup, bytes);
    Kist reader(backup);
    // The zip layer's checksum sees it first; the sealed body's tags would.
    EXPECT_EQ(errorOf([&] { (void)reader.login(kBackupPassword); }), "Invalid KORVELIN file: " + backup + ".");
    EXPECT_EQ(errorOf([&] { list(reader); }), "Cannot use this feature until you enter your password.");
}

TEST_F(HardenedPackagesTest, TheHardenedPackageOptionSealsAPackageOfAStandardVault)
{
    const std::string package = folder + "/sealed.kzip";
    {
        auto kist = makeVault(false);
        kist->setHardenedPackages(true);
        kist->exportFiles(package, {"private-diary.txt", "photos"}, "friend");
        kist->setHardenedPackages(false);
        kist->exportFiles(folder + "/plain.kzip", {"photos"}, "friend");
    }
    EXPECT_TRUE(HardenedPackages::isHardenedPackage(toWide(package)));
    EXPECT_FALSE(HardenedPackages::isHardenedPackage(toWide(folder + "/plain.kzip")));
    EXPECT_EQ(readFile(package).find("private-diary"), std::string::npos);
    EXPECT_EQ(copyIntoNewVault(package, "friend", false), expected);
}

TEST_F(HardenedPackagesTest, AHeaderThatAsksForHoursOfWorkIsRefusedAtOnce)
{
    const std::string backup = folder + "/korvelin.001122334455.kzipbkp";
    {
        auto kist = makeVault(true);
        kist->exportFiles(backup, {"photos"}, kBackupPassword);
    }
    // Taken apart and put together again by the zip tools, asking for 64
    // passes over 1 GiB (minutes of work before the password is known).
    const std::string parts = makeScratchFolder("hostile-parts");
    packagetest::runOrThrow({"unzip", "-q", backup, "-d", parts});
    std::string header = readFile(parts + "/vault.header");
    header.replace(12, 8, std::string("\x40\0\0\0\0\0\x10\0", 8));
    writeFile(parts + "/vault.header", header);
    const std::string hostile = folder + "/hostile.kzipbkp";
    packagetest::runOrThrow({"zip", "-q", "-0", "-j", hostile, parts + "/vault.header", parts + "/package"});
    ASSERT_TRUE(HardenedPackages::isHardenedPackage(toWide(hostile)));
    Kist reader(hostile);
    const std::string refused = errorOf([&] { (void)reader.login(kBackupPassword); });
    EXPECT_EQ(refused.rfind("The hardened vault's header is damaged or of an unknown version: ", 0), 0u) << refused;
    EXPECT_EQ(errorOf([&] { list(reader); }), "Cannot use this feature until you enter your password.");
}
