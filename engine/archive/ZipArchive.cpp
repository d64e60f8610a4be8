#include "engine/archive/ZipArchive.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include "engine/SecretText.h"
#include "engine/archive/ExtractionTarget.h"
#include "engine/archive/WatchedReader.h"
#include "engine/archive/ZipFileTarget.h"
#include "engine/archive/ZipEntryFields.h"
#include "engine/archive/ZipEntryName.h"
#include "engine/crypto/ZipAesAuthentication.h"

namespace {

class WatchedFile;

// The watched files of one archive in the order libzip reads them, each
// gone from the list once libzip frees it, and the blocks their readers
// share. Only the thread that writes the archive touches the list.
struct WatchedFiles {
    std::vector<WatchedFile*> files;
    ReadBlockPool blocks;
};

} // namespace

struct ZipHandleData {
    enum class Kind { Writer, Reader };

    ZipHandleData(Kind k, zip_t* a, std::string p) : kind(k), archive(a), path(std::move(p)) {}
    ~ZipHandleData() { wipeText(password); }
    ZipHandleData(const ZipHandleData&) = delete;
    ZipHandleData& operator=(const ZipHandleData&) = delete;

    Kind kind;
    zip_t* archive;
    std::string path;
    // Writer: an add failed, so the archive must not be written.
    bool failed = false;
    zip_int64_t entryCount = 0;
    // Writer: the size of each entry's source, in the order of the entries.
    std::vector<uint64_t> entrySizes;
    // Writer: the files whose bytes a watch sees, in the order the archive
    // reads them (shared with their sources, which libzip frees).
    std::shared_ptr<WatchedFiles> watchedFiles = std::make_shared<WatchedFiles>();
    // Reader: absolute folder under which relative targets are resolved.
    std::string baseFolder;
    // Reader: the password given to openZip, for checking AES entries.
    std::string password;
};

namespace {

constexpr zip_uint32_t kDeflateLevel = 8;
// Extraction streams the data through this buffer, never the whole entry.
constexpr std::size_t kExtractionStep = 64 * 1024;

int lastWriterCode = ZR_OK;
int lastReaderCode = ZR_OK;

int writerResult(int code)
{
    lastWriterCode = code;
    return code;
}

int readerResult(int code)
{
    lastReaderCode = code;
    return code;
}

// libzip error of an archive or entry being read. A wrong traditional password
// passes the one-byte header check about once in 256 tries; the garbage it
// then decrypts fails inflation or the CRC, so for an encrypted entry those
// failures mean a wrong password too.
int readErrorCode(int zipError, bool encrypted)
{
    switch (zipError) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
        return ZR_PASSWORD;
    case ZIP_ER_CRC:
        return encrypted ? ZR_PASSWORD : ZR_CORRUPT;
    case ZIP_ER_ZLIB:
    case ZIP_ER_COMPRESSED_DATA:
        return encrypted ? ZR_PASSWORD : ZR_FLATE;
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
        return ZR_METHOD;
    case ZIP_ER_OPEN:
    case ZIP_ER_READ:
    case ZIP_ER_SEEK:
    case ZIP_ER_TELL:
    case ZIP_ER_MEMORY:
        return ZR_READ;
    default:
        return ZR_CORRUPT;
    }
}

int writeErrorCode(int zipError)
{
    return zipError == ZIP_ER_ZLIB || zipError == ZIP_ER_COMPRESSED_DATA ? ZR_FLATE : ZR_WRITE;
}

int archiveError(zip_t* archive)
{
    zip_error_t* error = zip_get_error(archive);
    const int code = zip_error_code_zip(error);
    zip_error_clear(archive);
    return code;
}

// libzip deletes an archive that ends up without entries, so an empty archive
// (the end-of-central-directory record alone) is written here; like libzip,
// through a temporary file renamed onto the destination. The temporary file
// is created with the ordinary mode and the kernel applies the umask.
int writeEmptyArchive(const std::string& path)
{
    static const char kEmptyArchive[22] = {'P', 'K', 5, 6};
    std::string temporary;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            return ZR_NOFILE;
    }
    if (fd < 0)
        return ZR_NOFILE;
    bool ok = ::write(fd, kEmptyArchive, sizeof kEmptyArchive) == static_cast<ssize_t>(sizeof kEmptyArchive);
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        (void)::unlink(temporary.c_str());
        return ZR_WRITE;
    }
    return ZR_OK;
}

