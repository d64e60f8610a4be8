// The last ways a file could be lost or left behind: take-outs that fail,
// recoveries that must not delete what is not theirs, adds that fail half-way
// or are cut short, imports cut short, and a vault on a read-only disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ToolRun.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "losing nothing";
const std::string kOne = patternBytes(1990);
const std::string kTwo = patternBytes(4001);
const std::string kThree = patternBytes(2000);
using Files = std::vector<std::pair<std::string, std::string>>;
// The album as it lies below the folder it was added from.
const Files kAlbum{{"album/deep/two.bin", kTwo}, {"album/one.txt", kOne}, {"album/three.dat", kThree}};

std::string makeAlbum(const std::string& folder)
{
    writeFile(folder + "/album/one.txt", kOne);
    writeFile(folder + "/album/deep/two.bin", kTwo);
    writeFile(folder + "/album/three.dat", kThree);
    return folder + "/album";
}

std::string trimmed(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// The body of the record with this display name.
std::string bodyOf(const std::string& displayName)
{
    return vaultFolder() + "/"
           + trimmed(sqlcipher(vaultDatabasePath(), "select current_path from ProtectedFiles where display_name = '"
                                                        + displayName + "';"));
}

// Every row as text: what a failed operation must leave exactly as it was.
std::string rows()
{
    return sqlcipher(vaultDatabasePath(),
                     "select unique_name, display_name, cipher, current_path, current_root, target_path, "
                     "pending_transform, is_hidden, is_encrypted, size from ProtectedFiles order by unique_name;");
}

// What the vault folder holds besides the database and the lock.
std::vector<std::string> vaultClutter()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(vaultFolder())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kDatabaseName, 0) != 0 && name != ".lock")
            names.push_back(entry.path().string());
    }
    return names;
}

std::string stopStep;
std::function<void()> atStep;
int stepsLeft = 0;

void runAtStep(const char* step)
{
    if (step == stopStep && atStep && --stepsLeft <= 0) {
        auto action = std::move(atStep);
        atStep = nullptr;
        action();
    }
}

void at(const std::string& step, std::function<void()> action, int occurrence = 1)
{
    stopStep = step;
    stepsLeft = occurrence;
    atStep = std::move(action);
}

// Runs action in a child process; returns its exit status (-1: no normal exit).
int inChild(const std::function<int()>& action)
{
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 99;
        try {
            status = action();
        } catch (const ExceptionModule& e) {
            fprintf(stderr, "child failed: %s\n", e.getMessage().c_str());
            status = 98;
        } catch (const std::exception& e) {
            fprintf(stderr, "child failed: %s\n", e.what());
            status = 97;
        }
        _exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool setImmutable(const std::string& path, bool on)
{
    return testsupport::runTool({"chattr", on ? "+i" : "-i", path}).exitCode == 0;
}

} // namespace

class LosingNothing : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        stepboundary::setHook(runAtStep);
        source = makeScratchFolder("source");
        out = makeScratchFolder("out");
    }
    void TearDown() override
    {
        stepboundary::setHook(nullptr);
        atStep = nullptr;
    }

    std::string source;
    std::string out;
};

// A body that is missing or cut short: the take-out fails, says which file
// and why, and leaves every row, key and body as it was.
TEST_F(LosingNothing, AFailedTakeOutKeepsRowsKeysAndBodiesAndSaysWhy)
{
    auto kist = openVault(kPassword);
    writeFile(source + "/one.bin", kOne);
    writeFile(source + "/cut.bin", kTwo);
    KistFile added;
    kist->addFile(source + "/one.bin", &added, false);
    kist->addFile(source + "/cut.bin", &added, false);
    kist->addFile(makeAlbum(source), &added, false);
    const std::string before = rows();

    const std::string one = bodyOf("one.bin");
    const std::string two = bodyOf("two.bin");
    fs::rename(one, one + ".aside");
    fs::rename(two, two + ".aside");
    const std::string cut = bodyOf("cut.bin");
    const std::string cutBytes = readFile(cut);
    fs::resize_file(cut, 16);

    std::string error = errorOf([&] { kist->removeFile("one.bin", out); });
    EXPECT_EQ(error, "one.bin could not be taken out; it stays in the vault.\nmissing: one.bin");
    error = errorOf([&] { kist->removeFile("cut.bin", out); });
    EXPECT_EQ(error, "cut.bin could not be taken out; it stays in the vault.\ndamaged: cut.bin");
    error = errorOf([&] { kist->removeFile("album", out); });
    EXPECT_EQ(error, "Some files could not be taken out of album; the others are in " + out
                         + "/album. It stays in the vault.\nmissing: album/deep/two.bin");
    EXPECT_EQ(tree(out), (Files{{"album/one.txt", kOne}, {"album/three.dat", kThree}}));
    EXPECT_EQ(rows(), before);
    EXPECT_FALSE(vaultHoldsPlainCopy({kOne, kTwo, kThree}));

    // The bodies come back (a disk mounted again): everything is whole.
    fs::rename(one + ".aside", one);
    fs::rename(two + ".aside", two);
    writeFile(cut, cutBytes);
    fs::remove_all(out + "/album");
    EXPECT_EQ(list(*kist).size(), 3u);
    EXPECT_EQ(checkFindings(*kist), "");
    for (const std::string name : {"one.bin", "cut.bin", "album"})
        kist->removeFile(name, out);
    EXPECT_EQ(tree(out), (Files{{"album/deep/two.bin", kTwo},
                                {"album/one.txt", kOne},
                                {"album/three.dat", kThree},
                                {"cut.bin", kTwo},
                                {"one.bin", kOne}}));
}

