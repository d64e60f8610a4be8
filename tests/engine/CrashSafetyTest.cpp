// Stops a child process at every step boundary of adding and taking out,
// then proves that the next opening of the vault recovers every file whole.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/crypto/BlockPipeline.h"
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

const std::string kPassword = "crash test";

using Files = std::map<std::string, std::string>; // relative path -> bytes

Files makeFolder(const std::string& root)
{
    Files files{
        {"album/one.txt", patternBytes(1990)},
        {"album/two.bin", patternBytes(4001)},
        {"album/deep/three.dat", patternBytes(2000)},
        {"album/deep/deeper/four's.txt", patternBytes(15)},
        {"album/deep/deeper/five.txt", "five"},
    };
    for (const auto& [path, bytes] : files)
        writeFile(root + "/" + path, bytes);
    fs::create_directories(root + "/album/empty");
    return files;
}

Files underFolder(const std::string& root)
{
    Files files;
    if (!fs::exists(root))
        return files;
    for (const auto& [path, bytes] : testsupport::snapshotTree(root))
        files[path] = bytes;
    return files;
}

// Paths with a short fingerprint of their bytes, so a failure reads well.
std::map<std::string, std::string> fingerprints(const Files& files)
{
    std::map<std::string, std::string> prints;
    for (const auto& [path, bytes] : files)
        prints[path] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
    return prints;
}

std::vector<std::string> contentsOf(const Files& files)
{
    std::vector<std::string> contents;
    for (const auto& [path, bytes] : files)
        contents.push_back(bytes);
    return contents;
}

// After the interruption: list (which recovers), then take whatever the vault
// holds out and return it. No plain copy may remain in the vault folder.
Files recoverAndTakeOut(const Files& originals)
{
    auto kist = openVault(kPassword);
    const auto entries = list(*kist);
    EXPECT_FALSE(vaultHoldsPlainCopy(contentsOf(originals))) << "a plain copy was left in the vault";
    const std::string out = makeScratchFolder("recovered");
    for (const Entry& entry : entries)
        kist->removeFile(entry.name, out);
    EXPECT_TRUE(list(*kist).empty());
    return underFolder(out);
}

// Each file is either in folder or comes out of the vault (after recovery),
// never both, and every byte is as it was.
void expectEachFileOnceAndWhole(const Files& originals, const std::string& folder)
{
    const Files fromVault = recoverAndTakeOut(originals);
    Files found = underFolder(folder);
    for (const auto& [path, bytes] : fromVault) {
        EXPECT_FALSE(found.count(path)) << path << " is both in " << folder << " and in the vault";
        found[path] = bytes;
    }
    EXPECT_EQ(fingerprints(found), fingerprints(originals));
}

} // namespace

class CrashSafety : public ::testing::Test {
protected:
    // A test that tunes the engine leaves it as it found it, even when it
    // stops at a failed assertion.
    void TearDown() override
    {
        Transforms::earlyDeleteBytes = usualEarlyDeleteBytes;
        BlockPipeline::streamThreshold = usualStreamThreshold;
    }

    const uint64_t usualEarlyDeleteBytes = Transforms::earlyDeleteBytes;
    const uint64_t usualStreamThreshold = BlockPipeline::streamThreshold;
    const FreshProfile fresh{kPassword};

    // What a round starts from: the files as they must end up, and the
    // folder where those that are not in the vault must be.
    struct Round {
        Files originals;
        std::string folder;
    };

    // For every step in turn: from the fresh vault, prepare sets up a round
    // and operation runs in a child stopped at that step. Afterwards each
    // file is in the round's folder or whole in the vault, never both.
    void stopAtEveryStep(const std::function<Round()>& prepare,
                         const std::function<void(Kist&, const Round&)>& operation)
    {
        for (int stopAt = 1;; ++stopAt) {
            SCOPED_TRACE("stopped at boundary " + std::to_string(stopAt));
            fresh.restore();
            const Round round = prepare();
            const int outcome = runInterrupted([&] { operation(*openVault(kPassword), round); }, stopAt);
            ASSERT_TRUE(outcome == kStoppedAtBoundary || outcome == kRanToTheEnd) << outcome;
            expectEachFileOnceAndWhole(round.originals, round.folder);
            if (outcome == kRanToTheEnd)
                break;
            ASSERT_LT(stopAt, 100);
        }
    }

