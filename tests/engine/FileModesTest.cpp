// What the engine writes in its private folders is the user's alone; what it
// gives back to the user gets the modes any new file of theirs would get. The
// umask that decides this is only ever read: another thread of the desktop
// program may be creating a file at that very moment.

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

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
