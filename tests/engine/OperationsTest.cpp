#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/AddBatch.h"
#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// SQL on the vault database of the scratch home.
std::string vaultSql(const std::string& sql)
{
    return sqlcipher(vaultDatabasePath(), sql);
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The bodies in the vault folder (everything but the database and the lock).
std::set<std::string> bodies()
{
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(vaultFolder()))
        if (entry.is_regular_file() && entry.path().filename() != kDatabaseName
            && entry.path().filename() != ".lock")
            paths.insert(entry.path().string());
    return paths;
}

std::string fingerprint(const std::string& folder)
{
    std::string lines;
    for (const auto& [path, bytes] : tree(folder))
        lines += path + " " + std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>()(bytes))
                 + "\n";
    return lines;
}

std::string restoreFolder()
{
    return std::string(std::getenv("XDG_DESKTOP_DIR")) + "/KORVELIN Restored Files";
}

// Records every report and can ask to stop.
class RecordingObserver : public KistProgress {
public:
    void progress(const KistProgressState& state) override { reports.push_back(state); }
    bool stopRequested() override
    {
        ++stopQuestions;
        return wantsStop;
    }

    std::vector<KistProgressState> reports;
    bool wantsStop = false;
    int stopQuestions = 0;
};

} // namespace

class Operations : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        kist = openVault("pw");
        source = makeScratchFolder("src");
        out = makeScratchFolder("out");
    }

    void add(const std::string& path)
    {
        KistFile added;
        kist->addFile(path, &added, false);
    }

    std::unique_ptr<Kist> kist;
    std::string source;
    std::string out;
};

TEST_F(Operations, SameNamesGetNumberedDisplayNamesAndComeOutUnderTheirOwn)
{
    writeFile(source + "/one/a.txt", "first");
    writeFile(source + "/two/a.txt", "second");
    writeFile(source + "/three/A.TXT", "third");
    KistFile added;
    kist->addFile(source + "/one/a.txt", &added, false);
    EXPECT_EQ(added.name, "a.txt");
    kist->addFile(source + "/two/a.txt", &added, false);
    EXPECT_EQ(added.name, "a.txt (2)");
    kist->addFile(source + "/three/A.TXT", &added, false);
    EXPECT_EQ(added.name, "A.TXT (3)");
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"a.txt", false, 5}, {"a.txt (2)", false, 6}, {"A.TXT (3)", false, 5}}));

    kist->removeFile("a.txt (3)", out); // the lookup is case-blind
    EXPECT_EQ(readFile(out + "/A.TXT"), "third");
    const std::string second = makeScratchFolder("second");
    kist->removeFile("A.TXT (2)", second);
    EXPECT_EQ(readFile(second + "/a.txt"), "second");
    // The freed name is taken again by the next file of that name.
    writeFile(source + "/four/a.txt", "fourth");
    kist->addFile(source + "/four/a.txt", &added, false);
    EXPECT_EQ(added.name, "a.txt (2)");
}

TEST_F(Operations, DisplayNamesRunOutAfterNumber9999)
{
    VaultEngine engine(EngineKind::TemporaryVault);
    VaultOperations operations(engine);
    engine.entries()[L"x.bin"] = std::make_unique<ProtectedFile>();
    for (int number = 2; number <= 9998; ++number)
        engine.entries()[L"x.bin (" + toWide(std::to_string(number)) + L")"] = std::make_unique<ProtectedFile>();
    EXPECT_TRUE(sameExactly(operations.freeDisplayName(L"X.BIN"), L"X.BIN (9999)"));
    engine.entries()[L"x.bin (9999)"] = std::make_unique<ProtectedFile>();
    EXPECT_EQ(errorOf([&] { (void)operations.freeDisplayName(L"x.bin"); }),
              "Too many files with the same name have been stored. Try changing the name of the file before storing "
              "it.");
    EXPECT_TRUE(sameExactly(operations.freeDisplayName(L"y.bin"), L"y.bin"));
}