archive::EntryTimes sourceTimes(const std::string& path, const struct stat& info)
{
    archive::EntryTimes times;
    times.modification = info.st_mtime;
    times.access = info.st_atime;
    times.creation = info.st_mtime;
    struct statx extended {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &extended) == 0 && (extended.stx_mask & STATX_BTIME))
        times.creation = extended.stx_btime.tv_sec;
    return times;
}

int setExtendedTimestamp(zip_t* archive, zip_uint64_t index, const archive::EntryTimes& times)
{
    const std::vector<uint8_t> local = archive::localExtendedTimestamp(times);
    const std::vector<uint8_t> central = archive::centralExtendedTimestamp(times);
    if (local.empty())
        return ZR_OK;
    if (zip_file_extra_field_set(archive, index, archive::kExtendedTimestampId, ZIP_EXTRA_FIELD_NEW,
                                 local.data(), static_cast<zip_uint16_t>(local.size()), ZIP_FL_LOCAL)
            != 0
        || zip_file_extra_field_set(archive, index, archive::kExtendedTimestampId, ZIP_EXTRA_FIELD_NEW,
                                    central.data(), static_cast<zip_uint16_t>(central.size()), ZIP_FL_CENTRAL)
               != 0)
        return writeErrorCode(archiveError(archive));
    return ZR_OK;
}

// How much of the next file the kernel is asked to read while the current
// one is written; once it is opened, the kernel's own read-ahead goes on.
constexpr off_t kReadNextBytes = off_t{8} << 20;

// A file source that shows its bytes to a watch as libzip reads them.
class WatchedFile {
public:
    WatchedFile(std::string filePath, const struct stat& fileInfo, const ZipAddWatch& fileWatch,
                std::shared_ptr<WatchedFiles> archiveFiles, std::size_t archivePosition)
        : path(std::move(filePath))
        , info(fileInfo)
        , watch(fileWatch)
        , files(std::move(archiveFiles))
        , position(archivePosition)
    {
        zip_error_init(&error);
    }
    ~WatchedFile()
    {
        closeFile();
        if (position < files->files.size() && files->files[position] == this)
            files->files[position] = nullptr;
        zip_error_fini(&error);
    }
    WatchedFile(const WatchedFile&) = delete;
    WatchedFile& operator=(const WatchedFile&) = delete;

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        return static_cast<WatchedFile*>(state)->handle(data, length, command);
    }

