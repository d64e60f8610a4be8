#include "tools/bench_common/BenchFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "tools/bench_common/Descriptor.h"

namespace {

char patternByte(std::uint64_t offset, unsigned seed)
{
    return static_cast<char>((offset + seed) % 251);
}

} // namespace

void createPatternFile(const std::string& path, std::uint64_t size, unsigned seed)
{
    Descriptor out(path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<char> block(std::min(size, kMiB));
    std::uint64_t position = 0;
    while (position < size) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - position));
        for (std::size_t i = 0; i < count; ++i)
            block[i] = patternByte(position + i, seed);
        out.writeAll(block.data(), count);
        position += count;
    }
}

bool holdsPattern(const std::string& path, std::uint64_t size, unsigned seed)
{
    Descriptor in(path, O_RDONLY);
    // One byte more than expected, so that a small file longer than it
    // should be shows in the first read.
    std::vector<char> block(std::min(size + 1, kMiB));
    std::uint64_t position = 0;
    for (;;) {
        const std::size_t got = in.readFully(block.data(), block.size());
        for (std::size_t i = 0; i < got; ++i)
            if (block[i] != patternByte(position + i, seed))
                return false;
        position += got;
        if (got < block.size())
            return position == size;
    }
}

bool sameContents(const std::string& a, const std::string& b)
{
    Descriptor first(a, O_RDONLY);
    Descriptor second(b, O_RDONLY);
    std::vector<char> left(kMiB);
    std::vector<char> right(kMiB);
    for (;;) {
        const std::size_t gotLeft = first.readFully(left.data(), left.size());
        const std::size_t gotRight = second.readFully(right.data(), right.size());
        if (gotLeft != gotRight || std::memcmp(left.data(), right.data(), gotLeft) != 0)
            return false;
        if (gotLeft < left.size())
            return true;
    }
}

void flushFile(const std::string& path)
{
    Descriptor file(path, O_RDONLY);
    if (::fdatasync(file.get()) != 0)
        throw std::runtime_error("fdatasync of " + path + " failed: " + std::strerror(errno));
}

void settle(const std::string& folder)
{
    Descriptor directory(folder, O_RDONLY | O_DIRECTORY);
    if (::syncfs(directory.get()) != 0)
        throw std::runtime_error(std::string("syncfs failed: ") + std::strerror(errno));
}

void evictFromCache(const std::string& path)
{
    settle(std::filesystem::is_directory(path) ? path : std::filesystem::path(path).parent_path().string());
    const auto evict = [](const std::string& file) {
        Descriptor descriptor(file, O_RDONLY);
        (void)::posix_fadvise(descriptor.get(), 0, 0, POSIX_FADV_DONTNEED);
    };
    if (!std::filesystem::is_directory(path)) {
        evict(path);
        return;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        if (entry.is_regular_file())
            evict(entry.path().string());
}

void removeQuietly(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
