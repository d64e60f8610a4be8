// Packages and zip files are input from elsewhere: names that climb out of
// the unpacking folder, links, rows of a package's own database that point
// outside, damaged containers and wrong passwords must all end in a clear
// error, with nothing written, read or deleted outside the reader's folders.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using namespace packagetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::scratchRoot;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr char kMarker[] = "EVIL-BYTES-7f3c";

// The new entries of $TMPDIR since before: the reader's work folder.
std::vector<std::string> newTemporaryFolders(const std::vector<std::string>& before)
{
    std::vector<std::string> added;
    for (const std::string& name : temporaryEntries())
        if (std::find(before.begin(), before.end(), name) == before.end())
            added.push_back(std::string(std::getenv("TMPDIR")) + "/" + name);
    return added;
}

class PackageHostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        temporaryBefore = temporaryEntries();
    }

    // No work folder or half-written package is left behind.
    void expectTemporaryFolderAsBefore() { EXPECT_EQ(temporaryEntries(), temporaryBefore); }

    // A package of a folder (two files, one in a sub-folder) and a file,
    // written by the engine; the vault stays open.
    std::string exportSample(Kist& vault, const std::string& packageName)
    {
        const std::string source = makeScratchFolder("sample");
        writeFile(source + "/docs/a.txt", patternBytes(3000));
        writeFile(source + "/docs/sub/b.txt", "bee");
        writeFile(source + "/single.txt", "single file");
        KistFile added;
        vault.addFile(source + "/docs", &added, false);
        vault.addFile(source + "/single.txt", &added, false);
        const std::string package = makeScratchFolder("pkg") + "/" + packageName;
        vault.exportFiles(package, {"docs", "single.txt"}, "pkg pw");
        return package;
    }

    std::vector<std::string> temporaryBefore;
};

struct HostileCase {
    std::string title;
    std::vector<ZipEntrySpec> entries;
    bool mustBeRefused; // false: may open, as long as everything stays inside
};

std::vector<HostileCase> hostileCases(const std::string& outside)
{
    const std::string evil = kMarker;
    using E = ZipEntrySpec;
    return {
        {"parent reference", {{"../evil.txt", evil}}, true},
        {"parent references after a folder", {{"a/../../evil.txt", evil}}, true},
        {"deep parent references", {{"sub/../../../evil.txt", evil}}, false},
        {"drive and backslash parent", {{"C:\\..\\evil.txt", evil}}, true},
        {"parent reference after a good entry", {{"good.txt", "good"}, {"../evil.txt", evil}}, true},
        {"parent references that flatten", {{"good.txt", "good"}, {"../../evil.txt", evil}}, false},
        {"absolute name", {{outside + "/evil.txt", evil}}, false},
        {"backslash parent references", {{"..\\..\\evil.txt", evil}}, false},
        {"link to a folder outside, then a file through it",
         {{"ln", outside, E::Link}, {"ln/evil.txt", evil}}, false},
        {"link to a file outside, then a file of the same name",
         {{"lf", outside + "/victim.txt", E::Link}, {"lf", evil}}, false},
        {"relative link upwards, then a file through it", {{"up", "../..", E::Link}, {"up/evil.txt", evil}}, false},
        {"link inside a folder", {{"d/", "", E::Folder}, {"d/l", "/", E::Link}, {"d/l/tmp/evil.txt", evil}}, false},
    };
}

} // namespace