private:
    zip_int64_t fail(int code, int system = 0)
    {
        zip_error_set(&error, code, system);
        return -1;
    }

    bool openReader()
    {
        closeFile();
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            return false;
        reader = std::make_unique<WatchedReader>(descriptor, static_cast<std::uint64_t>(info.st_size), watch.bytes,
                                                 &files->blocks);
        return true;
    }

    // Many files of a few MiB (a folder of photos) would otherwise leave the
    // disk idle at each file's start, and one core idle while the other
    // hashes each file: the next file is opened now, a large one read and
    // watched on its reader's thread, and the kernel asked to read ahead.
    // A file that cannot be opened now fails later, when libzip opens it.
    void startNextFile() const
    {
        if (position + 1 >= files->files.size())
            return;
        if (WatchedFile* next = files->files[position + 1]; next != nullptr && !next->startedEarly)
            next->startEarly();
    }

    void startEarly()
    {
        if (!openReader())
            return;
        startedEarly = true;
        (void)::posix_fadvise(descriptor, 0, kReadNextBytes, POSIX_FADV_WILLNEED);
    }

    void closeFile()
    {
        reader.reset();
        if (descriptor >= 0)
            (void)::close(descriptor); // opened for reading only
        descriptor = -1;
    }

    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        switch (command) {
        case ZIP_SOURCE_OPEN:
            // Started early and not read since: the watch has seen only what
            // libzip is about to read.
            if (!startedEarly && !openReader())
                return fail(ZIP_ER_OPEN, errno);
            startedEarly = false;
            startNextFile();
            return 0;
        case ZIP_SOURCE_READ: {
            if (!reader)
                return fail(ZIP_ER_INTERNAL);
            const ssize_t got = reader->read(static_cast<unsigned char*>(data), length);
            if (got < 0)
                return fail(ZIP_ER_READ, errno);
            if (got == 0 && length > 0 && watch.complete && !watch.complete())
                return fail(ZIP_ER_READ);
            return got;
        }
        case ZIP_SOURCE_CLOSE:
            closeFile();
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* stat = static_cast<zip_stat_t*>(data);
            if (length < sizeof *stat)
                return fail(ZIP_ER_INVAL);
            zip_stat_init(stat);
            stat->size = static_cast<zip_uint64_t>(info.st_size);
            stat->mtime = info.st_mtime;
            stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            return sizeof *stat;
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error, data, length);
        case ZIP_SOURCE_FREE:
            delete this;
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                  ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            return fail(ZIP_ER_OPNOTSUPP);
        }
    }

    std::string path;
    struct stat info;
    const ZipAddWatch& watch;
    // Before the reader: its blocks go back to the pool the list holds.
    std::shared_ptr<WatchedFiles> files;
    std::size_t position;
    int descriptor = -1;
    std::unique_ptr<WatchedReader> reader;
    bool startedEarly = false;
    zip_error_t error;
};

zip_source_t* watchedFileSource(ZipHandleData& zip, const std::string& path, const struct stat& info,
                                const ZipAddWatch& watch)
{
    auto* state = new WatchedFile(path, info, watch, zip.watchedFiles, zip.watchedFiles->files.size());
    zip.watchedFiles->files.push_back(state);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(&WatchedFile::callback, state, &error);
    zip_error_fini(&error);
    if (source == nullptr) {
        zip.watchedFiles->files.pop_back();
        delete state;
    }
    return source;
}

// Adds one file or folder; any code but ZR_OK and ZR_ARGS leaves the archive
// incomplete.
int addEntry(ZipHandleData& zip, const std::string& name, const std::string& source, ZipMethod method,
             const ZipAddWatch* watch)
{
    struct stat info {};
    if (::stat(source.c_str(), &info) != 0)
        return ZR_WRITE;

    zip_int64_t index = -1;
    uint32_t external = 0;
    if (S_ISDIR(info.st_mode)) {
        index = zip_dir_add(zip.archive, name.c_str(), ZIP_FL_ENC_UTF_8);
        if (index < 0)
            return archiveError(zip.archive) == ZIP_ER_INVAL ? ZR_ARGS : ZR_WRITE;
        external = archive::externalAttributesForFolder();
    } else if (S_ISREG(info.st_mode)) {
        // libzip opens the source only when the archive is written; find out now
        // whether it can be read at all.
        const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return ZR_WRITE;
        // Opened for reading only: closing it cannot lose anything.
        (void)::close(fd);

        zip_source_t* data = nullptr;
        if (watch != nullptr) {
            data = watchedFileSource(zip, source, info, *watch);
        } else {
            zip_error_t error;
            zip_error_init(&error);
            data = zip_source_file_create(source.c_str(), 0, 0, &error);
            zip_error_fini(&error);
        }
        if (data == nullptr)
            return ZR_WRITE;
        index = zip_file_add(zip.archive, name.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            // Freeing a watched source takes it off the list, which it ends.
            zip_source_free(data);
            if (watch != nullptr)
                zip.watchedFiles->files.pop_back(); // never read
            // An invalid name (not UTF-8) adds nothing and leaves the archive sound.
            return archiveError(zip.archive) == ZIP_ER_INVAL ? ZR_ARGS : ZR_WRITE;
        }
        const bool stored = method == ZipMethod::Stored || archive::isStoredExtension(toWide(name));
        if (zip_set_file_compression(zip.archive, static_cast<zip_uint64_t>(index),
                                     stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, stored ? 0 : kDeflateLevel)
            != 0)
            return writeErrorCode(archiveError(zip.archive));
        external = archive::externalAttributesForFile((info.st_mode & S_IWUSR) == 0, (info.st_mode & S_IXUSR) != 0);
    } else {
        return ZR_WRITE;
    }

    const auto entry = static_cast<zip_uint64_t>(index);
    if (zip_file_set_mtime(zip.archive, entry, info.st_mtime, 0) != 0
        || zip_file_set_external_attributes(zip.archive, entry, 0, ZIP_OPSYS_UNIX, external) != 0)
        return writeErrorCode(archiveError(zip.archive));
    if (const int result = setExtendedTimestamp(zip.archive, entry, sourceTimes(source, info)); result != ZR_OK)
        return result;
    ++zip.entryCount;
    zip.entrySizes.push_back(S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0);
    return ZR_OK;
}

