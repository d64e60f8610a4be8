// Several kist programs at once on one home, as the issue reproduced them:
// all succeed, nothing one adds is lost to another, and kist check agrees.

#include <gtest/gtest.h>

#include <future>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

namespace {

// Starts every command line at once and waits for all of them.
std::vector<RunResult> runAtOnce(const KistHome& home, const std::vector<std::vector<std::string>>& commands)
{
    std::vector<std::future<RunResult>> running;
    for (const auto& arguments : commands)
        running.push_back(std::async(std::launch::async, [&home, arguments] { return home.run(arguments); }));
    std::vector<RunResult> results;
    for (auto& run : running)
        results.push_back(run.get());
    return results;
}

} // namespace

TEST(KistSharedVault, SevenProgramsStartedAtOnceOnANewHomeAllSucceed)
{
    const KistHome home("seven");
    for (const RunResult& result : runAtOnce(home, std::vector<std::vector<std::string>>(7, {"list"})))
        EXPECT_RUN(result, 0);
    EXPECT_RUN(home.run({"check"}), 0);
}

TEST(KistSharedVault, AnAddBesideSeveralListingsIsKept)
{
    const KistHome home("beside");
    ASSERT_EQ(home.run({"list"}).status, 0); // the vault exists, empty password
    const std::string folder = home.root + "/src/b1";
    std::vector<std::pair<std::string, std::string>> originals;
    for (int i = 1; i <= 40; ++i) {
        const std::string name = "f" + std::to_string(i);
        const std::string bytes = testsupport::patternBytes(static_cast<std::size_t>(700 + i)) + name;
        testsupport::writeFile(folder + "/" + name, bytes);
    }
    originals = testsupport::snapshotTree(folder);

    std::vector<std::vector<std::string>> commands{{"add", folder}};
    for (int j = 0; j < 6; ++j)
        commands.push_back({"list"});
    for (const RunResult& result : runAtOnce(home, commands))
        EXPECT_RUN(result, 0);

    EXPECT_EQ(home.run({"list"}).out, "b1\td\t28931\n");
    const RunResult check = home.run({"check"});
    EXPECT_RUN(check, 0);
    EXPECT_EQ(check.out, "ok: 41 records, 40 bodies\n");
    EXPECT_RUN(home.run({"take-out", "--to", home.root + "/out", "b1"}), 0);
    EXPECT_EQ(testsupport::snapshotTree(home.root + "/out/b1"), originals);
}
