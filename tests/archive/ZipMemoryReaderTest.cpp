#include <gtest/gtest.h>

#include <filesystem>

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

class ZipMemoryReader : public ::testing::Test {
protected:
    void SetUp() override { folder = testsupport::makeScratchFolder("zip-memory"); }

    // Opens the bytes from memory and wipes the caller's copy at once: the
    // reader must hold its own.
    static ZipHandle openWiped(std::string bytes, const std::string* password)
    {
        ZipHandle zip = openZipFromMemory(bytes.data(), bytes.size(), password);
        bytes.assign(bytes.size(), '\xEE');
        return zip;
    }

    std::string folder;
};

} // namespace

TEST_F(ZipMemoryReader, ToolArchivesExtractFromMemoryAsFromTheirFiles)
{
    const std::string tree = folder + "/tree";
    writeFile(tree + "/text.txt", std::string(5000, 't') + "end");
    writeFile(tree + "/sub/pattern.bin", testsupport::patternBytes(30000));
    writeFile(tree + "/sub/empty.txt", "");
    const auto expected = snapshotTree(tree);
    const std::string password = "memory pw";
    struct Maker {
        std::string name;
        std::vector<std::string> command;
        bool encrypted;
    };
    const std::vector<Maker> makers = {
        {"infozip.zip", {"zip", "-q", "-r"}, false},
        {"7z-stored-zipcrypto.zip", {"7z", "a", "-tzip", "-mx=0", "-p" + password, "-mem=ZipCrypto"}, true},
        {"7z-aes.zip", {"7z", "a", "-tzip", "-p" + password, "-mem=AES256"}, true},
    };
    for (const Maker& maker : makers) {
        SCOPED_TRACE(maker.name);
        const std::string zipPath = folder + "/" + maker.name;
        std::vector<std::string> command = maker.command;
        command.insert(command.end(), {zipPath, "."});
        const ToolRun made = runTool(command, tree);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        const std::string bytes = readFile(zipPath);

        ZipHandle zip = openWiped(bytes, maker.encrypted ? &password : nullptr);
        ASSERT_NE(zip, nullptr);
        EXPECT_EQ(lastReaderResult(), ZR_OK);
        const std::string out = testsupport::makeScratchFolder("memory-out");
        ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
        EXPECT_EQ(unzipAll(zip), ZR_OK);
        EXPECT_EQ(closeZip(zip), ZR_OK);
        EXPECT_EQ(treeDifference(snapshotTree(out), expected), "");
        if (!maker.encrypted)
            continue;

        // Without the password the first encrypted file stops the extraction.
        zip = openWiped(bytes, nullptr);
        ASSERT_NE(zip, nullptr);
        const std::string locked = testsupport::makeScratchFolder("memory-locked");
        ASSERT_EQ(setUnzipBaseFolder(zip, wide(locked)), ZR_OK);
        EXPECT_EQ(unzipAll(zip), ZR_PASSWORD);
        EXPECT_EQ(lastReaderResult(), ZR_PASSWORD);
        EXPECT_EQ(closeZip(zip), ZR_OK);
        for (const auto& [path, content] : snapshotTree(locked))
            EXPECT_TRUE(content.empty()) << "written without the password: " << path;
    }
}

TEST_F(ZipMemoryReader, BytesThatAreNoArchiveOpenNothing)
{
    const std::string garbage = testsupport::patternBytes(3000);
    EXPECT_EQ(openZipFromMemory(garbage.data(), 0, nullptr), nullptr);
    EXPECT_EQ(lastReaderResult(), ZR_CORRUPT);
    EXPECT_EQ(openZipFromMemory(nullptr, 10, nullptr), nullptr);
    EXPECT_EQ(lastReaderResult(), ZR_ARGS);
    EXPECT_EQ(openZipFromMemory(garbage.data(), garbage.size(), nullptr), nullptr);
    EXPECT_NE(lastReaderResult(), ZR_OK);

    // An archive cut short loses its central directory.
    writeFile(folder + "/src/one.txt", std::string(400, 'o'));
    ASSERT_EQ(writeArchive(folder + "/one.zip", {{"one.txt", folder + "/src/one.txt"}}), ZR_OK);
    const std::string sound = readFile(folder + "/one.zip");
    const std::string cut = sound.substr(0, sound.size() - 10);
    EXPECT_EQ(openZipFromMemory(cut.data(), cut.size(), nullptr), nullptr);
    EXPECT_NE(lastReaderResult(), ZR_OK);
}

TEST_F(ZipMemoryReader, UnzipAllStopsAtTheFirstEntryItRefuses)
{
    const std::string zipPath = folder + "/hostile.zip";
    const ToolRun made = runPython(R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as zf:
    zf.writestr('before/first.txt', 'first')
    zf.writestr('../escaped.txt', 'escaped')
    zf.writestr('after.txt', 'after')
)PY",
                                   {zipPath});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string bytes = readFile(zipPath);
    const std::string sandbox = folder + "/sandbox";
    const std::string base = sandbox + "/base";
    fs::create_directories(base);

    ZipHandle zip = openWiped(bytes, nullptr);
    ASSERT_NE(zip, nullptr);
    // Without a base folder nothing may go to the working folder.
    EXPECT_EQ(unzipAll(zip), ZR_ARGS);
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(base)), ZR_OK);
    EXPECT_EQ(unzipAll(zip), ZR_UNSAFE);
    EXPECT_EQ(lastReaderResult(), ZR_UNSAFE);
    EXPECT_EQ(closeZip(zip), ZR_OK);
    EXPECT_EQ(unzipAll(nullptr), ZR_ARGS);

    EXPECT_EQ(readFile(base + "/before/first.txt"), "first");
    EXPECT_EQ(listTree(sandbox), (std::vector<std::string>{"base", "base/before", "base/before/first.txt"}));
}

// Found by the zip fuzzer: an entry marked with strong encryption, which
// libzip cannot decrypt, leaked the whole archive held in memory once a
// password was given (the sanitizer build reports the leak).
TEST_F(ZipMemoryReader, AnEntryNoPasswordCanOpenIsRefusedAsUnsupported)
{
    const std::string zipPath = folder + "/strong.zip";
    const ToolRun made = runPython(R"PY(
import sys, zipfile, struct
with zipfile.ZipFile(sys.argv[1], 'w') as zf:
    zf.writestr('strong.txt', 'strongly encrypted, so they say')
raw = bytearray(open(sys.argv[1], 'rb').read())
central = raw.rfind(b'PK\x01\x02')
struct.pack_into('<H', raw, 6, 0x41)            # encrypted, strong encryption
struct.pack_into('<H', raw, central + 8, 0x41)
open(sys.argv[1], 'wb').write(bytes(raw))
)PY",
                                   {zipPath});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string bytes = readFile(zipPath);
    const std::string password = "any password";
    for (const std::string* given : {static_cast<const std::string*>(nullptr), &password}) {
        ZipHandle zip = openWiped(bytes, given);
        ASSERT_NE(zip, nullptr);
        const std::string out = testsupport::makeScratchFolder("strong-out");
        ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
        EXPECT_EQ(unzipAll(zip), ZR_METHOD) << (given ? "with" : "without") << " a password";
        EXPECT_EQ(closeZip(zip), ZR_OK);
        EXPECT_TRUE(listTree(out).empty());
    }
}
