// Several programs on one vault: the in-memory entries are a cache that is
// read again under the lock, so what one program does is never undone by
// another that read the rows earlier.

#include <gtest/gtest.h>

#include <future>

#include "engine/Kist.h"
#include "engine/StepBoundary.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
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
};

TEST_F(SharedVault, AnAddLosesNothingToAProgramOpenedAtAnyStep)
{
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt));
        resetProfile();
        auto first = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        const Files originals = makeAlbum(source);
        std::unique_ptr<Kist> second;
        {
            SecondOpening opening(stopAt);
            KistFile added;
            first->addFile(source + "/album", &added, false);
            if (!SecondOpening::reached)
                break;
            second = opening.second();
        }
        ASSERT_TRUE(second);
        // Both go on: each sees the entry, and it comes out whole.
        EXPECT_TRUE(hasEntry(*second, "album"));
        EXPECT_TRUE(hasEntry(*first, "album"));
        EXPECT_EQ(checkFindings(*second), "");
        const std::string out = makeScratchFolder("out");
        second->removeFile("album", out);
        EXPECT_EQ(tree(out + "/album"), originals);
        EXPECT_FALSE(hasEntry(*first, "album"));
        ASSERT_LT(stopAt, 100);
    }
}

TEST_F(SharedVault, ATakeOutLosesNothingToAProgramOpenedAtAnyStep)
{
    for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE("second program opened at boundary " + std::to_string(stopAt));
        resetProfile();
        auto first = openVault(kPassword);
        const std::string source = makeScratchFolder("source");
        const Files originals = makeAlbum(source);
        KistFile added;
        first->addFile(source + "/album", &added, false);
        const std::string out = makeScratchFolder("out");
        std::unique_ptr<Kist> second;
        {
            SecondOpening opening(stopAt);
            first->removeFile("album", out);
            if (!SecondOpening::reached)
                break;
            second = opening.second();
        }
        ASSERT_TRUE(second);
        EXPECT_FALSE(hasEntry(*second, "album"));
        EXPECT_EQ(errorOf([&] { second->removeFile("album", out); }), "No such file found in the store: album");
        EXPECT_EQ(tree(out + "/album"), originals);
        EXPECT_EQ(checkFindings(*second), "");
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
