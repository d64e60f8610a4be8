// Exporting: a package opens only with its own password and gives back the
// very bytes; it reveals nothing about the Vault password; a failing export
// leaves whatever was at the destination and no temporary folder; taking
// entries out of a package never replaces a file.

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

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

constexpr char kEmptySha1[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
constexpr char kAddFailed[] = "Error while adding files to KORVELIN file.";

class PackageExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        temporaryBefore = temporaryEntries();
        vault = openVault("vault pw");
        source = makeScratchFolder("src");
        // Lengths around the 2000-byte chunks, an empty file and an empty folder.
        files = {
            {"docs/a.txt", patternBytes(1990)},
            {"docs/chunk.bin", patternBytes(2000)},
            {"docs/sub/b.bin", patternBytes(4001)},
            {"docs/empty.txt", ""},
            {"John's notes.txt", "an apostrophe in the name"},
        };
        for (const auto& [path, bytes] : files)
            writeFile(source + "/" + path, bytes);
        fs::create_directories(source + "/docs/emptydir");
        KistFile added;
        vault->addFile(source + "/docs", &added, false);
        vault->addFile(source + "/John's notes.txt", &added, false);
    }

    std::vector<std::string> temporaryBefore;
    std::unique_ptr<Kist> vault;
    std::string source;
    Snapshot files;
};

} // namespace

TEST_F(PackageExport, PackageOpensOnlyWithItsPasswordAndGivesBackTheSameBytes)
{
    const std::string package = makeScratchFolder("pkg") + "/out.kzip";
    vault->exportFiles(package, {"docs", "John's notes.txt"}, "package pw");
    EXPECT_EQ(temporaryEntries(), temporaryBefore);
    // The vault keeps its entries.
    EXPECT_EQ(list(*vault).size(), 2u);

    Kist reader(package);
    EXPECT_FALSE(reader.isEmptyPassword());
    EXPECT_EQ(messageOf([&] {
                  std::vector<KistFile*> out;
                  reader.listFiles(out);
              }),
              kPasswordMessage);
    EXPECT_FALSE(reader.login("vault pw"));
    EXPECT_FALSE(reader.login(""));
    EXPECT_FALSE(reader.login("PACKAGE PW"));
    ASSERT_TRUE(reader.login("package pw"));
    EXPECT_EQ(list(reader), list(*vault));

    const std::string out = makeScratchFolder("out");
    reader.removeFile("docs", out);
    reader.removeFile("John's notes.txt", out);
    EXPECT_EQ(summary(snapshotTree(out)), summary(files));
    EXPECT_TRUE(fs::is_directory(out + "/docs/emptydir"));
}

TEST_F(PackageExport, PackageRevealsNothingAboutTheVaultPassword)
{
    const std::string package = makeScratchFolder("pkg") + "/out.kzip";
    vault->exportFiles(package, {"docs", "John's notes.txt"}, "package pw");
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string database = unpacked + "/" + kDatabaseName;

    // Hashes computed here with sha1sum, apart from the engine.
    const std::string current = sqlcipher(database, "select nv_value from KistConfig where nv_name='CurrentPassword';");
    const std::string previous =
        sqlcipher(database, "select nv_value from KistConfig where nv_name='PreviousPassword';");
    EXPECT_EQ(current, sha1Hex("package pw") + "\n");
    EXPECT_EQ(previous, std::string(kEmptySha1) + "\n");
    EXPECT_EQ(sha1Hex(""), kEmptySha1);
    const std::string everything = sqlcipher(database, ".dump");
    EXPECT_EQ(everything.find(sha1Hex("vault pw")), std::string::npos);

    // Every sealed key opens with the package password and none with the
    // Vault password.
    const std::vector<std::string> ciphers =
        nonEmptyLines(sqlcipher(database, "select cipher from ProtectedFiles where is_directory=0;"));
    ASSERT_EQ(ciphers.size(), 5u);
    for (const std::string& cipher : ciphers) {
        EXPECT_EQ(openFileKey("package pw", cipher).size(), 9u);
        EXPECT_THROW((void)openFileKey("vault pw", cipher), ExceptionModule);
    }

    // A package made after the Vault password changed says nothing of the
    // old one either.
    vault->setPassword("newer vault pw", "vault pw");
    const std::string second = makeScratchFolder("pkg") + "/second.kzip";
    vault->exportFiles(second, {"John's notes.txt"}, "another pw");
    const std::string unpackedSecond = makeScratchFolder("unpacked");
    unpackZip(second, unpackedSecond);
    const std::string dump = sqlcipher(unpackedSecond + "/" + kDatabaseName, ".dump");
    EXPECT_EQ(dump.find(sha1Hex("vault pw")), std::string::npos);
    EXPECT_EQ(dump.find(sha1Hex("newer vault pw")), std::string::npos);
    EXPECT_NE(dump.find(sha1Hex("another pw")), std::string::npos);
}

