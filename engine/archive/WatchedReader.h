#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "engine/archive/ReadBlockPool.h"

// Reads a file in large blocks for a reader that asks for small slices
// (libzip copies 8 KiB at a time) and shows every block to a watch, in order.
// A large file is read and watched on a thread of its own, up to a few MiB
// ahead of the reader, so that neither the read nor a hash over the file
// costs the thread that writes the archive anything; started while the file
// before it is still being copied, it hashes the next file on the other core.
class WatchedReader {
public:
    using Watch = std::function<void(const unsigned char*, std::size_t)>;

    // Reads from descriptor, which stays the caller's until the reader is
    // gone; expectedSize only chooses whether a thread is worth it and how
    // far ahead it reads. The pool, when given, outlives the reader.
    WatchedReader(int descriptor, std::uint64_t expectedSize, Watch watch, ReadBlockPool* pool = nullptr);
    ~WatchedReader();
    WatchedReader(const WatchedReader&) = delete;
    WatchedReader& operator=(const WatchedReader&) = delete;

    // Copies up to length bytes to out. 0 at the end, once the watch has
    // seen every byte; -1 with errno set when reading fails (EIO when the
    // watch threw).
    ssize_t read(unsigned char* out, std::size_t length);

private:
    // Fills the slot from the file; false with errno set when reading fails.
    // Sets atEnd once the file's end is met.
    bool fill(int slot, bool& atEnd);
    // Copies from the current slot, which holds bytes not copied yet.
    ssize_t copyOut(unsigned char* out, std::size_t length);
    ssize_t readHere(unsigned char* out, std::size_t length);
    ssize_t readBeside(unsigned char* out, std::size_t length);
    void readAheadLoop();

    int descriptor;
    Watch watch;
    bool beside;
    std::size_t blockSize;
    ReadBlockPool* pool;
    std::vector<std::unique_ptr<unsigned char[]>> slots;
    std::vector<std::size_t> lengths;
    // The slot the caller copies from, and how far it has come.
    int current = -1;
    std::size_t offset = 0;
    bool ended = false;
    std::exception_ptr watchFailure;

    // Beside: blocks the thread has read and watched, and blocks the caller
    // has copied out; slot n % slots.size() holds block n.
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t produced = 0;
    std::uint64_t consumed = 0;
    bool finished = false; // the thread read its last block, or failed
    int readError = 0;
    bool stopping = false;
    std::thread reader;
};