// Turns libzip's progress of zip_close into bytes written, and its cancel
// question into the observer's stop request. libzip gives every entry an
// equal share of the fraction, whatever its size; the share and the entry
// sizes give the bytes.
class CloseProgress {
public:
    CloseProgress(ZipWriteObserver& target, const std::vector<uint64_t>& sizes)
        : observer(target)
        , entrySizes(sizes)
    {
    }

    static void onProgress(zip_t*, double fraction, void* state)
    {
        static_cast<CloseProgress*>(state)->report(fraction);
    }

    static int onCancel(zip_t*, void* state)
    {
        return static_cast<CloseProgress*>(state)->observer.stopRequested() ? 1 : 0;
    }

private:
    void report(double fraction)
    {
        const std::size_t count = entrySizes.size();
        if (count == 0)
            return;
        const double position = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(count);
        const std::size_t entry = std::min(static_cast<std::size_t>(position), count - 1);
        uint64_t bytes = 0;
        for (std::size_t i = 0; i < entry; ++i)
            bytes += entrySizes[i];
        const double within = std::clamp(position - static_cast<double>(entry), 0.0, 1.0);
        bytes += static_cast<uint64_t>(within * static_cast<double>(entrySizes[entry]));
        observer.written(bytes);
    }

    ZipWriteObserver& observer;
    const std::vector<uint64_t>& entrySizes;
};

// Everything unzipItem and getZipItem need to know about one entry.
struct EntryInfo {
    ZipItem item;
    bool isFolder = false;
    bool isEncrypted = false;
    bool sizeKnown = false;
    // WinZip AES entries of the AE-2 kind store no CRC (the field holds 0);
    // their authentication code vouches for the data instead.
    bool hasNoCrc = false;
    int aesKeyBits = 0;
    // libzip can decrypt this entry (only meaningful when it is encrypted).
    bool canDecrypt = true;
};

void applyExtendedTimestamp(zip_t* archive, zip_uint64_t index, archive::EntryTimes& times)
{
    // The local copy carries all three times, the central one only the first.
    for (const zip_flags_t where : {ZIP_FL_LOCAL, ZIP_FL_CENTRAL}) {
        zip_uint16_t length = 0;
        const zip_uint8_t* data =
            zip_file_extra_field_get_by_id(archive, index, archive::kExtendedTimestampId, 0, &length, where);
        if (data != nullptr && archive::readExtendedTimestamp(data, length, times))
            return;
    }
    // A missing field (or an unreadable local header) leaves the DOS time.
    zip_error_clear(archive);
}

