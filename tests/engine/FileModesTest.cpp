// What the engine writes in its private folders is the user's alone; what it
// gives back to the user gets the modes any new file of theirs would get. The
// umask that decides this is only ever read: another thread of the desktop
// program may be creating a file at that very moment.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UmaskWatch.h"

using namespace enginetest;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// The file system's attribute flags of a folder; nothing where it keeps none.
std::optional<int> attributesOf(const std::string& folder, std::optional<int> setTo = std::nullopt)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool kept = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (kept && setTo) {
        flags = *setTo;
        kept = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0)
        ::close(fd);
    return kept ? std::optional<int>(flags) : std::nullopt;
}

} // namespace

TEST(FileModes, PrivateInsideOrdinaryOutsideAndTheUmaskNeverChanged)
{
    resetProfile();
    const testsupport::ScopedUmask mask(027);
    const int callsBefore = testsupport::umaskCalls();

    const std::string source = testsupport::makeScratchFolder("modes");
    testsupport::writeFile(source + "/album/one.jpg", testsupport::patternBytes(5000));
    testsupport::writeFile(source + "/letter.txt", "letter");
    {
        auto vault = openVault("pw");
        KistFile added;
        vault->addFile(source + "/album", &added, false);
        vault->addFile(source + "/letter.txt", &added, false);

        EXPECT_EQ(modeOf(vaultFolder()), 0700u);
        for (const auto& entry : fs::recursive_directory_iterator(vaultFolder())) {
            const std::string path = entry.path().string();
            if (entry.is_directory()) {
                EXPECT_EQ(modeOf(path), 0700u) << path;
            } else {
                EXPECT_EQ(modeOf(path), 0600u) << path;
            }
        }

        vault->exportFiles(source + "/out.kzip", {"album"}, "pkg pw");
        const std::string out = testsupport::makeScratchFolder("modes-out");
        vault->removeFile("album", out);
        vault->removeFile("letter.txt", out);
        EXPECT_EQ(modeOf(out + "/album"), 0750u);
        EXPECT_EQ(modeOf(out + "/album/one.jpg"), 0640u);
        EXPECT_EQ(modeOf(out + "/letter.txt"), 0640u);
    }
    EXPECT_EQ(testsupport::umaskCalls(), callsBefore);
}

TEST(FileModes, TheVaultFolderHasTheFoldersMadeInItPlacedWhereTheDiskHasRoom)
{
    resetProfile();
    const std::string probe = testsupport::makeScratchFolder("placement");
    const auto probed = attributesOf(probe);
    if (!probed || !attributesOf(probe, *probed | FS_TOPDIR_FL))
        GTEST_SKIP() << "this file system does not place folders on request";

    (void)openVault("pw");
    const auto flags = attributesOf(vaultFolder());
    ASSERT_TRUE(flags.has_value());
    EXPECT_NE(*flags & FS_TOPDIR_FL, 0);
}
