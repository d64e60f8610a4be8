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

class PackageFlow : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

TEST_F(PackageFlow, ExportOpenExtractAndImport)
{
    auto kist = openVault("vault pw");
    const std::string folder = makeScratchFolder("src");
    writeFile(folder + "/docs/a.txt", patternBytes(1990));
    writeFile(folder + "/docs/sub/b.bin", patternBytes(4001));
    writeFile(folder + "/docs/empty.txt", "");
    fs::create_directories(folder + "/docs/emptydir");
    writeFile(folder + "/single.txt", "hello");
    KistFile added;
    kist->addFile(folder + "/docs", &added, false);
    kist->addFile(folder + "/single.txt", &added, false);

    const std::string packages = makeScratchFolder("pkg");
    kist->exportFiles(packages + "/out.kzip", {"docs", "single.txt"}, "package pw");
    ASSERT_TRUE(fs::exists(packages + "/out.kzip"));
    EXPECT_EQ(list(*kist).size(), 2u);

    {
        Kist reader(packages + "/out.kzip");
        EXPECT_FALSE(reader.isEmptyPassword());
        EXPECT_FALSE(reader.login("vault pw"));
        ASSERT_TRUE(reader.login("package pw"));
        const auto entries = list(reader);
        ASSERT_EQ(entries.size(), 2u);
        const std::string out = makeScratchFolder("extract");
        reader.removeFile("docs", out);
        EXPECT_EQ(readFile(out + "/docs/a.txt"), patternBytes(1990));
        EXPECT_EQ(readFile(out + "/docs/sub/b.bin"), patternBytes(4001));
        EXPECT_EQ(readFile(out + "/docs/empty.txt"), "");
        EXPECT_TRUE(fs::is_directory(out + "/docs/emptydir"));
        // The vault still holds the very entry: copying it adds nothing.
        reader.copyFilesToVault({"single.txt"}, "vault pw");
        EXPECT_EQ(list(*kist).size(), 2u);

        // Once it is gone, it comes back; a different file has taken its name.
        const std::string elsewhere = makeScratchFolder("elsewhere");
        kist->removeFile("single.txt", elsewhere);
        writeFile(elsewhere + "/other/single.txt", "another file");
        kist->addFile(elsewhere + "/other/single.txt", &added, false);
        reader.copyFilesToVault({"single.txt"}, "vault pw");
        reader.copyFilesToVault({"single.txt"}, "vault pw");
    }
    auto names = list(*kist);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2].name, "single.txt (2)");
    const std::string out = makeScratchFolder("takeout");
    kist->removeFile("single.txt (2)", out);
    EXPECT_EQ(readFile(out + "/single.txt"), "hello");
    kist->removeFile("single.txt", out);
    EXPECT_EQ(readFile(out + "/single (2).txt"), "another file");
}