int readEntryInfo(zip_t* archive, int index, EntryInfo& info)
{
    const auto entry = static_cast<zip_uint64_t>(index);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, entry, 0, &stat) != 0)
        return readErrorCode(archiveError(archive), false);
    if ((stat.valid & ZIP_STAT_NAME) == 0 || stat.name == nullptr)
        return ZR_CORRUPT;
    zip_uint8_t host = 0;
    zip_uint32_t external = 0;
    if (zip_file_get_external_attributes(archive, entry, 0, &host, &external) != 0)
        return readErrorCode(archiveError(archive), false);

    const nocase_wstring rawName = toWide(stat.name);
    const bool endsWithSlash = !rawName.empty() && (rawName.back() == L'/' || rawName.back() == L'\\');

    ZipItem& item = info.item;
    item = ZipItem{};
    item.index = index;
    item.name = archive::cleanEntryName(rawName);
    item.attributes = archive::attributesFromExternal(host, external, endsWithSlash);
    item.isLink = archive::isLinkEntry(host, external);
    info.sizeKnown = (stat.valid & ZIP_STAT_SIZE) != 0;
    if (info.sizeKnown)
        item.uncompressedSize = stat.size;
    if (stat.valid & ZIP_STAT_COMP_SIZE)
        item.compressedSize = stat.comp_size;
    info.isEncrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
    info.canDecrypt = !info.isEncrypted || zip_encryption_method_supported(stat.encryption_method, 0) != 0;
    const bool isAes = info.isEncrypted
                       && (stat.encryption_method == ZIP_EM_AES_128 || stat.encryption_method == ZIP_EM_AES_192
                           || stat.encryption_method == ZIP_EM_AES_256);
    info.hasNoCrc = isAes && (stat.valid & ZIP_STAT_CRC) && stat.crc == 0;
    if (isAes)
        info.aesKeyBits = stat.encryption_method == ZIP_EM_AES_128   ? 128
                          : stat.encryption_method == ZIP_EM_AES_192 ? 192
                                                                     : 256;
    // Some writers mark a folder by its attributes alone; it then has no data.
    info.isFolder = endsWithSlash || ((item.attributes & ZA_FOLDER) && item.uncompressedSize == 0);

    // libzip turns the DOS date and time (local time) into UTC seconds.
    const int64_t dosTime = (stat.valid & ZIP_STAT_MTIME) ? static_cast<int64_t>(stat.mtime) : 0;
    archive::EntryTimes times{dosTime, dosTime, dosTime};
    applyExtendedTimestamp(archive, entry, times);
    item.modificationTime = times.modification;
    item.accessTime = times.access;
    item.creationTime = times.creation;
    return ZR_OK;
}

// Checks the handle and the index of a reader call.
int checkReader(ZipHandle zip, int index, bool allowCount)
{
    if (zip == nullptr)
        return ZR_ARGS;
    if (zip->kind != ZipHandleData::Kind::Reader)
        return ZR_ZMODE;
    const zip_int64_t count = zip_get_num_entries(zip->archive, 0);
    if (count < 0 || count > INT_MAX)
        return ZR_CORRUPT;
    if (allowCount && index == -1)
        return ZR_OK;
    if (index < 0 || index >= count)
        return ZR_ARGS;
    return ZR_OK;
}

// What streaming one entry to its target came to.
struct StreamOutcome {
    int result = ZR_OK;      // a failure to write the target
    int zipError = ZIP_ER_OK; // libzip's error while reading or closing the entry
    zip_uint64_t total = 0;
};

// Streams the entry to destination. An entry never writes more than the size
// it declares: a zip bomb that claims a small size is cut off there, so callers
// may add up declared sizes to bound what an archive writes.
void streamEntry(zip_file_t* file, archive::ExtractionTarget* destination, const EntryInfo& info,
                 StreamOutcome& outcome)
{
    // Not zeroed: every byte handed on was read first.
    const std::unique_ptr<char[]> buffer(new char[kExtractionStep]);
    for (;;) {
        const zip_int64_t count = zip_fread(file, buffer.get(), kExtractionStep);
        if (count < 0) {
            outcome.zipError = zip_error_code_zip(zip_file_get_error(file));
            return;
        }
        if (count == 0)
            return;
        if (info.sizeKnown && outcome.total + static_cast<zip_uint64_t>(count) > info.item.uncompressedSize) {
            outcome.result = ZR_CORRUPT;
            return;
        }
        if (destination != nullptr) {
            outcome.result = destination->write(buffer.get(), static_cast<std::size_t>(count));
            if (outcome.result != ZR_OK)
                return;
        }
        outcome.total += static_cast<zip_uint64_t>(count);
    }
}