TEST_F(PackageHostile, ZipEntriesNeverLandOutsideTheUnpackingFolder)
{
    const std::string outside = makeScratchFolder("outside");
    writeFile(outside + "/victim.txt", "victim stays");
    const std::string zips = makeScratchFolder("zips");
    int number = 0;
    for (const HostileCase& hostile : hostileCases(outside)) {
        for (const std::string extension : {".kzip", ".zip"}) {
            SCOPED_TRACE(hostile.title + " " + extension);
            const std::string path = zips + "/case" + std::to_string(++number) + extension;
            makeZip(path, hostile.entries);
            const std::vector<std::string> temporary = temporaryEntries();
            const std::vector<std::string> before = pathsBelow(scratchRoot(), {zips});

            std::unique_ptr<Kist> reader;
            const std::string message = messageOf([&] { reader = std::make_unique<Kist>(path); });
            if (hostile.mustBeRefused || !message.empty()) {
                EXPECT_EQ(message, invalidFileMessage(path));
                EXPECT_EQ(temporaryEntries(), temporary);
            }
            if (reader) {
                // Whatever opened lies inside the reader's own folder; taking
                // it all out puts it inside the chosen folder and nowhere else.
                const std::vector<std::string> work = newTemporaryFolders(temporary);
                ASSERT_EQ(work.size(), 1u);
                const std::string destination = makeScratchFolder("dest");
                if (reader->isEmptyPassword()) {
                    for (const Entry& entry : list(*reader))
                        reader->removeFile(entry.name, destination);
                }
                std::vector<std::string> skipped = work;
                skipped.push_back(zips);
                skipped.push_back(destination);
                std::vector<std::string> after = pathsBelow(scratchRoot(), skipped);
                // Opening a reader records the program's settings once.
                std::erase_if(after, [](const std::string& p) { return p.find("Brannoway") != std::string::npos; });
                std::vector<std::string> expected = before;
                std::erase_if(expected, [](const std::string& p) { return p.find("Brannoway") != std::string::npos; });
                std::sort(expected.begin(), expected.end());
                EXPECT_EQ(after, expected);
                reader.reset();
                EXPECT_EQ(temporaryEntries(), temporary);
            }
            for (const std::string& file : filesHolding(scratchRoot(), kMarker))
                EXPECT_TRUE(file.rfind(zips + "/", 0) == 0 || file.find("/dest-") != std::string::npos) << file;
            EXPECT_EQ(readFile(outside + "/victim.txt"), "victim stays");
            EXPECT_EQ(pathsBelow(outside), std::vector<std::string>{"victim.txt"});
        }
    }
    expectTemporaryFolderAsBefore();
}

TEST_F(PackageHostile, RowsReachingOutsideMakeThePackageInvalid)
{
    auto vault = openVault("vault pw");
    const std::string package = exportSample(*vault, "sample.kzip");
    const std::vector<Entry> vaultBefore = list(*vault);
    const std::string single = "where display_name='single.txt'";
    const std::string fileA = "where raw_file_name='a.txt'";
    const std::vector<std::pair<std::string, std::string>> edits = {
        {"body path with a parent reference", "update ProtectedFiles set current_path='../evil' " + single},
        {"absolute body path", "update ProtectedFiles set current_path='/etc/passwd' " + single},
        {"body path with backslash parents", "update ProtectedFiles set current_path='..\\..\\evil' " + single},
        {"child body path climbing out",
         "update ProtectedFiles set current_path=current_path || '/../../../evil' " + fileA},
        {"empty body path", "update ProtectedFiles set current_path='' " + single},
        {"file name with a parent reference", "update ProtectedFiles set raw_file_name='../evil.txt' " + single},
        {"file name with a slash", "update ProtectedFiles set raw_file_name='x/evil.txt' " + fileA},
        {"file name that is a parent", "update ProtectedFiles set raw_file_name='..' " + single},
        {"empty file name", "update ProtectedFiles set raw_file_name='' " + fileA},
        {"display name with a slash", "update ProtectedFiles set display_name='sub/x' " + single},
        {"display name that climbs", "update ProtectedFiles set display_name='../../x' " + single},
        {"pending transform", "update ProtectedFiles set pending_transform=1 " + single},
        {"pending transform of a child", "update ProtectedFiles set pending_transform=4 " + fileA},
        {"current root", "update ProtectedFiles set current_root='/tmp' " + single},
        {"target path", "update ProtectedFiles set target_path='x' " + fileA},
        {"target root", "update ProtectedFiles set target_root='/' " + single},
        {"row that is its own parent", "update ProtectedFiles set parent=unique_name " + fileA},
        {"two rows with one identity",
         "update ProtectedFiles set unique_name=(select unique_name from ProtectedFiles where "
         "display_name='docs') " + single},
        // The folder's identity again, below its own sub-folder: loading would
        // go round docs -> sub -> docs, a connection per level.
        {"identity repeated into a parent loop",
         "update ProtectedFiles set is_directory=1, unique_name=(select unique_name from ProtectedFiles where "
         "display_name='docs'), parent=(select unique_name from ProtectedFiles where raw_file_name='sub') " + single},
        {"two files of one name in a folder",
         "update ProtectedFiles set display_name='a.txt', raw_file_name='a.txt', parent=(select unique_name from "
         "ProtectedFiles where display_name='docs') where raw_file_name='b.txt'"},
        {"backslash in a display name", "update ProtectedFiles set display_name='a\\b.txt' " + single},
        {"backslash in a file name", "update ProtectedFiles set raw_file_name='a\\b.txt' " + fileA},
    };
    int number = 0;
    for (const auto& [title, statement] : edits) {
        SCOPED_TRACE(title);
        const std::string edited = makeScratchFolder("edited") + "/case" + std::to_string(++number) + ".kzip";
        editPackage(package, statement, edited);
        EXPECT_EQ(messageOf([&] { Kist reader(edited); }), invalidFileMessage(edited));
        expectTemporaryFolderAsBefore();
    }
    EXPECT_EQ(list(*vault), vaultBefore);

    // The unedited package still opens: the edits, not the repacking, are refused.
    const std::string repacked = makeScratchFolder("edited") + "/plain.kzip";
    editPackage(package, "select 1;", repacked);
    Kist reader(repacked);
    ASSERT_TRUE(reader.login("pkg pw"));
    EXPECT_EQ(list(reader).size(), 2u);
}

