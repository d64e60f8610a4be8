#include "engine/storage/GatheredWrites.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <sqlcipher/sqlite3.h>

namespace gatheredwrites {
namespace {

constexpr char kName[] = "kist-gathered";
// What one file gathers at most before it writes. The layer below writes
// at most 128 KiB - 1 bytes a call (it masks the length with 0x1FFFF, so a
// write of exactly 128 KiB or 1 MiB would write nothing and be taken for a
// full disk).
constexpr std::size_t kMostGathered = std::size_t { 96 } << 10;

sqlite3_vfs* ownVfs = nullptr;

// The bytes written since the file last wrote: one run, from offset on.
struct Gathered {
    sqlite3_int64 offset = 0;
    std::vector<char> bytes;
};

// SQLite allocates szOsFile bytes for each open file: this header, then the
// file of the layer below.
struct File {
    sqlite3_file base;
    sqlite3_file* below;
    Gathered* gathered; // nullptr: a file whose writes pass straight through
};

sqlite3_vfs* belowVfs()
{
    return static_cast<sqlite3_vfs*>(ownVfs->pAppData);
}

File* fileOf(sqlite3_file* file)
{
    return reinterpret_cast<File*>(file);
}

sqlite3_file* belowOf(sqlite3_file* file)
{
    return fileOf(file)->below;
}

int writeGathered(File* file)
{
    Gathered* gathered = file->gathered;
    if (gathered == nullptr || gathered->bytes.empty())
        return SQLITE_OK;
    const int rc = file->below->pMethods->xWrite(file->below, gathered->bytes.data(),
                                                 static_cast<int>(gathered->bytes.size()), gathered->offset);
    // Written or failed, the bytes are not written twice: a failure is
    // reported to what needed them, and SQLite rolls back.
    gathered->bytes.clear();
    return rc;
}

int xClose(sqlite3_file* file)
{
    File* self = fileOf(file);
    const int written = writeGathered(self);
    const int closed = self->below->pMethods->xClose(self->below);
    delete self->gathered;
    self->gathered = nullptr;
    return written != SQLITE_OK ? written : closed;
}

int xRead(sqlite3_file* file, void* out, int amount, sqlite3_int64 offset)
{
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xRead(belowOf(file), out, amount, offset);
}

int xWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset)
{
    File* self = fileOf(file);
    Gathered* gathered = self->gathered;
    if (gathered == nullptr)
        return self->below->pMethods->xWrite(self->below, data, amount, offset);
    const auto count = static_cast<std::size_t>(amount);
    const bool follows = !gathered->bytes.empty()
        && offset == gathered->offset + static_cast<sqlite3_int64>(gathered->bytes.size())
        && gathered->bytes.size() + count <= kMostGathered;
    if (!follows) {
        if (const int rc = writeGathered(self); rc != SQLITE_OK)
            return rc;
        if (count >= kMostGathered)
            return self->below->pMethods->xWrite(self->below, data, amount, offset);
        gathered->offset = offset;
    }
    const char* bytes = static_cast<const char*>(data);
    try {
        gathered->bytes.insert(gathered->bytes.end(), bytes, bytes + count);
    } catch (const std::bad_alloc&) {
        gathered->bytes.clear();
        return SQLITE_IOERR_NOMEM;
    }
    return SQLITE_OK;
}

int xTruncate(sqlite3_file* file, sqlite3_int64 size)
{
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xTruncate(belowOf(file), size);
}

int xSync(sqlite3_file* file, int flags)
{
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xSync(belowOf(file), flags);
}

int xFileSize(sqlite3_file* file, sqlite3_int64* size)
{
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xFileSize(belowOf(file), size);
}

int xLock(sqlite3_file* file, int level)
{
    return belowOf(file)->pMethods->xLock(belowOf(file), level);
}

// Another program may read the file as soon as the lock is gone.
int xUnlock(sqlite3_file* file, int level)
{
    const int written = writeGathered(fileOf(file));
    const int unlocked = belowOf(file)->pMethods->xUnlock(belowOf(file), level);
    return written != SQLITE_OK ? written : unlocked;
}

int xCheckReservedLock(sqlite3_file* file, int* reserved)
{
    return belowOf(file)->pMethods->xCheckReservedLock(belowOf(file), reserved);
}

// Some controls stand in for a sync (synchronous=off) or read the file.
int xFileControl(sqlite3_file* file, int op, void* argument)
{
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xFileControl(belowOf(file), op, argument);
}

int xSectorSize(sqlite3_file* file)
{
    return belowOf(file)->pMethods->xSectorSize(belowOf(file));
}

int xDeviceCharacteristics(sqlite3_file* file)
{
    return belowOf(file)->pMethods->xDeviceCharacteristics(belowOf(file));
}

int xShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** mapped)
{
    return belowOf(file)->pMethods->xShmMap(belowOf(file), region, size, extend, mapped);
}

int xShmLock(sqlite3_file* file, int offset, int count, int flags)
{
    return belowOf(file)->pMethods->xShmLock(belowOf(file), offset, count, flags);
}

void xShmBarrier(sqlite3_file* file)
{
    belowOf(file)->pMethods->xShmBarrier(belowOf(file));
}

