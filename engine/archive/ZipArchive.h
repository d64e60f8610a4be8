#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/Strings.h"

// The engine's zip facade: create an archive and add files to it, or open an
// archive, walk its entries and extract them. A handle is either a writer
// (createZip) or a reader (openZip); every call checks the kind, returns a
// result code, stores it as the last code of its side and never throws.

struct ZipHandleData;
using ZipHandle = ZipHandleData*;

// Result codes. Callers treat any non-zero code as failure.
constexpr int ZR_OK = 0;
constexpr int ZR_ARGS = 0x10000;      // null handle, bad index, empty or unusable name
constexpr int ZR_ZMODE = 0x80000;     // a reader handle given to a writer call, or the reverse
constexpr int ZR_NOFILE = 0x200;      // a file or folder cannot be created or opened
constexpr int ZR_WRITE = 0x400;       // an entry cannot be added, or extracted data cannot be written
constexpr int ZR_CORRUPT = 0x700;     // not a zip archive, or its structure or data is damaged
constexpr int ZR_READ = 0x800;        // the archive cannot be read
constexpr int ZR_PASSWORD = 0x1000;   // the entry is encrypted and the password is missing or wrong
constexpr int ZR_FLATE = 0x5000000;   // deflate or inflate failed
constexpr int ZR_FAILED = 0x40000;    // the writer is already in error
constexpr int ZR_ENDED = 0x50000;     // the writer is already closed
constexpr int ZR_UNSAFE = 0x20000;    // entry refused: it would leave the base folder, or goes through a link
constexpr int ZR_METHOD = 0x3000;     // unsupported compression or encryption method
constexpr int ZR_CANCELLED = 0x60000; // the writer was asked to stop while it wrote the archive

// Attribute flags of ZipItem::attributes (the DOS attribute bits).
constexpr uint32_t ZA_READONLY = 0x01;
constexpr uint32_t ZA_HIDDEN = 0x02;
constexpr uint32_t ZA_SYSTEM = 0x04;
constexpr uint32_t ZA_FOLDER = 0x10;
constexpr uint32_t ZA_ARCHIVE = 0x20;

struct ZipItem {
    int index = 0;
    nocase_wstring name;           // cleaned: relative, "/" separators
    uint32_t attributes = 0;       // ZA_* flags
    int64_t creationTime = 0;      // Unix seconds, UTC
    int64_t accessTime = 0;
    int64_t modificationTime = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    bool isLink = false;           // a Unix symbolic link; unzipItem never creates it
};

// Writer side. The archive appears at `path` only when closeZip succeeds; a
// file already there is replaced then and kept untouched on failure.
[[nodiscard]] ZipHandle createZip(const nocase_wstring& path); // nullptr on failure
// How zipAdd writes a file: by its name (archive-like extensions stored,
// everything else deflated at level 8), or stored whatever its name, for
// data that cannot shrink (encrypted bodies), where deflating would only
// cost time.
enum class ZipMethod { ByName, Stored };

// Sees the bytes of a file as the archive reads them to write them (when the
// archive is closed), in order. complete is asked once the file was read to
// its end: false fails the archive, as a file that cannot be read does.
struct ZipAddWatch {
    std::function<void(const unsigned char*, std::size_t)> bytes;
    std::function<bool()> complete;
};

// Adds the file (or folder) at sourcePath under entryName; backslashes in the
// name become "/". A watch (files only) must stay valid until closeZip.
[[nodiscard]] int zipAdd(ZipHandle zip, const nocase_wstring& entryName, const nocase_wstring& sourcePath,
                         ZipMethod method = ZipMethod::ByName, const ZipAddWatch* watch = nullptr);
// Hears how far closeZip has come while it writes the archive, and may stop it.
class ZipWriteObserver {
public:
    virtual ~ZipWriteObserver();
    // Bytes of the entries' sources written into the archive so far.
    virtual void written(uint64_t bytes) = 0;
    // true stops the writing at once.
    virtual bool stopRequested() = 0;
};

// Frees the handle in every case. A writer writes the archive (the entries'
// data is read only now); when anything failed (an earlier add, a source that
// cannot be read, a full disk) it returns non-zero and leaves no partial
// archive behind. An observer hears the bytes as they are written; its stop
// request ends the writing with ZR_CANCELLED, again leaving no archive.
[[nodiscard]] int closeZip(ZipHandle zip, ZipWriteObserver* observer = nullptr);
// Frees a handle without writing anything: an unfinished writer leaves no
// archive behind and a file already at its path stays as it was.
void discardZip(ZipHandle zip);

// Reader side. nullptr when the file is missing or is not a readable zip
// archive. A password (null or empty for none) opens encrypted entries.
[[nodiscard]] ZipHandle openZip(const nocase_wstring& path, const std::string* password);
// The same for an archive held in memory. The bytes are copied, so the
// caller's buffer need not outlive the handle.
[[nodiscard]] ZipHandle openZipFromMemory(const void* data, std::size_t size, const std::string* password);
// Index -1 yields the number of entries in item.index.
[[nodiscard]] int getZipItem(ZipHandle zip, int index, ZipItem& item);
// Extracts one entry to target; a relative target is resolved under the base
// folder. Targets that are empty, hold "..", leave the base folder or pass
// through an existing link are refused with ZR_UNSAFE before anything is
// written. Link entries are skipped: ZR_OK and nothing written. Files are
// created with mode 0600 and folders with 0700; a failed extraction leaves no
// partial file and keeps a file that was already at the target.
[[nodiscard]] int unzipItem(ZipHandle zip, int index, const nocase_wstring& target);
// The folder (which must exist) under which relative targets are resolved.
[[nodiscard]] int setUnzipBaseFolder(ZipHandle zip, const nocase_wstring& folder);
// Extracts every entry, in order, under the base folder (which must be set)
// by its reported name. Stops at the first entry that cannot be read or
// extracted and returns its code; what came out before it stays.
[[nodiscard]] int unzipAll(ZipHandle zip);

// The last result code of the writer calls and of the reader calls.
int lastWriterResult();
int lastReaderResult();
