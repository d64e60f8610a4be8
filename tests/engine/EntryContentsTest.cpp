#include <gtest/gtest.h>

#include <filesystem>

#include "engine/Kist.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using namespace enginetest;
using testsupport::makeScratchFolder;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

struct Item {
    std::string name;
    int depth;
    bool isDirectory;
    uint32_t size;
    bool operator==(const Item& other) const = default;
};

std::vector<Item> contentsOf(Kist& kist, const std::string& name)
{
    std::vector<Item> items;
    for (const KistEntryContent& content : kist.listEntryContents(name))
        items.push_back({content.name, content.depth, content.is_directory, content.size});
    return items;
}

// Albums/ holding b.txt (3 bytes), an empty folder "Empty", "a sub/" with
// "Z.txt" (5) and "it's.txt" (2).
std::string makeAlbum(const std::string& parent)
{
    const std::string album = parent + "/Albums";
    writeFile(album + "/b.txt", "bbb");
    fs::create_directories(album + "/Empty");
    writeFile(album + "/a sub/Z.txt", "zzzzz");
    writeFile(album + "/a sub/it's.txt", "ii");
    return album;
}

const std::vector<Item> kAlbumContents{
    {"a sub", 1, true, 7}, {"it's.txt", 2, false, 2}, {"Z.txt", 2, false, 5},
    {"b.txt", 1, false, 3}, {"Empty", 1, true, 0},
};

} // namespace

class EntryContents : public ::testing::Test {
protected:
    void SetUp() override { resetProfile(); }
};

TEST_F(EntryContents, AFolderListsWhatWasAddedUnderItsOwnNamesAndAFileNothing)
{
    auto kist = openVault();
    const std::string in = makeScratchFolder("in");
    kist->addFile(makeAlbum(in), nullptr, false);
    writeFile(in + "/single.txt", "one");
    kist->addFile(in + "/single.txt", nullptr, false);

    EXPECT_EQ(contentsOf(*kist, "Albums"), kAlbumContents);
    EXPECT_EQ(contentsOf(*kist, "albums"), kAlbumContents); // display names are case-blind
    EXPECT_TRUE(contentsOf(*kist, "single.txt").empty());
    // The bodies inside the vault lie under generated names: nothing of those shows.
    for (const Item& item : contentsOf(*kist, "Albums"))
        EXPECT_EQ(item.name.find('-'), std::string::npos) << item.name;
}

TEST_F(EntryContents, AnotherProgramsEntryIsListedAfterTheNextListing)
{
    auto first = openVault();
    auto second = openVault();
    second->addFile(makeAlbum(makeScratchFolder("in")), nullptr, false);
    EXPECT_EQ(list(*first).size(), 1u);
    EXPECT_EQ(contentsOf(*first, "Albums"), kAlbumContents);
}

TEST_F(EntryContents, UnknownNamesAndMissingLoginsAreRefused)
{
    auto kist = openVault();
    EXPECT_EQ(errorOf([&] { kist->listEntryContents("nothing"); }), "No such file found in the store: nothing");
    kist->logoff();
    EXPECT_EQ(errorOf([&] { kist->listEntryContents("nothing"); }),
              "Cannot use this feature until you enter your password.");
}

TEST_F(EntryContents, APackageReaderAnswersForItsEntries)
{
    auto kist = openVault();
    kist->addFile(makeAlbum(makeScratchFolder("in")), nullptr, false);
    const std::string package = makeScratchFolder("out") + "/albums.kzip";
    kist->exportFiles(package, {"Albums"}, "package pw");

    Kist reader(package);
    ASSERT_TRUE(reader.login("package pw"));
    EXPECT_EQ(list(reader).size(), 1u);
    EXPECT_EQ(contentsOf(reader, "Albums"), kAlbumContents);
}