TEST_F(Operations, FoldersAddUpTheirFilesAndComeOutWhole)
{
    writeFile(source + "/docs/a.txt", patternBytes(100));
    writeFile(source + "/docs/sub/b.txt", patternBytes(2500));
    writeFile(source + "/docs/sub/deeper/c.txt", patternBytes(7));
    writeFile(source + "/docs/sub/zero.txt", "");
    fs::create_directories(source + "/docs/hollow/inside");
    fs::create_directories(source + "/bare");

    KistFile added;
    kist->addFile(source + "/docs/", &added, false); // a trailing slash names the folder
    EXPECT_EQ(added.name, "docs");
    EXPECT_TRUE(added.is_directory);
    EXPECT_EQ(added.size, 2607u);
    kist->addFile(source + "/bare", &added, false);
    EXPECT_EQ(added.size, 0u);
    EXPECT_FALSE(fs::exists(source + "/docs"));
    EXPECT_FALSE(fs::exists(source + "/bare"));
    EXPECT_EQ(vaultSql("select count(*) from ProtectedFiles;"), "10\n");
    EXPECT_EQ(vaultSql("select count(*) from ProtectedFiles where parent='';"), "2\n");
    EXPECT_EQ(vaultSql("select size from ProtectedFiles where display_name='sub';"), "2507\n");

    kist->removeFile("docs", out);
    kist->removeFile("BARE", out);
    EXPECT_EQ(readFile(out + "/docs/a.txt"), patternBytes(100));
    EXPECT_EQ(readFile(out + "/docs/sub/b.txt"), patternBytes(2500));
    EXPECT_EQ(readFile(out + "/docs/sub/deeper/c.txt"), patternBytes(7));
    EXPECT_EQ(readFile(out + "/docs/sub/zero.txt"), "");
    EXPECT_TRUE(fs::is_directory(out + "/docs/hollow/inside"));
    EXPECT_TRUE(fs::is_directory(out + "/bare"));
    EXPECT_TRUE(fs::is_empty(out + "/bare"));
    // Nothing of either tree is left in the vault.
    EXPECT_EQ(vaultSql("select count(*) from ProtectedFiles;"), "0\n");
    EXPECT_TRUE(bodies().empty());
    EXPECT_TRUE(list(*kist).empty());
}

TEST_F(Operations, InMemoryEntriesTouchNeitherDatabaseNorDisk)
{
    writeFile(source + "/plain.txt", "stays where it is");
    fs::create_directories(source + "/folder/inner");
    writeFile(source + "/folder/inner/x.bin", patternBytes(300));
    const std::string vaultBefore = fingerprint(vaultFolder());

    KistFile added;
    kist->addFile(source + "/plain.txt", &added, true);
    kist->addFile(source + "/folder", &added, true);
    EXPECT_EQ(added.size, 300u);
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"folder", true, 300}, {"plain.txt", false, 17}}));
    EXPECT_EQ(fingerprint(vaultFolder()), vaultBefore);
    EXPECT_EQ(readFile(source + "/plain.txt"), "stays where it is");
    EXPECT_EQ(readFile(source + "/folder/inner/x.bin"), patternBytes(300));
    EXPECT_EQ(vaultSql("select count(*) from ProtectedFiles;"), "0\n");
}

TEST_F(Operations, ListingIsSortedWithoutRegardToCase)
{
    writeFile(source + "/b", "b");
    writeFile(source + "/A", "A");
    writeFile(source + "/c.txt", "c");
    writeFile(source + "/B2", "B2");
    for (const char* name : {"b", "A", "c.txt", "B2"})
        add(source + "/" + name);
    std::vector<std::string> names;
    for (const Entry& entry : list(*kist))
        names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "B2", "c.txt"}));

    // A fresh engine lists what the database holds in the same order.
    kist.reset();
    kist = openVault("pw");
    names.clear();
    for (const Entry& entry : list(*kist))
        names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "B2", "c.txt"}));
}

TEST_F(Operations, EmptyDestinationMeansTheRestoredFilesFolder)
{
    writeFile(source + "/letter.txt", "dear");
    add(source + "/letter.txt");
    kist->removeFile("letter.txt", "");
    EXPECT_EQ(readFile(restoreFolder() + "/letter.txt"), "dear");
    EXPECT_EQ(kist->lastTakeOutPath(), restoreFolder() + "/letter.txt");
}