// A name of 255 bytes that is taken at the destination comes out under a
// shorter numbered name; a move out that fails leaves no plain copy behind.
TEST_F(LosingNothing, TakingOutFindsANameThatFitsAndSettlesAFailedMove)
{
    auto kist = openVault(kPassword);
    std::string longName;
    for (int i = 0; i < 125; ++i)
        longName += "\xc3\xa9"; // é, two bytes
    longName += "a.txt";
    ASSERT_EQ(longName.size(), 255u);
    writeFile(source + "/" + longName, kOne);
    writeFile(out + "/" + longName, "the user's own");
    KistFile added;
    kist->addFile(source + "/" + longName, &added, false);
    kist->removeFile(longName, out);
    const std::string given = fs::path(kist->lastTakeOutPath()).filename().string();
    EXPECT_LE(given.size(), 255u);
    EXPECT_EQ(given.substr(given.size() - 8), " (2).txt");
    EXPECT_EQ(given.substr(0, 4), "\xc3\xa9\xc3\xa9");
    EXPECT_EQ(readFile(out + "/" + given), kOne);
    EXPECT_EQ(readFile(out + "/" + longName), "the user's own");
    EXPECT_TRUE(list(*kist).empty());

    // The destination goes away between decrypting and moving out.
    writeFile(source + "/letter.txt", kTwo);
    kist->addFile(source + "/letter.txt", &added, false);
    const std::string gone = makeScratchFolder("gone");
    at("decryption finished", [&] { fs::remove_all(gone); });
    EXPECT_NE(errorOf([&] { kist->removeFile("letter.txt", gone); }), "(no error)");
    EXPECT_FALSE(vaultHoldsPlainCopy({kTwo}));
    EXPECT_EQ(checkFindings(*kist), "");
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"letter.txt", false, static_cast<uint32_t>(kTwo.size())}}));
    kist->removeFile("letter.txt", out);

    // A folder whose destination takes no more files once the first has
    // arrived: the rows of what did not arrive stay, and the listing after
    // the destination takes files again finishes the move; no file is lost
    // or left twice.
    kist->addFile(makeAlbum(source), &added, false);
    const std::string top = out + "/album";
    bool blocked = false;
    at("file moved", [&] { blocked = setImmutable(top, true); });
    const std::string error = errorOf([&] { kist->removeFile("album", out); });
    if (blocked)
        setImmutable(top, false);
    else
        GTEST_SKIP() << "this file system cannot make a folder immutable";
    EXPECT_NE(error, "(no error)");
    const std::string later = makeScratchFolder("later");
    for (const Entry& entry : list(*kist))
        kist->removeFile(entry.name, later);
    EXPECT_FALSE(vaultHoldsPlainCopy({kOne, kTwo, kThree}));
    EXPECT_EQ(checkFindings(*kist), "");
    std::vector<std::string> contents;
    for (const std::string& folder : {top, later})
        for (const auto& [path, bytes] : tree(folder))
            contents.push_back(bytes);
    std::sort(contents.begin(), contents.end());
    std::vector<std::string> expected {kOne, kTwo, kThree};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(contents, expected);
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
}

