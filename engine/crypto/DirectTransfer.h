#pragma once

#include <cstddef>
#include <cstdint>

// Reads and writes past the page cache (O_DIRECT) for the large files that
// stream through the pipeline, in blocks of WipedBuffer's alignment.
namespace directtransfer {

// Whether a transfer of count bytes at buffer and file offset may go past the cache.
bool fits(const unsigned char* buffer, std::size_t count, std::uint64_t offset);

// Turns direct transfers on or off for an open file. False when the file
// system refuses the flag (turning it on) or the change fails.
bool set(int descriptor, bool direct);

} // namespace directtransfer
