// Copying a package's entries into the vault: once only, under a free name,
// under whatever the Vault password is now, with empty files and folders,
// and never over anything the vault already holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "engine/Kist.h"
#include "engine/crypto/FileKey.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using namespace packagetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::snapshotTree;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// Every row of the vault as one line, identity first.
std::vector<std::string> vaultRows()
{
    return nonEmptyLines(sqlcipher(vaultDatabasePath(), "select unique_name, current_path, parent, display_name, raw_file_name, "
                                            "cipher, size, is_encrypted from ProtectedFiles order by unique_name;"));
}

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

class PackageImport : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }

    // Adds each top-level file or folder that files describe.
    void add(Kist& vault, const Snapshot& files)
    {
        const std::string folder = makeScratchFolder("src");
        std::set<std::string> tops;
        for (const auto& [path, bytes] : files) {
            writeFile(folder + "/" + path, bytes);
            tops.insert(path.substr(0, path.find('/')));
        }
        KistFile added;
        for (const std::string& top : tops)
            vault.addFile(folder + "/" + top, &added, false);
    }

    std::unique_ptr<Kist> openPackage(const std::string& path, const std::string& password)
    {
        std::unique_ptr<Kist> reader;
        const std::string message = messageOf([&] { reader = std::make_unique<Kist>(path); });
        if (!reader)
            throw std::runtime_error(message);
        if (!reader->login(password))
            throw std::runtime_error("the package does not open with " + password);
        return reader;
    }
};

} // namespace

TEST_F(PackageImport, CopiedOnceAndTakenNamesGetANumber)
{
    auto vault = openVault("vault pw");
    add(*vault, {{"Reports/q1.txt", "first quarter"}});
    add(*vault, {{"notes.txt", "the exported notes"}});
    const std::string package = makeScratchFolder("pkg") + "/share.kzip";
    vault->exportFiles(package, {"Reports", "notes.txt"}, "package pw");
    // The notes leave the vault; another file takes their name, in other letter case.
    (void)takeOut(*vault, "notes.txt");
    add(*vault, {{"NOTES.TXT", "other notes"}});

    auto reader = openPackage(package, "package pw");
    for (int round = 0; round < 2; ++round) {
        reader->copyFilesToVault({"Reports", "notes.txt"}, "vault pw");
        EXPECT_EQ(list(*vault), (std::vector<Entry>{{"NOTES.TXT", false, 11},
                                                    {"notes.txt (2)", false, 18},
                                                    {"Reports", true, 13}}))
            << round;
    }
    EXPECT_EQ(summary(takeOut(*vault, "notes.txt (2)")), summary({{"notes.txt", "the exported notes"}}));
    EXPECT_EQ(summary(takeOut(*vault, "NOTES.TXT")), summary({{"NOTES.TXT", "other notes"}}));
    EXPECT_EQ(summary(takeOut(*vault, "Reports")), summary({{"Reports/q1.txt", "first quarter"}}));
    EXPECT_FALSE(vaultHoldsPlainCopy({"first quarter", "the exported notes"}));
}

TEST_F(PackageImport, PackageFromBeforeAPasswordChangeImportsUnderTheCurrentPassword)
{
    auto vault = openVault("vault pw");
    add(*vault, {{"album/one.jpg", patternBytes(5000)}, {"album/two.jpg", patternBytes(2000)}});
    const std::string package = makeScratchFolder("pkg") + "/album.kzip";
    vault->exportFiles(package, {"album"}, "package pw");
    (void)takeOut(*vault, "album");
    vault->setPassword("new vault pw", "vault pw");

    auto reader = openPackage(package, "package pw");
    EXPECT_EQ(messageOf([&] { reader->copyFilesToVault({"album"}, "vault pw"); }), kPasswordMessage);
    EXPECT_TRUE(list(*vault).empty());
    reader->copyFilesToVault({"album"}, "new vault pw");

    // The copied keys are sealed under the current Vault password only.
    const std::vector<std::string> ciphers =
        nonEmptyLines(sqlcipher(vaultDatabasePath(), "select cipher from ProtectedFiles where is_directory=0;"));
    ASSERT_EQ(ciphers.size(), 2u);
    for (const std::string& cipher : ciphers) {
        EXPECT_EQ(openFileKey("new vault pw", cipher).size(), 9u);
        EXPECT_THROW((void)openFileKey("package pw", cipher), ExceptionModule);
        EXPECT_THROW((void)openFileKey("vault pw", cipher), ExceptionModule);
    }
    vault.reset();
    Kist reopened(true);
    ASSERT_TRUE(reopened.login("new vault pw"));
    EXPECT_EQ(summary(takeOut(reopened, "album")),
              summary({{"album/one.jpg", patternBytes(5000)}, {"album/two.jpg", patternBytes(2000)}}));
}