// A take-out killed once its files arrived: recovery finishes it and removes
// partial copies of its own, never a user's file named like one.
TEST_F(LosingNothing, RecoveryKeepsAUsersFileNamedLikeAPartialCopy)
{
    const std::string lookalike = ".kist-my-notes-about-the-project-2026-xxxx.part";
    {
        auto kist = openVault(kPassword);
        writeFile(source + "/notes/" + lookalike, "my notes");
        writeFile(source + "/notes/plain.txt", kOne);
        KistFile added;
        kist->addFile(source + "/notes", &added, false);
    }
    const int status = inChild([&] {
        at("file moved", [] { _exit(42); }, 2);
        openVault(kPassword)->removeFile("notes", out);
        return 43;
    });
    ASSERT_EQ(status, 42);
    auto kist = openVault(kPassword);
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(tree(out), (Files{{"notes/" + lookalike, "my notes"}, {"notes/plain.txt", kOne}}));
    EXPECT_EQ(checkFindings(*kist), "");
}

// Killed while the plain copies of a folder were being deleted (one gone,
// the others not): the folder comes back whole as one entry, and once it is
// taken out nothing is left in the vault.
TEST_F(LosingNothing, AFolderAddKilledWhileDeletingPlainCopiesComesBackWhole)
{
    openVault(kPassword);
    const std::string album = makeAlbum(source);
    const int status = inChild([&] {
        at("file transformed",
           [] {
               // Every body is written; the first plain copy is deleted.
               for (const auto& [path, bytes] : tree(vaultFolder()))
                   if (bytes == kOne)
                       fs::remove(vaultFolder() + "/" + path);
               _exit(42);
           },
           3);
        KistFile added;
        openVault(kPassword)->addFile(album, &added, false);
        return 43;
    });
    ASSERT_EQ(status, 42);
    auto kist = openVault(kPassword);
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"album", true, 1990 + 4001 + 2000}}));
    EXPECT_FALSE(vaultHoldsPlainCopy({kOne, kTwo, kThree}));
    EXPECT_EQ(checkFindings(*kist), "");
    kist->removeFile("album", out);
    EXPECT_EQ(tree(out), kAlbum);
    EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
    EXPECT_EQ(checkFindings(*kist), "");
}

// Paths of one add that are the same or lie one inside another: the later
// one is refused before anything moves.
TEST_F(LosingNothing, NestedOrRepeatedPathsOfOneAddAreRefused)
{
    auto kist = openVault(kPassword);
    writeFile(source + "/dir/a", "a");
    writeFile(source + "/dir/b", "b");
    writeFile(source + "/dir/c", "c");
    std::vector<KistAddOutcome> outcomes;
    const auto collect = [&](const KistAddOutcome& outcome) { outcomes.push_back(outcome); };
    kist->addFiles({source + "/dir/b", source + "/dir", source + "/dir/"}, collect);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].state, KistAddOutcome::State::Added);
    for (int i : {1, 2}) {
        EXPECT_EQ(outcomes[i].state, KistAddOutcome::State::Failed);
        EXPECT_EQ(outcomes[i].message,
                  "This path is given twice, or lies inside another given with it: " + source + "/dir");
    }
    EXPECT_EQ(tree(source), (Files{{"dir/a", "a"}, {"dir/c", "c"}}));
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"b", false, 1}}));
    EXPECT_EQ(checkFindings(*kist), "");
}

// A file that cannot be moved inside a folder: what did move goes back, and
// the add says so.
TEST_F(LosingNothing, AFailedMoveIntoTheVaultPutsBackWhatItMoved)
{
    auto kist = openVault(kPassword);
    const std::string album = makeAlbum(source);
    if (!setImmutable(album + "/deep/two.bin", true))
        GTEST_SKIP() << "this file system cannot make a file immutable";
    KistFile added;
    const std::string error = errorOf([&] { kist->addFile(album, &added, false); });
    setImmutable(album + "/deep/two.bin", false);
    EXPECT_NE(error.find("Nothing was added: the files are back where they were."), std::string::npos) << error;
    EXPECT_EQ(tree(source), kAlbum);
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
    EXPECT_EQ(checkFindings(*kist), "");
}