TEST_F(PackageHostile, HostileRowsBehindAZipPasswordNeverOpen)
{
    // A package whose body path points at a real body outside the unpacking
    // folder, hidden behind a zip password: refused at the login, and a
    // second login must not open what the first one refused.
    auto vault = openVault("vault pw");
    const std::string package = exportSample(*vault, "sample.kzip");
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string path =
        sqlcipher(unpacked + "/" + kDatabaseName, "select current_path from ProtectedFiles where display_name='single.txt';");
    const std::string bodyPath = path.substr(0, path.find('\n'));
    // The victim: a body that would decrypt, two levels above the work folder.
    const std::string victim = scratchRoot() + "/victim-body";
    fs::copy_file(unpacked + "/" + bodyPath, victim);
    const std::string victimBytes = readFile(victim);
    (void)sqlcipher(unpacked + "/" + kDatabaseName,
                    "update ProtectedFiles set current_path='../../victim-body' where display_name='single.txt';");

    const std::string hostile = makeScratchFolder("hostile") + "/locked.kzip";
    runOrThrow({"7z", "a", "-tzip", "-pzip pw", "-mem=ZipCrypto", hostile, "."}, unpacked);

    Kist reader(hostile);
    EXPECT_FALSE(reader.isEmptyPassword());
    EXPECT_EQ(messageOf([&] { (void)reader.login("zip pw"); }), invalidFileMessage(hostile));
    for (const std::string password : {"zip pw", "pkg pw", ""}) {
        SCOPED_TRACE(password);
        bool accepted = false;
        const std::string message = messageOf([&] { accepted = reader.login(password); });
        EXPECT_FALSE(accepted);
        EXPECT_TRUE(message.empty() || message == invalidFileMessage(hostile)) << message;
        EXPECT_EQ(messageOf([&] {
                      std::vector<KistFile*> files;
                      reader.listFiles(files);
                  }),
                  kPasswordMessage);
        EXPECT_FALSE(messageOf([&] { reader.removeFile("single.txt", makeScratchFolder("dest")); }).empty());
        EXPECT_FALSE(messageOf([&] { reader.copyFilesToVault({"single.txt"}, "vault pw"); }).empty());
    }
    EXPECT_TRUE(readFile(victim) == victimBytes) << "the body outside the unpacking folder changed";
    EXPECT_EQ(list(*vault).size(), 2u);
}

