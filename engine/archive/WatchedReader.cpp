#include "engine/archive/WatchedReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

// Small enough to stay in the processor's cache while the watch, the copy to
// libzip and its checksum go over it: blocks of 1 MiB made the export twice
// as slow as blocks of 128 KiB.
constexpr std::size_t kBlock = std::size_t{128} << 10;
// Smaller files are watched on the reading thread: starting a thread would
// cost more than it saves.
constexpr std::uint64_t kBesideFrom = std::uint64_t{512} << 10;

} // namespace

WatchedReader::WatchedReader(int fileDescriptor, std::uint64_t expectedSize, Watch fileWatch)
    : descriptor(fileDescriptor)
    , watch(std::move(fileWatch))
    , beside(watch && expectedSize >= kBesideFrom)
    // One more byte than expected, so that the first read of a small file
    // already meets its end.
    , blockSize(std::max<std::size_t>(static_cast<std::size_t>(std::min<std::uint64_t>(expectedSize + 1, kBlock)), 4096))
{
    for (auto& slot : slots)
        slot.reset(new unsigned char[blockSize]);
    if (beside)
        watcher = std::thread([this] { watchLoop(); });
}

WatchedReader::~WatchedReader()
{
    if (watcher.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        watcher.join();
    }
}

ssize_t WatchedReader::read(unsigned char* out, std::size_t length)
{
    while (current < 0 || offset == lengths[current]) {
        if (ended) {
            if (!waitForWatch()) {
                errno = EIO;
                return -1;
            }
            return 0;
        }
        const int next = current < 0 ? 0 : 1 - current;
        if (beside) {
            // The watch may still be reading the block that slot held.
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !watching[next]; });
        }
        if (!fill(next))
            return -1;
        current = next;
        offset = 0;
        post(next);
    }
    const std::size_t count = std::min(length, lengths[current] - offset);
    std::memcpy(out, slots[current].get() + offset, count);
    offset += count;
    return static_cast<ssize_t>(count);
}

bool WatchedReader::fill(int slot)
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
            ended = true;
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    lengths[slot] = got;
    return true;
}

void WatchedReader::post(int slot)
{
    if (!watch || lengths[slot] == 0)
        return;
    if (!beside) {
        try {
            watch(slots[slot].get(), lengths[slot]);
        } catch (...) {
            watchFailure = std::current_exception();
        }
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        watching[slot] = true;
        posted.push_back(slot);
    }
    changed.notify_all();
}

bool WatchedReader::waitForWatch()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return posted.empty() && std::none_of(std::begin(watching), std::end(watching), [](bool busy) { return busy; }); });
    return !watchFailure;
}

void WatchedReader::watchLoop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return stopping || !posted.empty(); });
        if (posted.empty())
            return;
        const int slot = posted.front();
        posted.pop_front();
        lock.unlock();
        // The reading thread leaves this slot alone until watching is false.
        std::exception_ptr failure;
        try {
            watch(slots[slot].get(), lengths[slot]);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure && !watchFailure)
            watchFailure = failure;
        watching[slot] = false;
        changed.notify_all();
    }
}
