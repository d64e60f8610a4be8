// Hardening stopped at every step boundary (the child process dies there),
// and cancelled: the next opening finds either the old vault or the
// hardened one, whole, and no trace of the change in between.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/HardenedVault.h"
#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "harden me";

using Files = std::vector<std::pair<std::string, std::string>>;

// Two top-level entries, one a folder with files at two depths.
Files fillVault()
{
    auto kist = openVault(kPassword);
    const std::string source = makeScratchFolder("harden-source");
    writeFile(source + "/notes.txt", patternBytes(100001));
    writeFile(source + "/album/a.bin", patternBytes(70000));
    writeFile(source + "/album/deep/b.txt", "b");
    for (const char* name : {"notes.txt", "album"}) {
        KistFile added;
        kist->addFile(source + "/" + name, &added, false);
    }
    return {{"album/a.bin", patternBytes(70000)}, {"album/deep/b.txt", "b"}, {"notes.txt", patternBytes(100001)}};
}

// The vault as the next program finds it: whole, in one format or the other.
std::string expectWholeVault(const Files& originals)
{
    Kist kist(true);
    const std::string format = kist.vaultInfo().format;
    EXPECT_TRUE(kist.login(kPassword));
    EXPECT_EQ(checkFindings(kist), "");
    EXPECT_FALSE(fs::exists(vaultFolder() + "/.hardening")) << "the change was neither finished nor undone";
    const std::string out = makeScratchFolder("harden-out");
    for (const Entry& entry : list(kist))
        kist.removeFile(entry.name, out);
    EXPECT_EQ(tree(out), originals);
    std::size_t left = 0;
    for (const auto& entry : fs::directory_iterator(vaultFolder())) {
        const std::string name = entry.path().filename().string();
        if (name != kDatabaseName && name != ".lock" && name != "vault.header")
            ++left;
    }
    EXPECT_EQ(left, 0u) << "bodies of the other format were left behind";
    return format;
}

class StopOnFirstProgress : public KistProgress {
public:
    void progress(const KistProgressState&) override {}
    bool stopRequested() override { return true; }
};

class HardeningCrash : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        HardenedVault::fixedParameters = Argon2Parameters{1, kLeastArgon2MemoryKiB, 1};
    }
    void TearDown() override { HardenedVault::fixedParameters.reset(); }
};

} // namespace

TEST_F(HardeningCrash, AKillAtAnyStepLeavesTheOldVaultOrTheNewOneWhole)
{
    bool sawOld = false;
    bool sawNew = false;
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("stopped at boundary " + std::to_string(stopAt));
        resetProfile();
        const Files originals = fillVault();
        const int outcome = runInterrupted(
            [&] {
                Kist kist(true);
                if (!kist.login(kPassword))
                    _exit(kFailedInChild);
                (void)kist.harden(kPassword);
            },
            stopAt);
        ASSERT_TRUE(outcome == kStoppedAtBoundary || outcome == kRanToTheEnd) << outcome;
        const std::string format = expectWholeVault(originals);
        sawOld = sawOld || format == "standard";
        sawNew = sawNew || format == "hardened";
        if (outcome == kRanToTheEnd)
            break;
        ASSERT_LT(stopAt, 60);
    }
    EXPECT_TRUE(sawOld && sawNew) << "the kills fell on both sides of the switch";
}

TEST_F(HardeningCrash, CancellingLeavesTheOldVaultAsItWas)
{
    const Files originals = fillVault();
    const auto before = tree(vaultFolder());
    {
        Kist kist(true);
        ASSERT_TRUE(kist.login(kPassword));
        StopOnFirstProgress stop;
        kist.setProgressObserver(&stop);
        EXPECT_EQ(errorOf([&] { (void)kist.harden(kPassword); }), "The operation was cancelled; every entry is whole.");
        kist.setProgressObserver(nullptr);
        EXPECT_EQ(kist.vaultInfo().format, "standard");
        EXPECT_EQ(list(kist).size(), 2u);
    }
    EXPECT_EQ(tree(vaultFolder()), before);
    EXPECT_EQ(expectWholeVault(originals), "standard");
}
