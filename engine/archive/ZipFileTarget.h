#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>
#include <zip.h>

// The file a new archive is written to, as a libzip source. libzip's own file
// source writes through a 4 KiB stdio buffer, a system call for every 4 KiB
// of a package of gigabytes; this one gathers 1 MiB per write. Otherwise it
// does what libzip's does: the archive is written to a temporary file beside
// it, renamed over it only when complete and removed on failure or cancel; a
// new archive gets the umask's mode, a replaced one keeps its mode.
class ZipFileTarget {
public:
    // A source libzip owns (zip_open_from_source with ZIP_CREATE |
    // ZIP_TRUNCATE); null with error set when it cannot be made.
    [[nodiscard]] static zip_source_t* create(const std::string& path, zip_error_t* error);

    ~ZipFileTarget();
    ZipFileTarget(const ZipFileTarget&) = delete;
    ZipFileTarget& operator=(const ZipFileTarget&) = delete;

private:
    explicit ZipFileTarget(std::string archivePath);

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command);
    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
    zip_int64_t fail(int code, int system = 0);

    bool beginWrite();
    bool write(const unsigned char* data, std::size_t length);
    bool seek(const zip_source_args_seek_t& where);
    bool flush();
    bool commit();
    void rollback();

    std::string path;
    std::string temporaryPath;
    int descriptor = -1;
    // The archive existed when writing began: its mode goes to the new one.
    bool replacing = false;
    mode_t replacedMode = 0;
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t buffered = 0;
    // Where the buffer's first byte goes, and where the next write goes.
    std::uint64_t bufferAt = 0;
    std::uint64_t position = 0;
    std::uint64_t size = 0;
    zip_error_t error;
};
