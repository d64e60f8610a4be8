#pragma once

#include <cstdint>
#include <string>

// The files a benchmark makes, checks, flushes and clears away. Failures
// throw std::runtime_error.

constexpr std::uint64_t kMiB = std::uint64_t {1} << 20;

// Bytes (offset + seed) % 251, written in blocks of at most 1 MiB so that
// the benchmark itself stays small.
void createPatternFile(const std::string& path, std::uint64_t size, unsigned seed = 0);
// Whether the file holds exactly what createPatternFile wrote.
bool holdsPattern(const std::string& path, std::uint64_t size, unsigned seed = 0);
bool sameContents(const std::string& a, const std::string& b);

void flushFile(const std::string& path);
// Writes back what earlier steps left dirty on folder's file system, so that
// no step pays for the write-back of another.
void settle(const std::string& folder);
// Writes back what is dirty, then asks the kernel to forget the cached pages
// of the file, or of every file below the folder: the next step reads them
// from the disk, as it would read a user's file not touched for a while,
// whichever program wrote it last and however.
void evictFromCache(const std::string& path);
// Removes a file or a whole tree, and says nothing when it cannot.
void removeQuietly(const std::string& path);