TEST_F(PackageExport, EmptyFilesAndFoldersTravel)
{
    const std::string package = makeScratchFolder("pkg") + "/out.kzip";
    vault->exportFiles(package, {"docs"}, "package pw");
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string rows = sqlcipher(unpacked + "/" + kDatabaseName,
                                       "select raw_file_name, is_directory, size from ProtectedFiles order by raw_file_name;");
    EXPECT_EQ(nonEmptyLines(rows), (std::vector<std::string>{"a.txt|0|1990", "b.bin|0|4001", "chunk.bin|0|2000", "docs|1|7991",
                                                     "empty.txt|0|0", "emptydir|1|0", "sub|1|4001"}));
    // The empty file is a zero-length entry of its own.
    const ToolRun entries = runPython("import sys, zipfile\n"
                                      "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                                      "    print(i.file_size)\n",
                                      {package});
    ASSERT_EQ(entries.exitCode, 0) << entries.output;
    const std::vector<std::string> sizes = nonEmptyLines(entries.output);
    EXPECT_EQ(sizes.size(), 5u); // four bodies and the database
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), "0"), 1);
}

TEST_F(PackageExport, FailedExportLeavesThePreviousFileAndNothingElse)
{
    const std::string folder = makeScratchFolder("dest");
    const std::string destination = folder + "/out.kzip";
    writeFile(destination, "the previous package");
    const std::vector<std::string> folderBefore = pathsBelow(folder);

    auto expectUntouched = [&] {
        EXPECT_EQ(readFile(destination), "the previous package");
        EXPECT_EQ(pathsBelow(folder), folderBefore);
        EXPECT_EQ(temporaryEntries(), temporaryBefore);
    };

    EXPECT_EQ(messageOf([&] { vault->exportFiles(destination, {"docs", "no such entry"}, "pw"); }),
              "No such file found in the store: no such entry");
    expectUntouched();

    const std::string missingFolder = folder + "/missing/out.kzip";
    EXPECT_EQ(messageOf([&] { vault->exportFiles(missingFolder, {"docs"}, "pw"); }),
              invalidFileMessage(missingFolder));
    EXPECT_EQ(messageOf([&] { vault->exportFiles(folder, {"docs"}, "pw"); }), invalidFileMessage(folder));
    expectUntouched();

    if (geteuid() != 0) {
        // Permissions bind everyone but the superuser.
        fs::permissions(folder, fs::perms::owner_write, fs::perm_options::remove);
        EXPECT_EQ(messageOf([&] { vault->exportFiles(destination, {"docs"}, "pw"); }), invalidFileMessage(destination));
        fs::permissions(folder, fs::perms::owner_write, fs::perm_options::add);
        expectUntouched();
    }

    // A body that went missing from the vault fails the export half-way.
    const std::string body = nonEmptyLines(sqlcipher(vaultDatabasePath(),
                                             "select current_path from ProtectedFiles where raw_file_name='b.bin';"))
                                 .at(0);
    const std::string bodyPath = vaultFolder() + "/" + body;
    const std::string kept = readFile(bodyPath);
    fs::remove(bodyPath);
    EXPECT_EQ(messageOf([&] { vault->exportFiles(destination, {"John's notes.txt", "docs"}, "pw"); }), kAddFailed);
    expectUntouched();
    writeFile(bodyPath, kept);

    // The vault is as it was: everything still comes out.
    const std::string out = makeScratchFolder("out");
    vault->removeFile("docs", out);
    vault->removeFile("John's notes.txt", out);
    EXPECT_EQ(summary(snapshotTree(out)), summary(files));
    // And a later export replaces the previous file whole.
    writeFile(source + "/again.txt", "again");
    KistFile added;
    vault->addFile(source + "/again.txt", &added, false);
    vault->exportFiles(destination, {"again.txt"}, "pw");
    Kist reader(destination);
    ASSERT_TRUE(reader.login("pw"));
    EXPECT_EQ(list(reader), (std::vector<Entry>{{"again.txt", false, 5}}));
}