// libzip 1.7 checks the CRC of AE-2 entries against the 0 they store in its
// place, so their read always ends in a CRC error, stored or deflated. Their
// authentication code is checked here instead, over the entry's raw bytes
// (libzip's raw read of a stored entry also ends in that CRC error, but only
// once every byte was delivered).
int checkAuthentication(ZipHandleData& zip, const EntryInfo& info)
{
    zip_file_t* file = zip_fopen_index(zip.archive, static_cast<zip_uint64_t>(info.item.index), ZIP_FL_ENCRYPTED);
    if (file == nullptr)
        return readErrorCode(archiveError(zip.archive), false);
    ZipAesAuthentication authentication(zip.password, info.aesKeyBits);
    std::vector<char> buffer(kExtractionStep);
    zip_uint64_t total = 0;
    int zipError = ZIP_ER_OK;
    for (;;) {
        const zip_int64_t count = zip_fread(file, buffer.data(), buffer.size());
        if (count <= 0) {
            if (count < 0)
                zipError = zip_error_code_zip(zip_file_get_error(file));
            break;
        }
        authentication.feed(buffer.data(), static_cast<std::size_t>(count));
        total += static_cast<zip_uint64_t>(count);
    }
    (void)zip_fclose(file);
    if (total != info.item.compressedSize)
        return readErrorCode(zipError == ZIP_ER_OK ? ZIP_ER_INCONS : zipError, false);
    // A wrong password that passed the two-byte verifier ends here.
    return authentication.finish() ? ZR_OK : ZR_PASSWORD;
}

int extractFile(ZipHandleData& zip, const EntryInfo& info, archive::ExtractionTarget& destination)
{
    const int index = info.item.index;
    // libzip leaks the entry's data source (and with it an archive held in
    // memory) when a password meets a method it cannot decrypt; no password
    // could open such an entry anyway.
    if (!info.canDecrypt)
        return ZR_METHOD;
    // Open the entry first: a missing password or an unsupported method then
    // fails before anything is created on disk.
    zip_file_t* file = zip_fopen_index(zip.archive, static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr)
        return readErrorCode(archiveError(zip.archive), info.isEncrypted);

    StreamOutcome outcome;
    outcome.result = destination.beginFile();
    if (outcome.result == ZR_OK)
        streamEntry(file, &destination, info, outcome);
    // zip_fclose reports a CRC mismatch that the last read did not.
    const int closeError = zip_fclose(file);
    if (outcome.result != ZR_OK)
        return outcome.result;

    const int zipError = outcome.zipError != ZIP_ER_OK ? outcome.zipError : closeError;
    if (zipError == ZIP_ER_CRC && info.hasNoCrc) {
        if (const int result = checkAuthentication(zip, info); result != ZR_OK)
            return result;
    } else if (zipError != ZIP_ER_OK) {
        return readErrorCode(zipError, info.isEncrypted);
    }
    if (info.sizeKnown && outcome.total != info.item.uncompressedSize)
        return ZR_CORRUPT;
    return destination.commit(info.item.accessTime, info.item.modificationTime);
}

// Finishes opening a reader: the password, when there is one, opens
// encrypted entries.
ZipHandle readerFor(zip_t* archive, std::string path, const std::string* password)
{
    if (password != nullptr && !password->empty()
        && zip_set_default_password(archive, password->c_str()) != 0) {
        zip_discard(archive);
        readerResult(ZR_READ);
        return nullptr;
    }
    readerResult(ZR_OK);
    auto* handle = new ZipHandleData(ZipHandleData::Kind::Reader, archive, std::move(path));
    if (password != nullptr)
        handle->password = *password;
    return handle;
}

