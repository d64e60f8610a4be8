// Several programs on one vault: the in-memory entries are a cache that is
// read again under the lock, so what one program does is never undone by
// another that read the rows earlier.

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <utility>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kPassword = "shared";

using Files = std::vector<std::pair<std::string, std::string>>;

Files makeAlbum(const std::string& root, const std::string& salt = "")
{
    writeFile(root + "/album/one.txt", patternBytes(1990) + salt);
    writeFile(root + "/album/deep/two.bin", patternBytes(4001) + salt);
    writeFile(root + "/album/deep/three.dat", "three" + salt);
    return tree(root + "/album");
}

bool hasEntry(Kist& kist, const std::string& name)
{
    for (const Entry& entry : list(kist))
        if (entry.name == name)
            return true;
    return false;
}

// Both programs go on: each sees the album, and it comes out of the
// second whole.
void expectAlbumWhole(Kist& first, Kist& second, const Files& originals)
{
    EXPECT_TRUE(hasEntry(second, "album"));
    EXPECT_TRUE(hasEntry(first, "album"));
    EXPECT_EQ(checkFindings(second), "");
    const std::string out = makeScratchFolder("out");
    second.removeFile("album", out);
    EXPECT_EQ(tree(out + "/album"), originals);
    EXPECT_FALSE(hasEntry(first, "album"));
}

// Stops the operation at its boundary number `stopAt` and, while it is
// stopped (holding the vault lock), opens the vault as a second program;
// then the operation goes on.
class SecondOpening {
public:
    static inline int boundariesLeft = 0;
    static inline SecondOpening* current = nullptr;
    static inline bool reached = false;

    explicit SecondOpening(int stopAt)
    {
        boundariesLeft = stopAt;
        reached = false;
        current = this;
        stepboundary::setHook([](const char*) {
            if (current == nullptr || --boundariesLeft != 0)
                return;
            reached = true;
            // Opening needs no lock (an opening that waited for it would
            // give up after VaultLock::waitMilliseconds and fail the test).
            current->opening = std::async(std::launch::async, [] { return openVault(kPassword); });
            current->opening.wait();
        });
    }
    ~SecondOpening()
    {
        stepboundary::setHook(nullptr);
        current = nullptr;
        if (opening.valid())
            opening.wait();
    }
    std::unique_ptr<Kist> second()
    {
        stepboundary::setHook(nullptr);
        return opening.valid() ? opening.get() : nullptr;
    }

    std::future<std::unique_ptr<Kist>> opening;
};

} // namespace

class SharedVault : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }

    // The fresh vault, holding the album; originals receives its files.
    std::unique_ptr<Kist> vaultWithAlbum(Files& originals) const
    {
        fresh.restore();
        auto vault = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        originals = makeAlbum(source);
        KistFile added;
        vault->addFile(source + "/album", &added, false);
        return vault;
    }

    // Runs operation, stopped at its boundary stopAt while a second program
    // opens the vault; that program, or null once the operation has fewer
    // boundaries.
    static std::unique_ptr<Kist> openedDuring(int stopAt, const std::function<void()>& operation)
    {
        SecondOpening opening(stopAt);
        operation();
        if (!SecondOpening::reached)
            return nullptr;
        auto second = opening.second();
        EXPECT_TRUE(second);
        return second;
    }

    const FreshProfile fresh{kPassword};
};

// Also when the plain copies go while later files are still encrypted
// (each as soon as its body is flushed): the second program may open the
// vault on a deleting thread's step.
TEST_F(SharedVault, AnAddLosesNothingToAProgramOpenedAtAnyStep)
{
    for (const uint64_t earlyDeleteBytes : {Transforms::earlyDeleteBytes, uint64_t{1}})
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt) + ", early deletion after "
                     + std::to_string(earlyDeleteBytes) + " bytes");
        const uint64_t usual = std::exchange(Transforms::earlyDeleteBytes, earlyDeleteBytes);
        fresh.restore();
        auto first = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        const Files originals = makeAlbum(source);
        std::unique_ptr<Kist> second;
        {
            SecondOpening opening(stopAt);
            KistFile added;
            first->addFile(source + "/album", &added, false);
            Transforms::earlyDeleteBytes = usual;
            if (!SecondOpening::reached)
                break;
            second = opening.second();
        }
        ASSERT_TRUE(second);
        expectAlbumWhole(*first, *second, originals);
        ASSERT_LT(stopAt, 100);
    }
}

