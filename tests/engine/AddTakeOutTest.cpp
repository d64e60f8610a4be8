#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

class AddTakeOut : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

TEST_F(AddTakeOut, FileRoundTripsThroughTheVault)
{
    auto kist = openVault();
    const std::string folder = makeScratchFolder("add");
    const std::string content = patternBytes(5000);
    writeFile(folder + "/John's notes.txt", content);

    KistFile added;
    kist->addFile(folder + "/John's notes.txt", &added, false);
    EXPECT_EQ(added.name, "John's notes.txt");
    EXPECT_EQ(added.size, 5000u);
    EXPECT_FALSE(fs::exists(folder + "/John's notes.txt"));
    EXPECT_FALSE(vaultHoldsPlainCopy({content}));
    EXPECT_EQ(list(*kist), (std::vector<Entry>{{"John's notes.txt", false, 5000}}));

    const std::string out = makeScratchFolder("out");
    kist->removeFile("JOHN'S NOTES.TXT", out);
    EXPECT_EQ(readFile(out + "/John's notes.txt"), content);
    EXPECT_TRUE(list(*kist).empty());
}
