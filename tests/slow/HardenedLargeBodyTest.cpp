// A 5 GiB file through the hardened body format and back: sizes and chunk
// numbers beyond 32 bits. Slow (some 10 GiB of disk traffic): labelled
// "slow" and left out of scripts/test.sh; run it with `ctest -L slow`.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/ExceptionModule.h"
#include "engine/HardenedVault.h"
#include "engine/Kist.h"
#include "engine/crypto/HardenedBody.h"
#include "tests/support/ScratchHome.h"

namespace {

// 5 GiB and a bit; KIST_LARGE_BODY_MIB makes it smaller to try the test itself.
std::uint64_t largeSize()
{
    const char* mib = std::getenv("KIST_LARGE_BODY_MIB");
    return mib != nullptr ? (std::strtoull(mib, nullptr, 10) << 20) + 12345 : (std::uint64_t{5} << 30) + 12345;
}

const std::uint64_t kSize = largeSize();

// Bytes that are not zero, around the 4 GiB mark and at both ends; the rest
// of the sparse file reads as zeros.
std::vector<std::pair<std::uint64_t, std::string>> marks()
{
    std::vector<std::pair<std::uint64_t, std::string>> all{{0, "first bytes"}, {kSize - 9, "last byte"}};
    if (kSize > (std::uint64_t{4} << 30))
        all.emplace_back((std::uint64_t{4} << 30) - 5, "across four GiB");
    return all;
}

const std::vector<std::pair<std::uint64_t, std::string>> kMarks = marks();

void writeSparse(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kSize)), 0);
    for (const auto& [offset, text] : kMarks)
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

// Whether the file holds exactly the marks and zeros elsewhere.
bool holdsTheMarks(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    std::vector<char> expected(std::size_t{1} << 20);
    std::vector<char> read(expected.size());
    std::uint64_t at = 0;
    bool same = true;
    while (same && at < kSize) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(expected.size(), kSize - at));
        std::fill(expected.begin(), expected.begin() + static_cast<long>(length), 0);
        for (const auto& [offset, text] : kMarks)
            for (std::size_t i = 0; i < text.size(); ++i)
                if (offset + i >= at && offset + i < at + length)
                    expected[offset + i - at] = text[i];
        same = ::pread(fd, read.data(), length, static_cast<off_t>(at)) == static_cast<ssize_t>(length)
            && std::memcmp(read.data(), expected.data(), length) == 0;
        at += length;
    }
    char extra = 0;
    same = same && ::pread(fd, &extra, 1, static_cast<off_t>(kSize)) == 0;
    ::close(fd);
    return same;
}

} // namespace

TEST(HardenedLargeBody, FiveGibibytesGoThroughAndBack)
{
    const std::string folder = testsupport::makeScratchFolder("large-body");
    const std::string plain = folder + "/plain";
    const std::string body = folder + "/body";
    const std::string out = folder + "/out";
    writeSparse(plain);
    const std::string key(32, '\x5a');
    HardenedBodyOptions options;
    options.flush = false;
    EXPECT_EQ(encryptHardenedBody(toWide(plain), toWide(body), key, options), kSize);
    ::unlink(plain.c_str());
    struct stat info {};
    ASSERT_EQ(::stat(body.c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), hardenedBodyLength(kSize));

    options.plainSize = kSize;
    EXPECT_EQ(decryptHardenedBody(toWide(body), toWide(out), key, options), kSize);
    EXPECT_TRUE(holdsTheMarks(out));
    ::unlink(out.c_str());

    // Cut short beyond 4 GiB: refused before a byte is written.
    ASSERT_EQ(::truncate(body.c_str(), static_cast<off_t>(hardenedBodyLength(kSize) - 1)), 0);
    try {
        (void)decryptHardenedBody(toWide(body), toWide(out), key, options);
        ADD_FAILURE() << "a cut body was read";
    } catch (const ExceptionModule& error) {
        EXPECT_NE(error.getMessage().find("cut short"), std::string::npos) << error.getMessage();
    }
    EXPECT_NE(::access(out.c_str(), F_OK), 0);
    ::unlink(body.c_str());
}

// The same file through a hardened vault: added, checked, taken out.
TEST(HardenedLargeBody, AHardenedVaultKeepsAFileOfFiveGibibytes)
{
    HardenedVault::fixedParameters = Argon2Parameters{1, kLeastArgon2MemoryKiB, 1};
    const std::string folder = testsupport::makeScratchFolder("large-vault");
    const std::string plain = folder + "/large.img";
    writeSparse(plain);
    {
        Kist vault(true);
        vault.setPassword("large", "");
        (void)vault.harden("large");
        KistFile added;
        vault.addFile(plain, &added, false);
        EXPECT_EQ(added.size, kSize > UINT32_MAX ? UINT32_MAX : kSize) << "the exported size is 32-bit";
        const KistCheckReport report = vault.checkVault();
        EXPECT_TRUE(report.whole());
        ::mkdir((folder + "/out").c_str(), 0700);
        vault.removeFile("large.img", folder + "/out");
    }
    EXPECT_TRUE(holdsTheMarks(folder + "/out/large.img"));
    ::unlink((folder + "/out/large.img").c_str());
    HardenedVault::fixedParameters.reset();
}