TEST_F(SharedVault, PathsAddedTogetherLoseNothingToAProgramOpenedAtAnyStep)
{
    // Paths added together share their transactions and flushes: a program
    // that opens between any two of those steps must not lose or half-see one.
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt));
        fresh.restore();
        auto first = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        const Files album = makeAlbum(source);
        writeFile(source + "/a.txt", "first file");
        writeFile(source + "/b.txt", "second file");
        std::unique_ptr<Kist> second;
        {
            SecondOpening opening(stopAt);
            first->addFiles({source + "/album", source + "/a.txt", source + "/b.txt"},
                            [](const KistAddOutcome& outcome) { EXPECT_EQ(outcome.message, ""); });
            if (!SecondOpening::reached)
                break;
            second = opening.second();
        }
        ASSERT_TRUE(second);
        // It has read no entry yet: the name of a file it adds comes from the rows.
        writeFile(source + "/again/A.TXT", "again");
        KistFile added;
        second->addFile(source + "/again/A.TXT", &added, false);
        EXPECT_EQ(added.name, "A.TXT (2)");
        EXPECT_EQ(checkFindings(*second), "");
        for (const char* name : {"album", "a.txt", "b.txt", "A.TXT (2)"}) {
            EXPECT_TRUE(hasEntry(*first, name)) << name;
            EXPECT_TRUE(hasEntry(*second, name)) << name;
        }
        const std::string out = makeScratchFolder("out");
        for (const char* name : {"album", "a.txt", "b.txt"})
            second->removeFile(name, out);
        EXPECT_EQ(tree(out + "/album"), album);
        EXPECT_EQ(readFile(out + "/a.txt"), "first file");
        EXPECT_EQ(readFile(out + "/b.txt"), "second file");
        EXPECT_FALSE(hasEntry(*first, "a.txt"));
        ASSERT_LT(stopAt, 100);
    }
}

TEST_F(SharedVault, ATakeOutLosesNothingToAProgramOpenedAtAnyStep)
{
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt));
        Files originals;
        auto first = vaultWithAlbum(originals);
        const std::string out = makeScratchFolder("out");
        const std::unique_ptr<Kist> second = openedDuring(stopAt, [&] { first->removeFile("album", out); });
        if (!second)
            break;
        EXPECT_FALSE(hasEntry(*second, "album"));
        EXPECT_EQ(errorOf([&] { second->removeFile("album", out); }), "No such file found in the store: album");
        EXPECT_EQ(tree(out + "/album"), originals);
        EXPECT_EQ(checkFindings(*second), "");
        ASSERT_LT(stopAt, 100);
    }
}

TEST_F(SharedVault, AnImportLosesNothingToAProgramOpenedAtAnyStep)
{
    // The bodies are linked in and flushed once for the whole entry before
    // its rows are finished: a program that opens between any two steps
    // still ends up with the entry whole.
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt));
        Files originals;
        auto first = vaultWithAlbum(originals);
        const std::string package = makeScratchFolder("package") + "/album.kzip";
        first->exportFiles(package, {"album"}, "package pw");
        first->removeFile("album", makeScratchFolder("taken"));
        Kist reader(package);
        ASSERT_TRUE(reader.login("package pw"));
        const std::unique_ptr<Kist> second =
            openedDuring(stopAt, [&] { reader.copyFilesToVault({"album"}, kPassword); });
        if (!second)
            break;
        expectAlbumWhole(*first, *second, originals);
        ASSERT_LT(stopAt, 100);
    }
}

TEST_F(SharedVault, EachProgramSeesNewRemovedAndChangedEntries)
{
    auto one = openVault(kPassword);
    auto other = openVault(kPassword);
    const std::string source = makeScratchFolder("source");
    makeAlbum(source);
    KistFile added;
    one->addFile(source + "/album", &added, false);
    EXPECT_TRUE(hasEntry(*other, "album")); // new

    // Replaced by another album under the same name: the other program takes
    // out the new one, not what it read before.
    const std::string out = makeScratchFolder("out");
    one->removeFile("album", out);
    const std::string again = makeScratchFolder("again");
    const Files changed = makeAlbum(again, "changed");
    one->addFile(again + "/album", &added, false);
    const std::string otherOut = makeScratchFolder("other-out");
    other->removeFile("album", otherOut);
    EXPECT_EQ(tree(otherOut + "/album"), changed);

    // Removed: no longer listed, and acting on it says so.
    EXPECT_FALSE(hasEntry(*one, "album"));
    EXPECT_EQ(errorOf([&] { one->removeFile("album", out); }), "No such file found in the store: album");
    EXPECT_EQ(checkFindings(*one), "");
}

