// End-to-end runs of the real kist binary: help and version, usage errors,
// exit statuses with several arguments, the error format, relative paths,
// the database keys kept for the other programs of a login.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;
namespace fs = std::filesystem;

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

TEST(KistBasics, VersionAndHelpOpenNoVault)
{
    const KistHome home("version");
    const RunResult version = home.run({"--version"});
    EXPECT_RUN(version, 0);
    EXPECT_EQ(version.out, "kist 0.31.018\n");
    EXPECT_EQ(version.err, "");

    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"backup", "--help"}}) {
        const RunResult help = home.run(arguments);
        EXPECT_RUN(help, 0);
        EXPECT_EQ(help.out.rfind("Usage: kist COMMAND", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("KIST_PACKAGE_PASSWORD"), std::string::npos);
        EXPECT_EQ(help.err, "");
    }
    EXPECT_FALSE(fs::exists(home.vaultFolder()));
    EXPECT_FALSE(fs::exists(home.settingsFolder()));
    EXPECT_FALSE(fs::exists(home.desktop + "/KORVELIN Restored Files"));
}

TEST(KistBasics, UsageErrorsExitTwoAndOpenNoVault)
{
    const KistHome home("usage");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"list", "extra"}, {"export", "name"}, {"backup"}, {"backup", "--to", "d", "--dropbox"},
             {"package", "extract", "p.kzip"}, {"take-out", "--to"}, {"add", "--password=secret", "x"}}) {
        const RunResult usage = home.run(arguments);
        EXPECT_RUN(usage, 2);
        EXPECT_EQ(usage.out, "");
        EXPECT_EQ(usage.err.rfind("kist: ", 0), 0u) << usage.err;
        EXPECT_NE(usage.err.find("kist --help"), std::string::npos) << usage.err;
    }
    EXPECT_FALSE(fs::exists(home.vaultFolder()));
}

TEST(KistBasics, EachArgumentIsTriedAndTheWorstStatusCounts)
{
    const KistHome home("several");
    const std::string source = home.root + "/src";
    testsupport::writeFile(source + "/one.txt", "one");
    testsupport::writeFile(source + "/two.txt", "two");

    // The missing path fails with the engine's message and its cause; the
    // others are protected all the same.
    const RunResult added = home.run({"add", source + "/one.txt", source + "/missing", source + "/two.txt"});
    EXPECT_RUN(added, 1);
    EXPECT_EQ(added.out, "one.txt\ntwo.txt\n");
    const std::vector<std::string> errorLines = lines(added.err);
    ASSERT_EQ(errorLines.size(), 2u) << added.err;
    EXPECT_EQ(errorLines[0].rfind("kist: ", 0), 0u);
    EXPECT_NE(errorLines[0].find(source + "/missing"), std::string::npos);
    EXPECT_EQ(errorLines[1], std::strerror(ENOENT));

    const std::string out = home.root + "/out";
    const RunResult taken = home.run({"take-out", "--to", out, "two.txt", "nothing here", "one.txt"});
    EXPECT_RUN(taken, 1);
    EXPECT_EQ(taken.out, out + "/two.txt\n" + out + "/one.txt\n");
    EXPECT_EQ(taken.err, "kist: No such file found in the store: nothing here\n");
    EXPECT_EQ(testsupport::readFile(out + "/one.txt"), "one");
    EXPECT_EQ(testsupport::readFile(out + "/two.txt"), "two");

    // A folder that cannot be made: the tool's own error, cause included.
    testsupport::writeFile(home.root + "/plain file", "x");
    const RunResult blocked = home.run({"take-out", "--to", home.root + "/plain file/sub", "one.txt"});
    EXPECT_RUN(blocked, 1);
    EXPECT_EQ(blocked.err, "kist: Failed to create " + home.root + "/plain file/sub\n" + std::strerror(ENOTDIR) + "\n");

    // Once a password is set, a missing one outweighs everything else.
    testsupport::writeFile(source + "/three.txt", "three");
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", "pw"}}), 0);
    const RunResult locked = home.run({"add", source + "/three.txt", source + "/missing"});
    EXPECT_RUN(locked, 2);
    EXPECT_TRUE(fs::exists(source + "/three.txt")) << "nothing may move without the password";
}

TEST(KistBasics, MissingPasswordWithoutTerminalNamesTheVariable)
{
    const KistHome home("noterminal");
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", "pw"}}), 0);
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"list"}, {"take-out", "x"}, {"email", "a@b.c"}}) {
        const RunResult run = home.run(arguments);
        EXPECT_RUN(run, 2);
        EXPECT_EQ(run.err, "kist: No terminal to ask for the Vault password: set KIST_PASSWORD.\n");
    }
    const RunResult passwd = home.run({"passwd"}, {{"KIST_NEW_PASSWORD", "new"}});
    EXPECT_RUN(passwd, 2);
    EXPECT_NE(passwd.err.find("KIST_PASSWORD"), std::string::npos);
    EXPECT_RUN(home.run({"list"}, {{"KIST_PASSWORD", "pw"}}), 0);
}

