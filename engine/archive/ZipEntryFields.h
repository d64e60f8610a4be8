#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Pure encoding and decoding of the per-entry fields that the zip facade
// decides itself: external attributes and the extended-timestamp extra field.
namespace archive {

// Host bytes of "version made by" whose external attributes carry DOS bits
// (FAT, Macintosh, NTFS as Info-ZIP numbers it, VFAT).
bool hostUsesDosAttributes(uint8_t host);

// External attributes of an added entry: DOS bits in the low byte and the Unix
// mode in the high 16 bits, for an archive whose host is Unix.
uint32_t externalAttributesForFile(bool readOnly, bool executable);
uint32_t externalAttributesForFolder();

// ZA_* flags of a read entry. Hosts without DOS bits derive them from the
// Unix mode; when no mode was recorded the low byte is taken as DOS bits.
// A name ending in "/" always marks a folder.
uint32_t attributesFromExternal(uint8_t host, uint32_t external, bool nameEndsWithSlash);

// A Unix symbolic link entry.
bool isLinkEntry(uint8_t host, uint32_t external);

struct EntryTimes {
    int64_t modification = 0;
    int64_t access = 0;
    int64_t creation = 0;
};

// Extended-timestamp ("UT") extra field, header ID 0x5455: a flags byte
// (bit 0 modification, bit 1 access, bit 2 creation) followed by each time
// present as a little-endian 32-bit count of Unix seconds.
constexpr uint16_t kExtendedTimestampId = 0x5455;

// Body for the local header (flags 7, all three times, 13 bytes) and for the
// central directory (flags 7, modification time only, 5 bytes). Empty when a
// time falls outside 1970..2038, which the 32-bit field cannot carry
// unambiguously; the DOS date and time still record the modification time.
std::vector<uint8_t> localExtendedTimestamp(const EntryTimes& times);
std::vector<uint8_t> centralExtendedTimestamp(const EntryTimes& times);

// Replaces the times that a UT body carries; times it lacks stay as they were.
// False (and nothing changed) when the body is too short to hold its flags.
bool readExtendedTimestamp(const uint8_t* data, std::size_t size, EntryTimes& times);

} // namespace archive
