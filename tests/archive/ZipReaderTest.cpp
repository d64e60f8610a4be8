#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/archive/ZipArchive.h"
#include "tests/archive/ArchiveTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using namespace archivetest;
using testsupport::readFile;
using testsupport::snapshotTree;
using testsupport::writeFile;

namespace {

const std::string kUnicodeName = "r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt"; // résumé 日本.txt

class ZipReader : public ::testing::Test {
protected:
    void SetUp() override { folder = testsupport::makeScratchFolder("zip-reader"); }

    // A small tree of files that third-party tools pack: text that deflates,
    // incompressible bytes that some tools store, an empty file, names with a
    // blank, an apostrophe and letters outside ASCII, and a nested folder.
    std::string makeSourceTree()
    {
        const std::string tree = folder + "/tree";
        writeFile(tree + "/" + kUnicodeName, std::string(20000, 'u') + "end");
        writeFile(tree + "/it's here.txt", "apostrophe\n");
        writeFile(tree + "/with blank.bin", testsupport::patternBytes(40000));
        writeFile(tree + "/empty.txt", "");
        writeFile(tree + "/sub/deeper/inner.dat", "inner bytes");
        return tree;
    }

    // Runs a Python script that writes an archive to `path` (sys.argv[1]);
    // further arguments follow in sys.argv[2:].
    std::string pythonZip(const std::string& name, const std::string& script, std::vector<std::string> arguments = {})
    {
        const std::string path = folder + "/" + name;
        arguments.insert(arguments.begin(), path);
        const ToolRun run = runPython("import sys, zipfile, struct\npath = sys.argv[1]\n" + script, arguments);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        return path;
    }

    std::string folder;
};

// Reads one entry's reported name, failing the test when it cannot.
ZipItem itemAt(ZipHandle zip, int index)
{
    ZipItem item;
    EXPECT_EQ(getZipItem(zip, index, item), ZR_OK) << index;
    return item;
}

int entryCount(ZipHandle zip)
{
    ZipItem count;
    EXPECT_EQ(getZipItem(zip, -1, count), ZR_OK);
    return count.index;
}

} // namespace

TEST_F(ZipReader, ArchivesFromInfoZipAndSevenZipExtractIdentically)
{
    const std::string tree = makeSourceTree();
    const std::string password = "s3cret pass";
    struct Maker {
        std::string name;
        std::vector<std::string> command;
        bool encrypted;
    };
    const std::vector<Maker> makers = {
        {"infozip.zip", {"zip", "-q", "-r"}, false},
        {"infozip-pw.zip", {"zip", "-q", "-r", "-P", password}, true},
        {"7z.zip", {"7z", "a", "-tzip"}, false},
        {"7z-zipcrypto.zip", {"7z", "a", "-tzip", "-p" + password, "-mem=ZipCrypto"}, true},
        {"7z-aes.zip", {"7z", "a", "-tzip", "-p" + password, "-mem=AES256"}, true},
    };
    const auto expected = snapshotTree(tree);
    for (const Maker& maker : makers) {
        SCOPED_TRACE(maker.name);
        const std::string zipPath = folder + "/" + maker.name;
        std::vector<std::string> command = maker.command;
        command.push_back(zipPath);
        command.push_back(".");
        const ToolRun made = runTool(command, tree);
        ASSERT_EQ(made.exitCode, 0) << made.output;

        const std::string out = testsupport::makeScratchFolder("out");
        EXPECT_EQ(extractAll(zipPath, maker.encrypted ? &password : nullptr, out), ZR_OK);
        EXPECT_EQ(treeDifference(snapshotTree(out), expected), "");
        EXPECT_TRUE(fs::is_directory(out + "/sub/deeper"));
        if (!maker.encrypted)
            continue;

        // Without the password, or with a wrong one, every file entry reports
        // ZR_PASSWORD and nothing is written.
        const std::string wrong = "wrong";
        for (const std::string* given : {static_cast<const std::string*>(nullptr), &wrong}) {
            ZipHandle zip = openZip(wide(zipPath), given);
            ASSERT_NE(zip, nullptr);
            const std::string locked = testsupport::makeScratchFolder("locked");
            ASSERT_EQ(setUnzipBaseFolder(zip, wide(locked)), ZR_OK);
            for (int i = 0; i < entryCount(zip); ++i) {
                const ZipItem item = itemAt(zip, i);
                const std::string name = toNarrow(item.name);
                if ((item.attributes & ZA_FOLDER) || name == "empty.txt")
                    continue;
                EXPECT_EQ(unzipItem(zip, i, item.name), ZR_PASSWORD) << name;
                EXPECT_EQ(lastReaderResult(), ZR_PASSWORD);
                EXPECT_FALSE(testsupport::exists(locked + "/" + name)) << name;
            }
            EXPECT_EQ(closeZip(zip), ZR_OK);
            for (const auto& [path, bytes] : snapshotTree(locked))
                ADD_FAILURE() << "written without the password: " << path;
        }
    }
}

