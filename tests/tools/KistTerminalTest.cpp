// kist on a pseudo-terminal: passwords are asked without echo (new ones
// twice) and long operations show their progress on standard error.

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "terminal:\n" << (result).err

TEST(KistTerminal, AsksForPasswordsWithoutEchoAndNewOnesTwice)
{
    const KistHome home("terminal");
    const RunResult set = home.runOnTerminal(
        {"passwd"}, {}, {{"New Vault password: ", "typed secret"}, {"Repeat it: ", "typed secret"}});
    EXPECT_RUN(set, 0);
    EXPECT_EQ(set.err.find("typed secret"), std::string::npos) << "the password was echoed";

    const RunResult listed = home.runOnTerminal({"list"}, {}, {{"Vault password: ", "typed secret"}});
    EXPECT_RUN(listed, 0);
    EXPECT_EQ(listed.err.find("typed secret"), std::string::npos);

    const RunResult wrong = home.runOnTerminal({"list"}, {}, {{"Vault password: ", "not it"}});
    EXPECT_RUN(wrong, 2);
    EXPECT_NE(wrong.err.find("kist: Wrong password."), std::string::npos);

    // A variable that is set is used even on a terminal.
    const RunResult mistyped = home.runOnTerminal({"passwd"}, {{"KIST_PASSWORD", "typed secret"}},
                                                  {{"New Vault password: ", "one"}, {"Repeat it: ", "two"}});
    EXPECT_RUN(mistyped, 2);
    EXPECT_NE(mistyped.err.find("kist: The two passwords do not match."), std::string::npos);
    EXPECT_EQ(mistyped.err.find("Current Vault password"), std::string::npos);
    EXPECT_RUN(home.run({"list"}, {{"KIST_PASSWORD", "typed secret"}}), 0);

    // A backup made under an earlier password: its password is asked for.
    const std::string backups = home.root + "/backups";
    const RunResult backedUp = home.run({"backup", "--to", backups}, {{"KIST_PASSWORD", "typed secret"}});
    EXPECT_RUN(backedUp, 0);
    EXPECT_RUN(home.run({"passwd"}, {{"KIST_PASSWORD", "typed secret"}, {"KIST_NEW_PASSWORD", "later"}}), 0);
    const RunResult restored =
        home.runOnTerminal({"restore", lines(backedUp.out).at(0)}, {{"KIST_PASSWORD", "later"}},
                           {{"Vault password when the backup was made: ", "typed secret"}});
    EXPECT_RUN(restored, 0);
}

TEST(KistTerminal, ShowsProgressOnStandardErrorAndClearsIt)
{
    const KistHome home("progress");
    testsupport::writeFile(home.root + "/big.bin", testsupport::patternBytes(3 * 1024 * 1024));
    const RunResult added = home.runOnTerminal({"add", home.root + "/big.bin"}, {}, {});
    EXPECT_RUN(added, 0);
    EXPECT_EQ(added.out, "big.bin\n");
    EXPECT_NE(added.err.find("files, "), std::string::npos) << added.err;
    EXPECT_NE(added.err.find("of 3.0 MiB"), std::string::npos) << added.err;
    // The line is taken off the terminal again.
    EXPECT_NE(added.err.rfind("\r\x1b[K"), std::string::npos);
}
