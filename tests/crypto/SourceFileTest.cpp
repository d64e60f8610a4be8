// Reads past the page cache return the file's bytes exactly, to its last
// odd byte, and a read that cannot go past the cache (unaligned, or a file
// system that refuses) still returns them through the cache.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <stdlib.h>

#include <gtest/gtest.h>

#include "engine/crypto/SourceFile.h"
#include "engine/crypto/WipedBuffer.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using testsupport::patternBytes;
using testsupport::writeFile;

namespace {

constexpr std::size_t kBlock = std::size_t { 1 } << 20;

// Reads the whole file, first `lead` bytes on their own when lead > 0.
std::string readAll(const std::string& path, std::size_t lead)
{
    SourceFile source(toWide(path));
    source.readFromDisk();
    WipedBuffer buffer(kBlock);
    std::string read;
    if (lead > 0) {
        const std::size_t got = source.read(buffer.data(), lead);
        read.append(reinterpret_cast<const char*>(buffer.data()), got);
    }
    for (;;) {
        const std::size_t got = source.read(buffer.data(), kBlock);
        read.append(reinterpret_cast<const char*>(buffer.data()), got);
        if (got < kBlock)
            return read;
    }
}

} // namespace

TEST(SourceFile, ReadsPastTheCacheGiveEveryByteAndFallBackWhereTheyCannot)
{
    std::vector<std::string> folders = { testsupport::makeScratchFolder("source-file") };
    // tmpfs refuses direct reads on older kernels and takes them on newer.
    char inMemory[] = "/dev/shm/kist-source-file-XXXXXX";
    if (std::filesystem::is_directory("/dev/shm") && ::mkdtemp(inMemory) != nullptr)
        folders.push_back(inMemory);
    // Aligned lengths and odd ones: a last block that is short, one that
    // ends a byte into a page, an empty file.
    for (const std::string& folder : folders) {
        for (const std::size_t length : { 3 * kBlock, 3 * kBlock + 123, kBlock + 4095, std::size_t { 1 },
                                          std::size_t { 0 } }) {
            const std::string plain = patternBytes(length);
            // Just written: its pages are still dirty in the cache.
            writeFile(folder + "/plain", plain);
            EXPECT_TRUE(readAll(folder + "/plain", 0) == plain) << folder << ", " << length << " bytes";
            // An odd first read leaves every later position unaligned.
            EXPECT_TRUE(readAll(folder + "/plain", 1000) == plain) << folder << ", " << length << " bytes";
        }
        std::filesystem::remove_all(folder);
    }
}
