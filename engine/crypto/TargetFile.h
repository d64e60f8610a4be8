#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "engine/Strings.h"

// The target of a transform. Until commit() succeeds, destroying it removes
// the file, but only when this transform created or truncated it: a file
// that was never touched stays as it was.
class TargetFile {
public:
    TargetFile(const nocase_wstring& targetPath, mode_t createMode, bool exclusive, const struct stat& source);
    ~TargetFile();
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    // A large target written in long sequential blocks: whole aligned blocks
    // go straight to the disk where the file system allows it (no copy into
    // the page cache, no write-back left for the flush), and the rest starts
    // its write-back as it goes, so that the final flush finds little to do.
    void streamToDisk();

    void write(const unsigned char* bytes, std::size_t count);
    // Created by this transform (not an existing file emptied).
    [[nodiscard]] bool isNew() const { return created; }
    void setMode(mode_t mode);
    void commit(bool flush);

private:
    void leaveDirectWrites();
    void startWriteBack();

    std::string path;
    int descriptor = -1;
    bool ownsFile = false;
    bool created = false;
    bool streaming = false;
    bool direct = false;
    std::uint64_t offset = 0;
    std::uint64_t writeBackFrom = 0;
};