    // Adding the folder entry that makeFiles writes into a scratch folder.
    void addStoppedAtEveryStep(const std::string& entry, const std::function<Files(const std::string&)>& makeFiles)
    {
        SCOPED_TRACE("adding " + entry);
        stopAtEveryStep(
            [&] {
                const std::string source = makeScratchFolder("source");
                return Round{makeFiles(source), source};
            },
            [&](Kist& kist, const Round& round) {
                KistFile added;
                kist.addFile(round.folder + "/" + entry, &added, false);
            });
    }

    // Taking that folder out again, once it is in the vault.
    void takeOutStoppedAtEveryStep(const std::string& entry, const std::function<Files(const std::string&)>& makeFiles)
    {
        SCOPED_TRACE("taking out " + entry);
        stopAtEveryStep(
            [&] {
                const std::string source = makeScratchFolder("source");
                const Files originals = makeFiles(source);
                KistFile added;
                openVault(kPassword)->addFile(source + "/" + entry, &added, false);
                return Round{originals, makeScratchFolder("destination")};
            },
            [&](Kist& kist, const Round& round) { kist.removeFile(entry, round.folder); });
    }
};

TEST_F(CrashSafety, AddingAFolderLosesNothingAtAnyStep)
{
    addStoppedAtEveryStep("album", makeFolder);
}

TEST_F(CrashSafety, AddingAFileLosesNothingAtAnyStep)
{
    stopAtEveryStep(
        [] {
            const std::string source = makeScratchFolder("single");
            const Files originals{{"letter.txt", patternBytes(3990)}};
            writeFile(source + "/letter.txt", originals.at("letter.txt"));
            return Round{originals, source};
        },
        [](Kist& kist, const Round& round) {
            KistFile added;
            kist.addFile(round.folder + "/letter.txt", &added, false);
        });
}

TEST_F(CrashSafety, TakingOutLosesNothingAtAnyStep)
{
    takeOutStoppedAtEveryStep("album", makeFolder);
}

// Separate paths added in one call share their transactions and flushes:
// at every step each file is still in its place or whole in the vault.
TEST_F(CrashSafety, AddingSeparatePathsTogetherLosesNothingAtAnyStep)
{
    stopAtEveryStep(
        [] {
            const std::string source = makeScratchFolder("batch");
            Files originals = makeFolder(source);
            for (const std::string name : {"a.txt", "b.txt", "c.txt"}) {
                originals[name] = patternBytes(500 + name[0]);
                writeFile(source + "/" + name, originals[name]);
            }
            return Round{originals, source};
        },
        [](Kist& kist, const Round& round) {
            const std::string& source = round.folder;
            kist.addFiles({source + "/a.txt", source + "/album", source + "/b.txt", source + "/c.txt"},
                          [](const KistAddOutcome&) {});
        });
}

// The files of a folder are encrypted and decrypted several at a time: a
// stop after any one of them finds others half-written. At every step each
// file is still in its place or whole in the vault, adding and taking out.
TEST_F(CrashSafety, FilesInFlightTogetherLoseNothingAtAnyStep)
{
    // A file streams on threads of its own from 1 MiB on, so that every
    // kill below stays cheap.
    BlockPipeline::streamThreshold = uint64_t{1} << 20;
    const auto makeManyFiles = [](const std::string& root) {
        Files files;
        for (int i = 0; i < 12; ++i)
            files["many/file" + std::to_string(i) + ".bin"] = patternBytes(4000 + 3701 * i);
        // Large enough to stream beside the others.
        files["many/large.bin"] = patternBytes((1 << 20) + 4001);
        for (const auto& [path, bytes] : files)
            writeFile(root + "/" + path, bytes);
        return files;
    };
    // Plain copies deleted at the end, and deleted while later files are
    // still being encrypted (every file's copy as soon as it is flushed).
    for (const uint64_t earlyDeleteBytes : {Transforms::earlyDeleteBytes, uint64_t{1}}) {
        SCOPED_TRACE("early deletion after " + std::to_string(earlyDeleteBytes) + " bytes");
        Transforms::earlyDeleteBytes = earlyDeleteBytes;
        addStoppedAtEveryStep("many", makeManyFiles);
    }
    takeOutStoppedAtEveryStep("many", makeManyFiles);
}
