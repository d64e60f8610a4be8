// The rows of a package judged on their own, as a fuzzer or a damaged
// package hands them over: no database, no files.

#include <gtest/gtest.h>

#include <functional>

#include "engine/PackageRows.h"

namespace {

PackageRow row(const std::string& identity, const std::string& parent, const std::string& name, bool folder,
               const std::string& path, int64_t size = 0)
{
    PackageRow r;
    r.uniqueName = identity;
    r.parent = parent;
    r.displayName = name;
    r.rawFileName = name;
    r.currentPath = path;
    r.isDirectory = folder;
    r.isEncrypted = !folder;
    r.size = size;
    return r;
}

// What an export of a folder "docs" (a.txt, sub/b.txt) and a file writes.
std::vector<PackageRow> soundRows()
{
    return {
        row("D", "", "docs", true, "D"),
        row("A", "D", "a.txt", false, "D/1", 3000),
        row("S", "D", "sub", true, "D/2"),
        row("B", "S", "b.txt", false, "D/2/1", 3),
        row("F", "", "single.txt", false, "F", 11),
    };
}

} // namespace

TEST(PackageRows, SoundRowsNameTheirBodiesAndDeclareTheirBytes)
{
    const PackageRows rows(soundRows());
    ASSERT_TRUE(rows.isValid()) << rows.whatIsWrong();
    EXPECT_TRUE(rows.namesFile("D/1"));
    EXPECT_TRUE(rows.namesFile("D/2/1"));
    EXPECT_TRUE(rows.namesFolder("D/2"));
    EXPECT_FALSE(rows.namesFile("D/2"));
    EXPECT_FALSE(rows.namesFile("D/3"));
    // Bodies by the chunk rule: 3000 = 2000 + 1000 -> 2000 + 1008; 3 -> 16; 11 -> 16.
    EXPECT_EQ(rows.declaredBodyBytes(), 3008u + 16u + 16u);
    EXPECT_GE(rows.unpackingBudget(), rows.declaredBodyBytes());
    EXPECT_LE(rows.unpackingBudget(), rows.declaredBodyBytes() + 2 * 1024 * 1024);

    // Old builds stored backslashes in body paths; they still match.
    std::vector<PackageRow> old = soundRows();
    old[3].currentPath = "D\\2\\1";
    EXPECT_TRUE(PackageRows(old).namesFile("D/2/1"));

    // An entry added twice keeps its file name twice at the top level.
    std::vector<PackageRow> twice = soundRows();
    twice.push_back(row("G", "", "single.txt (2)", false, "G", 1));
    twice.back().rawFileName = "single.txt";
    EXPECT_TRUE(PackageRows(twice).isValid());
    EXPECT_TRUE(PackageRows({}).isValid());
}

TEST(PackageRows, HostileRowsAreRefusedBeforeAnythingIsLoaded)
{
    const std::vector<std::pair<std::string, std::function<void(std::vector<PackageRow>&)>>> cases = {
        // A second row with the folder's identity, placed below its own child:
        // loading would go round docs -> sub -> docs for ever.
        {"identity repeated into a loop", [](auto& r) { r.push_back(row("D", "S", "again", true, "X")); }},
        {"parents in a ring", [](auto& r) { r[0].parent = "S"; }},
        {"own parent", [](auto& r) { r[1].parent = "A"; }},
        {"empty identity", [](auto& r) { r[4].uniqueName = ""; }},
        {"two files of one name in a folder", [](auto& r) { r[2].displayName = r[2].rawFileName = "a.txt"; }},
        {"same file name, other display name", [](auto& r) { r[3].rawFileName = "x"; r[2].rawFileName = "a.txt"; }},
        {"top-level names differing in case", [](auto& r) { r[4].displayName = "DOCS"; }},
        {"backslash in a display name", [](auto& r) { r[4].displayName = "a\\b.txt"; }},
        {"backslash in a file name", [](auto& r) { r[1].rawFileName = "a\\b.txt"; }},
        {"slash in a name", [](auto& r) { r[1].displayName = "x/y"; }},
        {"body path climbing out", [](auto& r) { r[1].currentPath = "D/../../x"; }},
        {"body path with backslash parents", [](auto& r) { r[1].currentPath = "..\\..\\x"; }},
        {"absolute body path", [](auto& r) { r[4].currentPath = "/etc/passwd"; }},
        {"body at the database's name", [](auto& r) { r[4].currentPath = "f13f2488-44d3-4267-bf0d-80a84ac7f3ee"; }},
        {"two rows on one body", [](auto& r) { r[4].currentPath = "D/1"; }},
        {"a file on a folder's path", [](auto& r) { r[4].currentPath = "D/2"; }},
        {"pending change", [](auto& r) { r[3].pendingTransform = 4; }},
        {"stored root", [](auto& r) { r[3].currentRoot = "/tmp"; }},
        {"negative size", [](auto& r) { r[4].size = -1; }},
        {"size beyond 32 bits", [](auto& r) { r[4].size = int64_t{1} << 40; }},
    };
    for (const auto& [title, edit] : cases) {
        std::vector<PackageRow> rows = soundRows();
        edit(rows);
        const PackageRows judged(rows);
        EXPECT_FALSE(judged.isValid()) << title;
        // Refused rows name nothing that could be unpacked.
        EXPECT_FALSE(judged.namesFile("D/1")) << title;
        EXPECT_EQ(judged.unpackingBudget(), PackageRows({}).unpackingBudget()) << title;
    }
}
