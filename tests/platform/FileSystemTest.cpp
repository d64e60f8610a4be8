#include "engine/ExceptionModule.h"
#include "engine/platform/FileSystem.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct Failure {
    std::string message;
    std::string cause;
};

// Runs action, which must throw ExceptionModule, and returns what it said.
Failure failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ExceptionModule& error) {
        return {error.getMessage(), error.getCause()};
    }
    ADD_FAILURE() << "no ExceptionModule was thrown";
    return {};
}

nocase_wstring w(const std::string& path)
{
    return toWide(path);
}

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous(umask(mask)) {}
    ~UmaskGuard() { umask(previous); }

private:
    mode_t previous;
};

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(CreateFolder, CreatesAcceptsExistingAndRefusesFiles)
{
    const UmaskGuard mask(022);
    const std::string root = testsupport::makeScratchFolder("create");

    createFolder(w(root + "/plain"));
    EXPECT_EQ(modeOf(root + "/plain"), 0755u);
    createFolder(w(root + "/plain")); // existing: accepted silently

    {
        // Even a umask that strips the owner's bits leaves a private folder usable.
        const UmaskGuard strict(0277);
        createFolder(w(root + "/private"), true);
    }
    EXPECT_EQ(modeOf(root + "/private"), 0700u);

    writeFile(root + "/file", "data");
    const Failure onFile = failureOf([&] { createFolder(w(root + "/file")); });
    EXPECT_EQ(onFile.message, "Failed to create " + root + "/file");
    EXPECT_EQ(onFile.cause, std::strerror(EEXIST));
    EXPECT_EQ(readFile(root + "/file"), "data");

    const Failure missingParent = failureOf([&] { createFolder(w(root + "/none/child")); });
    EXPECT_EQ(missingParent.message, "Failed to create " + root + "/none/child");
    EXPECT_EQ(missingParent.cause, std::strerror(ENOENT));
}

TEST(CreateFolder, CreatesEveryMissingLevel)
{
    const UmaskGuard mask(022);
    const std::string root = testsupport::makeScratchFolder("create-levels");
    createFolders(w(root + "/a/b/c/"), true);
    EXPECT_EQ(modeOf(root + "/a"), 0700u);
    EXPECT_EQ(modeOf(root + "/a/b/c"), 0700u);
    createFolders(w(root + "/a/b/c")); // all there already

    writeFile(root + "/blocker", "x");
    const Failure blocked = failureOf([&] { createFolders(w(root + "/blocker/sub")); });
    EXPECT_EQ(blocked.message, "Failed to create " + root + "/blocker/sub");
}