// Bytes written to a file after its encryption read it: the add fails and
// the file, with every byte, goes back.
TEST_F(LosingNothing, BytesAppendedDuringTheAddAreNotLost)
{
    auto kist = openVault(kPassword);
    writeFile(source + "/growing.log", kOne);
    at("file transformed", [] {
        for (const auto& [path, bytes] : tree(vaultFolder()))
            if (bytes == kOne)
                writeFile(vaultFolder() + "/" + path, kOne + "late line");
    });
    KistFile added;
    const std::string error = errorOf([&] { kist->addFile(source + "/growing.log", &added, false); });
    EXPECT_NE(error.find("changed while"), std::string::npos) << error;
    EXPECT_EQ(readFile(source + "/growing.log"), kOne + "late line");
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(checkFindings(*kist), "");
}

// An add whose encryption fails and whose putting back fails too leaves
// rows behind: a program that goes on does not give their name again.
TEST_F(LosingNothing, AFailedPutBackKeepsItsNameTakenInAProgramThatGoesOn)
{
    auto kist = openVault(kPassword);
    EXPECT_TRUE(list(*kist).empty()); // the entries are read and kept from here on
    const std::string album = makeAlbum(source);
    at("encryption planned", [&] {
        // two.bin cannot be read, and the album's old folder is blocked.
        for (const auto& [path, bytes] : tree(vaultFolder()))
            if (bytes == kTwo) {
                fs::remove(vaultFolder() + "/" + path);
                writeFile(vaultFolder() + "/" + path + "/kept", kTwo);
            }
        fs::remove_all(source);
        writeFile(source, "in the way");
    });
    KistFile added;
    EXPECT_NE(errorOf([&] { kist->addFile(album, &added, false); }), "(no error)");

    const std::string other = makeScratchFolder("other");
    writeFile(other + "/album/x.txt", "x");
    kist->addFile(other + "/album", &added, false);
    EXPECT_EQ(std::string(added.name), "album (2)");
}

// A folder's record whose body is a file is no whole folder.
TEST_F(LosingNothing, CheckFindsAFolderRecordWhoseBodyIsAFile)
{
    auto kist = openVault(kPassword);
    fs::create_directories(source + "/empty");
    KistFile added;
    kist->addFile(source + "/empty", &added, false);
    const std::string body = bodyOf("empty");
    fs::remove(body);
    writeFile(body, "not a folder");
    EXPECT_EQ(checkFindings(*kist), "a folder's record names something that is no folder: empty\n");
}

// An import killed part-way: recovery finishes it, or undoes it when its
// unpacked bodies are gone too, and the unpacking folder of the dead
// program goes.
TEST_F(LosingNothing, AnImportKilledPartWayLeavesNothingBehind)
{
    const std::string package = out + "/album.kzip";
    {
        auto kist = openVault(kPassword);
        KistFile added;
        kist->addFile(makeAlbum(source), &added, false);
        kist->exportFiles(package, {"album"}, "package password");
        kist->removeFile("album", makeScratchFolder("away"));
    }
    const auto tempBefore = packagetest::temporaryEntries();

    class KillAfterTwoFiles : public KistProgress {
    public:
        void progress(const KistProgressState& state) override
        {
            if (state.filesDone >= 2)
                _exit(42);
        }
    };
    for (const bool temporaryFolderCleared : {false, true}) {
        SCOPED_TRACE(temporaryFolderCleared ? "the temporary folder was cleared" : "as the import left it");
        const int status = inChild([&] {
            openVault(kPassword);
            Kist reader(package);
            if (!reader.login("package password"))
                return 2;
            KillAfterTwoFiles killer;
            reader.setProgressObserver(&killer);
            reader.copyFilesToVault({"album"}, kPassword);
            return 43;
        });
        ASSERT_EQ(status, 42);
        if (temporaryFolderCleared)
            for (const auto& entry : fs::directory_iterator(std::getenv("TMPDIR")))
                if (entry.path().filename().string().rfind("kist-unpack-", 0) == 0)
                    fs::remove_all(entry.path());

        auto kist = openVault(kPassword);
        const auto entries = list(*kist);
        EXPECT_EQ(entries.size(), temporaryFolderCleared ? 0u : 1u);
        EXPECT_EQ(checkFindings(*kist), "");
        EXPECT_EQ(kist->checkVault().untagged, std::vector<std::string>{});
        EXPECT_EQ(packagetest::temporaryEntries(), tempBefore);
        const std::string taken = makeScratchFolder("taken");
        for (const Entry& entry : entries)
            kist->removeFile(entry.name, taken);
        if (!entries.empty()) {
            EXPECT_EQ(tree(taken), kAlbum);
        }
        EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
    }
}