TEST_F(ZipReader, AWrongPasswordThatPassesTheHeaderCheckIsStillAWrongPassword)
{
    // The traditional scheme checks one byte of the decrypted header, so about
    // one wrong password in 256 passes it; the entry then fails its CRC or
    // inflation. Python's zipfile finds such passwords independently.
    writeFile(folder + "/src/stored.gz", testsupport::patternBytes(3000));
    writeFile(folder + "/src/text.txt", std::string(3000, 't'));
    const std::string zipPath = folder + "/check.zip";
    ASSERT_EQ(runTool({"zip", "-q", "-P", "right", zipPath, "stored.gz", "text.txt"}, folder + "/src").exitCode, 0);
    const ToolRun found = runPython(R"PY(
import sys, zipfile, zlib
passing = {}
with zipfile.ZipFile(sys.argv[1]) as zf:
    for name in ('stored.gz', 'text.txt'):
        for i in range(4000):
            pw = 'wrong%d' % i
            try:
                zf.read(name, pwd=pw.encode())
            except RuntimeError:
                continue  # failed the header check
            except (zipfile.BadZipFile, zlib.error):
                passing[name] = pw
                break
for name in ('stored.gz', 'text.txt'):
    print(name, passing[name])
)PY",
                                    {zipPath});
    ASSERT_EQ(found.exitCode, 0) << found.output;

    std::istringstream lines(found.output);
    std::string name;
    std::string candidate;
    int checked = 0;
    while (lines >> name >> candidate) {
        ZipHandle zip = openZip(wide(zipPath), &candidate);
        ASSERT_NE(zip, nullptr);
        const std::string out = testsupport::makeScratchFolder("check-out");
        ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
        for (int i = 0; i < entryCount(zip); ++i) {
            const ZipItem item = itemAt(zip, i);
            if (toNarrow(item.name) == name) {
                EXPECT_EQ(unzipItem(zip, i, item.name), ZR_PASSWORD) << name << " with " << candidate;
                ++checked;
            }
        }
        EXPECT_EQ(closeZip(zip), ZR_OK);
        EXPECT_TRUE(listTree(out).empty()) << name;
    }
    EXPECT_EQ(checked, 2) << found.output;
}

