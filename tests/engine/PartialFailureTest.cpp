// Partial failures lose nothing: a file that cannot be encrypted puts the
// tree back, a corrupt body does not keep the rest in the vault, a plain
// source that cannot be deleted keeps its record pending, and recovery
// trusts only what its own move created.

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
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

const std::string kPassword = "partial";
const std::string kOne = patternBytes(1990);
const std::string kTwo = patternBytes(4001);

using Files = std::vector<std::pair<std::string, std::string>>;

std::string makeAlbum(const std::string& folder, const std::string& one = kOne, const std::string& two = kTwo)
{
    writeFile(folder + "/album/one.txt", one);
    writeFile(folder + "/album/deep/two.bin", two);
    return folder + "/album";
}

// The file in the vault folder holding exactly bytes (a plain copy).
std::string vaultFileHolding(const std::string& bytes)
{
    for (const auto& [path, content] : tree(vaultFolder()))
        if (content == bytes)
            return vaultFolder() + "/" + path;
    return {};
}

// Turns the file at path into a folder (holding its bytes), which neither
// reads nor unlinks as a file, even for root.
void turnIntoFolder(const std::string& path)
{
    const std::string bytes = readFile(path);
    fs::remove(path);
    writeFile(path + "/kept", bytes);
}

std::string stopStep;
std::function<void()> atStep;

void runAtStep(const char* step)
{
    if (step == stopStep && atStep) {
        auto action = std::move(atStep);
        atStep = nullptr;
        action();
    }
}

} // namespace

class PartialFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        stepboundary::setHook(runAtStep);
    }
    void TearDown() override
    {
        stepboundary::setHook(nullptr);
        atStep = nullptr;
    }
};

// Also when the plain copies of files already encrypted were deleted while
// the others were being encrypted: those come back out of their bodies.
TEST_F(PartialFailure, AFileThatCannotBeEncryptedPutsTheTreeBack)
{
    for (const uint64_t earlyDeleteBytes : {Transforms::earlyDeleteBytes, uint64_t{1}}) {
        SCOPED_TRACE("early deletion after " + std::to_string(earlyDeleteBytes) + " bytes");
        resetProfile();
        const uint64_t usual = std::exchange(Transforms::earlyDeleteBytes, earlyDeleteBytes);
        auto kist = openVault(kPassword);
        const std::string album = makeAlbum(makeScratchFolder("source"));
        stopStep = "encryption planned";
        atStep = [] { turnIntoFolder(vaultFileHolding(kTwo)); };
        KistFile added;
        const std::string error = errorOf([&] { kist->addFile(album, &added, false); });
        Transforms::earlyDeleteBytes = usual;
        EXPECT_NE(error.find("Nothing was added"), std::string::npos) << error;
        EXPECT_EQ(readFile(album + "/one.txt"), kOne);
        EXPECT_EQ(readFile(album + "/deep/two.bin/kept"), kTwo);
        EXPECT_TRUE(list(*kist).empty());
        EXPECT_FALSE(vaultHoldsPlainCopy({kOne, kTwo}));
        EXPECT_EQ(checkFindings(*kist), "");
    }
}

TEST_F(PartialFailure, ACorruptBodyLetsEverythingElseOut)
{
    auto kist = openVault(kPassword);
    KistFile added;
    kist->addFile(makeAlbum(makeScratchFolder("source")), &added, false);
    // two.bin has the largest body: cut it short.
    std::string largest;
    for (const auto& [path, content] : tree(vaultFolder()))
        if (path.find('/') != std::string::npos && (largest.empty() || content.size() > fs::file_size(largest)))
            largest = vaultFolder() + "/" + path;
    fs::resize_file(largest, 16);

    const std::string out = makeScratchFolder("out");
    const std::string error = errorOf([&] { kist->removeFile("album", out); });
    EXPECT_NE(error.find("two.bin"), std::string::npos) << error;
    EXPECT_EQ(tree(out), (Files{{"album/one.txt", kOne}}));
    EXPECT_EQ(list(*kist).size(), 1u);
    EXPECT_EQ(checkFindings(*kist), "the body does not decrypt to its recorded size: album/deep/two.bin\n");
}

TEST_F(PartialFailure, APlainSourceThatCannotBeDeletedIsReportedAndNothingStaysPlain)
{
    auto kist = openVault(kPassword);
    const std::string album = makeAlbum(makeScratchFolder("source"));
    stopStep = "file transformed";
    atStep = [] { turnIntoFolder(vaultFileHolding(kOne)); };
    KistFile added;
    const std::string error = errorOf([&] { kist->addFile(album, &added, false); });
    EXPECT_NE(error.find("Cannot delete"), std::string::npos) << error;
    EXPECT_FALSE(vaultHoldsPlainCopy({kOne, kTwo}));
    EXPECT_EQ(readFile(album + "/deep/two.bin"), kTwo);
    EXPECT_EQ(readFile(album + "/one.txt/kept"), kOne);
    EXPECT_EQ(checkFindings(*kist), "");
}

TEST_F(PartialFailure, RecoveryKeepsWhatItsOwnMoveDidNotCreate)
{
    {
        auto kist = openVault(kPassword);
        KistFile added;
        kist->addFile(makeAlbum(makeScratchFolder("first")), &added, false);
        kist->addFile(makeAlbum(makeScratchFolder("second"), patternBytes(1989) + "x", kTwo), &added, false);
    }
    const std::string out = makeScratchFolder("out");
    // A take-out of "album" dies once its move is planned.
    const pid_t child = fork();
    if (child == 0) {
        stopStep = "move planned";
        atStep = [] { _exit(42); };
        openVault(kPassword)->removeFile("album", out);
        _exit(43);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42);
    // A partial copy as a move across file systems leaves it.
    const std::string partial = out + "/.kist-0f8fad5b-d9cb-469f-a165-70867728950e.part";
    writeFile(partial, kOne);

    // The other album (same inner names and sizes, one file of other bytes)
    // comes out under the name the first one's move had planned.
    auto kist = openVault(kPassword);
    kist->removeFile("album (2)", out);
    EXPECT_EQ(kist->lastTakeOutPath(), out + "/album");
    // Recovery finishes the first take-out into it: a file of the same bytes
    // is its finished copy, one of other bytes is kept and the file comes
    // out beside it.
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(tree(out), (Files{{"album/deep/two.bin", kTwo},
                                {"album/one (2).txt", kOne},
                                {"album/one.txt", patternBytes(1989) + "x"}}));
    EXPECT_EQ(checkFindings(*kist), "");
}

TEST_F(PartialFailure, RowsThatCannotBeReadLeaveTheEntryOutAndSaySo)
{
    {
        auto kist = openVault(kPassword);
        KistFile added;
        kist->addFile(makeAlbum(makeScratchFolder("source")), &added, false);
    }
    // The sub-folder takes the identity of the entry: its rows form a loop.
    sqlcipher(vaultDatabasePath(), "update ProtectedFiles set unique_name = (select unique_name from ProtectedFiles "
                                   "where parent = '') where display_name = 'deep';");
    auto kist = openVault(kPassword);
    EXPECT_TRUE(list(*kist).empty());
    EXPECT_EQ(kist->unreadableEntries(), std::vector<std::string>{"album"});
    const std::string findings = checkFindings(*kist);
    EXPECT_NE(findings.find("the rows of this entry cannot be read: album\n"), std::string::npos) << findings;
    EXPECT_NE(findings.find("two rows share the identity"), std::string::npos) << findings;
}