TEST_F(Operations, UnknownNamesAndMissingDestinationsChangeNothing)
{
    writeFile(source + "/kept.txt", "kept");
    add(source + "/kept.txt");
    EXPECT_EQ(errorOf([&] { kist->removeFile("kept.tx", out); }), "No such file found in the store: kept.tx");
    const std::string missing = out + "/not there";
    const std::string refusal = errorOf([&] { kist->removeFile("kept.txt", missing); });
    EXPECT_NE(refusal.find(missing), std::string::npos) << refusal;
    EXPECT_FALSE(fs::exists(missing));
    // Taking out into the vault itself would hide the files again.
    EXPECT_TRUE(startsWith(errorOf([&] { kist->removeFile("kept.txt", vaultFolder()); }),
                           "You cannot copy a parent folder into its child: "));
    EXPECT_EQ(list(*kist).size(), 1u);
    kist->removeFile("KEPT.TXT", out);
    EXPECT_EQ(readFile(out + "/kept.txt"), "kept");
}

TEST_F(Operations, UnusualNamesRoundTrip)
{
    const std::vector<std::string> names = {
        "John's notes.txt", "  two  blanks .txt", "Ünïcödé – ĳ.txt", "日本語のファイル", "bad\xff\xfe bytes.bin",
        "semi;colon%s&'\".txt",
    };
    for (std::size_t i = 0; i < names.size(); ++i)
        writeFile(source + "/" + names[i], patternBytes(10 + i));
    writeFile(source + "/Folder 'x' é/inner\x80.txt", "inner");
    for (const std::string& name : names)
        add(source + "/" + name);
    add(source + "/Folder 'x' é");

    std::set<std::string> listed;
    for (const Entry& entry : list(*kist))
        listed.insert(entry.name);
    std::set<std::string> expected(names.begin(), names.end());
    expected.insert("Folder 'x' é");
    EXPECT_EQ(listed, expected);

    // The names survive a fresh engine reading them back from the database.
    kist.reset();
    kist = openVault("pw");
    for (std::size_t i = 0; i < names.size(); ++i) {
        kist->removeFile(names[i], out);
        EXPECT_EQ(readFile(out + "/" + names[i]), patternBytes(10 + i)) << names[i];
    }
    kist->removeFile("folder 'X' é", out);
    EXPECT_EQ(readFile(out + "/Folder 'x' é/inner\x80.txt"), "inner");
}

TEST_F(Operations, EveryPlainLengthComesOutByteIdentical)
{
    // Encrypted bodies follow the chunk rule: 2000-byte chunks, only a short
    // last chunk padded to the next 16 bytes.
    const std::vector<std::pair<std::size_t, std::size_t>> lengths = {
        {0, 0}, {15, 16}, {1990, 2000}, {1999, 2000}, {2000, 2000}, {3990, 4000}, {4000, 4000}, {4001, 4016},
    };
    for (const auto& [plain, body] : lengths) {
        SCOPED_TRACE(plain);
        const std::string name = "len" + std::to_string(plain) + ".bin";
        writeFile(source + "/" + name, patternBytes(plain));
        const auto before = bodies();
        add(source + "/" + name);
        std::vector<std::string> added;
        for (const std::string& path : bodies())
            if (!before.count(path))
                added.push_back(path);
        ASSERT_EQ(added.size(), 1u);
        const std::string stored = readFile(added[0]);
        EXPECT_EQ(stored.size(), body);
        if (plain > 0) {
            EXPECT_EQ(stored.find(patternBytes(plain).substr(0, std::min<std::size_t>(plain, 64))),
                      std::string::npos);
        }
    }
    kist.reset();
    kist = openVault("pw");
    for (const auto& [plain, body] : lengths) {
        const std::string name = "len" + std::to_string(plain) + ".bin";
        kist->removeFile(name, out);
        EXPECT_EQ(readFile(out + "/" + name), patternBytes(plain)) << name;
    }
    EXPECT_TRUE(bodies().empty());
}