TEST_F(ZipReader, HostileNamesAndLinksNeverWriteOutsideTheBaseFolder)
{
    const std::string sandbox = folder + "/sandbox";
    const std::string base = sandbox + "/base";
    fs::create_directories(base);
    writeFile(sandbox + "/outside.txt", "untouched");
    const std::string zipPath = pythonZip("hostile.zip", R"PY(
def link(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (0o120777 << 16)
    return info, target
with zipfile.ZipFile(path, 'w') as zf:
    zf.writestr('../evil1.txt', 'e1')
    zf.writestr('a/../../evil2.txt', 'e2')
    zf.writestr('/abs/evil3.txt', 'e3')
    zf.writestr('..\\..\\evil4.txt', 'e4')
    zf.writestr('C:\\x\\y.txt', 'e5')
    zf.writestr(*link('link', '..'))
    zf.writestr('link/outside.txt', 'overwritten through a link')
    zf.writestr(*link('abslink', '/tmp'))
    zf.writestr('abslink/evil6.txt', 'e6')
    zf.writestr('good.txt', 'good')
)PY");

    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(base)), ZR_OK);
    std::map<std::string, int> results;
    std::map<std::string, bool> links;
    for (int i = 0; i < entryCount(zip); ++i) {
        const ZipItem item = itemAt(zip, i);
        results[toNarrow(item.name)] = unzipItem(zip, i, item.name);
        links[toNarrow(item.name)] = item.isLink;
    }

    // Parent references that survive cleaning are refused before anything is written.
    EXPECT_EQ(results["../evil1.txt"], ZR_UNSAFE);
    EXPECT_EQ(results["../evil2.txt"], ZR_UNSAFE);
    // Cleaned names land inside the base folder.
    EXPECT_EQ(results["abs/evil3.txt"], ZR_OK);
    EXPECT_EQ(results["evil4.txt"], ZR_OK);
    EXPECT_EQ(results["x/y.txt"], ZR_OK);
    // Links are recognised and skipped; what follows goes into a real folder.
    EXPECT_TRUE(links["link"]);
    EXPECT_TRUE(links["abslink"]);
    EXPECT_EQ(results["link"], ZR_OK);
    EXPECT_EQ(results["link/outside.txt"], ZR_OK);
    EXPECT_EQ(results["abslink/evil6.txt"], ZR_OK);
    EXPECT_EQ(results["good.txt"], ZR_OK);

    // Explicit targets outside the base folder are refused too.
    EXPECT_EQ(unzipItem(zip, 9, wide(sandbox + "/escaped.txt")), ZR_UNSAFE);
    EXPECT_EQ(unzipItem(zip, 9, wide(base + "/../escaped.txt")), ZR_UNSAFE);
    EXPECT_EQ(unzipItem(zip, 9, wide("sub/../../escaped.txt")), ZR_UNSAFE);
    EXPECT_EQ(unzipItem(zip, 9, L""), ZR_UNSAFE);
    EXPECT_EQ(unzipItem(zip, 9, wide(base + "/inside/good.txt")), ZR_OK);
    EXPECT_EQ(closeZip(zip), ZR_OK);

    EXPECT_EQ(readFile(sandbox + "/outside.txt"), "untouched");
    EXPECT_EQ(readFile(base + "/link/outside.txt"), "overwritten through a link");
    EXPECT_EQ(readFile(base + "/inside/good.txt"), "good");
    EXPECT_EQ(readFile(base + "/abslink/evil6.txt"), "e6");
    // Nothing but the base folder and the untouched file in the sandbox, and no link anywhere.
    EXPECT_EQ(listTree(sandbox).front(), "base");
    for (const std::string& path : listTree(sandbox)) {
        EXPECT_TRUE(path == "outside.txt" || path.rfind("base", 0) == 0) << path;
        EXPECT_FALSE(fs::is_symlink(sandbox + "/" + path)) << path;
    }
}

TEST_F(ZipReader, ExistingLinksInTheBaseFolderAreNeverFollowed)
{
    const std::string base = folder + "/base";
    const std::string elsewhere = folder + "/elsewhere";
    fs::create_directories(base);
    fs::create_directories(elsewhere);
    writeFile(elsewhere + "/victim.txt", "victim");
    fs::create_directory_symlink(elsewhere, base + "/planted");
    fs::create_symlink(elsewhere + "/victim.txt", base + "/victim.txt");
    const std::string zipPath = pythonZip("links.zip", R"PY(
with zipfile.ZipFile(path, 'w') as zf:
    zf.writestr('planted/new.txt', 'through a folder link')
    zf.writestr('planted/deeper/new.txt', 'through a folder link')
    zf.writestr('planted/', '')
    zf.writestr('victim.txt', 'through a file link')
)PY");

    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(base)), ZR_OK);
    for (int i = 0; i < entryCount(zip); ++i) {
        const ZipItem item = itemAt(zip, i);
        EXPECT_EQ(unzipItem(zip, i, item.name), ZR_UNSAFE) << toNarrow(item.name);
    }
    EXPECT_EQ(closeZip(zip), ZR_OK);
    EXPECT_EQ(listTree(elsewhere), std::vector<std::string>{"victim.txt"});
    EXPECT_EQ(readFile(elsewhere + "/victim.txt"), "victim");
}

