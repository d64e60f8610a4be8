#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/stat.h>

#include "engine/Strings.h"

// The ordinary file a transform reads. Anything else (a folder, a FIFO, a
// device) is refused when it is opened.
class SourceFile {
public:
    explicit SourceFile(const nocase_wstring& path);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    const struct stat& status() const { return info; }

    // Fills the buffer up to count bytes; fewer only at the end of the file.
    std::size_t read(unsigned char* buffer, std::size_t count);

    // From here on, reads whose buffer, length and position are aligned to
    // WipedBuffer::kAlignment go past the page cache where the file system
    // allows it; any other read, or a refusal, goes back to ordinary reads.
    void readFromDisk();

private:
    void leaveDirectReads();

    int descriptor = -1;
    struct stat info {};
    std::uint64_t position = 0;
    bool direct = false;
};
