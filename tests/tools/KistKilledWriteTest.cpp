// kist killed at a chosen write to its databases: strace sends SIGKILL at the
// Nth pwrite64, the call that writes SQLite's pages and journal records. The
// next command recovers a whole vault, and every file of the folder is in the
// vault or where it was, never lost and never in both.

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"
#include "tests/tools/SampleTree.h"

using namespace kisttest;
using testsupport::exists;

namespace {

constexpr char kStrace[] = "/usr/bin/strace";
// LeakSanitizer cannot look at a traced program's threads and fails its exit.
const std::map<std::string, std::string> kTraced {{"ASAN_OPTIONS", "detect_leaks=0"}};

std::vector<std::string> killedAtWrite(int write)
{
    return {kStrace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64",
            "-e", "inject=pwrite64:signal=KILL:when=" + std::to_string(write)};
}

Snapshot filesIn(const std::string& folder)
{
    return exists(folder) ? snapshotOf(folder) : Snapshot {};
}

bool listsEntry(const KistHome& home)
{
    const RunResult listed = home.run({"list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    return !lines(listed.out).empty();
}

} // namespace

TEST(KistKilledWrite, AKillAtAnyDatabaseWriteLosesNothing)
{
    if (::access(kStrace, X_OK) != 0)
        GTEST_SKIP() << "needs strace";
    int killedAdds = 0;
    int killedTakeOuts = 0;
    // An add of 150 files makes about 100 such writes, a take-out about 130.
    for (const int write : {1, 4, 12, 25, 40, 55, 70, 85, 100, 120}) {
        SCOPED_TRACE("killed at write " + std::to_string(write));
        const KistHome home("killed-write");
        if (home.runUnder({kStrace, "-f", "-qq", "-o", "/dev/null"}, {"help"}, kTraced).status != 0)
            GTEST_SKIP() << "strace cannot trace here";
        const std::string docs = home.root + "/docs";
        for (int i = 0; i < 150; ++i)
            testsupport::writeFile(docs + "/note" + std::to_string(i) + ".txt", "note " + std::to_string(i)
                                   + std::string(static_cast<std::size_t>(600 + i), '.'));
        const Snapshot before = snapshotOf(docs);

        killedAdds += home.runUnder(killedAtWrite(write), {"add", docs}, kTraced).status == 128 + SIGKILL ? 1 : 0;
        if (listsEntry(home)) {
            EXPECT_TRUE(filesIn(docs).empty()) << "the files are both added and where they were";
        } else {
            EXPECT_TRUE(filesIn(docs) == before) << "the files are neither added nor where they were";
            ASSERT_EQ(home.run({"add", docs}).status, 0);
        }
        EXPECT_EQ(home.run({"check"}).status, 0);

        const std::string out = home.root + "/out";
        killedTakeOuts +=
            home.runUnder(killedAtWrite(write), {"take-out", "--to", out, "docs"}, kTraced).status == 128 + SIGKILL
            ? 1
            : 0;
        if (listsEntry(home)) {
            EXPECT_TRUE(filesIn(out + "/docs").empty()) << "the files are both in the vault and out";
            ASSERT_EQ(home.run({"take-out", "--to", out, "docs"}).status, 0);
        }
        EXPECT_EQ(home.run({"check"}).status, 0);
        EXPECT_TRUE(filesIn(out + "/docs") == before) << "the files taken out are not those added";
    }
    // The kills must have met the commands while they wrote.
    EXPECT_GE(killedAdds, 8);
    EXPECT_GE(killedTakeOuts, 8);
}