TEST(CopyPath, CopiesContentModeAndTimes)
{
    const std::string root = testsupport::makeScratchFolder("copy");
    const std::string bytes = testsupport::patternBytes(700 * 1024 + 17); // several buffers
    writeFile(root + "/source.bin", bytes);
    ASSERT_EQ(chmod((root + "/source.bin").c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root + "/source.bin").c_str(), times, 0), 0);

    copyPath(w(root + "/source.bin"), w(root + "/copy.bin"));
    EXPECT_EQ(testsupport::sha1OfFile(root + "/copy.bin"), testsupport::sha1OfFile(root + "/source.bin"));
    EXPECT_EQ(modeOf(root + "/copy.bin") & 0700, 0600u);
    struct stat info {};
    ASSERT_EQ(stat((root + "/copy.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1200000000);

    // Replacing an existing target; no hidden partial copy is left behind.
    writeFile(root + "/other.txt", "old");
    copyPath(w(root + "/source.bin"), w(root + "/other.txt"));
    EXPECT_EQ(readFile(root + "/other.txt"), bytes);
    EXPECT_EQ(namesIn(root), (std::vector<std::string>{"copy.bin", "other.txt", "source.bin"}));

    // An empty file and a name with an apostrophe.
    writeFile(root + "/John's empty", "");
    copyPath(w(root + "/John's empty"), w(root + "/John's copy"));
    EXPECT_EQ(readFile(root + "/John's copy"), "");
}

TEST(CopyPath, WithoutReplaceLeavesAnExistingTargetUntouched)
{
    const std::string root = testsupport::makeScratchFolder("copy-noreplace");
    writeFile(root + "/source", "new");
    writeFile(root + "/target", "precious");
    const Failure refused = failureOf([&] { copyPath(w(root + "/source"), w(root + "/target"), false); });
    EXPECT_EQ(refused.message, "Failed to copy: " + root + "/source");
    EXPECT_EQ(refused.cause, std::strerror(EEXIST));
    EXPECT_EQ(readFile(root + "/target"), "precious");

    copyPath(w(root + "/source"), w(root + "/fresh"), false);
    EXPECT_EQ(readFile(root + "/fresh"), "new");
}

TEST(CopyPath, FailuresKeepTheOldTargetAndLeaveNothingBehind)
{
    const std::string root = testsupport::makeScratchFolder("copy-fail");
    writeFile(root + "/target", "precious");
    const Failure missing = failureOf([&] { copyPath(w(root + "/missing"), w(root + "/target")); });
    EXPECT_EQ(missing.message, "Failed to copy: " + root + "/missing");
    EXPECT_EQ(missing.cause, std::strerror(ENOENT));
    EXPECT_EQ(readFile(root + "/target"), "precious");

    fs::create_directory(root + "/folder");
    const Failure folder = failureOf([&] { copyPath(w(root + "/folder"), w(root + "/target")); });
    EXPECT_EQ(folder.cause, std::strerror(EISDIR));
    EXPECT_EQ(readFile(root + "/target"), "precious");

    // A FIFO is refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);
    const Failure pipe = failureOf([&] { copyPath(w(root + "/pipe"), w(root + "/piped")); });
    EXPECT_EQ(pipe.message, "Failed to copy: " + root + "/pipe");
    EXPECT_EQ(namesIn(root), (std::vector<std::string>{"folder", "pipe", "target"}));
}

TEST(CopyPath, SamePathOrSameFileIsLeftAlone)
{
    const std::string root = testsupport::makeScratchFolder("copy-same");
    writeFile(root + "/data.txt", "keep me");
    copyPath(w(root + "/data.txt"), w(root + "/./data.txt"));
    EXPECT_EQ(readFile(root + "/data.txt"), "keep me");

    // The same file reached through a linked folder must not be truncated.
    fs::create_directory_symlink(root, root + "/alias");
    copyPath(w(root + "/data.txt"), w(root + "/alias/data.txt"));
    EXPECT_EQ(readFile(root + "/data.txt"), "keep me");

    // Names that differ only in case are different files on Linux.
    copyPath(w(root + "/data.txt"), w(root + "/DATA.txt"));
    EXPECT_EQ(readFile(root + "/DATA.txt"), "keep me");
}

TEST(CopyAndMove, ParentIntoChildIsJudgedByWholeComponents)
{
    const std::string root = testsupport::makeScratchFolder("parent-child");
    writeFile(root + "/data", "file named data");
    fs::create_directory(root + "/data2");

    const Failure copyInto = failureOf([&] { copyPath(w(root + "/data"), w(root + "/data/sub/x")); });
    EXPECT_EQ(copyInto.message, "You cannot copy a parent folder into its child: " + root + "/data");
    EXPECT_EQ(copyInto.cause, "");
    copyPath(w(root + "/data"), w(root + "/data2/x"));
    EXPECT_EQ(readFile(root + "/data2/x"), "file named data");

    fs::create_directories(root + "/tree/sub");
    writeFile(root + "/tree/sub/f", "f");
    const Failure moveInto = failureOf([&] { movePath(w(root + "/tree"), w(root + "/tree/sub/inner")); });
    EXPECT_EQ(moveInto.message, "You cannot move a parent folder into its child: " + root + "/tree");
    EXPECT_EQ(moveInto.cause, "");
    EXPECT_EQ(readFile(root + "/tree/sub/f"), "f");

    // Same path after lexical cleaning: nothing happens.
    movePath(w(root + "/tree"), w(root + "/tree/"));
    movePath(w(root + "/tree"), w(root + "/tree2"));
    EXPECT_EQ(readFile(root + "/tree2/sub/f"), "f");
}

TEST(MovePath, RenamesReplacesAndRefuses)
{
    const std::string root = testsupport::makeScratchFolder("move");
    writeFile(root + "/a", "A");
    movePath(w(root + "/a"), w(root + "/b"));
    EXPECT_FALSE(testsupport::exists(root + "/a"));
    EXPECT_EQ(readFile(root + "/b"), "A");

    writeFile(root + "/c", "C");
    movePath(w(root + "/c"), w(root + "/b"));
    EXPECT_EQ(readFile(root + "/b"), "C");

    writeFile(root + "/d", "D");
    const Failure refused = failureOf([&] { movePath(w(root + "/d"), w(root + "/b"), false); });
    EXPECT_EQ(refused.message, "Failed to move: " + root + "/d");
    EXPECT_EQ(refused.cause, std::strerror(EEXIST));
    EXPECT_EQ(readFile(root + "/b"), "C");
    EXPECT_EQ(readFile(root + "/d"), "D");

    const Failure missing = failureOf([&] { movePath(w(root + "/missing"), w(root + "/e")); });
    EXPECT_EQ(missing.message, "Failed to move: " + root + "/missing");
    EXPECT_EQ(missing.cause, std::strerror(ENOENT));

    fs::create_directories(root + "/folder/inner");
    writeFile(root + "/folder/inner/x", "x");
    movePath(w(root + "/folder"), w(root + "/moved"), false);
    EXPECT_EQ(readFile(root + "/moved/inner/x"), "x");
}

namespace {

// A folder on another file system than the scratch folder, or "" when there is none.
std::string otherFileSystemFolder()
{
    struct stat scratch {};
    struct stat shm {};
    if (stat(testsupport::scratchRoot().c_str(), &scratch) != 0 || stat("/dev/shm", &shm) != 0
        || scratch.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0)
        return {};
    char pattern[] = "/dev/shm/kist-platform-XXXXXX";
    if (!mkdtemp(pattern))
        return {};
    return pattern;
}

class CrossDeviceMove : public ::testing::Test {
protected:
    void SetUp() override
    {
        other = otherFileSystemFolder();
        if (other.empty())
            GTEST_SKIP() << "no second file system to move across";
        local = testsupport::makeScratchFolder("cross");
    }
    void TearDown() override
    {
        if (other.empty())
            return;
        try {
            deletePath(w(other));
        } catch (const ExceptionModule& error) {
            ADD_FAILURE() << error.getMessage() << ": " << error.getCause();
            std::error_code ignored;
            fs::remove_all(other, ignored);
        }
    }
    std::string other;
    std::string local;
};

} // namespace

TEST_F(CrossDeviceMove, MovesATreeWithModesLinksAndTimes)
{
    const std::string source = other + "/tree";
    fs::create_directories(source + "/sub/deeper");
    writeFile(source + "/top.txt", "top");
    writeFile(source + "/sub/deeper/big.bin", testsupport::patternBytes(300000));
    writeFile(source + "/sub/readonly.txt", "ro");
    ASSERT_EQ(chmod((source + "/sub/readonly.txt").c_str(), 0444), 0);
    fs::create_symlink("../top.txt", source + "/sub/link");
    ASSERT_EQ(chmod((source + "/sub/deeper").c_str(), 0555), 0);
    const struct timespec times[2] = {{1100000000, 0}, {1100000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (source + "/top.txt").c_str(), times, 0), 0);
    const auto before = testsupport::snapshotTree(source);

    movePath(w(source), w(local + "/tree"));

    EXPECT_FALSE(testsupport::exists(source));
    EXPECT_EQ(testsupport::snapshotTree(local + "/tree"), before);
    EXPECT_EQ(modeOf(local + "/tree/sub/readonly.txt"), 0444u);
    EXPECT_EQ(modeOf(local + "/tree/sub/deeper"), 0555u);
    EXPECT_EQ(fs::read_symlink(local + "/tree/sub/link"), "../top.txt");
    struct stat info {};
    ASSERT_EQ(stat((local + "/tree/top.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(namesIn(local), std::vector<std::string>{"tree"});
}

TEST_F(CrossDeviceMove, MovesAFileAndHonoursReplace)
{
    writeFile(other + "/one", "one");
    writeFile(local + "/target", "old");
    movePath(w(other + "/one"), w(local + "/target"));
    EXPECT_EQ(readFile(local + "/target"), "one");
    EXPECT_FALSE(testsupport::exists(other + "/one"));

    writeFile(other + "/two", "two");
    const Failure refused = failureOf([&] { movePath(w(other + "/two"), w(local + "/target"), false); });
    EXPECT_EQ(refused.message, "Failed to move: " + other + "/two");
    EXPECT_EQ(readFile(local + "/target"), "one");
    EXPECT_EQ(readFile(other + "/two"), "two");
    EXPECT_EQ(namesIn(local), std::vector<std::string>{"target"});
}

TEST_F(CrossDeviceMove, AFailedCopyRemovesOnlyWhatItCreated)
{
    // A FIFO cannot be carried across: the move fails half-way through the tree.
    const std::string source = other + "/tree";
    fs::create_directories(source + "/a");
    writeFile(source + "/a/file", "content");
    ASSERT_EQ(mkfifo((source + "/z-pipe").c_str(), 0600), 0);
    const auto before = testsupport::snapshotTree(source);
    writeFile(local + "/unrelated", "stays");

    const Failure failed = failureOf([&] { movePath(w(source), w(local + "/tree")); });
    EXPECT_EQ(failed.message, "Failed to move: " + source);
    EXPECT_EQ(testsupport::snapshotTree(source), before);
    EXPECT_TRUE(testsupport::exists(source + "/z-pipe"));
    EXPECT_EQ(namesIn(local), std::vector<std::string>{"unrelated"});

    // A non-empty folder in the way: the source stays, the folder in the way too.
    fs::remove(source + "/z-pipe");
    fs::create_directories(local + "/tree");
    writeFile(local + "/tree/mine", "mine");
    EXPECT_EQ(failureOf([&] { movePath(w(source), w(local + "/tree")); }).message, "Failed to move: " + source);
    EXPECT_EQ(readFile(source + "/a/file"), "content");
    EXPECT_EQ(namesIn(local + "/tree"), std::vector<std::string>{"mine"});
    EXPECT_EQ(namesIn(local), (std::vector<std::string>{"tree", "unrelated"}));
}

TEST(DeletePath, RemovesReadOnlyTreesButNeverFollowsLinks)
{
    const std::string root = testsupport::makeScratchFolder("delete");
    const std::string outside = root + "/outside";
    fs::create_directories(outside);
    writeFile(outside + "/keep.txt", "keep");
    ASSERT_EQ(chmod(outside.c_str(), 0555), 0);

    const std::string tree = root + "/tree";
    fs::create_directories(tree + "/locked/inner");
    writeFile(tree + "/locked/inner/ro.txt", "ro");
    writeFile(tree + "/ro.txt", "ro");
    ASSERT_EQ(chmod((tree + "/ro.txt").c_str(), 0444), 0);
    ASSERT_EQ(chmod((tree + "/locked/inner/ro.txt").c_str(), 0400), 0);
    fs::create_directory_symlink(outside, tree + "/link-to-outside");
    fs::create_symlink(root + "/nowhere", tree + "/dangling");
    ASSERT_EQ(chmod((tree + "/locked/inner").c_str(), 0500), 0);
    ASSERT_EQ(chmod((tree + "/locked").c_str(), 0000), 0);

    deletePath(w(tree));
    EXPECT_FALSE(testsupport::exists(tree));
    EXPECT_EQ(readFile(outside + "/keep.txt"), "keep");
    // Making folders writable stopped at the link: the outside folder keeps its mode.
    EXPECT_EQ(modeOf(outside), 0555u);

    // A link given directly is removed as a link, with or without a trailing slash.
    fs::create_directory_symlink(outside, root + "/direct-link");
    deletePath(w(root + "/direct-link"));
    EXPECT_FALSE(testsupport::exists(root + "/direct-link"));
    fs::create_directory_symlink(outside, root + "/slash-link");
    deletePath(w(root + "/slash-link/"));
    EXPECT_FALSE(testsupport::exists(root + "/slash-link"));
    fs::create_directory_symlink(outside, root + "/dot-link");
    EXPECT_EQ(failureOf([&] { deletePath(w(root + "/dot-link/.")); }).message,
              "Failed to delete: " + root + "/dot-link/.");
    EXPECT_EQ(readFile(outside + "/keep.txt"), "keep");

    // Missing paths are quietly nothing.
    deletePath(w(root + "/missing"));
    deletePath(w(root + "/outside/keep.txt/below"));

    writeFile(root + "/single", "x");
    deletePath(w(root + "/single"));
    EXPECT_FALSE(testsupport::exists(root + "/single"));
}

TEST(DeleteFile, ReportsSuccessWithoutThrowing)
{
    const std::string root = testsupport::makeScratchFolder("delete-file");
    writeFile(root + "/f", "x");
    EXPECT_TRUE(deleteFile(w(root + "/f")));
    EXPECT_FALSE(testsupport::exists(root + "/f"));
    EXPECT_FALSE(deleteFile(w(root + "/f")));
    fs::create_directory(root + "/d");
    EXPECT_FALSE(deleteFile(w(root + "/d")));
    EXPECT_TRUE(testsupport::exists(root + "/d"));
}

TEST(PathInfo, ReportsTypesSizesAndVolume)
{
    const std::string root = testsupport::makeScratchFolder("info");
    writeFile(root + "/file", std::string(1234, 'x'));
    fs::create_directory(root + "/folder");
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    fs::create_symlink(root + "/folder", root + "/link");
    fs::create_symlink(root + "/nowhere", root + "/dangling");

    struct stat raw {};
    ASSERT_EQ(stat(root.c_str(), &raw), 0);

    const PathInfo file = pathInfo(w(root + "/file"));
    EXPECT_FALSE(file.isFolder);
    EXPECT_EQ(file.type, PathType::File);
    EXPECT_EQ(file.size, 1234u);
    EXPECT_EQ(file.volume, static_cast<uint32_t>(raw.st_dev));

    const PathInfo folder = pathInfo(w(root + "/folder"));
    EXPECT_TRUE(folder.isFolder);
    EXPECT_EQ(folder.type, PathType::Folder);
    EXPECT_EQ(folder.size, 0u);

    EXPECT_EQ(pathInfo(w(root + "/fifo")).type, PathType::Other);
    const PathInfo link = pathInfo(w(root + "/link"));
    EXPECT_EQ(link.type, PathType::Symlink);
    EXPECT_FALSE(link.isFolder);
    EXPECT_EQ(pathInfo(w(root + "/dangling")).type, PathType::Symlink);

    const Failure missing = failureOf([&] { (void)pathInfo(w(root + "/missing")); });
    EXPECT_EQ(missing.message, "Cannot find the file: " + root + "/missing");
    EXPECT_EQ(missing.cause, std::strerror(ENOENT));
}

TEST(PathInfo, TellsSizesOfFourGibibytesAndMore)
{
    const std::string root = testsupport::makeScratchFolder("info-large");
    // Sparse files: no disk space is used. Whether a size fits a record is
    // the vault format's question (a standard vault refuses 4 GiB).
    writeFile(root + "/largest-small", "");
    fs::resize_file(root + "/largest-small", 0xFFFFFFFFull);
    EXPECT_EQ(pathInfo(w(root + "/largest-small")).size, 0xFFFFFFFFu);

    writeFile(root + "/five-gib", "");
    fs::resize_file(root + "/five-gib", 0x140000000ull);
    EXPECT_EQ(pathInfo(w(root + "/five-gib")).size, 0x140000000ull);
}

TEST(PathExists, SeesDanglingLinksButNotMissingPaths)
{
    const std::string root = testsupport::makeScratchFolder("exists");
    fs::create_symlink(root + "/nowhere", root + "/dangling");
    EXPECT_TRUE(pathExists(w(root)));
    EXPECT_TRUE(pathExists(w(root + "/dangling")));
    EXPECT_FALSE(pathExists(w(root + "/nowhere")));
    EXPECT_FALSE(pathExists(w(root + "/DANGLING"))); // exact names
}

TEST(ListFolder, AppendsEveryNameExceptDots)
{
    const std::string root = testsupport::makeScratchFolder("list");
    fs::create_directory(root + "/empty");
    std::vector<nocase_wstring> names;
    listFolder(w(root + "/empty"), names);
    EXPECT_TRUE(names.empty());

    writeFile(root + "/full/.hidden", "");
    writeFile(root + "/full/visible", "");
    fs::create_directory(root + "/full/sub");
    writeFile(root + "/full/sub/not-listed", "");
    const std::string oddName("caf\xe9 \xff", 6); // not UTF-8
    writeFile(root + "/full/" + oddName, "");

    names = {L"already"};
    listFolder(w(root + "/full"), names);
    std::vector<std::string> narrow;
    for (const auto& name : names)
        narrow.push_back(toNarrow(name));
    std::sort(narrow.begin(), narrow.end());
    EXPECT_EQ(narrow, (std::vector<std::string>{".hidden", "already", oddName, "sub", "visible"}));

    names.clear();
    const Failure missing = failureOf([&] { listFolder(w(root + "/missing"), names); });
    EXPECT_EQ(missing.message, "Cannot read files in the folder:" + root + "/missing");
    EXPECT_EQ(missing.cause, std::strerror(ENOENT));
    EXPECT_TRUE(names.empty());
}

TEST(ClearAttributes, MakesOwnerWritableAndLeavesLinkTargetsAlone)
{
    const std::string root = testsupport::makeScratchFolder("attributes");
    writeFile(root + "/ro", "x");
    ASSERT_EQ(chmod((root + "/ro").c_str(), 0444), 0);
    EXPECT_TRUE(clearAttributes(w(root + "/ro")));
    EXPECT_EQ(modeOf(root + "/ro"), 0644u);

    writeFile(root + "/target", "x");
    ASSERT_EQ(chmod((root + "/target").c_str(), 0400), 0);
    fs::create_symlink(root + "/target", root + "/link");
    EXPECT_TRUE(clearAttributes(w(root + "/link")));
    EXPECT_EQ(modeOf(root + "/target"), 0400u);

    EXPECT_FALSE(clearAttributes(w(root + "/missing")));
}

TEST(Flush, FlushesFilesFoldersAndFileSystems)
{
    const std::string root = testsupport::makeScratchFolder("flush");
    writeFile(root + "/f", "data");
    flushFile(w(root + "/f"));
    flushFile(w(root));
    flushFileSystem(w(root + "/f"));
    const Failure missing = failureOf([&] { flushFile(w(root + "/missing")); });
    EXPECT_EQ(missing.message, "Failed to write to the disk: " + root + "/missing");
    EXPECT_EQ(missing.cause, std::strerror(ENOENT));
    EXPECT_EQ(failureOf([&] { flushFileSystem(w(root + "/missing")); }).cause, std::strerror(ENOENT));
}

namespace {

// 8-4-4-4-12 lower-case hex digits of a random (version 4, RFC 4122 variant) GUID.
bool isRandomGuidText(const std::string& id)
{
    if (id.size() != 36)
        return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool isDashPlace = i == 8 || i == 13 || i == 18 || i == 23;
        if (isDashPlace != (c == '-'))
            return false;
        if (!isDashPlace && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return id[14] == '4' && std::string("89ab").find(id[19]) != std::string::npos;
}

} // namespace

TEST(UniqueId, IsALowerCaseGuidTextAndNeverRepeats)
{
    EXPECT_TRUE(isRandomGuidText("0f8fad5b-d9cb-469f-a165-70867728950e"));
    EXPECT_FALSE(isRandomGuidText("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_FALSE(isRandomGuidText("{0f8fad5b-d9cb-469f-a165-70867728950e}"));
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string id = toNarrow(uniqueId());
        ASSERT_TRUE(isRandomGuidText(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

// A copy across reports its bytes, and one stopped from the report leaves
// no partial copy behind.
TEST_F(CrossDeviceMove, LinkOrCopyReportsTheCopyAndCanBeStopped)
{
    const std::string body = testsupport::patternBytes(1300001);
    writeFile(other + "/unpacked", body);
    std::vector<uint64_t> reports;
    linkOrCopyFile(w(other + "/unpacked"), w(local + "/copied"), [&](uint64_t copied) { reports.push_back(copied); });
    EXPECT_EQ(readFile(local + "/copied"), body);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back(), body.size());

    const Failure stopped = failureOf([&] {
        linkOrCopyFile(w(other + "/unpacked"), w(local + "/stopped"), [](uint64_t) {
            throw ExceptionModule(L"stopped", L"");
        });
    });
    EXPECT_EQ(stopped.message, "stopped");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(local))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"copied"});
}

TEST_F(CrossDeviceMove, LinkOrCopyLinksWhereItCanAndCopiesAcross)
{
    const auto linkCount = [](const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? info.st_nlink : 0;
    };
    const std::string body = testsupport::patternBytes(70001);
    writeFile(local + "/unpacked", body);
    ASSERT_EQ(chmod((local + "/unpacked").c_str(), 0600), 0);
    linkOrCopyFile(w(local + "/unpacked"), w(local + "/vault-body"));
    EXPECT_EQ(linkCount(local + "/vault-body"), 2u);
    // The first name goes with its reader; the second keeps the data.
    ASSERT_EQ(unlink((local + "/unpacked").c_str()), 0);
    EXPECT_EQ(readFile(local + "/vault-body"), body);

    writeFile(other + "/unpacked", body);
    linkOrCopyFile(w(other + "/unpacked"), w(local + "/copied-body"));
    EXPECT_EQ(linkCount(local + "/copied-body"), 1u);
    EXPECT_EQ(readFile(local + "/copied-body"), body);

    // A name that is taken is never replaced.
    const Failure taken = failureOf([&] { linkOrCopyFile(w(other + "/unpacked"), w(local + "/vault-body")); });
    EXPECT_EQ(taken.message, "Failed to copy: " + other + "/unpacked");
    writeFile(local + "/again", "other");
    const Failure linkedOver = failureOf([&] { linkOrCopyFile(w(local + "/again"), w(local + "/vault-body")); });
    EXPECT_EQ(linkedOver.message, "Failed to copy: " + local + "/again");
    EXPECT_EQ(linkedOver.cause, std::strerror(EEXIST));
    EXPECT_EQ(readFile(local + "/vault-body"), body);
}