TEST_F(Operations, TakingOutNeverReplacesWhatIsThere)
{
    writeFile(out + "/report.docx", "the user's own report");
    writeFile(out + "/.bashrc", "the user's own settings");
    writeFile(out + "/docs/mine.txt", "the user's own folder");

    for (int copy = 1; copy <= 2; ++copy) {
        const std::string folder = makeScratchFolder("copy");
        writeFile(folder + "/report.docx", "vault report " + std::to_string(copy));
        add(folder + "/report.docx");
    }
    writeFile(source + "/.bashrc", "vault settings");
    writeFile(source + "/docs/vault.txt", "vault folder");
    add(source + "/.bashrc");
    add(source + "/docs");

    kist->removeFile("report.docx", out);
    EXPECT_EQ(kist->lastTakeOutPath(), out + "/report (2).docx");
    kist->removeFile("report.docx (2)", out);
    EXPECT_EQ(kist->lastTakeOutPath(), out + "/report (3).docx");
    kist->removeFile(".bashrc", out);
    kist->removeFile("docs", out);

    EXPECT_EQ(readFile(out + "/report.docx"), "the user's own report");
    EXPECT_EQ(readFile(out + "/report (2).docx"), "vault report 1");
    EXPECT_EQ(readFile(out + "/report (3).docx"), "vault report 2");
    EXPECT_EQ(readFile(out + "/.bashrc"), "the user's own settings");
    EXPECT_EQ(readFile(out + "/.bashrc (2)"), "vault settings");
    EXPECT_EQ(readFile(out + "/docs/mine.txt"), "the user's own folder");
    EXPECT_FALSE(fs::exists(out + "/docs/vault.txt"));
    EXPECT_EQ(readFile(out + "/docs (2)/vault.txt"), "vault folder");
    EXPECT_EQ(vaultSql("select count(*) from ProtectedFiles;"), "0\n");
}

TEST_F(Operations, RefusedAddsMoveNothing)
{
    const std::string vaultBefore = fingerprint(vaultFolder());
    const auto expectRefused = [&](const std::string& path, const std::string& messageStart) {
        SCOPED_TRACE(path);
        const std::string message = errorOf([&] { add(path); });
        EXPECT_TRUE(startsWith(message, messageStart)) << message;
        EXPECT_EQ(fingerprint(vaultFolder()), vaultBefore);
        EXPECT_TRUE(list(*kist).empty());
    };

    // The vault itself, a part of it, and a folder that holds it.
    expectRefused(vaultFolder(), "Cannot store a file that is part of the vault itself: ");
    expectRefused(vaultDatabasePath(), "Cannot store a file that is part of the vault itself: ");
    expectRefused(std::getenv("XDG_DATA_HOME"), "You cannot copy a parent folder into its child: ");
    expectRefused(vaultFolder() + "/../kist/", "Cannot store a file that is part of the vault itself: ");

    // A folder with a symbolic link deep inside: nothing of it moves.
    writeFile(source + "/linked/a.txt", "a");
    writeFile(source + "/linked/sub/b.txt", "b");
    fs::create_symlink("/etc/hostname", source + "/linked/sub/link");
    const std::string linkedBefore = fingerprint(source + "/linked");
    expectRefused(source + "/linked", "Cannot store a symbolic link, device, socket or pipe: ");
    EXPECT_EQ(fingerprint(source + "/linked"), linkedBefore);
    EXPECT_TRUE(fs::is_symlink(source + "/linked/sub/link"));

    // A link given directly, and a folder holding a named pipe.
    fs::create_symlink(source + "/linked/a.txt", source + "/direct-link");
    expectRefused(source + "/direct-link", "Cannot store a symbolic link, device, socket or pipe: ");
    EXPECT_TRUE(fs::is_symlink(source + "/direct-link"));
    writeFile(source + "/piped/a.txt", "a");
    ASSERT_EQ(::mkfifo((source + "/piped/fifo").c_str(), 0600), 0);
    expectRefused(source + "/piped", "Cannot store a symbolic link, device, socket or pipe: ");
    EXPECT_EQ(readFile(source + "/piped/a.txt"), "a");

    // Something that is not there.
    const std::string missing = errorOf([&] { add(source + "/nothing here"); });
    EXPECT_NE(missing.find(source + "/nothing here"), std::string::npos) << missing;

    // A file of 4 GiB cannot be described by the 32-bit size of a record.
    const std::string huge = source + "/huge.img";
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4LL * 1024 * 1024 * 1024), 0);
    ::close(fd);
    expectRefused(huge, "File too large: ");
    EXPECT_EQ(fs::file_size(huge), 4ULL * 1024 * 1024 * 1024);
    // Later tests search the scratch area file by file.
    fs::remove(huge);
}

