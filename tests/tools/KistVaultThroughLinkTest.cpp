// Dotfile managers put $HOME or $XDG_DATA_HOME behind a symbolic link. The
// vault folder is then reached under two paths, and adding the folder that
// holds it (by its real path) must still be refused, never move the vault's
// own database and bodies into a new entry.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestFiles.h"
#include "tests/tools/KistRunner.h"
#include "tests/tools/SampleTree.h"

using namespace kisttest;
namespace fs = std::filesystem;

namespace {

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

struct LinkedHome {
    std::string title;
    std::map<std::string, std::string> variables; // where kist looks
    std::string realData;                        // the real folder that holds "kist"
};

} // namespace

TEST(KistVaultThroughLink, TheFolderHoldingTheVaultIsRefusedByItsRealPath)
{
    const KistHome home("linked");
    const std::string real = home.root + "/real";
    fs::create_directories(real + "/data");
    fs::create_directories(real + "/home/.local/share");
    fs::create_symlink(real + "/data", home.root + "/data-link");
    fs::create_symlink(real + "/home", home.root + "/home-link");
    const std::vector<LinkedHome> cases = {
        {"XDG_DATA_HOME through a link", {{"XDG_DATA_HOME", home.root + "/data-link"}}, real + "/data"},
        {"HOME through a link",
         {{"HOME", home.root + "/home-link"}, {"XDG_DATA_HOME", ""}},
         real + "/home/.local/share"},
    };
    for (const LinkedHome& linked : cases) {
        SCOPED_TRACE(linked.title);
        const std::string source = home.root + "/src-" + std::to_string(&linked - cases.data());
        testsupport::writeFile(source + "/kept.txt", "kept in the vault");
        EXPECT_RUN(home.run({"add", source + "/kept.txt"}, linked.variables), 0);
        const std::string vault = linked.realData + "/kist";
        ASSERT_TRUE(fs::exists(vault + "/f13f2488-44d3-4267-bf0d-80a84ac7f3ee"));
        const std::vector<std::string> listed = lines(home.run({"list"}, linked.variables).out);
        ASSERT_EQ(listed.size(), 1u);

        // The folder that holds the vault, the vault itself and a body in it,
        // all by their real paths; and taking out into the vault.
        std::string body;
        for (const auto& entry : fs::directory_iterator(vault))
            if (entry.path().filename().string().size() == 36 && entry.path().filename() != "f13f2488-44d3-4267-bf0d-80a84ac7f3ee")
                body = entry.path().string();
        for (const std::string& path : {linked.realData, vault, body}) {
            SCOPED_TRACE(path);
            const RunResult added = home.run({"add", path}, linked.variables);
            EXPECT_RUN(added, 1);
            EXPECT_TRUE(added.out.empty());
        }
        EXPECT_RUN(home.run({"take-out", "--to", vault, "kept.txt"}, linked.variables), 1);

        // Nothing moved: the same entry lists and comes out whole.
        EXPECT_EQ(lines(home.run({"list"}, linked.variables).out), listed);
        const std::string out = home.root + "/out-" + std::to_string(&linked - cases.data());
        EXPECT_RUN(home.run({"take-out", "--to", out, "kept.txt"}, linked.variables), 0);
        EXPECT_EQ(testsupport::readFile(out + "/kept.txt"), "kept in the vault");
    }
}
