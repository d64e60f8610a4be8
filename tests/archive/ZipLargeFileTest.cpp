#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>

#include <sys/resource.h>

#include "engine/archive/ZipArchive.h"
#include "tests/archive/ArchiveTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using namespace archivetest;

namespace {

// Past the 32-bit limit of plain zip headers, so sizes need zip64 records.
constexpr std::uint64_t kLargeSize = (std::uint64_t(4) << 30) + 123457;
constexpr std::size_t kMarkerSize = 1 << 20;

// Reads `length` bytes at `offset`.
std::string readRange(const std::string& path, std::uint64_t offset, std::size_t length)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

} // namespace

// A sparse source with distinct bytes at both ends: cheap on disk, yet every
// byte goes through deflate, the CRC and inflate.
TEST(ZipLargeFile, EntriesBeyondFourGibibytesRoundTrip)
{
    const std::string folder = testsupport::makeScratchFolder("zip-large");
    // Minutes of disk traffic: run where KIST_SLOW_TESTS is set.
    if (!std::getenv("KIST_SLOW_TESTS"))
        GTEST_SKIP() << "set KIST_SLOW_TESTS=1 to run the 4 GiB round trip";
    // The extracted copy is a real 4 GiB file.
    if (fs::space(folder).available < 3 * kLargeSize)
        GTEST_SKIP() << "not enough free disk space for a 4 GiB extraction";
    const std::string source = folder + "/large.body";
    const std::string head = testsupport::patternBytes(kMarkerSize);
    const std::string tail(head.rbegin(), head.rend());
    {
        std::ofstream out(source, std::ios::binary);
        out.write(head.data(), static_cast<std::streamsize>(head.size()));
        out.seekp(static_cast<std::streamoff>(kLargeSize - kMarkerSize));
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
        ASSERT_TRUE(out.good());
    }
    ASSERT_EQ(fs::file_size(source), kLargeSize);

    const std::string zipPath = folder + "/large.kzip";
    ASSERT_EQ(writeArchive(zipPath, {{"large.body", source}}), ZR_OK);

    // Python reads the zip64 sizes independently.
    const ToolRun python = runPython(
        "import sys, zipfile\ni = zipfile.ZipFile(sys.argv[1]).getinfo('large.body')\nprint(i.file_size)\n", {zipPath});
    ASSERT_EQ(python.exitCode, 0) << python.output;
    EXPECT_EQ(std::stoull(python.output), kLargeSize);

    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipItem item;
    ASSERT_EQ(getZipItem(zip, 0, item), ZR_OK);
    EXPECT_EQ(item.uncompressedSize, kLargeSize);
    const std::string out = testsupport::makeScratchFolder("zip-large-out");
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
    EXPECT_EQ(unzipItem(zip, 0, item.name), ZR_OK);
    EXPECT_EQ(closeZip(zip), ZR_OK);
    fs::remove(source);

    // The data was streamed through small buffers, never held whole.
    struct rusage usage {};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 512L * 1024) << "peak resident size in KiB";

    const std::string extracted = out + "/large.body";
    EXPECT_EQ(fs::file_size(extracted), kLargeSize);
    EXPECT_TRUE(readRange(extracted, 0, kMarkerSize) == head);
    EXPECT_TRUE(readRange(extracted, kLargeSize - kMarkerSize, kMarkerSize) == tail);
    EXPECT_TRUE(readRange(extracted, kLargeSize / 2, 4096) == std::string(4096, '\0'));
    fs::remove_all(out);
    fs::remove_all(folder);
}
