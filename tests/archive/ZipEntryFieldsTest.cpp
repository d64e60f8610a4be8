#include <gtest/gtest.h>

#include "engine/archive/ZipArchive.h"
#include "engine/archive/ZipEntryFields.h"

using namespace archive;

// Expected values are worked out by hand from the zip format: Unix mode in the
// high 16 bits (S_IFREG 0100000, S_IFDIR 0040000, S_IFLNK 0120000), DOS
// attribute bits in the low byte.
TEST(ZipEntryFields, ExternalAttributesOfAddedEntries)
{
    EXPECT_EQ(externalAttributesForFile(false, false), 0x81800020u); // 0100600, archive
    EXPECT_EQ(externalAttributesForFile(true, false), 0x81000021u);  // 0100400, archive + read-only
    EXPECT_EQ(externalAttributesForFile(false, true), 0x81C00020u);  // 0100700
    EXPECT_EQ(externalAttributesForFile(true, true), 0x81400021u);   // 0100500
    EXPECT_EQ(externalAttributesForFolder(), 0x41C00010u);           // 0040700, folder
}

TEST(ZipEntryFields, AttributesOfReadEntriesFollowTheHost)
{
    struct Case {
        uint8_t host;
        uint32_t external;
        bool slash;
        uint32_t expected;
    };
    const Case cases[] = {
        {0, 0x00000021, false, ZA_ARCHIVE | ZA_READONLY},       // FAT
        {0, 0x0000003F, false, 0x37},                           // the volume-label bit is no attribute
        {14, 0x00000010, false, ZA_FOLDER},                     // VFAT
        {11, 0x81800001, false, ZA_READONLY},                   // NTFS (Info-ZIP): DOS bits win over a mode
        {7, 0x00000002, false, ZA_HIDDEN},                      // Macintosh
        {3, 0x81800020, false, 0},                              // Unix 0600 file
        {3, 0x81240020, false, ZA_READONLY},                    // Unix 0444 file
        {3, 0x41ED0000, false, ZA_FOLDER},                      // Unix 0755 folder
        {3, 0x416D0000, false, ZA_FOLDER | ZA_READONLY},        // Unix 0555 folder
        {10, 0x00000021, false, ZA_ARCHIVE | ZA_READONLY},      // NTFS (PKWARE): no mode, so DOS bits
        {3, 0x00000000, true, ZA_FOLDER},                       // the name alone marks a folder
        {19, 0x81A40000, false, 0},                             // macOS 0644 file
    };
    for (const Case& c : cases)
        EXPECT_EQ(attributesFromExternal(c.host, c.external, c.slash), c.expected)
            << "host " << int(c.host) << " external " << std::hex << c.external;
}

TEST(ZipEntryFields, LinksAreRecognisedOnlyByTheirUnixMode)
{
    EXPECT_TRUE(isLinkEntry(3, 0xA1FF0000));   // 0120777
    EXPECT_TRUE(isLinkEntry(19, 0xA1ED0000));  // macOS 0120755
    EXPECT_FALSE(isLinkEntry(0, 0xA1FF0000));  // DOS hosts have no modes
    EXPECT_FALSE(isLinkEntry(3, 0x81A40000));  // regular file
    EXPECT_FALSE(isLinkEntry(3, 0xC1ED0000));  // socket 0140755 shares a bit with links
}

TEST(ZipEntryFields, ExtendedTimestampBodies)
{
    // 1600000000 = 0x5F5E1000, 1600000001 = 0x5F5E1001, 1500000000 = 0x59682F00.
    const EntryTimes times{1600000000, 1600000001, 1500000000};
    EXPECT_EQ(localExtendedTimestamp(times),
              (std::vector<uint8_t>{0x07, 0x00, 0x10, 0x5E, 0x5F, 0x01, 0x10, 0x5E, 0x5F, 0x00, 0x2F, 0x68, 0x59}));
    EXPECT_EQ(centralExtendedTimestamp(times), (std::vector<uint8_t>{0x07, 0x00, 0x10, 0x5E, 0x5F}));

    // Times the 32-bit field cannot carry unambiguously leave it out.
    EXPECT_TRUE(localExtendedTimestamp({-1, 0, 0}).empty());
    EXPECT_TRUE(localExtendedTimestamp({0, 0x80000000LL, 0}).empty());
    EXPECT_TRUE(centralExtendedTimestamp({0, 0, 0x80000000LL}).empty());
    EXPECT_EQ(localExtendedTimestamp({0x7FFFFFFF, 0, 0}).size(), 13u);
}

TEST(ZipEntryFields, ReadingExtendedTimestamps)
{
    const std::vector<uint8_t> local{0x07, 0x00, 0x10, 0x5E, 0x5F, 0x01, 0x10, 0x5E, 0x5F, 0x00, 0x2F, 0x68, 0x59};
    EntryTimes times{1, 2, 3};
    ASSERT_TRUE(readExtendedTimestamp(local.data(), local.size(), times));
    EXPECT_EQ(times.modification, 1600000000);
    EXPECT_EQ(times.access, 1600000001);
    EXPECT_EQ(times.creation, 1500000000);

    // The central copy announces three times but carries only the first.
    const std::vector<uint8_t> central{0x07, 0x00, 0x10, 0x5E, 0x5F};
    times = {1, 2, 3};
    ASSERT_TRUE(readExtendedTimestamp(central.data(), central.size(), times));
    EXPECT_EQ(times.modification, 1600000000);
    EXPECT_EQ(times.access, 2);
    EXPECT_EQ(times.creation, 3);

    // Access time only: the flags say which times follow, in order.
    const std::vector<uint8_t> accessOnly{0x02, 0x01, 0x10, 0x5E, 0x5F};
    times = {1, 2, 3};
    ASSERT_TRUE(readExtendedTimestamp(accessOnly.data(), accessOnly.size(), times));
    EXPECT_EQ(times.modification, 1);
    EXPECT_EQ(times.access, 1600000001);

    // Signed seconds, as Info-ZIP defines them.
    const std::vector<uint8_t> beforeEpoch{0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(readExtendedTimestamp(beforeEpoch.data(), beforeEpoch.size(), times));
    EXPECT_EQ(times.modification, -1);

    // Truncated or empty bodies never read past their end.
    const std::vector<uint8_t> truncated{0x01, 0x10, 0x5E};
    times = {1, 2, 3};
    EXPECT_TRUE(readExtendedTimestamp(truncated.data(), truncated.size(), times));
    EXPECT_EQ(times.modification, 1);
    EXPECT_FALSE(readExtendedTimestamp(truncated.data(), 0, times));
    EXPECT_FALSE(readExtendedTimestamp(nullptr, 5, times));
}