bool isExistingFolder(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

ZipHandle createZip(const nocase_wstring& path)
{
    const std::string narrow = toNarrow(path);
    if (narrow.empty() || narrow.find('\0') != std::string::npos) {
        writerResult(ZR_ARGS);
        return nullptr;
    }
    // libzip touches the disk only when the archive is closed; find out now
    // whether it can be written there at all.
    const std::filesystem::path parentPath = std::filesystem::path(narrow).parent_path();
    const std::string parent = parentPath.empty() ? std::string(".") : parentPath.string();
    if (!isExistingFolder(parent) || ::access(parent.c_str(), W_OK | X_OK) != 0 || isExistingFolder(narrow)) {
        writerResult(ZR_NOFILE);
        return nullptr;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = ZipFileTarget::create(narrow, &error);
    zip_t* archive = target == nullptr ? nullptr : zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        if (target != nullptr)
            zip_source_free(target);
        writerResult(ZR_NOFILE);
        return nullptr;
    }
    writerResult(ZR_OK);
    return new ZipHandleData(ZipHandleData::Kind::Writer, archive, narrow);
}

int zipAdd(ZipHandle zip, const nocase_wstring& entryName, const nocase_wstring& sourcePath, ZipMethod method,
           const ZipAddWatch* watch)
{
    if (zip == nullptr)
        return writerResult(ZR_ARGS);
    if (zip->kind != ZipHandleData::Kind::Writer)
        return writerResult(ZR_ZMODE);
    if (zip->failed)
        return writerResult(ZR_FAILED);
    const std::string name = toNarrow(archive::storedEntryName(entryName));
    const std::string source = toNarrow(sourcePath);
    if (name.empty() || name.find('\0') != std::string::npos || source.empty())
        return writerResult(ZR_ARGS);
    const int result = addEntry(*zip, name, source, method, watch);
    if (result != ZR_OK && result != ZR_ARGS)
        zip->failed = true;
    return writerResult(result);
}

ZipWriteObserver::~ZipWriteObserver() = default;

int closeZip(ZipHandle zip, ZipWriteObserver* observer)
{
    // No handle, no side: neither last code changes.
    if (zip == nullptr)
        return ZR_ARGS;
    const std::unique_ptr<ZipHandleData> owned(zip);
    if (owned->kind == ZipHandleData::Kind::Reader) {
        zip_discard(owned->archive);
        return readerResult(ZR_OK);
    }
    if (owned->failed) {
        zip_discard(owned->archive);
        return writerResult(ZR_FAILED);
    }
    if (owned->entryCount == 0) {
        zip_discard(owned->archive);
        return writerResult(writeEmptyArchive(owned->path));
    }
    // libzip writes a temporary file beside the archive and renames it only
    // when complete, removing it on failure or when it is cancelled.
    std::optional<CloseProgress> progress;
    if (observer != nullptr) {
        progress.emplace(*observer, owned->entrySizes);
        // About every thousandth of the work: a report per megabyte of a gigabyte.
        (void)zip_register_progress_callback_with_state(owned->archive, 0.001, &CloseProgress::onProgress, nullptr,
                                                         &*progress);
        (void)zip_register_cancel_callback_with_state(owned->archive, &CloseProgress::onCancel, nullptr, &*progress);
    }
    if (zip_close(owned->archive) != 0) {
        const int error = archiveError(owned->archive);
        const int result = error == ZIP_ER_CANCELLED ? ZR_CANCELLED : writeErrorCode(error);
        zip_discard(owned->archive);
        return writerResult(result);
    }
    return writerResult(ZR_OK);
}

void discardZip(ZipHandle zip)
{
    if (zip == nullptr)
        return;
    const std::unique_ptr<ZipHandleData> owned(zip);
    zip_discard(owned->archive);
}

ZipHandle openZip(const nocase_wstring& path, const std::string* password)
{
    const std::string narrow = toNarrow(path);
    struct stat info {};
    if (narrow.empty() || narrow.find('\0') != std::string::npos || ::stat(narrow.c_str(), &info) != 0) {
        readerResult(ZR_READ);
        return nullptr;
    }
    // libzip takes an empty file for an empty archive; no zip is empty.
    if (!S_ISREG(info.st_mode) || info.st_size == 0) {
        readerResult(ZR_CORRUPT);
        return nullptr;
    }
    int error = 0;
    zip_t* archive = zip_open(narrow.c_str(), ZIP_RDONLY, &error);
    if (archive == nullptr) {
        readerResult(readErrorCode(error, false));
        return nullptr;
    }
    return readerFor(archive, narrow, password);
}

ZipHandle openZipFromMemory(const void* data, std::size_t size, const std::string* password)
{
    if (data == nullptr || size == 0) {
        readerResult(size == 0 ? ZR_CORRUPT : ZR_ARGS);
        return nullptr;
    }
    // libzip frees the copy with the source, which the archive owns once opened.
    void* copy = std::malloc(size);
    if (copy == nullptr) {
        readerResult(ZR_READ);
        return nullptr;
    }
    std::memcpy(copy, data, size);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(copy, size, 1, &error);
    if (source == nullptr) {
        std::free(copy);
        zip_error_fini(&error);
        readerResult(ZR_READ);
        return nullptr;
    }
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr) {
        zip_source_free(source);
        const int code = readErrorCode(zip_error_code_zip(&error), false);
        zip_error_fini(&error);
        readerResult(code);
        return nullptr;
    }
    zip_error_fini(&error);
    return readerFor(archive, std::string(), password);
}