TEST_F(Operations, RelativePathsAreTakenFromTheWorkingFolder)
{
    writeFile(source + "/relative.txt", "relative");
    writeFile(source + "/sub/deeper.txt", "deeper");
    const fs::path saved = fs::current_path();
    fs::current_path(source + "/sub");
    KistFile added;
    kist->addFile("../relative.txt", &added, false);
    EXPECT_EQ(added.name, "relative.txt");
    kist->addFile("./deeper.txt", &added, false);
    fs::current_path(saved);
    EXPECT_FALSE(fs::exists(source + "/relative.txt"));
    kist->removeFile("relative.txt", out);
    kist->removeFile("deeper.txt", out);
    EXPECT_EQ(readFile(out + "/relative.txt"), "relative");
    EXPECT_EQ(readFile(out + "/deeper.txt"), "deeper");
}

TEST_F(Operations, ProgressCountsFilesAndBytes)
{
    writeFile(source + "/tree/a.bin", patternBytes(5000));
    writeFile(source + "/tree/b/c.bin", patternBytes(123));
    writeFile(source + "/tree/b/empty.bin", "");
    RecordingObserver observer;
    kist->setProgressObserver(&observer);
    observer.wantsStop = true; // an add is never stopped half-way through an entry
    add(source + "/tree");
    ASSERT_FALSE(observer.reports.empty());
    const KistProgressState& last = observer.reports.back();
    EXPECT_EQ(last.name, "tree");
    EXPECT_EQ(last.filesTotal, 3u);
    EXPECT_EQ(last.bytesTotal, 5123u);
    EXPECT_EQ(last.filesDone, 3u);
    EXPECT_EQ(last.bytesDone, 5123u);
    for (std::size_t i = 1; i < observer.reports.size(); ++i)
        EXPECT_GE(observer.reports[i].bytesDone, observer.reports[i - 1].bytesDone);

    observer.reports.clear();
    // A take-out hears a stop inside its entry (see StopWithinEntryTest).
    observer.wantsStop = false;
    kist->removeFile("tree", out);
    ASSERT_FALSE(observer.reports.empty());
    EXPECT_EQ(observer.reports.back().filesDone, 3u);
    EXPECT_EQ(observer.reports.back().bytesDone, 5123u);
    EXPECT_EQ(readFile(out + "/tree/a.bin"), patternBytes(5000));
    kist->setProgressObserver(nullptr);
}

// A package's bodies are read and written when the package is closed: the
// bytes are reported as they are written, and a stop request while a large
// body is being written leaves neither package nor temporary file.
TEST_F(Operations, ExportReportsBytesWhileThePackageIsWrittenAndStopsThere)
{
    constexpr uint64_t kSize = 24u * 1024 * 1024;
    writeFile(source + "/large.bin", patternBytes(kSize));
    add(source + "/large.bin");
    const std::string packages = makeScratchFolder("pkg");

    class StopHalfWay : public RecordingObserver {
    public:
        void progress(const KistProgressState& state) override
        {
            RecordingObserver::progress(state);
            if (stopHalfWay && state.bytesDone > 0 && state.bytesDone < state.bytesTotal)
                wantsStop = true;
        }
        bool stopHalfWay = false;
    } observer;
    kist->setProgressObserver(&observer);
    kist->exportFiles(packages + "/whole.kzip", {"large.bin"}, "pp");
    ASSERT_FALSE(observer.reports.empty());
    EXPECT_EQ(observer.reports.back().bytesDone, kSize);
    EXPECT_EQ(observer.reports.back().filesDone, 1u);
    std::size_t partway = 0;
    uint64_t last = 0;
    for (const KistProgressState& state : observer.reports) {
        EXPECT_GE(state.bytesDone, last);
        last = state.bytesDone;
        if (state.bytesDone > 0 && state.bytesDone < kSize)
            ++partway;
    }
    EXPECT_GE(partway, 10u);

    observer.reports.clear();
    observer.stopHalfWay = true;
    EXPECT_EQ(errorOf([&] { kist->exportFiles(packages + "/stopped.kzip", {"large.bin"}, "pp"); }),
              "The operation was cancelled; every entry is whole.");
    kist->setProgressObserver(nullptr);
    EXPECT_TRUE(observer.wantsStop);
    EXPECT_LT(observer.reports.back().bytesDone, kSize);
    // Only the finished package is there: no partial one, no temporary file.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(packages))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, (std::vector<std::string>{"whole.kzip"}));
    EXPECT_EQ(list(*kist).size(), 1u);
}

