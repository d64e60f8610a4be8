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

// A drop reports each path as it is added and asks at once what a new folder
// holds: the answer must come in every state a program can be in, whether it
// has read no entry yet, has read them before the add, or is a temporary vault.
TEST_F(EntryContents, AFolderJustAddedIsListedFromItsOwnReport)
{
    enum class State { NothingRead, Listed, Temporary };
    for (const State state : {State::NothingRead, State::Listed, State::Temporary}) {
        SCOPED_TRACE(static_cast<int>(state));
        resetProfile();
        std::unique_ptr<Kist> kist;
        if (state == State::Temporary) {
            kist = std::make_unique<Kist>(false);
            ASSERT_TRUE(kist->login(""));
        } else {
            openVault(); // the vault exists before this program opens it
            kist = openVault();
        }
        if (state == State::Listed) {
            EXPECT_TRUE(list(*kist).empty());
        }
        const std::string in = makeScratchFolder("in");
        writeFile(in + "/alone.txt", "one");
        std::vector<KistAddOutcome> outcomes;
        std::vector<Item> contents;
        kist->addFiles({makeAlbum(in), in + "/alone.txt"}, [&](const KistAddOutcome& outcome) {
            outcomes.push_back(outcome);
            if (outcome.state == KistAddOutcome::State::Added && outcome.is_directory)
                contents = contentsOf(*kist, outcome.name);
        });
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(outcomes[0].state, KistAddOutcome::State::Added) << outcomes[0].message;
        EXPECT_EQ(outcomes[1].state, KistAddOutcome::State::Added) << outcomes[1].message;
        EXPECT_EQ(contents, kAlbumContents);
        EXPECT_EQ(list(*kist), (std::vector<Entry>{{"Albums", true, 10}, {"alone.txt", false, 3}}));
    }
}

TEST_F(EntryContents, AnEntryAnotherProgramAddedIsFoundWithoutAListingAndMovesTheChangeCount)
{
    auto window = openVault();
    EXPECT_TRUE(list(*window).empty());
    const std::string before = window->changeCount();
    EXPECT_NE(before, "");
    EXPECT_EQ(window->changeCount(), before); // reading changes nothing

    auto other = openVault();
    other->addFile(makeAlbum(makeScratchFolder("in")), nullptr, false);
    EXPECT_NE(window->changeCount(), before);
    EXPECT_EQ(contentsOf(*window, "Albums"), kAlbumContents);

    Kist temporary(false);
    EXPECT_EQ(temporary.changeCount(), "");
}
