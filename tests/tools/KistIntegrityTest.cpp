// kist and the integrity tags: check names a body with a changed byte,
// take-out refuses it and delivers the others, and the entry stays.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;
namespace fs = std::filesystem;

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

namespace {

// The one file of that size in the vault folder (the bodies have no other name).
std::string bodyOfSize(const std::string& vaultFolder, std::uintmax_t size)
{
    std::string found;
    for (const auto& item : fs::recursive_directory_iterator(vaultFolder))
        if (item.is_regular_file() && item.file_size() == size && item.path().filename() != ".lock") {
            EXPECT_TRUE(found.empty()) << "two bodies of " << size << " bytes";
            found = item.path().string();
        }
    return found;
}

} // namespace

TEST(KistIntegrity, CheckAndTakeOutFindAChangedByte)
{
    const KistHome home("tags");
    testsupport::writeFile(home.root + "/src/one.bin", testsupport::patternBytes(50000));
    testsupport::writeFile(home.root + "/src/two.txt", testsupport::patternBytes(3990));
    EXPECT_RUN(home.run({"add", home.root + "/src/one.bin", home.root + "/src/two.txt"}), 0);
    const RunResult whole = home.run({"check"});
    EXPECT_RUN(whole, 0);
    EXPECT_EQ(whole.out, "ok: 2 records, 2 bodies\n");

    const std::string body = bodyOfSize(home.vaultFolder(), 50000);
    ASSERT_FALSE(body.empty());
    std::string bytes = testsupport::readFile(body);
    bytes[25000] = static_cast<char>(bytes[25000] ^ 1);
    testsupport::writeFile(body, bytes);

    const RunResult damaged = home.run({"check"});
    EXPECT_RUN(damaged, 1);
    EXPECT_EQ(damaged.out, "damaged: one.bin\n");

    const RunResult takeOut = home.run({"take-out", "--to", home.root + "/out", "one.bin", "two.txt"});
    EXPECT_RUN(takeOut, 1);
    EXPECT_NE(takeOut.err.find("damaged: one.bin"), std::string::npos) << takeOut.err;
    EXPECT_EQ(takeOut.out, home.root + "/out/two.txt\n");
    EXPECT_EQ(testsupport::readFile(home.root + "/out/two.txt"), testsupport::patternBytes(3990));
    EXPECT_FALSE(fs::exists(home.root + "/out/one.bin"));
    EXPECT_EQ(home.run({"list"}).out, "one.bin\tf\t50000\n");
    EXPECT_EQ(testsupport::readFile(body), bytes);

    // Every body has its tag: nothing to add.
    const RunResult adding = home.run({"check", "--add-missing-tags"});
    EXPECT_RUN(adding, 1);
    EXPECT_EQ(adding.out, "damaged: one.bin\nintegrity tags added: 0\n");
}
