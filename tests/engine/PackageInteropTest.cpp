// Packages are ordinary zip files: common tools list and test them, and a
// body decrypts by hand with sqlcipher, openssl and the published key rule.
// Zip files made by Info-ZIP and 7-Zip (plain, traditional encryption, AES)
// open, list, extract and import into the vault.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <sstream>

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
using testsupport::snapshotTree;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// The recovery script of docs/vault-format.md: it decrypts one top-level
// file of a vault folder or unpacked package with bash, sqlcipher, openssl
// and xxd alone, by the published key rule and body format.
std::string recoveryScript()
{
    const std::string page = readFile(std::string(KIST_SOURCE_DIR) + "/docs/vault-format.md");
    const std::string begin = "<!-- recovery-script: begin -->\n```bash\n";
    const std::size_t from = page.find(begin);
    const std::size_t to = page.find("```\n<!-- recovery-script: end -->");
    if (from == std::string::npos || to == std::string::npos || to < from)
        throw std::runtime_error("no recovery script in docs/vault-format.md");
    return page.substr(from + begin.size(), to - from - begin.size());
}

ToolRun recover(const std::string& folder, const std::string& name, const std::string& password,
                const std::string& out)
{
    return runTool({"env", "VAULT=" + folder, "NAME=" + name, "PASSWORD=" + password, "OUT=" + out, "bash", "-c",
                    recoveryScript()});
}

class PackageInterop : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

} // namespace

TEST_F(PackageInterop, PackagesListAndTestCleanInCommonTools)
{
    auto vault = openVault("vault pw");
    const std::string source = makeScratchFolder("src");
    writeFile(source + "/Übersicht/Größe €.txt", patternBytes(2500));
    writeFile(source + "/Übersicht/tief/drei.bin", patternBytes(70001));
    writeFile(source + "/Übersicht/nichts.txt", "");
    writeFile(source + "/photo.tgz", patternBytes(1234));
    KistFile added;
    vault->addFile(source + "/Übersicht", &added, false);
    vault->addFile(source + "/photo.tgz", &added, false);
    const std::string package = makeScratchFolder("pkg") + "/share.kzip";
    vault->exportFiles(package, {"Übersicht", "photo.tgz"}, "package pw");

    // The entries are the database and each file's body under its vault path.
    std::vector<std::string> expected = nonEmptyLines(
        sqlcipher(vaultDatabasePath(), "select current_path from ProtectedFiles where is_directory=0;"));
    expected.push_back(kDatabaseName);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 5u);

    const std::string unzipList = runOrThrow({"unzip", "-l", package});
    const std::string sevenList = runOrThrow({"7z", "l", package});
    for (const std::string& name : expected) {
        EXPECT_NE(unzipList.find(name), std::string::npos) << name;
        EXPECT_NE(sevenList.find(name), std::string::npos) << name;
    }
    EXPECT_NE(runOrThrow({"unzip", "-t", package}).find("No errors detected"), std::string::npos);
    EXPECT_NE(runOrThrow({"7z", "t", package}).find("Everything is Ok"), std::string::npos);

    // Python's zipfile: sound CRCs, UTF-8 names, the expected entries, and
    // each body byte for byte as it lies in the vault.
    const ToolRun python = runPython(
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "for i in sorted(z.infolist(), key=lambda i: i.filename):\n"
        "    assert i.flag_bits & 0x800 or i.filename.isascii(), i.filename\n"
        "    method = {0: 'stored', 8: 'deflated'}[i.compress_type]\n"
        "    print(i.filename + '|' + method)\n",
        {package});
    ASSERT_EQ(python.exitCode, 0) << python.output;
    std::vector<std::string> names;
    for (const std::string& line : nonEmptyLines(python.output)) {
        const std::string name = line.substr(0, line.find('|'));
        const std::string method = line.substr(line.find('|') + 1);
        names.push_back(name);
        // Encrypted bodies cannot shrink and are stored; the database is deflated.
        EXPECT_EQ(method, name == kDatabaseName ? "deflated" : "stored") << name;
    }
    EXPECT_EQ(names, expected);
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    for (const std::string& name : expected) {
        if (name != kDatabaseName) {
            EXPECT_TRUE(readFile(unpacked + "/" + name) == readFile(vaultFolder() + "/" + name)) << name;
        }
    }
}

