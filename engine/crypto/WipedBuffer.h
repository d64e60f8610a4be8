#pragma once

#include <cstddef>

// A heap buffer for file blocks that is wiped when released, since it holds
// plain file contents. Its start and capacity are aligned to kAlignment, as
// direct (uncached) writes need.
class WipedBuffer {
public:
    static constexpr std::size_t kAlignment = 4096;

    explicit WipedBuffer(std::size_t size);
    ~WipedBuffer();
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;

    unsigned char* data() { return bytes; }
    // What was asked for; the allocation may be larger.
    std::size_t size() const { return length; }

    // Only the first `written` bytes ever held anything: the release wipes
    // just those. Wiping pages never touched would first fault them in.
    void wipeOnlyFirst(std::size_t written);

private:
    unsigned char* bytes = nullptr;
    std::size_t length = 0;
    std::size_t allocated = 0;
    std::size_t toWipe = 0;
};
