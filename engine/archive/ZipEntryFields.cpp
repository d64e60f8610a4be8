#include "engine/archive/ZipEntryFields.h"

#include <limits>

#include "engine/archive/ZipArchive.h"

namespace archive {
namespace {

constexpr uint32_t kDosAttributeMask = ZA_READONLY | ZA_HIDDEN | ZA_SYSTEM | ZA_FOLDER | ZA_ARCHIVE;
constexpr uint8_t kAllTimesFlags = 0x07;

// The Unix mode bits of the zip format, spelled out so they do not depend on
// the host's <sys/stat.h> values.
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeRegular = 0100000;
constexpr uint32_t kModeDirectory = 0040000;
constexpr uint32_t kModeLink = 0120000;
constexpr uint32_t kModeOwnerRead = 0400;
constexpr uint32_t kModeOwnerWrite = 0200;
constexpr uint32_t kModeOwnerExecute = 0100;

bool fitsTimestampField(int64_t t)
{
    return t >= 0 && t <= std::numeric_limits<int32_t>::max();
}

void appendLittleEndian32(std::vector<uint8_t>& out, int64_t value)
{
    const auto v = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

} // namespace

bool hostUsesDosAttributes(uint8_t host)
{
    return host == 0 || host == 7 || host == 11 || host == 14;
}

uint32_t externalAttributesForFile(bool readOnly, bool executable)
{
    uint32_t mode = kModeRegular | kModeOwnerRead;
    if (!readOnly)
        mode |= kModeOwnerWrite;
    if (executable)
        mode |= kModeOwnerExecute;
    const uint32_t dos = ZA_ARCHIVE | (readOnly ? ZA_READONLY : 0);
    return (mode << 16) | dos;
}

uint32_t externalAttributesForFolder()
{
    const uint32_t mode = kModeDirectory | kModeOwnerRead | kModeOwnerWrite | kModeOwnerExecute;
    return (mode << 16) | ZA_FOLDER;
}

uint32_t attributesFromExternal(uint8_t host, uint32_t external, bool nameEndsWithSlash)
{
    const uint32_t mode = external >> 16;
    uint32_t attributes = 0;
    if (hostUsesDosAttributes(host) || mode == 0) {
        attributes = external & kDosAttributeMask;
    } else {
        if ((mode & kModeTypeMask) == kModeDirectory)
            attributes |= ZA_FOLDER;
        if ((mode & kModeOwnerWrite) == 0)
            attributes |= ZA_READONLY;
    }
    if (nameEndsWithSlash)
        attributes |= ZA_FOLDER;
    return attributes;
}

bool isLinkEntry(uint8_t host, uint32_t external)
{
    return !hostUsesDosAttributes(host) && ((external >> 16) & kModeTypeMask) == kModeLink;
}

std::vector<uint8_t> localExtendedTimestamp(const EntryTimes& times)
{
    if (!fitsTimestampField(times.modification) || !fitsTimestampField(times.access)
        || !fitsTimestampField(times.creation))
        return {};
    std::vector<uint8_t> body{kAllTimesFlags};
    appendLittleEndian32(body, times.modification);
    appendLittleEndian32(body, times.access);
    appendLittleEndian32(body, times.creation);
    return body;
}

std::vector<uint8_t> centralExtendedTimestamp(const EntryTimes& times)
{
    // Written under the same condition as the local field, so both agree.
    if (localExtendedTimestamp(times).empty())
        return {};
    std::vector<uint8_t> body{kAllTimesFlags};
    appendLittleEndian32(body, times.modification);
    return body;
}

bool readExtendedTimestamp(const uint8_t* data, std::size_t size, EntryTimes& times)
{
    if (data == nullptr || size < 1)
        return false;
    const uint8_t flags = data[0];
    std::size_t offset = 1;
    int64_t* const targets[3] = {&times.modification, &times.access, &times.creation};
    for (int bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0)
            continue;
        // The central copy announces all times but carries only the first.
        if (offset + 4 > size)
            break;
        const uint32_t raw = static_cast<uint32_t>(data[offset]) | (static_cast<uint32_t>(data[offset + 1]) << 8)
                             | (static_cast<uint32_t>(data[offset + 2]) << 16)
                             | (static_cast<uint32_t>(data[offset + 3]) << 24);
        // Info-ZIP defines these as signed 32-bit seconds.
        *targets[bit] = static_cast<int32_t>(raw);
        offset += 4;
    }
    return true;
}

} // namespace archive