TEST_F(PackageImport, BackupRestoresEmptyFilesAndFoldersToo)
{
    Snapshot files = {
        {"Projekt/plan.txt", patternBytes(3001)},
        {"Projekt/leer.txt", ""},
        {"zero.txt", ""},
    };
    std::vector<Entry> before;
    std::string backup;
    {
        auto vault = openVault("old vault pw");
        const std::string source = makeScratchFolder("src");
        for (const auto& [path, bytes] : files)
            writeFile(source + "/" + path, bytes);
        fs::create_directories(source + "/Projekt/ordner/auch leer");
        fs::create_directories(source + "/nothing");
        KistFile added;
        for (const std::string name : {"Projekt", "zero.txt", "nothing"})
            vault->addFile(source + "/" + name, &added, false);
        before = list(*vault);
        backup = makeScratchFolder("backup") + "/korvelin." + Kist::getDeviceIdentity() + ".kzipbkp";
        std::vector<std::string> names;
        for (const Entry& entry : before)
            names.push_back(entry.name);
        vault->exportFiles(backup, names, "old vault pw" + std::string("backup"));
    }

    // A new vault on a new machine, with a password of its own.
    resetProfile();
    auto vault = openVault("fresh pw");
    {
        auto reader = openPackage(backup, "old vault pwbackup");
        std::vector<std::string> names;
        for (const Entry& entry : list(*reader))
            names.push_back(entry.name);
        reader->copyFilesToVault(names, "fresh pw");
    }
    EXPECT_EQ(list(*vault), before);
    const std::string out = makeScratchFolder("restored");
    for (const Entry& entry : before)
        vault->removeFile(entry.name, out);
    EXPECT_EQ(summary(snapshotTree(out)), summary(files));
    EXPECT_TRUE(fs::is_directory(out + "/Projekt/ordner/auch leer"));
    EXPECT_TRUE(fs::is_directory(out + "/nothing"));
}

TEST_F(PackageImport, PlainZipIsToldByItsOwnExtension)
{
    auto vault = openVault("vault pw");
    add(*vault, {{"inside.txt", "inside a package"}});
    const std::string oddFolder = makeScratchFolder("odd") + "/old.zip.d";
    fs::create_directories(oddFolder);
    for (const std::string name : {"/pkg.kzip", "/archive.zip.kzip", "/backup.kzipbkp"}) {
        SCOPED_TRACE(name);
        vault->exportFiles(oddFolder + name, {"inside.txt"}, "package pw");
        Kist reader(oddFolder + name);
        EXPECT_FALSE(reader.isEmptyPassword());
        ASSERT_TRUE(reader.login("package pw"));
        EXPECT_EQ(list(reader), (std::vector<Entry>{{"inside.txt", false, 16}}));
    }

    const std::string source = makeScratchFolder("photos");
    writeFile(source + "/cat.jpg", "a cat");
    for (const std::string name : {"PHOTOS.ZIP", "photos.Zip"}) {
        SCOPED_TRACE(name);
        const std::string archive = oddFolder + "/" + name;
        runOrThrow({"zip", "-q", archive, "cat.jpg"}, source);
        Kist reader(archive);
        ASSERT_TRUE(reader.isEmptyPassword());
        EXPECT_EQ(list(reader), (std::vector<Entry>{{"cat.jpg", false, 5}}));
    }
}

