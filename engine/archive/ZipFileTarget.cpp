#include "engine/archive/ZipFileTarget.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;
constexpr int kNameAttempts = 100;

bool writeAll(int descriptor, const unsigned char* data, std::size_t length, std::uint64_t offset)
{
    while (length > 0) {
        const ssize_t written = ::pwrite(descriptor, data, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return true;
}

// Six characters from [0-9a-z], as libzip names its temporary files.
std::string randomSuffix()
{
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(std::rand());
    }
    std::string suffix;
    for (const unsigned char byte : bytes)
        suffix += "0123456789abcdefghijklmnopqrstuvwxyz"[byte % 36];
    return suffix;
}

} // namespace

zip_source_t* ZipFileTarget::create(const std::string& path, zip_error_t* error)
{
    auto* target = new ZipFileTarget(path);
    zip_source_t* source = zip_source_function_create(&ZipFileTarget::callback, target, error);
    if (source == nullptr)
        delete target;
    return source;
}

ZipFileTarget::ZipFileTarget(std::string archivePath)
    : path(std::move(archivePath))
{
    zip_error_init(&error);
}

ZipFileTarget::~ZipFileTarget()
{
    rollback();
    zip_error_fini(&error);
}

zip_int64_t ZipFileTarget::callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    return static_cast<ZipFileTarget*>(state)->handle(data, length, command);
}

zip_int64_t ZipFileTarget::fail(int code, int system)
{
    zip_error_set(&error, code, system);
    return -1;
}

zip_int64_t ZipFileTarget::handle(void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    switch (command) {
    case ZIP_SOURCE_STAT:
        // Every archive written here is new: libzip reads nothing of an old one.
        return fail(ZIP_ER_READ, ENOENT);
    case ZIP_SOURCE_OPEN:
        return fail(ZIP_ER_OPEN, ENOENT);
    case ZIP_SOURCE_READ:
    case ZIP_SOURCE_SEEK:
        return fail(ZIP_ER_INTERNAL);
    case ZIP_SOURCE_TELL:
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_BEGIN_WRITE:
        return beginWrite() ? 0 : -1;
    case ZIP_SOURCE_WRITE:
        return write(static_cast<const unsigned char*>(data), static_cast<std::size_t>(length))
            ? static_cast<zip_int64_t>(length)
            : -1;
    case ZIP_SOURCE_SEEK_WRITE: {
        const auto* where = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error);
        return where != nullptr && seek(*where) ? 0 : -1;
    }
    case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(position);
    case ZIP_SOURCE_COMMIT_WRITE:
        return commit() ? 0 : -1;
    case ZIP_SOURCE_ROLLBACK_WRITE:
        rollback();
        return 0;
    case ZIP_SOURCE_REMOVE:
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return fail(ZIP_ER_REMOVE, errno);
        return 0;
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error, data, length);
    case ZIP_SOURCE_FREE:
        delete this;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
        return fail(ZIP_ER_OPNOTSUPP);
    }
}

bool ZipFileTarget::beginWrite()
{
    rollback();
    struct stat existing {};
    replacing = ::stat(path.c_str(), &existing) == 0;
    replacedMode = existing.st_mode & 07777;
    // A new archive gets 0666 less the umask; one that replaces another is
    // private until it takes that one's mode.
    const mode_t mode = replacing ? 0600 : 0666;
    for (int attempt = 0; attempt < kNameAttempts && descriptor < 0; ++attempt) {
        const std::string candidate = path + "." + randomSuffix();
        descriptor = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (descriptor >= 0)
            temporaryPath = candidate;
        else if (errno != EEXIST)
            break;
    }
    if (descriptor < 0) {
        (void)fail(ZIP_ER_TMPOPEN, errno);
        return false;
    }
    buffer.reset(new unsigned char[kBufferSize]);
    buffered = 0;
    bufferAt = position = size = 0;
    return true;
}

bool ZipFileTarget::write(const unsigned char* data, std::size_t length)
{
    if (descriptor < 0) {
        (void)fail(ZIP_ER_INTERNAL);
        return false;
    }
    if (bufferAt + buffered != position || buffered + length > kBufferSize) {
        if (!flush())
            return false;
        bufferAt = position;
    }
    if (length >= kBufferSize) {
        if (!writeAll(descriptor, data, length, position)) {
            (void)fail(ZIP_ER_WRITE, errno);
            return false;
        }
        bufferAt = position + length;
    } else {
        std::memcpy(buffer.get() + buffered, data, length);
        buffered += length;
    }
    position += length;
    size = std::max(size, position);
    return true;
}

bool ZipFileTarget::seek(const zip_source_args_seek_t& where)
{
    std::int64_t base = 0;
    if (where.whence == SEEK_CUR)
        base = static_cast<std::int64_t>(position);
    else if (where.whence == SEEK_END)
        base = static_cast<std::int64_t>(size);
    else if (where.whence != SEEK_SET) {
        (void)fail(ZIP_ER_INVAL);
        return false;
    }
    if (where.offset < -base) {
        (void)fail(ZIP_ER_SEEK, EINVAL);
        return false;
    }
    // The buffer holds the bytes before the old position; written out
    // here, later writes after the new position start a new run.
    if (!flush())
        return false;
    position = static_cast<std::uint64_t>(base + where.offset);
    bufferAt = position;
    return true;
}

bool ZipFileTarget::flush()
{
    if (buffered > 0 && !writeAll(descriptor, buffer.get(), buffered, bufferAt)) {
        (void)fail(ZIP_ER_WRITE, errno);
        return false;
    }
    bufferAt += buffered;
    buffered = 0;
    return true;
}

bool ZipFileTarget::commit()
{
    if (descriptor < 0) {
        (void)fail(ZIP_ER_INTERNAL);
        return false;
    }
    if (!flush()) {
        rollback();
        return false;
    }
    if (replacing && ::fchmod(descriptor, replacedMode) != 0) {
        (void)fail(ZIP_ER_CLOSE, errno);
        rollback();
        return false;
    }
    const int closing = ::close(descriptor);
    descriptor = -1;
    if (closing != 0) {
        (void)fail(ZIP_ER_CLOSE, errno);
        rollback();
        return false;
    }
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        (void)fail(ZIP_ER_RENAME, errno);
        rollback();
        return false;
    }
    temporaryPath.clear();
    buffer.reset();
    return true;
}

void ZipFileTarget::rollback()
{
    if (descriptor >= 0)
        (void)::close(descriptor); // the file goes: nothing in it is kept
    descriptor = -1;
    if (!temporaryPath.empty())
        (void)::unlink(temporaryPath.c_str());
    temporaryPath.clear();
    buffer.reset();
    buffered = 0;
}
