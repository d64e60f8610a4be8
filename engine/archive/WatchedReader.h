#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

// Reads a file in large blocks for a reader that asks for small slices
// (libzip copies 8 KiB at a time) and shows every block to a watch, in order.
// A large file's blocks are watched on a thread of its own while the reader
// takes them, so a hash over the file costs the reading thread nothing.
class WatchedReader {
public:
    using Watch = std::function<void(const unsigned char*, std::size_t)>;

    // Reads from descriptor, which stays the caller's; expectedSize only
    // chooses whether a thread is worth it.
    WatchedReader(int descriptor, std::uint64_t expectedSize, Watch watch);
    ~WatchedReader();
    WatchedReader(const WatchedReader&) = delete;
    WatchedReader& operator=(const WatchedReader&) = delete;

    // Copies up to length bytes to out. 0 at the end, once the watch has
    // seen every byte; -1 with errno set when reading fails (EIO when the
    // watch threw).
    ssize_t read(unsigned char* out, std::size_t length);

private:
    static constexpr int kSlots = 2;

    bool fill(int slot);
    void post(int slot);
    // Waits until the watch has seen every block posted; false if it threw.
    bool waitForWatch();
    void watchLoop();

    int descriptor;
    Watch watch;
    bool beside;
    std::size_t blockSize;
    std::unique_ptr<unsigned char[]> slots[kSlots];
    std::size_t lengths[kSlots] = {};
    int current = -1;
    std::size_t offset = 0;
    bool ended = false;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<int> posted;
    bool watching[kSlots] = {};
    bool stopping = false;
    std::exception_ptr watchFailure;
    std::thread watcher;
};