// An import stopped at every step: the entry is in the vault whole or not
// at all, each body with the tag the package gave it, and nothing else is
// left there.
TEST_F(LosingNothing, AnImportStoppedAtAnyStepIsWholeOrAbsent)
{
    const std::string package = out + "/album.kzip";
    {
        auto kist = openVault(kPassword);
        KistFile added;
        kist->addFile(makeAlbum(source), &added, false);
        kist->exportFiles(package, {"album"}, "package password");
        kist->removeFile("album", makeScratchFolder("away"));
    }
    // The package's own tags, read from its database: a body keeps its tag
    // (its bytes and its file key do not change on the way in).
    const std::string unpacked = makeScratchFolder("unpacked");
    packagetest::unpackZip(package, unpacked);
    const std::string packageTags =
        sqlcipher(unpacked + "/" + kDatabaseName, "select tag from BodyTags order by tag;");
    ASSERT_EQ(packagetest::nonEmptyLines(packageTags).size(), 3u);
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("stopped at step " + std::to_string(stopAt));
        const int status = inChild([&] {
            openVault(kPassword);
            Kist reader(package);
            if (!reader.login("package password"))
                return 2;
            static int left = 0;
            left = stopAt;
            stepboundary::setHook([](const char*) {
                if (--left == 0)
                    _exit(42);
            });
            reader.copyFilesToVault({"album"}, kPassword);
            return 43;
        });
        ASSERT_TRUE(status == 42 || status == 43) << status;
        auto kist = openVault(kPassword);
        const auto entries = list(*kist);
        EXPECT_EQ(checkFindings(*kist), "");
        EXPECT_EQ(kist->checkVault().untagged, std::vector<std::string>{});
        EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select tag from BodyTags order by tag;"),
                  entries.empty() ? std::string() : packageTags);
        const std::string taken = makeScratchFolder("taken");
        for (const Entry& entry : entries)
            kist->removeFile(entry.name, taken);
        if (!entries.empty()) {
            EXPECT_EQ(tree(taken), kAlbum);
        }
        EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
        if (status == 43)
            break;
        ASSERT_LT(stopAt, 30);
    }
}

