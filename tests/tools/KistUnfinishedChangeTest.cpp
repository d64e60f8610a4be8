// kist list says which entries hold a change that recovery could not finish,
// and exits 1 while any does.

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "tests/support/ToolRun.h"
#include "tests/tools/KistRunner.h"

using namespace kisttest;

TEST(KistUnfinishedChange, ListSaysWhatStaysPendingAndFails)
{
    const KistHome home("unfinished");
    const std::string source = home.root + "/src";
    testsupport::writeFile(source + "/a.txt", "the entry");
    testsupport::writeFile(source + "/b.txt", "another");
    ASSERT_EQ(home.run({"add", source + "/a.txt", source + "/b.txt"}).status, 0);

    // a.txt's rows say it is still being moved in from a file that now holds
    // other bytes than its body: recovery cannot tell which is right.
    testsupport::writeFile(source + "/a.txt", "something else");
    const std::string script = "PRAGMA key='581736024917365028471639502847361dce';\n"
                               "update ProtectedFiles set pending_transform = 1, is_hidden = 0, "
                               "target_path = current_path, target_root = '', current_root = '"
                               + source + "', current_path = 'a.txt' where display_name = 'a.txt';\n";
    const auto edited = testsupport::runTool(
        {"sqlcipher", "-batch", home.vaultFolder() + "/f13f2488-44d3-4267-bf0d-80a84ac7f3ee"}, "", script);
    ASSERT_EQ(edited.exitCode, 0) << edited.output;

    const RunResult listed = home.run({"list"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(lines(listed.out), (std::vector<std::string>{"a.txt\tf\t9", "b.txt\tf\t7"}));
    EXPECT_EQ(listed.err.rfind("kist: An interrupted change of this entry could not be finished; it stays pending: "
                               "a.txt\n",
                               0),
              0u)
        << listed.err;
    EXPECT_EQ(testsupport::readFile(source + "/a.txt"), "something else");
}