TEST_F(PackageInterop, BodiesDecryptByHandWithTheDocumentedRecoveryScript)
{
    auto vault = openVault("vault pw");
    const std::string source = makeScratchFolder("src");
    // Lengths around the 2000-byte chunks and the 16-byte blocks.
    const std::vector<std::size_t> lengths = {0, 1, 15, 16, 1990, 1999, 2000, 2001, 4000, 4001, 70003};
    std::vector<std::string> names;
    for (std::size_t length : lengths) {
        const std::string name = "file-" + std::to_string(length) + ".dat";
        writeFile(source + "/" + name, patternBytes(length));
        names.push_back(name);
    }
    writeFile(source + "/John's notes.txt", "an apostrophe in the name");
    names.push_back("John's notes.txt");
    for (const std::string& name : names) {
        KistFile added;
        vault->addFile(source + "/" + name, &added, false);
    }
    const std::string package = makeScratchFolder("pkg") + "/by-hand.kzip";
    vault->exportFiles(package, names, "pässwörd 'quoted'");
    const std::string unpacked = makeScratchFolder("unpacked");
    unpackZip(package, unpacked);
    const std::string out = makeScratchFolder("plain");
    for (std::size_t length : lengths) {
        SCOPED_TRACE(length);
        const std::string name = "file-" + std::to_string(length) + ".dat";
        const ToolRun run = recover(unpacked, name, "pässwörd 'quoted'", out + "/" + name);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(readFile(out + "/" + name) == patternBytes(length));
    }
    // The same script on the vault folder itself, with the Vault password.
    const std::vector<std::pair<std::string, std::string>> inVault = {
        {"file-4001.dat", patternBytes(4001)}, {"John's notes.txt", "an apostrophe in the name"}};
    for (const auto& [name, bytes] : inVault) {
        SCOPED_TRACE(name);
        const ToolRun run = recover(vaultFolder(), name, "vault pw", out + "/from-vault");
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(readFile(out + "/from-vault") == bytes);
    }
    // The Vault password opens none of the package's keys. The sealed key
    // carries no check beyond its padding, which a wrong key makes valid
    // about once in 256 tries: the script may then finish, but never with
    // the file's bytes.
    const ToolRun wrong = recover(unpacked, "file-2001.dat", "vault pw", out + "/wrong");
    EXPECT_TRUE(wrong.exitCode != 0 || readFile(out + "/wrong") != patternBytes(2001)) << wrong.output;
}

namespace {

struct ZipMaker {
    std::string title;
    std::vector<std::string> command; // run in the source folder; the archive path is appended, then the inputs
    std::string password;             // empty: none
    std::string extension;
};

std::vector<ZipMaker> zipMakers()
{
    return {
        {"Info-ZIP", {"zip", "-q", "-r"}, "", ".zip"},
        {"Info-ZIP with a password", {"zip", "-q", "-r", "-P", "zip pw"}, "zip pw", ".zip"},
        {"7-Zip", {"7z", "a", "-tzip", "-bso0", "-bsp0"}, "", ".ZIP"},
        {"7-Zip ZipCrypto", {"7z", "a", "-tzip", "-bso0", "-bsp0", "-p7z pw", "-mem=ZipCrypto"}, "7z pw", ".zip"},
        {"7-Zip AES-256", {"7z", "a", "-tzip", "-bso0", "-bsp0", "-paes pw", "-mem=AES256"}, "aes pw", ".Zip"},
    };
}

// What every foreign zip holds, besides the empty folder Fotos/leer.
Snapshot sourceFiles()
{
    return {
        {"Fotos/Ärger ü.txt", "umlauts in the name"},
        {"Fotos/empty.txt", ""},
        {"Fotos/sub/deep.bin", patternBytes(70000)},
        {"note's.txt", "an apostrophe"},
    };
}

Snapshot prefixed(const Snapshot& files, const std::string& top)
{
    Snapshot selected;
    for (const auto& [path, bytes] : files)
        if (path == top || path.rfind(top + "/", 0) == 0)
            selected.emplace_back(path, bytes);
    return selected;
}

std::unique_ptr<Kist> openZipReader(const std::string& path, const std::string& password)
{
    auto reader = std::make_unique<Kist>(path);
    if (password.empty()) {
        EXPECT_TRUE(reader->isEmptyPassword());
    } else {
        EXPECT_FALSE(reader->isEmptyPassword());
        EXPECT_EQ(messageOf([&] {
                      std::vector<KistFile*> files;
                      reader->listFiles(files);
                  }),
                  kPasswordMessage);
        EXPECT_FALSE(reader->login(""));
        EXPECT_FALSE(reader->login(password + "x"));
        EXPECT_FALSE(reader->isEmptyPassword());
        EXPECT_TRUE(reader->login(password));
    }
    return reader;
}

} // namespace