// A vault on a read-only disk opens and lists; taking out refuses with a
// message and changes nothing.
TEST_F(LosingNothing, AVaultOnAReadOnlyDiskOpensForReading)
{
    {
        auto kist = openVault(kPassword);
        writeFile(source + "/kept.txt", kOne);
        KistFile added;
        kist->addFile(source + "/kept.txt", &added, false);
    }
    const int status = inChild([&] {
        const std::string vault = vaultFolder();
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(vault.c_str(), vault.c_str(), nullptr, MS_BIND, nullptr) != 0
            || ::mount(nullptr, vault.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return 77;
        auto kist = openVault(kPassword);
        if (list(*kist) != std::vector<Entry>{{"kept.txt", false, static_cast<uint32_t>(kOne.size())}})
            return 3;
        if (errorOf([&] { kist->removeFile("kept.txt", out); })
                != "The vault cannot be changed: its folder cannot be written to: " + vault
            || fs::exists(out + "/kept.txt"))
            return 4;
        writeFile(source + "/new.txt", "new");
        KistFile added;
        if (errorOf([&] { kist->addFile(source + "/new.txt", &added, false); }).rfind("The vault cannot be changed", 0)
                != 0
            || readFile(source + "/new.txt") != "new")
            return 5;
        return 0;
    });
    if (status == 77)
        GTEST_SKIP() << "no read-only bind mount here";
    EXPECT_EQ(status, 0);
    auto kist = openVault(kPassword);
    EXPECT_EQ(checkFindings(*kist), "");
    EXPECT_EQ(list(*kist).size(), 1u);
}

// A program that takes the lock again and again (a take-out of many entries)
// lets a program that waits for it in between.
TEST_F(LosingNothing, AProgramWaitingForTheLockGetsItBetweenAnothersEntries)
{
    openVault(kPassword);
    writeFile(source + "/beside.txt", "beside");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t busy = ::fork();
    if (busy == 0) {
        ::close(ready[0]);
        VaultEngine engine(EngineKind::UserVault);
        for (int round = 0; round < 300; ++round) {
            VaultLock lock(engine);
            if (round == 0 && ::write(ready[1], "r", 1) != 1)
                _exit(2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        _exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    const int savedWait = VaultLock::waitMilliseconds;
    VaultLock::waitMilliseconds = 2000;
    auto kist = openVault(kPassword);
    KistFile added;
    const std::string error = errorOf([&] { kist->addFile(source + "/beside.txt", &added, false); });
    VaultLock::waitMilliseconds = savedWait;
    ::kill(busy, SIGKILL);
    int status = 0;
    ::waitpid(busy, &status, 0);
    EXPECT_EQ(error, "(no error)");
}

// A disk that fills up during an add: each path that failed is named, and
// every file is still where it was or whole in the vault.
TEST_F(LosingNothing, AFullDiskNamesEachPathThatFailed)
{
    const std::string disk = makeScratchFolder("small disk");
    const int status = inChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0)
            return 77;
        ::setenv("XDG_DATA_HOME", (disk + "/data").c_str(), 1);
        fs::create_directories(disk + "/data");
        std::vector<std::string> paths;
        for (int i = 0; i < 5; ++i) {
            paths.push_back(disk + "/file" + std::to_string(i) + ".bin");
            writeFile(paths.back(), patternBytes(300 * 1024 + i));
        }
        auto kist = openVault(kPassword);
        std::size_t failed = 0;
        std::size_t index = 0;
        bool named = true;
        kist->addFiles(paths, [&](const KistAddOutcome& outcome) {
            const std::string& path = paths[index++];
            if (outcome.state != KistAddOutcome::State::Failed)
                return;
            ++failed;
            named = named && outcome.message.rfind("Cannot add " + path + ": ", 0) == 0;
        });
        if (failed < 2)
            return 5;
        if (!named)
            return 6;
        const auto entries = list(*kist);
        std::size_t present = 0;
        for (std::size_t i = 0; i < paths.size(); ++i)
            if (fs::exists(paths[i]) && readFile(paths[i]) == patternBytes(300 * 1024 + i))
                ++present;
        return present + entries.size() == paths.size() ? 0 : 7;
    });
    if (status == 77)
        GTEST_SKIP() << "no tmpfs mount here";
    EXPECT_EQ(status, 0);
}

// A body that cannot be deleted once every file is decrypted: the take-out
// delivers every file and says which stays in the vault as well; the files
// whose bodies went leave the vault, the one whose body stays stays with it,
// and comes out later.
TEST_F(LosingNothing, ABodyThatCannotGoKeepsItsFileAndLetsTheOthersLeave)
{
    auto kist = openVault(kPassword);
    KistFile added;
    writeFile(source + "/single.bin", kOne);
    kist->addFile(source + "/single.bin", &added, false);
    // A top-level file's body lies in the vault folder itself: the body is
    // made immutable rather than its folder.
    const std::string singleBody = bodyOf("single.bin");
    if (!setImmutable(singleBody, true))
        GTEST_SKIP() << "this file system cannot make a file immutable";
    std::string error = errorOf([&] { kist->removeFile("single.bin", out); });
    setImmutable(singleBody, false);
    EXPECT_EQ(error.rfind("single.bin is in " + out + "/single.bin, but it is still in the vault as well: its "
                          "encrypted copy could not be deleted.\nCannot delete ", 0), 0u) << error;
    EXPECT_EQ(readFile(out + "/single.bin"), kOne);
    fs::remove(out + "/single.bin");
    kist->removeFile("single.bin", out);
    EXPECT_EQ(readFile(out + "/single.bin"), kOne);
    fs::remove(out + "/single.bin");

    kist->addFile(makeAlbum(source), &added, false);
    std::string largest;
    for (const auto& entry : fs::recursive_directory_iterator(vaultFolder()))
        if (entry.is_regular_file() && entry.path().parent_path() != fs::path(vaultFolder())
            && (largest.empty() || entry.file_size() > fs::file_size(largest)))
            largest = entry.path().string();
    const std::string holder = fs::path(largest).parent_path().string();
    ASSERT_TRUE(setImmutable(holder, true));
    error = errorOf([&] { kist->removeFile("album", out); });
    setImmutable(holder, false);
    EXPECT_EQ(error.rfind("album is in " + out + "/album, but these files are still in the vault as well: their "
                          "encrypted copies could not be deleted.\nalbum/deep/two.bin\nCannot delete " + largest, 0), 0u)
        << error;
    EXPECT_EQ(tree(out), kAlbum);
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"album", true, static_cast<uint32_t>(kTwo.size())}}));
    EXPECT_EQ(checkFindings(*kist), "");

    kist->removeFile("album", out);
    EXPECT_EQ(readFile(out + "/album (2)/deep/two.bin"), kTwo);
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(vaultClutter(), std::vector<std::string>{});
}
