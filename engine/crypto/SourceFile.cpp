#include "engine/crypto/SourceFile.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/DirectTransfer.h"

using namespace cryptoerrors;

namespace {

constexpr off_t kSequentialHintSize = off_t { 1 } << 20;

} // namespace

SourceFile::SourceFile(const nocase_wstring& path)
{
    // Non-blocking only so that a FIFO cannot hang the open; it is refused below.
    descriptor = ::open(toNarrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        throw ExceptionModule(kFileNotFound + path, systemErrorText());
    if (::fstat(descriptor, &info) != 0) {
        const int error = errno;
        ::close(descriptor);
        throw ExceptionModule(kFileNotFound + path, systemErrorText(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(descriptor);
        throw ExceptionModule(kFileNotFound + path, S_ISDIR(info.st_mode) ? systemErrorText(EISDIR) : L"");
    }
    // Only a hint to the kernel's read-ahead (a refusal changes nothing),
    // and one that a small file, read in one go, does not need.
    if (info.st_size >= kSequentialHintSize)
        (void)::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
}

SourceFile::~SourceFile()
{
    ::close(descriptor);
}

void SourceFile::readFromDisk()
{
    // Copying a file read once out of the page cache costs processor time
    // that encrypting needs (on a virtual machine, more than the cipher
    // itself), and keeps a plain file's bytes cached after it is gone. A
    // file system that cannot read past its cache refuses the flag.
    direct = directtransfer::set(descriptor, true);
}

void SourceFile::leaveDirectReads()
{
    if (!directtransfer::set(descriptor, false))
        throw ExceptionModule(kReadFailed, systemErrorText());
    direct = false;
}

std::size_t SourceFile::read(unsigned char* buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        if (direct && !directtransfer::fits(buffer + done, count - done, position))
            leaveDirectReads();
        const ssize_t got = ::read(descriptor, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // Some file systems accept the flag and refuse the reads.
            if (errno == EINVAL && direct) {
                leaveDirectReads();
                continue;
            }
            throw ExceptionModule(kReadFailed, systemErrorText());
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
        position += static_cast<std::uint64_t>(got);
        // A short read that ends where the file ended when it was opened is
        // its end: asking again only to be told so costs a system call a file.
        if (done < count && position == static_cast<std::uint64_t>(info.st_size))
            break;
    }
    return done;
}