TEST_F(PackageHostile, DamagedContainersGiveTheRightMessageAndLeaveNothing)
{
    auto vault = openVault("vault pw");
    const std::string package = exportSample(*vault, "sample.kzip");
    const std::string whole = readFile(package);
    const std::string folder = makeScratchFolder("damaged");
    auto variant = [&](const std::string& name, const std::string& bytes) {
        writeFile(folder + "/" + name, bytes);
        return folder + "/" + name;
    };
    std::string flippedCentral = whole;
    const std::size_t central = flippedCentral.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    flippedCentral[central + 2] = '\x7f';
    // The database entry comes last; damage the middle of its deflated data.
    std::string flippedData = whole;
    const std::size_t lastLocal = flippedData.rfind(std::string("PK\x03\x04", 4), central);
    ASSERT_NE(lastLocal, std::string::npos);
    for (std::size_t i = lastLocal + 120; i < lastLocal + 160; ++i)
        flippedData[i] = static_cast<char>(flippedData[i] ^ 0x5a);

    const std::vector<std::string> invalid = {
        variant("empty.kzip", ""),
        variant("empty.zip", ""),
        variant("garbage.kzip", patternBytes(5000)),
        variant("text.zip", "PK this is not a zip file"),
        variant("half.kzip", whole.substr(0, whole.size() / 2)),
        variant("no-end-record.kzip", whole.substr(0, whole.size() - 30)),
        variant("central-directory.kzip", flippedCentral),
        variant("damaged-data.kzip", flippedData),
        variant("damaged-data.zip", flippedData),
    };
    for (const std::string& path : invalid) {
        SCOPED_TRACE(path);
        EXPECT_EQ(messageOf([&] { Kist reader(path); }), invalidFileMessage(path));
        expectTemporaryFolderAsBefore();
    }
    const std::string missing = folder + "/missing.kzip";
    EXPECT_EQ(messageOf([&] { Kist reader(missing); }), invalidFileMessage(missing));
    EXPECT_EQ(messageOf([&] { Kist reader(folder); }), invalidFileMessage(folder));
    expectTemporaryFolderAsBefore();

    // Compression methods the zip layer does not know: implode, patched into
    // an otherwise sound archive, and 7-Zip's Deflate64.
    const std::string imploded = folder + "/imploded.zip";
    const ToolRun made = runPython("import sys, zipfile\n"
                                   "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
                                   "    z.writestr('a.txt', 'some text that is stored')\n"
                                   "data = bytearray(open(sys.argv[1], 'rb').read())\n"
                                   "for sig, at in ((b'PK\\x03\\x04', 8), (b'PK\\x01\\x02', 10)):\n"
                                   "    i = data.find(sig)\n"
                                   "    data[i + at] = 6\n"
                                   "open(sys.argv[1], 'wb').write(data)\n",
                                   {imploded});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string source = makeScratchFolder("d64");
    // A package is read from its database on, so that is the entry to pack.
    const std::string databaseName = kDatabaseName;
    writeFile(source + "/" + databaseName, std::string(300000, 'x') + patternBytes(1000));
    const std::string deflate64 = folder + "/deflate64.kzip";
    runOrThrow({"7z", "a", "-tzip", "-mm=Deflate64", deflate64, databaseName}, source);
    for (const std::string& path : {imploded, deflate64}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(messageOf([&] { Kist reader(path); }), kUnsupportedZip);
        expectTemporaryFolderAsBefore();
    }
}