TEST_F(PackageExport, ExportNeedsALogin)
{
    vault.reset();
    Kist locked(true);
    EXPECT_FALSE(locked.isEmptyPassword());
    const std::string destination = makeScratchFolder("dest") + "/out.kzip";
    EXPECT_EQ(messageOf([&] { locked.exportFiles(destination, {"docs"}, "pw"); }), kPasswordMessage);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_EQ(temporaryEntries(), temporaryBefore);

    ASSERT_TRUE(locked.login("vault pw"));
    locked.logoff();
    EXPECT_EQ(messageOf([&] { locked.exportFiles(destination, {"docs"}, "pw"); }), kPasswordMessage);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_EQ(temporaryEntries(), temporaryBefore);
}

TEST_F(PackageExport, TakingOutTwiceNeverOverwrites)
{
    const std::string package = makeScratchFolder("pkg") + "/out.kzip";
    vault->exportFiles(package, {"docs", "John's notes.txt"}, "package pw");
    const std::string out = makeScratchFolder("out");
    for (int round = 0; round < 3; ++round) {
        Kist reader(package);
        ASSERT_TRUE(reader.login("package pw"));
        reader.removeFile("docs", out);
        reader.removeFile("John's notes.txt", out);
        EXPECT_EQ(reader.lastTakeOutPath(),
                  out + (round == 0 ? "/John's notes.txt" : "/John's notes (" + std::to_string(round + 1) + ").txt"));
    }
    const Snapshot result = snapshotTree(out);
    for (const std::string folder : {"docs", "docs (2)", "docs (3)"}) {
        Snapshot expected;
        for (const auto& [path, bytes] : files)
            if (path.rfind("docs/", 0) == 0)
                expected.emplace_back(folder + path.substr(4), bytes);
        Snapshot actual;
        for (const auto& [path, bytes] : result)
            if (path.rfind(folder + "/", 0) == 0)
                actual.emplace_back(path, bytes);
        EXPECT_EQ(summary(actual), summary(expected)) << folder;
    }
    for (const std::string name : {"John's notes.txt", "John's notes (2).txt", "John's notes (3).txt"})
        EXPECT_EQ(readFile(out + "/" + name), "an apostrophe in the name") << name;

    // The same for the entries of a plain zip file.
    const std::string zipSource = makeScratchFolder("zipsrc");
    writeFile(zipSource + "/photo.jpg", "jpeg bytes");
    const std::string archive = makeScratchFolder("zips") + "/photos.zip";
    runOrThrow({"zip", "-q", archive, "photo.jpg"}, zipSource);
    for (int round = 0; round < 2; ++round) {
        Kist reader(archive);
        ASSERT_TRUE(reader.isEmptyPassword());
        reader.removeFile("photo.jpg", out);
    }
    EXPECT_EQ(readFile(out + "/photo.jpg"), "jpeg bytes");
    EXPECT_EQ(readFile(out + "/photo (2).jpg"), "jpeg bytes");
}