TEST_F(PackageInterop, ForeignZipFilesOpenListExtractAndImport)
{
    const std::string source = makeScratchFolder("src");
    const Snapshot files = sourceFiles();
    for (const auto& [path, bytes] : files)
        writeFile(source + "/" + path, bytes);
    fs::create_directories(source + "/Fotos/leer");
    std::vector<std::string> contents;
    for (const auto& [path, bytes] : files)
        contents.push_back(bytes);

    int number = 0;
    for (const ZipMaker& maker : zipMakers()) {
        SCOPED_TRACE(maker.title);
        resetProfile();
        const std::string archive = makeScratchFolder("zips") + "/archive" + std::to_string(++number) + maker.extension;
        std::vector<std::string> command = maker.command;
        command.push_back(archive);
        command.push_back("Fotos");
        command.push_back("note's.txt");
        runOrThrow(command, source);

        {
            auto reader = openZipReader(archive, maker.password);
            const std::vector<Entry> expected = {{"Fotos", true, 70000 + 19}, {"note's.txt", false, 13}};
            EXPECT_EQ(list(*reader), expected);
            // Taken out: the same bytes, the empty folder included.
            const std::string out = makeScratchFolder("out");
            reader->removeFile("Fotos", out);
            EXPECT_EQ(summary(snapshotTree(out)), summary(prefixed(files, "Fotos")));
            EXPECT_TRUE(fs::is_directory(out + "/Fotos/leer"));
            EXPECT_EQ(summary(takeOut(*reader, "note's.txt")), summary(prefixed(files, "note's.txt")));
        }

        // Imported into the vault: encrypted there, and back out unchanged.
        auto vault = openVault("vault pw");
        {
            auto reader = openZipReader(archive, maker.password);
            reader->copyFilesToVault({"Fotos", "note's.txt"}, "vault pw");
        }
        EXPECT_EQ(list(*vault), (std::vector<Entry>{{"Fotos", true, 70019}, {"note's.txt", false, 13}}));
        EXPECT_FALSE(vaultHoldsPlainCopy(contents));
        const std::string out = makeScratchFolder("vault-out");
        vault->removeFile("Fotos", out);
        vault->removeFile("note's.txt", out);
        EXPECT_EQ(summary(snapshotTree(out)), summary(files));
        EXPECT_TRUE(fs::is_directory(out + "/Fotos/leer"));
    }
}

TEST_F(PackageInterop, ImportFromAZipNeedsTheVaultPassword)
{
    auto vault = openVault("vault pw");
    const std::string source = makeScratchFolder("src");
    writeFile(source + "/a.txt", "plain a");
    const std::string archive = makeScratchFolder("zips") + "/a.zip";
    runOrThrow({"zip", "-q", archive, "a.txt"}, source);
    Kist reader(archive);
    ASSERT_TRUE(reader.isEmptyPassword());
    EXPECT_EQ(messageOf([&] { reader.copyFilesToVault({"a.txt"}, "not the vault pw"); }), kPasswordMessage);
    EXPECT_TRUE(list(*vault).empty());
    EXPECT_EQ(messageOf([&] { reader.copyFilesToVault({"b.txt"}, "vault pw"); }),
              "No such file found in the store: b.txt");
    reader.copyFilesToVault({"a.txt"}, "vault pw");
    EXPECT_EQ(list(*vault), (std::vector<Entry>{{"a.txt", false, 7}}));
    EXPECT_FALSE(vaultHoldsPlainCopy({"plain a"}));
}