TEST_F(PackageHostile, WrongPasswordsOnTraditionalEncryptionKeepTheReaderLocked)
{
    // About one wrong password in 256 passes the single check byte of
    // traditional zip encryption; the garbage it decrypts must still count
    // as a wrong password, never as success, a crash or "not supported".
    const std::string source = makeScratchFolder("crypt");
    writeFile(source + "/notes.txt", "notes behind a zip password, long enough to be deflated well enough");
    writeFile(source + "/data.bin", patternBytes(40000));
    writeFile(source + "/tiny.txt", "x");
    const std::string deflated = makeScratchFolder("zips") + "/deflated.zip";
    const std::string stored = makeScratchFolder("zips") + "/stored.ZIP";
    runOrThrow({"zip", "-q", "-P", "right one", deflated, "notes.txt", "data.bin", "tiny.txt"}, source);
    runOrThrow({"zip", "-q", "-0", "-P", "right one", stored, "tiny.txt", "notes.txt"}, source);

    for (const std::string& path : {deflated, stored}) {
        SCOPED_TRACE(path);
        Kist reader(path);
        EXPECT_FALSE(reader.isEmptyPassword());
        int refused = 0;
        for (int i = 0; i < 600; ++i) {
            const std::string wrong = "wrong " + std::to_string(i);
            bool accepted = true;
            const std::string message = messageOf([&] { accepted = reader.login(wrong); });
            EXPECT_EQ(message, "") << wrong;
            EXPECT_FALSE(accepted) << wrong;
            refused += accepted ? 0 : 1;
        }
        EXPECT_EQ(refused, 600);
        EXPECT_FALSE(reader.login(""));
        EXPECT_FALSE(reader.isEmptyPassword());
        EXPECT_EQ(messageOf([&] {
                      std::vector<KistFile*> files;
                      reader.listFiles(files);
                  }),
                  kPasswordMessage);
        ASSERT_TRUE(reader.login("right one"));
        std::vector<std::string> names;
        for (const Entry& entry : list(reader))
            names.push_back(entry.name);
        EXPECT_TRUE(std::find(names.begin(), names.end(), "notes.txt") != names.end());
        EXPECT_EQ(takeOut(reader, "tiny.txt"), (Snapshot{{"tiny.txt", "x"}}));
    }
    expectTemporaryFolderAsBefore();
}

TEST_F(PackageHostile, WrongPasswordsOnAesEncryptionKeepTheReaderLocked)
{
    const std::string source = makeScratchFolder("aes");
    writeFile(source + "/secret.txt", "behind AES");
    const std::string path = makeScratchFolder("zips") + "/aes.zip";
    runOrThrow({"7z", "a", "-tzip", "-pright one", "-mem=AES256", path, "secret.txt"}, source);
    Kist reader(path);
    for (int i = 0; i < 40; ++i)
        EXPECT_FALSE(reader.login("wrong " + std::to_string(i)));
    EXPECT_FALSE(reader.isEmptyPassword());
    ASSERT_TRUE(reader.login("right one"));
    EXPECT_EQ(takeOut(reader, "secret.txt"), (Snapshot{{"secret.txt", "behind AES"}}));
}

TEST_F(PackageHostile, UnpackingWritesOnlyWhatTheRowsNameAndNoMoreThanTheyDeclare)
{
    auto vault = openVault("vault pw");
    const std::string package = exportSample(*vault, "sample.kzip");
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string zeros(8 * 1024 * 1024, '\0'); // deflates to a few KiB

    // An entry that no row names is never written.
    writeFile(unpacked + "/extra.bin", zeros);
    const std::string extra = makeScratchFolder("extra") + "/extra.kzip";
    packZip(unpacked, extra);
    fs::remove(unpacked + "/extra.bin");
    {
        Kist reader(extra);
        ASSERT_TRUE(reader.login("pkg pw"));
        EXPECT_EQ(list(reader).size(), 2u);
        const std::vector<std::string> work = newTemporaryFolders(temporaryBefore);
        ASSERT_EQ(work.size(), 1u);
        EXPECT_TRUE(fs::exists(work[0] + "/" + kDatabaseName));
        EXPECT_FALSE(fs::exists(work[0] + "/extra.bin"));
    }
    expectTemporaryFolderAsBefore();

    // A body that its row declares at 3000 bytes, grown to 8 MiB: refused
    // before it is written, and nothing stays behind.
    const std::string path = sqlcipher(unpacked + "/" + kDatabaseName,
                                       "select current_path from ProtectedFiles where raw_file_name='a.txt';");
    writeFile(unpacked + "/" + path.substr(0, path.find('\n')), zeros);
    const std::string bomb = makeScratchFolder("bomb") + "/bomb.kzip";
    packZip(unpacked, bomb);
    EXPECT_EQ(messageOf([&] { Kist reader(bomb); }), invalidFileMessage(bomb));
    expectTemporaryFolderAsBefore();
    EXPECT_EQ(list(*vault).size(), 2u);
}