TEST_F(Operations, StopRequestBetweenEntriesOfAnExportLeavesNoPackage)
{
    writeFile(source + "/first.txt", patternBytes(3000));
    writeFile(source + "/second.txt", patternBytes(4000));
    add(source + "/first.txt");
    add(source + "/second.txt");
    const std::string temp = std::getenv("TMPDIR");
    const auto tempBefore = tree(temp);
    const std::string packages = makeScratchFolder("pkg");

    RecordingObserver observer;
    observer.wantsStop = true;
    kist->setProgressObserver(&observer);
    EXPECT_EQ(errorOf([&] { kist->exportFiles(packages + "/two.kzip", {"first.txt", "second.txt"}, "pp"); }),
              "The operation was cancelled; every entry is whole.");
    EXPECT_GE(observer.stopQuestions, 1);
    EXPECT_FALSE(fs::exists(packages + "/two.kzip"));
    EXPECT_TRUE(fs::is_empty(packages));
    EXPECT_EQ(tree(temp), tempBefore);

    // A package that was there before is not replaced by a cancelled one.
    writeFile(packages + "/old.kzip", "an earlier package");
    EXPECT_NE(errorOf([&] { kist->exportFiles(packages + "/old.kzip", {"first.txt", "second.txt"}, "pp"); }),
              "(no error)");
    EXPECT_EQ(readFile(packages + "/old.kzip"), "an earlier package");

    // One entry has no point between entries, but the writing of the
    // package hears the request: nothing is left.
    EXPECT_EQ(errorOf([&] { kist->exportFiles(packages + "/one.kzip", {"second.txt"}, "pp"); }),
              "The operation was cancelled; every entry is whole.");
    EXPECT_FALSE(fs::exists(packages + "/one.kzip"));
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(packages))
        beside.push_back(entry.path().filename().string());
    EXPECT_EQ(beside, (std::vector<std::string>{"old.kzip"})) << "no temporary file is left beside it";
    observer.wantsStop = false;
    kist->exportFiles(packages + "/one.kzip", {"second.txt"}, "pp");
    kist->setProgressObserver(nullptr);
    {
        Kist reader(packages + "/one.kzip");
        ASSERT_TRUE(reader.login("pp"));
        reader.removeFile("second.txt", out);
    }
    EXPECT_EQ(readFile(out + "/second.txt"), patternBytes(4000));
    EXPECT_EQ(list(*kist).size(), 2u);
}

