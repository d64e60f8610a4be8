// A stop asked while one large entry is taken out, restored or copied into the
// vault is heard inside that entry: the partial target goes, the entry stays
// whole where it was, and the operation ends as cancelled.

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kist.h"
#include "engine/crypto/BlockPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::snapshotTree;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "stop within";
const std::string kCancelled = "The operation was cancelled; every entry is whole.";
// Just over the size from which a file streams, reporting its bytes as it goes.
const std::string kLarge = patternBytes(BlockPipeline::streamThreshold + 4099);
const std::string kSmall = patternBytes(3001);

// Asks to stop at the first report that lies part-way through the large
// file (beyond the small one's bytes, whichever comes first).
class StopPartWay : public KistProgress {
public:
    void progress(const KistProgressState& state) override
    {
        if (armed && state.bytesDone > kSmall.size() && state.bytesDone < state.bytesTotal) {
            stop = true;
            stoppedAt = state.bytesDone;
        }
    }
    bool stopRequested() override { return stop; }

    bool armed = true;
    bool stop = false;
    uint64_t stoppedAt = 0;
};

using Files = std::vector<std::pair<std::string, std::string>>;

// Every row and every integrity tag, and every file of the vault folder with
// its bytes: what a stopped operation must leave as it was.
std::string rowsAndTags()
{
    std::string text = sqlcipher(vaultDatabasePath(),
                                 "select unique_name, display_name, cipher, current_path, current_root, target_path, "
                                 "pending_transform, is_hidden, is_encrypted, size from ProtectedFiles "
                                 "order by unique_name;");
    if (!sqlcipher(vaultDatabasePath(), "select name from sqlite_master where name = 'BodyTags';").empty())
        text += sqlcipher(vaultDatabasePath(), "select unique_name, tag from BodyTags order by unique_name;");
    return text;
}

Files vaultFiles()
{
    Files files;
    for (const auto& [path, bytes] : snapshotTree(vaultFolder()))
        if (path.rfind(kDatabaseName, 0) != 0 && path != ".lock")
            files.emplace_back(path, bytes);
    return files;
}

void expectWholeAndTagged(Kist& kist)
{
    const KistCheckReport report = kist.checkVault();
    EXPECT_EQ(checkFindings(kist), "");
    EXPECT_TRUE(report.untagged.empty());
}

} // namespace

class StopWithinEntry : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProfile();
        source = makeScratchFolder("source");
        out = makeScratchFolder("out");
        writeFile(source + "/large.bin", kLarge);
        writeFile(source + "/album/small.txt", kSmall);
        writeFile(source + "/album/large.bin", kLarge);
    }

    std::string source;
    std::string out;
};

// A single large file, and a folder whose small file is already decrypted
// when the stop comes during its large one.
TEST_F(StopWithinEntry, TakeOutStoppedPartWayLeavesTheEntryAsItWas)
{
    auto kist = openVault(kPassword);
    KistFile added;
    kist->addFile(source + "/large.bin", &added, false);
    kist->addFile(source + "/album", &added, false);
    const std::string rowsBefore = rowsAndTags();
    const auto filesBefore = vaultFiles();

    for (const std::string name : {"large.bin", "album"}) {
        SCOPED_TRACE(name);
        StopPartWay observer;
        kist->setProgressObserver(&observer);
        EXPECT_EQ(errorOf([&] { kist->removeFile(name, out); }), kCancelled);
        kist->setProgressObserver(nullptr);
        EXPECT_GT(observer.stoppedAt, 0u);

        EXPECT_TRUE(fs::is_empty(out));
        EXPECT_EQ(rowsAndTags(), rowsBefore);
        EXPECT_EQ(vaultFiles(), filesBefore);
    }
    // Another program sees the same, and the take-outs then work.
    auto other = openVault(kPassword);
    EXPECT_EQ(list(*other), list(*kist));
    expectWholeAndTagged(*other);
    kist->removeFile("large.bin", out);
    kist->removeFile("album", out);
    EXPECT_EQ(snapshotTree(out), (Files{{"album/large.bin", kLarge}, {"album/small.txt", kSmall}, {"large.bin", kLarge}}));
    EXPECT_TRUE(list(*kist).empty());
}

// A package copied into the vault and a backup restored, each stopped while
// the body of its large file is read: nothing of it is left in the vault.
TEST_F(StopWithinEntry, CopyIntoTheVaultStoppedPartWayLeavesNothingBehind)
{
    const std::string packages = makeScratchFolder("packages");
    const std::string package = packages + "/album.kzip";
    const std::string backup = packages + "/korvelin." + Kist::getDeviceIdentity() + ".kzipbkp";
    const std::string zip = packages + "/plain.zip";
    packagetest::runOrThrow({"zip", "-q", zip, "large.bin"}, source);
    {
        auto kist = openVault(kPassword);
        KistFile added;
        kist->addFile(source + "/album", &added, false);
        kist->addFile(source + "/large.bin", &added, false);
        kist->exportFiles(package, {"album"}, "package pw");
        kist->exportFiles(backup, {"album", "large.bin"}, kPassword + "backup");
        const std::string away = makeScratchFolder("away");
        kist->removeFile("album", away);
        kist->removeFile("large.bin", away);
    }
    const Files album{{"album/large.bin", kLarge}, {"album/small.txt", kSmall}};
    Files everything = album;
    everything.emplace_back("large.bin", kLarge);
    struct Case {
        std::string path;
        std::string password;
        std::vector<std::string> names;
        Files files;
    };
    const std::vector<Case> cases{
        {package, "package pw", {"album"}, album},
        {backup, kPassword + "backup", {"album", "large.bin"}, everything},
        {zip, "", {"large.bin"}, {{"large.bin", kLarge}}},
    };
    for (const Case& copy : cases) {
        SCOPED_TRACE(copy.path);
        resetProfile();
        auto kist = openVault(kPassword);
        const std::string rowsBefore = rowsAndTags();
        Kist reader(copy.path);
        // A plain zip opens as the desktop opens it: asked whether it needs a password.
        if (copy.password.empty()) {
            ASSERT_TRUE(reader.isEmptyPassword());
        } else {
            ASSERT_TRUE(reader.login(copy.password));
        }
        StopPartWay observer;
        reader.setProgressObserver(&observer);
        EXPECT_EQ(errorOf([&] { reader.copyFilesToVault(copy.names, kPassword); }), kCancelled);
        EXPECT_GT(observer.stoppedAt, 0u);

        EXPECT_TRUE(list(*kist).empty());
        EXPECT_EQ(rowsAndTags(), rowsBefore);
        EXPECT_EQ(vaultFiles(), Files{});
        expectWholeAndTagged(*kist);

        // The reader still holds everything: a second copy brings it all.
        observer.armed = false;
        observer.stop = false;
        reader.copyFilesToVault(copy.names, kPassword);
        reader.setProgressObserver(nullptr);
        const auto listed = list(*kist);
        EXPECT_EQ(listed.size(), copy.names.size());
        expectWholeAndTagged(*kist);
        const std::string taken = makeScratchFolder("taken");
        for (const Entry& entry : listed)
            kist->removeFile(entry.name, taken);
        EXPECT_EQ(snapshotTree(taken), copy.files);
    }
}