namespace {

std::string sizesInside(Kist& kist, const std::string& name)
{
    std::string text;
    for (const KistEntryContent& content : kist.listEntryContents(name))
        text += content.name + "=" + std::to_string(content.size) + " ";
    return text;
}

std::vector<std::string> namesOf(Kist& kist)
{
    std::vector<std::string> names;
    for (const Entry& entry : list(kist))
        names.push_back(entry.name);
    return names;
}

} // namespace

// A program that holds many entries reads again only those the change log
// names; rows changed deep inside an entry, a top-level row renamed, entries
// added and taken out by others must all show, and nothing else may move.
TEST_F(SharedVault, ARefreshSeesChangesInsideEntriesItAlreadyHolds)
{
    auto one = openVault(kPassword);
    auto other = openVault(kPassword);
    const std::string source = makeScratchFolder("source");
    makeAlbum(source);
    std::vector<std::string> paths {source + "/album"};
    for (int i = 0; i < 12; ++i) {
        writeFile(source + "/note" + std::to_string(i) + ".txt", patternBytes(100 + i));
        paths.push_back(source + "/note" + std::to_string(i) + ".txt");
    }
    one->addFiles(paths, [](const KistAddOutcome& outcome) { ASSERT_EQ(outcome.message, ""); });
    ASSERT_EQ(namesOf(*other).size(), 13u);
    const std::string albumBefore = sizesInside(*other, "album");

    // Another program: a new entry, one taken out, and rows changed by hand
    // (a file's size deep in the album, a top-level row's name).
    const std::string more = makeScratchFolder("more");
    writeFile(more + "/late.txt", "late");
    KistFile added;
    one->addFile(more + "/late.txt", &added, false);
    one->removeFile("note3.txt", makeScratchFolder("out"));
    sqlcipher(vaultDatabasePath(), "update ProtectedFiles set size = 7 where raw_file_name = 'two.bin';"
                                   "update ProtectedFiles set display_name = 'renamed.txt' "
                                   "where display_name = 'note5.txt';");

    std::vector<std::string> expected {"album", "late.txt", "note0.txt", "note1.txt", "note10.txt", "note11.txt",
                                       "note2.txt", "note4.txt", "note6.txt", "note7.txt", "note8.txt",
                                       "note9.txt", "renamed.txt"};
    EXPECT_EQ(namesOf(*other), expected);
    EXPECT_NE(sizesInside(*other, "album"), albumBefore);
    EXPECT_NE(sizesInside(*other, "album").find("two.bin=7 "), std::string::npos) << sizesInside(*other, "album");
    // What the program now holds is what a fresh reading of the rows gives.
    auto fresh = openVault(kPassword);
    EXPECT_EQ(namesOf(*fresh), expected);
    EXPECT_EQ(sizesInside(*fresh, "album"), sizesInside(*other, "album"));
}

// A vault written before the change log opens and gets it; a program whose
// log position was trimmed away (or that never saw a log) reads every row.
TEST_F(SharedVault, AVaultWithoutTheLogOrWithItTrimmedIsReadWhole)
{
    {
        auto first = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        writeFile(source + "/kept.txt", "kept");
        KistFile added;
        first->addFile(source + "/kept.txt", &added, false);
    }
    sqlcipher(vaultDatabasePath(), "drop trigger ProtectedFilesLogAI; drop trigger ProtectedFilesLogAU;"
                                   "drop trigger ProtectedFilesLogAD; drop table ProtectedFilesLog;");
    auto one = openVault(kPassword);
    EXPECT_EQ(namesOf(*one), std::vector<std::string> {"kept.txt"});
    EXPECT_EQ(sqlcipher(vaultDatabasePath(), "select count(*) from sqlite_master where name like 'ProtectedFilesLog%';"),
              "4\n");

    auto other = openVault(kPassword);
    const std::string more = makeScratchFolder("more");
    writeFile(more + "/new.txt", "new");
    KistFile added;
    other->addFile(more + "/new.txt", &added, false);
    // Trimmed away: the log no longer reaches back to what `one` knows.
    sqlcipher(vaultDatabasePath(), "delete from ProtectedFilesLog;");
    other->removeFile("kept.txt", makeScratchFolder("out"));
    EXPECT_EQ(namesOf(*one), std::vector<std::string> {"new.txt"});
    EXPECT_EQ(checkFindings(*one), "");
}