int getZipItem(ZipHandle zip, int index, ZipItem& item)
{
    if (const int result = checkReader(zip, index, true); result != ZR_OK)
        return readerResult(result);
    if (index == -1) {
        item = ZipItem{};
        item.index = static_cast<int>(zip_get_num_entries(zip->archive, 0));
        return readerResult(ZR_OK);
    }
    EntryInfo info;
    const int result = readEntryInfo(zip->archive, index, info);
    if (result == ZR_OK)
        item = info.item;
    return readerResult(result);
}

int unzipItem(ZipHandle zip, int index, const nocase_wstring& target)
{
    if (const int result = checkReader(zip, index, false); result != ZR_OK)
        return readerResult(result);
    EntryInfo info;
    if (const int result = readEntryInfo(zip->archive, index, info); result != ZR_OK)
        return readerResult(result);
    // Links are never created: one that points elsewhere would let a later
    // entry write outside the base folder. Skipping it keeps archives made on
    // systems that store links readable.
    if (info.item.isLink)
        return readerResult(ZR_OK);

    archive::ExtractionTarget destination;
    if (const int result = destination.resolve(zip->baseFolder, target); result != ZR_OK)
        return readerResult(result);
    if (info.isFolder)
        return readerResult(destination.createFolder());
    return readerResult(extractFile(*zip, info, destination));
}

int setUnzipBaseFolder(ZipHandle zip, const nocase_wstring& folder)
{
    if (zip == nullptr)
        return readerResult(ZR_ARGS);
    if (zip->kind != ZipHandleData::Kind::Reader)
        return readerResult(ZR_ZMODE);
    const std::string narrow = toNarrow(folder);
    if (narrow.empty() || narrow.find('\0') != std::string::npos)
        return readerResult(ZR_ARGS);
    std::error_code error;
    std::string absolute = std::filesystem::absolute(narrow, error).lexically_normal().string();
    if (error)
        return readerResult(ZR_NOFILE);
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    if (!isExistingFolder(absolute))
        return readerResult(ZR_NOFILE);
    zip->baseFolder = absolute;
    return readerResult(ZR_OK);
}

int unzipAll(ZipHandle zip)
{
    if (const int result = checkReader(zip, -1, true); result != ZR_OK)
        return readerResult(result);
    if (zip->baseFolder.empty())
        return readerResult(ZR_ARGS);
    ZipItem item;
    const int count = static_cast<int>(zip_get_num_entries(zip->archive, 0));
    for (int index = 0; index < count; ++index) {
        if (const int result = getZipItem(zip, index, item); result != ZR_OK)
            return result;
        if (const int result = unzipItem(zip, index, item.name); result != ZR_OK)
            return result;
    }
    return readerResult(ZR_OK);
}

int lastWriterResult()
{
    return lastWriterCode;
}

int lastReaderResult()
{
    return lastReaderCode;
}