TEST_F(PackageImport, BodyPathTakenInTheVaultGetsAFreshIdentity)
{
    auto vault = openVault("vault pw");
    add(*vault, {{"a.txt", "the vault's own a"}});
    add(*vault, {{"b.txt", "b, which travels"}});
    const std::string bodyA =
        firstLine(sqlcipher(vaultDatabasePath(), "select current_path from ProtectedFiles where display_name='a.txt';"));
    const std::string package = makeScratchFolder("pkg") + "/b.kzip";
    vault->exportFiles(package, {"b.txt"}, "package pw");

    // The package's b claims a's body path under an identity of its own.
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string bodyB =
        firstLine(sqlcipher(unpacked + "/" + kDatabaseName, "select current_path from ProtectedFiles;"));
    fs::rename(unpacked + "/" + bodyB, unpacked + "/" + bodyA);
    (void)sqlcipher(unpacked + "/" + kDatabaseName,
                    "update ProtectedFiles set current_path='" + bodyA +
                        "', unique_name='0badc0de-0000-4000-8000-000000000001';");
    const std::string hostile = makeScratchFolder("pkg") + "/hostile.kzip";
    packZip(unpacked, hostile);

    const std::vector<std::string> rowsBefore = vaultRows();
    const Snapshot bodiesBefore = snapshotTree(vaultFolder());
    {
        auto reader = openPackage(hostile, "package pw");
        reader->copyFilesToVault({"b.txt"}, "vault pw");
    }
    const std::vector<std::string> rowsAfter = vaultRows();
    for (const std::string& row : rowsBefore)
        EXPECT_NE(std::find(rowsAfter.begin(), rowsAfter.end(), row), rowsAfter.end()) << row;
    EXPECT_EQ(rowsAfter.size(), rowsBefore.size() + 1);
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from ProtectedFiles where unique_name like '0badc0de%';"),
              "0\n");
    const Snapshot bodiesAfter = snapshotTree(vaultFolder());
    for (const auto& [path, bytes] : bodiesBefore) {
        if (path == kDatabaseName)
            continue;
        const auto found = std::find_if(bodiesAfter.begin(), bodiesAfter.end(),
                                        [&](const auto& entry) { return entry.first == path; });
        ASSERT_NE(found, bodiesAfter.end()) << path;
        EXPECT_TRUE(found->second == bytes) << path;
    }
    EXPECT_EQ(list(*vault).size(), 3u);
    EXPECT_EQ(summary(takeOut(*vault, "b.txt (2)")), summary({{"b.txt", "b, which travels"}}));
    EXPECT_EQ(summary(takeOut(*vault, "a.txt")), summary({{"a.txt", "the vault's own a"}}));
    EXPECT_EQ(summary(takeOut(*vault, "b.txt")), summary({{"b.txt", "b, which travels"}}));
}

TEST_F(PackageImport, ChildIdentityTakenInTheVaultGetsAFreshIdentity)
{
    auto vault = openVault("vault pw");
    add(*vault, {{"folder/child.txt", "the vault's child"}});
    const std::string package = makeScratchFolder("pkg") + "/folder.kzip";
    vault->exportFiles(package, {"folder"}, "package pw");

    // A package whose folder is new but whose child has the vault child's
    // identity, with bodies under a path of their own.
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string database = unpacked + "/" + kDatabaseName;
    const std::string folderName = firstLine(sqlcipher(database, "select unique_name from ProtectedFiles where parent='';"));
    const std::string folderPath = firstLine(sqlcipher(database, "select current_path from ProtectedFiles where parent='';"));
    const std::string newFolder = "0badc0de-0000-4000-8000-000000000002";
    fs::rename(unpacked + "/" + folderPath, unpacked + "/" + newFolder);
    (void)sqlcipher(database, "update ProtectedFiles set current_path = replace(current_path, '" + folderPath + "', '" +
                                  newFolder + "');\n"
                                  "update ProtectedFiles set parent='" + newFolder + "' where parent='" + folderName +
                                  "';\n"
                                  "update ProtectedFiles set unique_name='" + newFolder + "' where unique_name='" +
                                  folderName + "';");
    const std::string hostile = makeScratchFolder("pkg") + "/hostile.kzip";
    packZip(unpacked, hostile);

    const std::vector<std::string> rowsBefore = vaultRows();
    {
        auto reader = openPackage(hostile, "package pw");
        reader->copyFilesToVault({"folder"}, "vault pw");
    }
    const std::vector<std::string> rowsAfter = vaultRows();
    for (const std::string& row : rowsBefore)
        EXPECT_NE(std::find(rowsAfter.begin(), rowsAfter.end(), row), rowsAfter.end()) << row;
    EXPECT_EQ(rowsAfter.size(), rowsBefore.size() + 2);
    std::set<std::string> identities;
    for (const std::string& row : rowsAfter)
        EXPECT_TRUE(identities.insert(row.substr(0, row.find('|'))).second) << row;

    EXPECT_EQ(list(*vault), (std::vector<Entry>{{"folder", true, 17}, {"folder (2)", true, 17}}));
    EXPECT_EQ(summary(takeOut(*vault, "folder (2)")), summary({{"folder/child.txt", "the vault's child"}}));
    EXPECT_EQ(summary(takeOut(*vault, "folder")), summary({{"folder/child.txt", "the vault's child"}}));
    EXPECT_TRUE(list(*vault).empty());
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from ProtectedFiles;"), "0\n");
}
