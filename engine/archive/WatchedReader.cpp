#include "engine/archive/WatchedReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

// Small enough to stay in the processor's cache while the watch, the copy to
// libzip and its checksum go over it: blocks of 1 MiB made the export twice
// as slow as blocks of 128 KiB.
constexpr std::size_t kBlock = ReadBlockPool::kBlockSize;
// Smaller files are read and watched on the calling thread: starting a
// thread would cost more than it saves.
constexpr std::uint64_t kBesideFrom = std::uint64_t{512} << 10;
// How far a thread reads ahead of the caller, so that the next file is
// hashed while this one is written.
constexpr std::uint64_t kMostAhead = ReadBlockPool::kMostAheadBytes;
constexpr std::size_t kFewestSlots = 4;

} // namespace

WatchedReader::WatchedReader(int fileDescriptor, std::uint64_t expectedSize, Watch fileWatch, ReadBlockPool* blockPool)
    : descriptor(fileDescriptor)
    , watch(std::move(fileWatch))
    , beside(watch && expectedSize >= kBesideFrom)
    // One more byte than expected, so that the first read of a small file
    // already meets its end.
    , blockSize(beside ? kBlock
                       : std::max<std::size_t>(
                           static_cast<std::size_t>(std::min<std::uint64_t>(expectedSize + 1, kBlock)), 4096))
    , pool(beside ? blockPool : nullptr)
{
    const std::size_t count =
        beside ? static_cast<std::size_t>(std::max<std::uint64_t>(
                     std::min(expectedSize, kMostAhead) / kBlock + 1, kFewestSlots))
               : 1;
    slots.resize(count);
    lengths.resize(count, 0);
    for (auto& slot : slots)
        slot = pool != nullptr ? pool->take() : std::unique_ptr<unsigned char[]>(new unsigned char[blockSize]);
    if (beside)
        reader = std::thread([this] { readAheadLoop(); });
}

WatchedReader::~WatchedReader()
{
    if (reader.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        reader.join();
    }
    if (pool != nullptr)
        for (auto& slot : slots)
            pool->give(std::move(slot));
}

ssize_t WatchedReader::read(unsigned char* out, std::size_t length)
{
    return beside ? readBeside(out, length) : readHere(out, length);
}

ssize_t WatchedReader::copyOut(unsigned char* out, std::size_t length)
{
    const std::size_t count = std::min(length, lengths[current] - offset);
    std::memcpy(out, slots[current].get() + offset, count);
    offset += count;
    return static_cast<ssize_t>(count);
}

bool WatchedReader::fill(int slot, bool& atEnd)
{
    unsigned char* block = slots[slot].get();
    std::size_t got = 0;
    while (got < blockSize) {
        const ssize_t count = ::read(descriptor, block + got, blockSize - got);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0) {
            atEnd = true;
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    lengths[slot] = got;
    return true;
}

ssize_t WatchedReader::readHere(unsigned char* out, std::size_t length)
{
    while (current < 0 || offset == lengths[current]) {
        if (ended) {
            if (watchFailure) {
                errno = EIO;
                return -1;
            }
            return 0;
        }
        if (!fill(0, ended))
            return -1;
        current = 0;
        offset = 0;
        if (watch && lengths[0] > 0 && !watchFailure) {
            try {
                watch(slots[0].get(), lengths[0]);
            } catch (...) {
                watchFailure = std::current_exception();
            }
        }
    }
    return copyOut(out, length);
}

ssize_t WatchedReader::readBeside(unsigned char* out, std::size_t length)
{
    while (current < 0 || offset == lengths[current]) {
        std::unique_lock<std::mutex> lock(mutex);
        if (current >= 0) {
            // The slot is copied out: the thread may read into it again.
            ++consumed;
            current = -1;
            changed.notify_all();
        }
        changed.wait(lock, [&] { return produced > consumed || finished; });
        if (produced > consumed) {
            current = static_cast<int>(consumed % slots.size());
            offset = 0;
            continue;
        }
        if (readError != 0) {
            errno = readError;
            return -1;
        }
        if (watchFailure) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    return copyOut(out, length);
}

void WatchedReader::readAheadLoop()
{
    for (std::uint64_t block = 0;; ++block) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return stopping || block - consumed < slots.size(); });
            if (stopping)
                return;
        }
        // The caller leaves this slot alone until produced counts it.
        const int slot = static_cast<int>(block % slots.size());
        bool atEnd = false;
        const bool read = fill(slot, atEnd);
        const int error = read ? 0 : errno;
        std::exception_ptr failure;
        if (read && lengths[slot] > 0) {
            try {
                watch(slots[slot].get(), lengths[slot]);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (!read) {
                readError = error != 0 ? error : EIO;
                finished = true;
            } else if (failure) {
                watchFailure = failure;
                finished = true;
            } else {
                if (lengths[slot] > 0)
                    ++produced;
                finished = atEnd;
            }
        }
        changed.notify_all();
        if (!read || failure || atEnd)
            return;
    }
}