TEST(KistBasics, RelativePathsArePrintedAbsoluteAndTheDefaultFolderIsUsed)
{
    const KistHome home("relative");
    const std::string work = home.root + "/work";
    testsupport::writeFile(work + "/rel file.txt", "relative bytes");
    testsupport::writeFile(work + "/second.txt", "second bytes");

    const RunResult added = home.run({"add", "./rel file.txt", "second.txt"}, {}, work);
    EXPECT_RUN(added, 0);
    EXPECT_EQ(added.out, "rel file.txt\nsecond.txt\n");

    const RunResult taken = home.run({"take-out", "--to", "../outside", "rel file.txt"}, {}, work);
    EXPECT_RUN(taken, 0);
    EXPECT_EQ(taken.out, home.root + "/outside/rel file.txt\n");
    EXPECT_EQ(testsupport::readFile(home.root + "/outside/rel file.txt"), "relative bytes");

    // Without --to, entries come out to the restored-files folder on the desktop.
    const RunResult restored = home.run({"take-out", "second.txt"});
    EXPECT_RUN(restored, 0);
    EXPECT_EQ(restored.out, home.desktop + "/KORVELIN Restored Files/second.txt\n");
    EXPECT_EQ(testsupport::readFile(home.desktop + "/KORVELIN Restored Files/second.txt"), "second bytes");
}

TEST(KistBasics, BadPackagesAndAddressesAreRefusedClearly)
{
    const KistHome home("badinput");
    const RunResult absent = home.run({"package", "list", "absent.kzip"});
    EXPECT_RUN(absent, 1);
    EXPECT_EQ(absent.err, "kist: Invalid KORVELIN file: " + home.root + "/absent.kzip.\n");

    testsupport::writeFile(home.root + "/broken.kzip", "this is no zip file at all");
    const RunResult broken = home.run({"package", "extract", "broken.kzip", "--to", "out"});
    EXPECT_RUN(broken, 1);
    EXPECT_EQ(broken.err.rfind("kist: ", 0), 0u);
    EXPECT_EQ(testsupport::readFile(home.root + "/broken.kzip"), "this is no zip file at all");

    const RunResult restoreAbsent = home.run({"restore", home.root + "/korvelin.000000000000.kzipbkp"});
    EXPECT_RUN(restoreAbsent, 1);

    EXPECT_RUN(home.run({"email", "a@b.c"}), 0);
    const RunResult emptyAddress = home.run({"email", ""});
    EXPECT_RUN(emptyAddress, 1);
    EXPECT_EQ(emptyAddress.err, "kist: Please enter your e-mail address: it cannot be empty.\n");
}

namespace {

// A database file's salt, its first 16 bytes, in lower-case hex.
std::string saltHexOf(const std::string& databaseFile)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : testsupport::readFile(databaseFile).substr(0, 16)) {
        hex += kHex[static_cast<unsigned char>(byte) >> 4];
        hex += kHex[static_cast<unsigned char>(byte) & 0x0f];
    }
    return hex;
}

std::vector<std::string> sortedLines(const std::string& text)
{
    std::vector<std::string> sorted = lines(text);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

} // namespace

TEST(KistBasics, ProgramsOfOneLoginShareTheDatabaseKeysAndMendAWrongOne)
{
    const KistHome home("page-keys");
    testsupport::writeFile(home.root + "/kept.txt", "kept bytes");
    // The program that makes the databases has no key to keep: SQLCipher
    // derives it while it writes the salt.
    EXPECT_RUN(home.run({"add", home.root + "/kept.txt"}), 0);
    EXPECT_RUN(home.run({"list"}), 0);

    // One line for each database the next program keyed: the vault's and the settings'.
    const std::string keys = home.runtime + "/kist/page-keys";
    const std::string kept = testsupport::readFile(keys);
    const std::vector<std::string> keptLines = sortedLines(kept);
    ASSERT_EQ(keptLines.size(), 2u) << kept;
    for (const std::string& database :
         {home.vaultFolder() + "/f13f2488-44d3-4267-bf0d-80a84ac7f3ee", home.settingsFolder() + "/Korvelin/.config"})
        EXPECT_NE(kept.find(saltHexOf(database) + " "), std::string::npos) << database << "\n" << kept;
    EXPECT_EQ(fs::status(keys).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // The next program takes them as they are and writes nothing (a key
    // derived again would be kept anew, after the line of another vault).
    const std::string otherVault = std::string(32, 'a') + " " + std::string(64, 'b') + "\n";
    testsupport::writeFile(keys, kept + otherVault);
    RunResult listed = home.run({"list"});
    EXPECT_RUN(listed, 0);
    EXPECT_EQ(listed.out, "kept.txt\tf\t10\n");
    EXPECT_EQ(testsupport::readFile(keys), kept + otherVault);

    // Keys that do not fit their files are found out on the first read,
    // forgotten, and derived again; the vault opens as always.
    std::string wrong = kept;
    for (std::size_t line = 0; line < wrong.size(); line = wrong.find('\n', line) + 1)
        wrong[line + 33] = wrong[line + 33] == '0' ? '1' : '0';
    testsupport::writeFile(keys, wrong);
    listed = home.run({"list"});
    EXPECT_RUN(listed, 0);
    EXPECT_EQ(listed.out, "kept.txt\tf\t10\n");
    EXPECT_EQ(sortedLines(testsupport::readFile(keys)), keptLines);

    // A runtime folder others may enter keeps nothing.
    fs::remove(keys);
    fs::permissions(home.runtime, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
    EXPECT_RUN(home.run({"take-out", "--to", home.root + "/out", "kept.txt"}), 0);
    EXPECT_EQ(testsupport::readFile(home.root + "/out/kept.txt"), "kept bytes");
    EXPECT_FALSE(testsupport::exists(keys));
}
