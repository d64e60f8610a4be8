#include "engine/crypto/TargetFile.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/DirectTransfer.h"

using namespace cryptoerrors;

namespace {

// Buffered streams hand this much at a time to the kernel's write-back.
constexpr std::uint64_t kWriteBackStep = std::uint64_t { 8 } << 20;
// Completed targets of at least this size start their write-back at once.
constexpr std::uint64_t kEarlyWriteBack = std::uint64_t { 1 } << 20;

} // namespace

TargetFile::TargetFile(const nocase_wstring& targetPath, mode_t createMode, bool exclusive, const struct stat& source)
    : path(toNarrow(targetPath))
{
    const auto refuse = [&](const nocase_wstring& cause) {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = -1;
        throw ExceptionModule(kFileNotFound + targetPath, cause);
    };

    descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, createMode);
    if (descriptor >= 0) {
        ownsFile = true;
        created = true;
        return;
    }
    if (errno != EEXIST || exclusive)
        refuse(systemErrorText());

    // Replacing an existing file: open it without creating, and make sure
    // it is an ordinary file, not a link into some other file and not the
    // source itself before emptying it.
    descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (descriptor < 0)
        refuse(systemErrorText());
    struct stat existing {};
    if (::fstat(descriptor, &existing) != 0)
        refuse(systemErrorText());
    if (!S_ISREG(existing.st_mode))
        refuse(L"");
    if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino)
        refuse(systemErrorText(EEXIST));
    if (::ftruncate(descriptor, 0) != 0)
        refuse(systemErrorText());
    ownsFile = true;
}

TargetFile::~TargetFile()
{
    if (descriptor >= 0)
        ::close(descriptor);
    // Nothing more can be done about a failing removal while a failure
    // is already on its way to the caller.
    if (ownsFile)
        (void)::unlink(path.c_str());
}

void TargetFile::streamToDisk()
{
    streaming = true;
    // A file system that cannot write past its cache refuses the flag;
    // the stream is then an ordinary buffered one.
    direct = directtransfer::set(descriptor, true);
}

void TargetFile::leaveDirectWrites()
{
    if (!directtransfer::set(descriptor, false))
        throw ExceptionModule(kWriteFailed, systemErrorText());
    direct = false;
    writeBackFrom = offset;
}

void TargetFile::startWriteBack()
{
    // Only a hint: the flush before the source goes is what guarantees
    // the data, so a refusal changes nothing.
    if (offset - writeBackFrom < kWriteBackStep)
        return;
    (void)::sync_file_range(descriptor, static_cast<off_t>(writeBackFrom), static_cast<off_t>(offset - writeBackFrom),
        SYNC_FILE_RANGE_WRITE);
    writeBackFrom = offset;
}

void TargetFile::write(const unsigned char* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        if (direct && !directtransfer::fits(bytes + done, count - done, offset))
            leaveDirectWrites();
        const ssize_t put = ::write(descriptor, bytes + done, count - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            // Some file systems accept the flag and refuse the writes.
            if (errno == EINVAL && direct) {
                leaveDirectWrites();
                continue;
            }
            throw ExceptionModule(kWriteFailed, systemErrorText());
        }
        done += static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
    if (streaming && !direct)
        startWriteBack();
}

void TargetFile::setMode(mode_t mode)
{
    if (::fchmod(descriptor, mode) != 0)
        throw ExceptionModule(kWriteFailed, systemErrorText());
}

void TargetFile::commit(bool flush)
{
    // A target left for a later flush (of many files at once) starts its
    // write-back now, so the disk writes it while the next files are read
    // and encrypted; tiny files are left to the one flush.
    if (!flush && !direct && offset - writeBackFrom >= kEarlyWriteBack)
        (void)::sync_file_range(descriptor, static_cast<off_t>(writeBackFrom), static_cast<off_t>(offset - writeBackFrom),
            SYNC_FILE_RANGE_WRITE);
    if (flush && ::fdatasync(descriptor) != 0)
        throw ExceptionModule(kWriteFailed, systemErrorText());
    const int closed = ::close(descriptor);
    descriptor = -1;
    if (closed != 0)
        throw ExceptionModule(kWriteFailed, systemErrorText());
    ownsFile = false;
}
