// End-to-end runs of the real kist binary: a vault from its first use through
// passwords, adding, listing, packages, a second vault, backup and restore,
// with the bytes compared at every step.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"
#include "tests/tools/SampleTree.h"

using namespace kisttest;
namespace fs = std::filesystem;

namespace {

using Variables = std::map<std::string, std::string>;

std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The escaped form kist prints a name or path in.
std::string printed(const std::string& text)
{
    std::string escaped;
    for (const char c : text)
        escaped += c == '\t' ? std::string("\\t") : std::string(1, c);
    return escaped;
}

std::vector<std::string> printedAll(const std::vector<std::string>& texts, const std::string& prefix = {})
{
    std::vector<std::string> result;
    for (const std::string& text : texts)
        result.push_back(printed(prefix + text));
    return result;
}

// folder + "/korvelin." + 12 upper-case hexadecimal digits + ".kzipbkp"
bool isBackupPath(const std::string& path, const std::string& folder)
{
    const std::string prefix = folder + "/korvelin.";
    const std::string suffix = ".kzipbkp";
    if (path.size() != prefix.size() + 12 + suffix.size() || path.rfind(prefix, 0) != 0
        || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string identity = path.substr(prefix.size(), 12);
    return identity.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

class KistJourney : public ::testing::Test {
protected:
    KistHome home{"journey"};
    SampleTree samples{home.root + "/src"};

    RunResult kist(const std::vector<std::string>& arguments, const Variables& variables = {}) const
    {
        return home.run(arguments, variables);
    }

    // Sets the Vault password of a new vault and protects every sample.
    void protectSamples(const std::string& password)
    {
        EXPECT_RUN(kist({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", password}}), 0);
        const RunResult added = kist(joined({"add"}, samples.topLevelPaths()), {{"KIST_PASSWORD", password}});
        EXPECT_RUN(added, 0);
        EXPECT_EQ(lines(added.out), printedAll(SampleTree::topLevelNames()));
    }
};

} // namespace

TEST_F(KistJourney, FirstUseNeedsNoPasswordUntilOneIsSetAndChanged)
{
    // A new vault has the empty password: no variable, no terminal, no question.
    const RunResult empty = kist({"list"});
    EXPECT_RUN(empty, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "");
    EXPECT_TRUE(fs::is_directory(home.vaultFolder()));

    const RunResult added = kist(joined({"add"}, samples.topLevelPaths()));
    EXPECT_RUN(added, 0);
    EXPECT_EQ(lines(added.out), printedAll(SampleTree::topLevelNames()));
    for (const std::string& path : samples.topLevelPaths())
        EXPECT_FALSE(fs::exists(path)) << path << " was not moved into the vault";

    EXPECT_RUN(kist({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", "first pw"}}), 0);

    const RunResult missing = kist({"list"});
    EXPECT_RUN(missing, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("KIST_PASSWORD"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.err.rfind("kist: ", 0), 0u);

    const RunResult wrong = kist({"list"}, {{"KIST_PASSWORD", ""}});
    EXPECT_RUN(wrong, 2);
    EXPECT_EQ(wrong.err, "kist: Wrong password.\n");

    const RunResult right = kist({"list"}, {{"KIST_PASSWORD", "first pw"}});
    EXPECT_RUN(right, 0);
    EXPECT_EQ(lines(right.out), SampleTree::listing());

    const RunResult badOld = kist({"passwd"}, {{"KIST_PASSWORD", "guess"}, {"KIST_NEW_PASSWORD", "x"}});
    EXPECT_RUN(badOld, 2);
    EXPECT_EQ(badOld.err, "kist: Incorrect old password.\n");
    const RunResult noNew = kist({"passwd"}, {{"KIST_PASSWORD", "first pw"}});
    EXPECT_RUN(noNew, 2);
    EXPECT_NE(noNew.err.find("KIST_NEW_PASSWORD"), std::string::npos) << noNew.err;

    const RunResult emptyNew = kist({"passwd"}, {{"KIST_PASSWORD", "first pw"}, {"KIST_NEW_PASSWORD", ""}});
    EXPECT_RUN(emptyNew, 2);
    EXPECT_EQ(emptyNew.err, "kist: The new Vault password cannot be empty.\n");

    EXPECT_RUN(kist({"passwd"}, {{"KIST_PASSWORD", "first pw"}, {"KIST_NEW_PASSWORD", "second pw"}}), 0);
    EXPECT_RUN(kist({"list"}, {{"KIST_PASSWORD", "first pw"}}), 2);
    const RunResult afterChange = kist({"list"}, {{"KIST_PASSWORD", "second pw"}});
    EXPECT_RUN(afterChange, 0);
    EXPECT_EQ(lines(afterChange.out), SampleTree::listing());

    // The keys were sealed anew: every byte comes back under the new password.
    const std::string out = home.root + "/out";
    const RunResult takenOut =
        kist(joined({"take-out", "--to", out}, SampleTree::topLevelNames()), {{"KIST_PASSWORD", "second pw"}});
    EXPECT_RUN(takenOut, 0);
    EXPECT_EQ(lines(takenOut.out), printedAll(SampleTree::topLevelNames(), out + "/"));
    EXPECT_EQ(snapshotOf(out), samples.files);
    EXPECT_TRUE(fs::is_directory(out + "/My Folder/emptydir"));
    EXPECT_EQ(kist({"list"}, {{"KIST_PASSWORD", "second pw"}}).out, "");
}

TEST_F(KistJourney, ListShowsTypeSizeAndCaseBlindOrderAndNamesStayUnique)
{
    protectSamples("pw");
    // A second file of a name already taken receives a free one.
    const std::string other = home.root + "/other";
    testsupport::writeFile(other + "/It's Here.txt", "second");
    const RunResult again = kist({"add", other + "/It's Here.txt"}, {{"KIST_PASSWORD", "pw"}});
    EXPECT_RUN(again, 0);
    EXPECT_EQ(again.out, "It's Here.txt (2)\n");

    const RunResult listed = kist({"list"}, {{"KIST_PASSWORD", "pw"}});
    EXPECT_RUN(listed, 0);
    std::vector<std::string> expected = SampleTree::listing();
    expected.insert(expected.begin() + 2, "It's Here.txt (2)\tf\t6");
    EXPECT_EQ(lines(listed.out), expected);

    // Taking out by that name gives back that file, under a free file name.
    const std::string out = home.root + "/out";
    testsupport::writeFile(out + "/It's Here.txt", "already here");
    const RunResult taken = kist({"take-out", "--to", out, "It's Here.txt (2)"}, {{"KIST_PASSWORD", "pw"}});
    EXPECT_RUN(taken, 0);
    ASSERT_EQ(lines(taken.out).size(), 1u);
    const std::string cameOut = lines(taken.out)[0];
    EXPECT_NE(cameOut, out + "/It's Here.txt");
    EXPECT_EQ(testsupport::readFile(cameOut), "second");
    EXPECT_EQ(testsupport::readFile(out + "/It's Here.txt"), "already here");
}

TEST_F(KistJourney, ExportListExtractAndImportIntoASecondVault)
{
    protectSamples("vault pw");
    const std::vector<std::string> chosen = {"My Folder", "caf\xC3\xA9 \xC3\xBCn\xC3\xAF.bin", "tab\tname.txt"};
    const std::string package = home.root + "/chosen.kzip";
    const Variables both = {{"KIST_PASSWORD", "vault pw"}, {"KIST_PACKAGE_PASSWORD", "pkg pw"}};

    const RunResult noPackagePassword = kist(joined({"export", "--out", package}, chosen), {{"KIST_PASSWORD", "vault pw"}});
    EXPECT_RUN(noPackagePassword, 2);
    EXPECT_NE(noPackagePassword.err.find("KIST_PACKAGE_PASSWORD"), std::string::npos);
    EXPECT_FALSE(fs::exists(package));
    const RunResult emptyPackagePassword =
        kist(joined({"export", "--out", package}, chosen), {{"KIST_PASSWORD", "vault pw"}, {"KIST_PACKAGE_PASSWORD", ""}});
    EXPECT_RUN(emptyPackagePassword, 2);
    EXPECT_EQ(emptyPackagePassword.err, "kist: The package password cannot be empty.\n");
    EXPECT_FALSE(fs::exists(package));

    const RunResult exported = kist(joined({"export", "--out", package}, chosen), both);
    EXPECT_RUN(exported, 0);
    ASSERT_TRUE(fs::is_regular_file(package));
    // Exporting copies: the vault still holds everything.
    EXPECT_EQ(lines(kist({"list"}, both).out), SampleTree::listing());

    // Package: wrong, missing and right passwords.
    const RunResult wrong = kist({"package", "list", package}, {{"KIST_PACKAGE_PASSWORD", "vault pw"}});
    EXPECT_RUN(wrong, 2);
    EXPECT_EQ(wrong.err, "kist: Wrong password for the package: " + package + "\n");
    const RunResult missing = kist({"package", "list", package});
    EXPECT_RUN(missing, 2);
    EXPECT_NE(missing.err.find("KIST_PACKAGE_PASSWORD"), std::string::npos);
    const RunResult listed = kist({"package", "list", package}, {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(listed, 0);
    const std::vector<std::string> all = SampleTree::listing();
    EXPECT_EQ(lines(listed.out), (std::vector<std::string>{all[0], all[2], all[3]}));

    // Extracting elsewhere, into a folder that does not exist yet.
    const std::string elsewhere = home.root + "/elsewhere/deeper";
    const RunResult extracted =
        kist({"package", "extract", package, "--to", elsewhere}, {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(extracted, 0);
    EXPECT_EQ(lines(extracted.out),
              printedAll({"caf\xC3\xA9 \xC3\xBCn\xC3\xAF.bin", "My Folder", "tab\tname.txt"}, elsewhere + "/"));
    EXPECT_EQ(snapshotOf(elsewhere), onlyEntries(samples.files, chosen));
    EXPECT_TRUE(fs::is_directory(elsewhere + "/My Folder/emptydir"));
    EXPECT_TRUE(fs::is_regular_file(package)) << "extracting must leave the package alone";

    // A second user: a vault of its own, still without a password.
    const KistHome second("second");
    const RunResult imported = second.run({"package", "import", package}, {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(imported, 0);
    EXPECT_EQ(lines(imported.out),
              printedAll({"caf\xC3\xA9 \xC3\xBCn\xC3\xAF.bin", "My Folder", "tab\tname.txt"}));
    EXPECT_EQ(lines(second.run({"list"}).out), (std::vector<std::string>{all[0], all[2], all[3]}));
    // The same entries again bring nothing new.
    const RunResult twice = second.run({"package", "import", package}, {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(twice, 0);
    EXPECT_EQ(twice.out, "");
    EXPECT_EQ(twice.err, "kist: already in the vault: 3 entries\n");

    const std::string out = second.root + "/out";
    const RunResult takenOut = second.run(joined({"take-out", "--to", out}, chosen));
    EXPECT_RUN(takenOut, 0);
    EXPECT_EQ(snapshotOf(out), onlyEntries(samples.files, chosen));

    // Named entries: each is tried, a missing one fails alone.
    const RunResult named = second.run({"package", "import", package, "nope", "tab\tname.txt"},
                                       {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(named, 1);
    EXPECT_EQ(named.out, "tab\\tname.txt\n");
    EXPECT_EQ(named.err, "kist: No such file found in the store: nope\n");

    // Importing into a vault with a password needs that password.
    const KistHome third("third");
    EXPECT_RUN(third.run({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", "third pw"}}), 0);
    const RunResult locked = third.run({"package", "import", package}, {{"KIST_PACKAGE_PASSWORD", "pkg pw"}});
    EXPECT_RUN(locked, 2);
    EXPECT_NE(locked.err.find("KIST_PASSWORD"), std::string::npos);
    EXPECT_RUN(third.run({"package", "import", package},
                         {{"KIST_PACKAGE_PASSWORD", "pkg pw"}, {"KIST_PASSWORD", "third pw"}}),
               0);
    EXPECT_EQ(lines(third.run({"list"}, {{"KIST_PASSWORD", "third pw"}}).out),
              (std::vector<std::string>{all[0], all[2], all[3]}));
}

TEST_F(KistJourney, ExportRefusesToReplaceAFileUnlessForced)
{
    protectSamples("pw");
    const std::string target = home.root + "/precious.kzip";
    testsupport::writeFile(target, "precious bytes");
    const Variables both = {{"KIST_PASSWORD", "pw"}, {"KIST_PACKAGE_PASSWORD", "p"}};

    const RunResult refused = kist({"export", "--out", target, "My Folder"}, both);
    EXPECT_RUN(refused, 1);
    EXPECT_EQ(refused.err, "kist: The file already exists: " + target + " (use --force to replace it).\n");
    EXPECT_EQ(testsupport::readFile(target), "precious bytes");

    // A failed export with --force keeps the old file too.
    const RunResult failed = kist({"export", "--force", "--out", target, "no such entry"}, both);
    EXPECT_RUN(failed, 1);
    EXPECT_EQ(testsupport::readFile(target), "precious bytes");

    EXPECT_RUN(kist({"export", "--force", "--out", target, "My Folder"}, both), 0);
    const RunResult listed = kist({"package", "list", target}, {{"KIST_PACKAGE_PASSWORD", "p"}});
    EXPECT_RUN(listed, 0);
    EXPECT_EQ(listed.out, "My Folder\td\t7001\n");
}

TEST_F(KistJourney, BackupTakeEverythingOutAndRestore)
{
    protectSamples("pw one");
    const Variables vault = {{"KIST_PASSWORD", "pw one"}};

    // A relative --to is taken from the working folder and created.
    const RunResult backedUp = home.run({"backup", "--to", "backups/daily"}, vault, home.root);
    EXPECT_RUN(backedUp, 0);
    ASSERT_TRUE(isBackupPath(lines(backedUp.out).at(0), home.root + "/backups/daily")) << backedUp.out;
    const std::string backup = lines(backedUp.out).at(0);
    ASSERT_TRUE(fs::is_regular_file(backup));

    // The backup's password is the Vault password followed by 471502836.
    const RunResult asPackage = kist({"package", "list", backup}, {{"KIST_PACKAGE_PASSWORD", "pw one471502836"}});
    EXPECT_RUN(asPackage, 0);
    EXPECT_EQ(lines(asPackage.out), SampleTree::listing());
    EXPECT_RUN(kist({"package", "list", backup}, {{"KIST_PACKAGE_PASSWORD", "pw one"}}), 2);

    const RunResult again = kist({"backup", "--to", home.root + "/backups/daily"}, vault);
    EXPECT_RUN(again, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_RUN(kist({"backup", "--force", "--to", home.root + "/backups/daily"}, vault), 0);

    // Everything out: the vault is empty, the bytes are the originals.
    const std::string firstOut = home.root + "/first out";
    const RunResult takenOut = kist(joined({"take-out", "--to", firstOut}, SampleTree::topLevelNames()), vault);
    EXPECT_RUN(takenOut, 0);
    EXPECT_EQ(snapshotOf(firstOut), samples.files);
    EXPECT_EQ(kist({"list"}, vault).out, "");

    const RunResult restored = kist({"restore", backup}, vault);
    EXPECT_RUN(restored, 0);
    EXPECT_EQ(lines(restored.out), printedAll({"caf\xC3\xA9 \xC3\xBCn\xC3\xAF.bin", "it's here.txt", "My Folder",
                                               "tab\tname.txt"}));
    EXPECT_EQ(lines(kist({"list"}, vault).out), SampleTree::listing());
    const std::string secondOut = home.root + "/second out";
    EXPECT_RUN(kist(joined({"take-out", "--to", secondOut}, SampleTree::topLevelNames()), vault), 0);
    EXPECT_EQ(snapshotOf(secondOut), samples.files);

    // After a password change the backup needs the password it was made under.
    EXPECT_RUN(kist({"passwd"}, {{"KIST_PASSWORD", "pw one"}, {"KIST_NEW_PASSWORD", "pw two"}}), 0);
    const RunResult oldBackup = kist({"restore", backup}, {{"KIST_PASSWORD", "pw two"}});
    EXPECT_RUN(oldBackup, 2);
    EXPECT_NE(oldBackup.err.find("KIST_BACKUP_PASSWORD"), std::string::npos) << oldBackup.err;
    const RunResult wrongOld =
        kist({"restore", backup}, {{"KIST_PASSWORD", "pw two"}, {"KIST_BACKUP_PASSWORD", "pw three"}});
    EXPECT_RUN(wrongOld, 2);
    EXPECT_EQ(kist({"list"}, {{"KIST_PASSWORD", "pw two"}}).out, "");
    const RunResult withOld =
        kist({"restore", backup}, {{"KIST_PASSWORD", "pw two"}, {"KIST_BACKUP_PASSWORD", "pw one"}});
    EXPECT_RUN(withOld, 0);
    EXPECT_EQ(lines(withOld.out).size(), 4u);
    const std::string thirdOut = home.root + "/third out";
    EXPECT_RUN(kist(joined({"take-out", "--to", thirdOut}, SampleTree::topLevelNames()), {{"KIST_PASSWORD", "pw two"}}),
               0);
    EXPECT_EQ(snapshotOf(thirdOut), samples.files);
}

TEST_F(KistJourney, BackupToDropboxGoesIntoItsBackupFolder)
{
    protectSamples("pw");
    const Variables vault = {{"KIST_PASSWORD", "pw"}};
    const RunResult noDropbox = kist({"backup", "--dropbox"}, vault);
    EXPECT_RUN(noDropbox, 1);
    EXPECT_EQ(noDropbox.err.rfind("kist: ", 0), 0u);

    const std::string dropbox = home.home + "/Dropbox";
    fs::create_directories(dropbox);
    testsupport::writeFile(home.home + "/.dropbox/info.json", "{\"personal\": {\"path\": \"" + dropbox + "\"}}");
    const RunResult backedUp = kist({"backup", "--dropbox"}, vault);
    EXPECT_RUN(backedUp, 0);
    const std::string backup = lines(backedUp.out).at(0);
    EXPECT_TRUE(isBackupPath(backup, dropbox + "/KORVELIN_Backup")) << backup;
    EXPECT_TRUE(fs::is_regular_file(backup));
    EXPECT_RUN(kist({"backup", "--dropbox"}, vault), 1);

    // Restoring it into an empty second vault, whose password differs.
    const KistHome second("second");
    EXPECT_RUN(second.run({"passwd"}, {{"KIST_PASSWORD", ""}, {"KIST_NEW_PASSWORD", "other"}}), 0);
    const RunResult restored =
        second.run({"restore", backup}, {{"KIST_PASSWORD", "other"}, {"KIST_BACKUP_PASSWORD", "pw"}});
    EXPECT_RUN(restored, 0);
    EXPECT_EQ(lines(second.run({"list"}, {{"KIST_PASSWORD", "other"}}).out), SampleTree::listing());
    const std::string out = second.root + "/out";
    EXPECT_RUN(second.run(joined({"take-out", "--to", out}, SampleTree::topLevelNames()), {{"KIST_PASSWORD", "other"}}),
               0);
    EXPECT_EQ(snapshotOf(out), samples.files);
}