// An opening trims a change log only once it spans twice what a trim keeps
// (trimming at every opening rewrote hundreds of pages for each command),
// only under the vault lock, and only when it is free at once: a program
// changing the vault must not meet its write. While another program holds
// the lock it writes nothing, and a later opening trims the log.
TEST_F(SharedVault, AnOverlongLogIsTrimmedOnlyUnderTheLock)
{
    const std::string source = makeScratchFolder("source");
    writeFile(source + "/kept.txt", "kept");
    {
        auto first = openVault(kPassword);
        KistFile added;
        first->addFile(source + "/kept.txt", &added, false);
    }
    const auto logRows = [] {
        return std::stol(sqlcipher(vaultDatabasePath(), "select count(*) from ProtectedFilesLog;"));
    };
    const auto addLogRows = [](int count) {
        sqlcipher(vaultDatabasePath(), "with recursive n(i) as (select 1 union all select i + 1 from n where i < "
                                           + std::to_string(count)
                                           + ") insert into ProtectedFilesLog(entry_id, unique_name, parent, "
                                             "display_name) select 0, 'gone', '', 'gone' from n;");
    };
    VaultEngine holder(EngineKind::UserVault);
    const long before = logRows();
    addLogRows(20100);
    ASSERT_EQ(logRows(), before + 20100);
    {
        const std::string bytes = readFile(vaultDatabasePath());
        Kist opened(true);
        EXPECT_TRUE(readFile(vaultDatabasePath()) == bytes) << "an opening trimmed a log short of twice its length";
    }
    addLogRows(20000);
    {
        VaultLock held(holder);
        const std::string bytes = readFile(vaultDatabasePath());
        Kist opened(true);
        EXPECT_TRUE(readFile(vaultDatabasePath()) == bytes) << "the opening wrote beside the lock's holder";
    }
    auto later = openVault(kPassword);
    EXPECT_EQ(logRows(), 20000);
    EXPECT_EQ(namesOf(*later), std::vector<std::string> {"kept.txt"});
    EXPECT_EQ(checkFindings(*later), "");
}

// A program that adds without listing never reads the rows: it asks them
// whether a name is taken. The answer must follow the names' own rule (a-z
// and A-Z alike, every other character as it is), survive an apostrophe,
// and see what other programs added and took out since it opened.
TEST_F(SharedVault, AProgramThatNeverListedChoosesNamesFromTheRows)
{
    auto one = openVault(kPassword);
    auto other = openVault(kPassword);
    const std::string source = makeScratchFolder("source");
    writeFile(source + "/one/It's.txt", "one");
    writeFile(source + "/one/\xC3\x84.txt", "upper umlaut");
    KistFile added;
    one->addFile(source + "/one/It's.txt", &added, false);
    one->addFile(source + "/one/\xC3\x84.txt", &added, false);

    writeFile(source + "/a/IT'S.TXT", "a");
    writeFile(source + "/b/it's.txt", "b");
    writeFile(source + "/c/\xC3\xA4.txt", "lower umlaut");
    std::vector<std::string> names;
    other->addFiles({source + "/a/IT'S.TXT", source + "/b/it's.txt", source + "/c/\xC3\xA4.txt"},
                    [&](const KistAddOutcome& outcome) { names.push_back(outcome.name); });
    EXPECT_EQ(names, (std::vector<std::string> {"IT'S.TXT (2)", "it's.txt (3)", "\xC3\xA4.txt"}));

    // Taken out by the first program: the name is free for the other again.
    one->removeFile("it's.TXT", makeScratchFolder("out"));
    writeFile(source + "/d/IT'S.txt", "d");
    other->addFile(source + "/d/IT'S.txt", &added, false);
    EXPECT_EQ(added.name, "IT'S.txt");

    const std::vector<std::string> expected {"IT'S.txt", "IT'S.TXT (2)", "it's.txt (3)", "\xC3\x84.txt",
                                             "\xC3\xA4.txt"};
    EXPECT_EQ(namesOf(*other), expected);
    EXPECT_EQ(namesOf(*one), expected);
    EXPECT_EQ(checkFindings(*other), "");
}