// Many separate paths in one call: more than one batch, names kept free
// within a batch and across batches, a path that fails in the middle does
// not stop the others, and a stop request between batches leaves the rest
// where they are.
TEST_F(Operations, SeparatePathsAddedTogetherEachGetTheirOwnOutcome)
{
    const std::string other = makeScratchFolder("other");
    writeFile(other + "/same.txt", "taken first");
    add(other + "/same.txt");
    const std::size_t count = 2 * AddBatch::mostEntries + 5;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string folder = source + "/" + std::to_string(i);
        writeFile(folder + "/same.txt", patternBytes(10 + i));
        paths.push_back(folder + "/same.txt");
    }
    paths.insert(paths.begin() + 3, source + "/missing.txt");
    std::vector<KistAddOutcome> outcomes;
    kist->addFiles(paths, [&](const KistAddOutcome& outcome) { outcomes.push_back(outcome); });

    ASSERT_EQ(outcomes.size(), paths.size());
    int number = 2;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ(outcomes[i].path, paths[i]);
        if (i == 3) {
            EXPECT_EQ(outcomes[i].state, KistAddOutcome::State::Failed);
            EXPECT_NE(outcomes[i].message, "");
            continue;
        }
        EXPECT_EQ(outcomes[i].state, KistAddOutcome::State::Added) << outcomes[i].message;
        EXPECT_EQ(outcomes[i].name, "same.txt (" + std::to_string(number++) + ")");
        EXPECT_FALSE(fs::exists(paths[i]));
    }
    EXPECT_EQ(list(*kist).size(), count + 1);
    kist->removeFile("same.txt (" + std::to_string(count + 1) + ")", out);
    EXPECT_EQ(readFile(out + "/same.txt"), patternBytes(10 + count - 1));

    // Asked to stop: the first batch is added whole, the rest not tried.
    std::vector<std::string> more;
    for (std::size_t i = 0; i < AddBatch::mostEntries + 3; ++i) {
        writeFile(source + "/more/m" + std::to_string(i), "m");
        more.push_back(source + "/more/m" + std::to_string(i));
    }
    RecordingObserver observer;
    observer.wantsStop = true;
    kist->setProgressObserver(&observer);
    outcomes.clear();
    kist->addFiles(more, [&](const KistAddOutcome& outcome) { outcomes.push_back(outcome); });
    kist->setProgressObserver(nullptr);
    ASSERT_EQ(outcomes.size(), more.size());
    for (std::size_t i = 0; i < more.size(); ++i) {
        const bool inFirstBatch = i < AddBatch::mostEntries;
        EXPECT_EQ(outcomes[i].state, inFirstBatch ? KistAddOutcome::State::Added : KistAddOutcome::State::NotTried);
        EXPECT_EQ(fs::exists(more[i]), !inFirstBatch);
    }
    EXPECT_EQ(checkFindings(*kist), "");
}

// Composing a package borrows the user's files: a temporary vault encrypts
// copies, and when it goes every original is where it was, byte for byte,
// and nothing of it is left in the temporary folder.
TEST_F(Operations, ATemporaryVaultLeavesEverySourceAsItWas)
{
    writeFile(source + "/folder/sub/deep.bin", patternBytes(70000));
    writeFile(source + "/folder/top.txt", "top");
    writeFile(source + "/single.txt", "single");
    const std::string before = fingerprint(source);
    const std::string temporaryRoot = std::getenv("TMPDIR");
    std::set<std::string> tempBefore;
    for (const auto& entry : fs::directory_iterator(temporaryRoot))
        tempBefore.insert(entry.path().string());
    {
        Kist composer(false);
        ASSERT_TRUE(composer.login(""));
        std::vector<KistAddOutcome> outcomes;
        composer.addFiles({source + "/folder", source + "/single.txt"},
                          [&](const KistAddOutcome& outcome) { outcomes.push_back(outcome); });
        ASSERT_EQ(outcomes.size(), 2u);
        for (const KistAddOutcome& outcome : outcomes)
            EXPECT_EQ(outcome.state, KistAddOutcome::State::Added) << outcome.message;
        EXPECT_EQ(fingerprint(source), before);
        const std::string package = out + "/composed.kzip";
        composer.exportFiles(package, {"folder", "single.txt"}, "package pw");
        Kist reader(package);
        ASSERT_TRUE(reader.login("package pw"));
        reader.removeFile("folder", out);
        EXPECT_EQ(readFile(out + "/folder/sub/deep.bin"), patternBytes(70000));
    }
    EXPECT_EQ(fingerprint(source), before);
    std::set<std::string> tempAfter;
    for (const auto& entry : fs::directory_iterator(temporaryRoot))
        tempAfter.insert(entry.path().string());
    EXPECT_EQ(tempAfter, tempBefore);
}
