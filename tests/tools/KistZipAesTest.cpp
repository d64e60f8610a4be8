// 7-Zip's WinZip AES archives read through the real kist binary: stored
// entries (photos, videos: anything incompressible) carry no CRC, only an
// authentication code, and must open with the right password like deflated
// ones, while a wrong password still changes nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "tests/support/TestFiles.h"
#include "tests/support/ToolRun.h"
#include "tests/tools/KistRunner.h"
#include "tests/tools/SampleTree.h"

using namespace kisttest;
namespace fs = std::filesystem;

namespace {

#define EXPECT_RUN(result, expectedStatus) \
    EXPECT_EQ((result).status, expectedStatus) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

const std::size_t kSizes[] = {0, 1, 16, 17, 70, 4096, 300000};

std::string randomBytes(std::size_t length, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xff);
    return bytes;
}

std::string textBytes(std::size_t length)
{
    std::string text;
    while (text.size() < length)
        text += "line " + std::to_string(text.size()) + " of a text that deflates well\n";
    return text.substr(0, length);
}

// "stored/" holds incompressible bytes that 7-Zip stores (-mx=0), "deflated/"
// text it deflates; one archive holds both, each file AES-encrypted.
Snapshot writeSources(const std::string& folder)
{
    Snapshot files;
    unsigned seed = 1;
    for (const std::size_t size : kSizes) {
        files.emplace_back("deflated/t" + std::to_string(size) + ".txt", textBytes(size));
        files.emplace_back("stored/r" + std::to_string(size) + ".jpg", randomBytes(size, seed++));
    }
    std::sort(files.begin(), files.end());
    for (const auto& [path, bytes] : files)
        testsupport::writeFile(folder + "/" + path, bytes);
    return files;
}

// The vault's bodies; the database is rewritten at every opening, its rows
// are compared through "kist list".
Snapshot vaultBodies(const KistHome& home)
{
    Snapshot bodies = snapshotOf(home.vaultFolder());
    std::erase_if(bodies, [](const auto& file) { return file.first == "f13f2488-44d3-4267-bf0d-80a84ac7f3ee"; });
    return bodies;
}

std::string makeArchive(const std::string& source, const std::string& path, const std::string& method)
{
    for (const auto& [folder, level] : {std::pair<std::string, std::string>{"stored", "-mx=0"}, {"deflated", "-mx=9"}}) {
        const testsupport::ToolRun made = testsupport::runTool(
            {"7z", "a", "-tzip", "-bso0", "-bsp0", "-mem=" + method, level, "-pzippw", path, folder}, source);
        EXPECT_EQ(made.exitCode, 0) << made.output;
    }
    // The archive really holds what the test is about.
    const testsupport::ToolRun listed = testsupport::runTool({"7z", "l", "-slt", path});
    const std::string shown = method.substr(0, 3) + "-" + method.substr(3); // AES256: "AES-256 Store"
    EXPECT_NE(listed.output.find(shown + " Store"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find(shown + " Deflate"), std::string::npos) << listed.output;
    return path;
}

} // namespace

TEST(KistZipAes, StoredAndDeflatedEntriesOpenWithTheRightPasswordOnly)
{
    const KistHome home("zip-aes");
    const Snapshot files = writeSources(home.root + "/src");
    for (const std::string method : {"AES128", "AES256"}) {
        SCOPED_TRACE(method);
        const std::string archive = makeArchive(home.root + "/src", home.root + "/" + method + ".zip", method);
        const std::map<std::string, std::string> right = {{"KIST_PACKAGE_PASSWORD", "zippw"}};
        const std::map<std::string, std::string> wrong = {{"KIST_PACKAGE_PASSWORD", "zippx"}};

        // A wrong password: exit 2 for each command, nothing written, the vault as it was.
        const std::vector<std::string> before = lines(home.run({"list"}).out);
        const Snapshot vaultBefore = vaultBodies(home);
        const std::string refused = home.root + "/refused-" + method;
        EXPECT_RUN(home.run({"package", "list", archive}, wrong), 2);
        EXPECT_RUN(home.run({"package", "extract", archive, "--to", refused}, wrong), 2);
        EXPECT_RUN(home.run({"package", "import", archive}, wrong), 2);
        EXPECT_TRUE(!fs::exists(refused) || fs::is_empty(refused));
        EXPECT_EQ(lines(home.run({"list"}).out), before);
        EXPECT_TRUE(vaultBodies(home) == vaultBefore);

        const RunResult listed = home.run({"package", "list", archive}, right);
        EXPECT_RUN(listed, 0);
        EXPECT_EQ(lines(listed.out).size(), 2u) << listed.out;

        const std::string out = home.root + "/out-" + method;
        EXPECT_RUN(home.run({"package", "extract", archive, "--to", out}, right), 0);
        EXPECT_TRUE(snapshotOf(out) == files);

        // Imported: protected in the vault (no plain copy there), and back out unchanged.
        const RunResult imported = home.run({"package", "import", archive}, right);
        EXPECT_RUN(imported, 0);
        const std::vector<std::string> names = lines(imported.out);
        ASSERT_EQ(names.size(), 2u) << imported.out;
        for (const auto& [path, bytes] : snapshotOf(home.vaultFolder())) {
            for (const auto& [name, plain] : files) {
                if (plain.size() >= 16) {
                    EXPECT_EQ(bytes.find(plain), std::string::npos) << "plain " << name << " in " << path;
                }
            }
        }
        const std::string back = home.root + "/back-" + method;
        EXPECT_RUN(home.run({"take-out", "--to", back, names[0], names[1]}), 0);
        EXPECT_TRUE(snapshotOf(back) == files);
    }
}