int xShmUnmap(sqlite3_file* file, int deleteFlag)
{
    return belowOf(file)->pMethods->xShmUnmap(belowOf(file), deleteFlag);
}

// A mapped page is read without xRead.
int xFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page)
{
    *page = nullptr;
    if (const int rc = writeGathered(fileOf(file)); rc != SQLITE_OK)
        return rc;
    return belowOf(file)->pMethods->xFetch(belowOf(file), offset, amount, page);
}

int xUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page)
{
    return belowOf(file)->pMethods->xUnfetch(belowOf(file), offset, page);
}

const sqlite3_io_methods kMethods = {
    3,
    xClose,
    xRead,
    xWrite,
    xTruncate,
    xSync,
    xFileSize,
    xLock,
    xUnlock,
    xCheckReservedLock,
    xFileControl,
    xSectorSize,
    xDeviceCharacteristics,
    xShmMap,
    xShmLock,
    xShmBarrier,
    xShmUnmap,
    xFetch,
    xUnfetch,
};

int xOpen(sqlite3_vfs* /*vfs*/, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    File* self = fileOf(file);
    self->base.pMethods = nullptr;
    self->below = reinterpret_cast<sqlite3_file*>(self + 1);
    self->gathered = nullptr;
    const int rc = belowVfs()->xOpen(belowVfs(), name, self->below, flags, outFlags);
    if (rc != SQLITE_OK) {
        // SQLite closes a file whose open failed only when it has methods.
        if (self->below->pMethods != nullptr)
            self->below->pMethods->xClose(self->below);
        return rc;
    }
    if ((flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL)) != 0)
        self->gathered = new (std::nothrow) Gathered;
    // A file below with fewer methods (no shared memory, no mapping) is
    // shown as it is.
    static sqlite3_io_methods versionOne = [] {
        sqlite3_io_methods methods = kMethods;
        methods.iVersion = 1;
        return methods;
    }();
    static sqlite3_io_methods versionTwo = [] {
        sqlite3_io_methods methods = kMethods;
        methods.iVersion = 2;
        return methods;
    }();
    const int version = self->below->pMethods->iVersion;
    self->base.pMethods = version >= 3 ? &kMethods : version == 2 ? &versionTwo : &versionOne;
    return SQLITE_OK;
}

// The rest is the layer below's, called with its own object.
int xDelete(sqlite3_vfs*, const char* name, int syncDir)
{
    return belowVfs()->xDelete(belowVfs(), name, syncDir);
}

int xAccess(sqlite3_vfs*, const char* name, int flags, int* result)
{
    return belowVfs()->xAccess(belowVfs(), name, flags, result);
}

int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    return belowVfs()->xFullPathname(belowVfs(), name, size, out);
}

void* xDlOpen(sqlite3_vfs*, const char* name)
{
    return belowVfs()->xDlOpen(belowVfs(), name);
}

void xDlError(sqlite3_vfs*, int size, char* out)
{
    belowVfs()->xDlError(belowVfs(), size, out);
}

void (*xDlSym(sqlite3_vfs*, void* library, const char* symbol))(void)
{
    return belowVfs()->xDlSym(belowVfs(), library, symbol);
}

void xDlClose(sqlite3_vfs*, void* library)
{
    belowVfs()->xDlClose(belowVfs(), library);
}

int xRandomness(sqlite3_vfs*, int size, char* out)
{
    return belowVfs()->xRandomness(belowVfs(), size, out);
}

int xSleep(sqlite3_vfs*, int microseconds)
{
    return belowVfs()->xSleep(belowVfs(), microseconds);
}

int xCurrentTime(sqlite3_vfs*, double* now)
{
    return belowVfs()->xCurrentTime(belowVfs(), now);
}

int xGetLastError(sqlite3_vfs*, int size, char* out)
{
    return belowVfs()->xGetLastError(belowVfs(), size, out);
}

int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now)
{
    return belowVfs()->xCurrentTimeInt64(belowVfs(), now);
}

} // namespace

const char* vfsName()
{
    static std::once_flag registered;
    std::call_once(registered, [] {
        sqlite3_vfs* below = sqlite3_vfs_find(nullptr);
        // Only over a layer new enough to have every method used here.
        if (below == nullptr || below->iVersion < 2)
            return;
        static sqlite3_vfs own {};
        own.iVersion = 2;
        own.szOsFile = static_cast<int>(sizeof(File)) + below->szOsFile;
        own.mxPathname = below->mxPathname;
        own.zName = kName;
        own.pAppData = below;
        own.xOpen = xOpen;
        own.xDelete = xDelete;
        own.xAccess = xAccess;
        own.xFullPathname = xFullPathname;
        own.xDlOpen = xDlOpen;
        own.xDlError = xDlError;
        own.xDlSym = xDlSym;
        own.xDlClose = xDlClose;
        own.xRandomness = xRandomness;
        own.xSleep = xSleep;
        own.xCurrentTime = xCurrentTime;
        own.xGetLastError = xGetLastError;
        own.xCurrentTimeInt64 = xCurrentTimeInt64;
        ownVfs = &own;
        if (sqlite3_vfs_register(&own, 0) != SQLITE_OK)
            ownVfs = nullptr;
    });
    return ownVfs != nullptr ? kName : nullptr;
}

} // namespace gatheredwrites