TEST_F(ZipReader, DamagedArchivesAreRefusedWithoutCrashing)
{
    writeFile(folder + "/empty.zip", "");
    writeFile(folder + "/random.zip", testsupport::patternBytes(5000));
    fs::create_directories(folder + "/a-folder.zip");
    for (const std::string name : {"missing.zip", "empty.zip", "random.zip", "a-folder.zip"}) {
        EXPECT_EQ(openZip(wide(folder + "/" + name), nullptr), nullptr) << name;
        EXPECT_NE(lastReaderResult(), ZR_OK) << name;
    }

    // A sound archive, then every cut of it and every single-byte change:
    // each gives a clean refusal or data inside the base folder, never a crash.
    const std::string source = folder + "/src/body.txt";
    writeFile(source, "the body of a small entry, long enough to deflate: " + std::string(200, 'b'));
    writeFile(folder + "/src/second.gz", "second");
    const std::string sound = folder + "/sound.zip";
    ASSERT_EQ(writeArchive(sound, {{"body.txt", source}, {"dir/second.gz", folder + "/src/second.gz"}}), ZR_OK);
    const std::string bytes = readFile(sound);

    const std::string out = testsupport::makeScratchFolder("damaged-out");
    int refusedCuts = 0;
    for (std::size_t length = 0; length < bytes.size(); length += 7) {
        writeFile(folder + "/cut.zip", bytes.substr(0, length));
        if (extractAll(folder + "/cut.zip", nullptr, out) != ZR_OK)
            ++refusedCuts;
    }
    EXPECT_GT(refusedCuts, 0);
    int changedAndRefused = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x5A);
        writeFile(folder + "/changed.zip", changed);
        if (extractAll(folder + "/changed.zip", nullptr, out) != ZR_OK)
            ++changedAndRefused;
    }
    EXPECT_GT(changedAndRefused, 0);
    for (const std::string& path : listTree(out))
        EXPECT_FALSE(fs::is_symlink(out + "/" + path)) << path;
}

TEST_F(ZipReader, CorruptedDataIsReportedAndKeepsTheOldTarget)
{
    const std::string payload = testsupport::patternBytes(10000);
    writeFile(folder + "/payload", payload);
    const std::string zipPath = pythonZip("crc.zip", R"PY(
data = open(sys.argv[2], 'rb').read()
with zipfile.ZipFile(path, 'w') as zf:
    zf.writestr(zipfile.ZipInfo('stored.bin'), data, compress_type=zipfile.ZIP_STORED)
    zf.writestr(zipfile.ZipInfo('deflated.txt'), b'deflate me ' * 2000, compress_type=zipfile.ZIP_DEFLATED)
raw = bytearray(open(path, 'rb').read())
with zipfile.ZipFile(path) as zf:
    for info in zf.infolist():
        name_len, extra_len = struct.unpack('<HH', raw[info.header_offset + 26:info.header_offset + 30])
        start = info.header_offset + 30 + name_len + extra_len
        raw[start + info.compress_size // 2] ^= 0xFF
open(path, 'wb').write(bytes(raw))
)PY",
                                              {folder + "/payload"});

    const std::string out = testsupport::makeScratchFolder("crc-out");
    writeFile(out + "/stored.bin", "previous content");
    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
    ASSERT_EQ(toNarrow(itemAt(zip, 0).name), "stored.bin");
    EXPECT_EQ(unzipItem(zip, 0, L"stored.bin"), ZR_CORRUPT);
    const int deflated = unzipItem(zip, 1, L"deflated.txt");
    EXPECT_TRUE(deflated == ZR_CORRUPT || deflated == ZR_FLATE) << std::hex << deflated;
    EXPECT_EQ(closeZip(zip), ZR_OK);
    EXPECT_EQ(readFile(out + "/stored.bin"), "previous content");
    EXPECT_EQ(listTree(out), std::vector<std::string>{"stored.bin"});
}

TEST_F(ZipReader, CompressionMethodsBeyondDeflate)
{
    const std::string zipPath = pythonZip("methods.zip", R"PY(
with zipfile.ZipFile(path, 'w') as zf:
    zf.writestr('bzip2.txt', b'bzip2 body ' * 500, compress_type=zipfile.ZIP_BZIP2)
    zf.writestr('lzma.txt', b'lzma body ' * 500, compress_type=zipfile.ZIP_LZMA)
)PY");
    const std::string out = testsupport::makeScratchFolder("methods-out");
    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
    // Debian's libzip is built with bzip2 but without LZMA.
    EXPECT_EQ(unzipItem(zip, 0, L"bzip2.txt"), ZR_OK);
    EXPECT_EQ(unzipItem(zip, 1, L"lzma.txt"), ZR_METHOD);
    EXPECT_EQ(closeZip(zip), ZR_OK);
    std::string expected;
    for (int i = 0; i < 500; ++i)
        expected += "bzip2 body ";
    EXPECT_EQ(readFile(out + "/bzip2.txt"), expected);
    EXPECT_EQ(listTree(out), std::vector<std::string>{"bzip2.txt"});
}

TEST_F(ZipReader, FoldersFilesAndModesOnDisk)
{
    const std::string zipPath = pythonZip("layout.zip", R"PY(
with zipfile.ZipFile(path, 'w') as zf:
    info = zipfile.ZipInfo('a/b/c/', date_time=(2001, 2, 3, 4, 5, 6))
    info.external_attr = (0o40755 << 16) | 0x10
    zf.writestr(info, '')
    info = zipfile.ZipInfo('a/file.txt', date_time=(2001, 2, 3, 4, 5, 6))
    info.external_attr = (0o100644 << 16)
    zf.writestr(info, 'new content')
    zf.writestr('clash', 'a file where a folder is')
)PY");
    const ToolRun stamp = runPython("import time\nprint(int(time.mktime((2001, 2, 3, 4, 5, 6, 0, 0, -1))))\n", {});
    const long long expectedTime = std::stoll(stamp.output);

    const std::string out = testsupport::makeScratchFolder("layout-out");
    writeFile(out + "/a/file.txt", "old content");
    fs::create_directories(out + "/clash");
    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(out + "/")), ZR_OK);

    const ZipItem folderItem = itemAt(zip, 0);
    EXPECT_EQ(toNarrow(folderItem.name), "a/b/c/");
    EXPECT_EQ(folderItem.attributes & ZA_FOLDER, ZA_FOLDER);
    EXPECT_EQ(unzipItem(zip, 0, folderItem.name), ZR_OK);
    struct stat info {};
    ASSERT_EQ(stat((out + "/a/b/c").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((out + "/a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A file replaces the one already there, privately, with the entry's time
    // (a DOS time: local time, as Python's mktime reads it).
    const ZipItem fileItem = itemAt(zip, 1);
    EXPECT_EQ(fileItem.modificationTime, expectedTime);
    EXPECT_EQ(fileItem.uncompressedSize, 11u);
    EXPECT_EQ(unzipItem(zip, 1, fileItem.name), ZR_OK);
    EXPECT_EQ(readFile(out + "/a/file.txt"), "new content");
    ASSERT_EQ(stat((out + "/a/file.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_mtime, expectedTime);

    // A folder in the way is not replaced by a file.
    EXPECT_EQ(unzipItem(zip, 2, L"clash"), ZR_NOFILE);
    EXPECT_TRUE(fs::is_directory(out + "/clash"));
    EXPECT_EQ(closeZip(zip), ZR_OK);
    EXPECT_EQ(listTree(out), (std::vector<std::string>{"a", "a/b", "a/b/c", "a/file.txt", "clash"}));
}

TEST_F(ZipReader, AFailedExtractionLeavesNoPartialFile)
{
    const std::string big = folder + "/src/big.bin";
    writeFile(big, testsupport::patternBytes(1024 * 1024));
    const std::string zipPath = folder + "/big.zip";
    ASSERT_EQ(writeArchive(zipPath, {{"big.bin", big}}), ZR_OK);
    const std::string out = testsupport::makeScratchFolder("partial-out");

    // A file-size limit in a child process stands in for a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        ZipHandle zip = openZip(wide(zipPath), nullptr);
        if (zip == nullptr || setUnzipBaseFolder(zip, wide(out)) != ZR_OK)
            _exit(2);
        const int result = unzipItem(zip, 0, L"big.bin");
        (void)closeZip(zip);
        _exit(result == ZR_WRITE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(listTree(out).empty());
}

TEST_F(ZipReader, HandlesIndexesAndBaseFolders)
{
    writeFile(folder + "/src/one", "1");
    const std::string zipPath = folder + "/one.zip";
    ASSERT_EQ(writeArchive(zipPath, {{"one", folder + "/src/one"}}), ZR_OK);

    ZipItem item;
    EXPECT_EQ(getZipItem(nullptr, -1, item), ZR_ARGS);
    EXPECT_EQ(lastReaderResult(), ZR_ARGS);
    EXPECT_EQ(unzipItem(nullptr, 0, L"x"), ZR_ARGS);
    EXPECT_EQ(setUnzipBaseFolder(nullptr, L"/tmp"), ZR_ARGS);

    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(lastReaderResult(), ZR_OK);
    EXPECT_EQ(entryCount(zip), 1);
    EXPECT_EQ(getZipItem(zip, 1, item), ZR_ARGS);
    EXPECT_EQ(getZipItem(zip, -2, item), ZR_ARGS);
    EXPECT_EQ(unzipItem(zip, -1, L"x"), ZR_ARGS);
    EXPECT_EQ(unzipItem(zip, 1, L"x"), ZR_ARGS);
    EXPECT_EQ(setUnzipBaseFolder(zip, wide(folder + "/no such folder")), ZR_NOFILE);
    EXPECT_EQ(setUnzipBaseFolder(zip, wide(folder + "/one.zip")), ZR_NOFILE);
    EXPECT_EQ(setUnzipBaseFolder(zip, L""), ZR_ARGS);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(folder + "/src/")), ZR_OK);
    // A relative target goes under the base folder, missing folders included.
    EXPECT_EQ(unzipItem(zip, 0, L"copies/one"), ZR_OK);
    EXPECT_EQ(readFile(folder + "/src/copies/one"), "1");
    EXPECT_EQ(lastReaderResult(), ZR_OK);
    EXPECT_EQ(closeZip(zip), ZR_OK);
}

TEST_F(ZipReader, StoredAesEntriesAreCheckedByTheirAuthenticationCode)
{
    // 7-Zip stores incompressible files; from 20 bytes on its AES entries are
    // AE-2, with no CRC. Their authentication code is all that vouches for
    // them, so a changed byte of the encrypted data must still be refused.
    writeFile(folder + "/src/photo.jpg", testsupport::patternBytes(300000));
    const std::string zipPath = folder + "/photos.zip";
    ASSERT_EQ(runTool({"7z", "a", "-tzip", "-bso0", "-mx=0", "-mem=AES256", "-pzippw", zipPath, "photo.jpg"},
                      folder + "/src")
                  .exitCode,
              0);
    const std::string password = "zippw";
    const std::string out = testsupport::makeScratchFolder("aes-out");
    EXPECT_EQ(extractAll(zipPath, &password, out), ZR_OK);
    EXPECT_EQ(readFile(out + "/photo.jpg"), testsupport::patternBytes(300000));

    // Flip one byte in the middle of the entry's encrypted data.
    const ToolRun changed = runPython(R"PY(
import sys, zipfile, struct
path = sys.argv[1]
info = zipfile.ZipFile(path).infolist()[0]
with open(path, 'r+b') as f:
    f.seek(info.header_offset)
    header = f.read(30)
    start = info.header_offset + 30 + struct.unpack('<H', header[26:28])[0] + struct.unpack('<H', header[28:30])[0]
    at = start + 18 + 150000
    f.seek(at)
    byte = f.read(1)
    f.seek(at)
    f.write(bytes([byte[0] ^ 1]))
)PY",
                                      {zipPath});
    ASSERT_EQ(changed.exitCode, 0) << changed.output;
    const std::string refused = testsupport::makeScratchFolder("aes-refused");
    EXPECT_EQ(extractAll(zipPath, &password, refused), ZR_PASSWORD);
    EXPECT_TRUE(listTree(refused).empty());
}

TEST_F(ZipReader, AnEntryNeverWritesMoreThanTheSizeItDeclares)
{
    // Declared sizes bound what unpacking a package writes, so an entry that
    // understates its size (a zip bomb) must stop there, not at a full disk.
    const std::string zipPath = pythonZip("liar.zip", R"PY(
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('big.bin', bytes(8 * 1024 * 1024))
data = bytearray(open(path, 'rb').read())
for signature, at in ((b'PK\x03\x04', 22), (b'PK\x01\x02', 24)):
    i = data.find(signature)
    data[i + at:i + at + 4] = struct.pack('<I', 1000)
open(path, 'wb').write(data)
)PY");
    const std::string out = testsupport::makeScratchFolder("liar-out");
    // A file-size limit far below the real size, far above the declared one.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {1024 * 1024, 1024 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        ZipHandle zip = openZip(wide(zipPath), nullptr);
        if (zip == nullptr || setUnzipBaseFolder(zip, wide(out)) != ZR_OK)
            _exit(2);
        const int result = unzipItem(zip, 0, L"big.bin");
        (void)closeZip(zip);
        _exit(result == ZR_CORRUPT ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(listTree(out).empty());
}
