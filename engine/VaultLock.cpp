#include "engine/VaultLock.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/VaultEngine.h"
#include "engine/platform/PathUtil.h"

int VaultLock::waitMilliseconds = 5000;

namespace {

constexpr wchar_t kLockFileName[] = L".lock";
constexpr int kPollMilliseconds = 20;

// A program waiting for the lock says so with a shared lock on byte 1 of the
// lock file (an open-file-description lock, apart from the flock on the
// whole file). A program that comes back for the lock, such as a take-out
// between its entries, lets those waiting go first: otherwise it would take
// the lock again before any of them looked.
bool othersAreWaiting(int fd)
{
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 1;
    probe.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

void sayWaiting(int fd, bool waiting)
{
    struct flock mark {};
    mark.l_type = waiting ? F_RDLCK : F_UNLCK;
    mark.l_whence = SEEK_SET;
    mark.l_start = 1;
    mark.l_len = 1;
    (void)::fcntl(fd, F_OFD_SETLK, &mark);
}

} // namespace

VaultLock::VaultLock(VaultEngine& vaultEngine)
    : VaultLock(vaultEngine, waitMilliseconds)
{
}

VaultLock::VaultLock(VaultEngine& vaultEngine, int waitMs)
    : engine(vaultEngine)
{
    if (engine.kind != EngineKind::UserVault)
        return;
    if (engine.lockDepth > 0) {
        exceptionsAtStart = std::uncaught_exceptions();
        ++engine.lockDepth;
        counted = true;
        return;
    }
    const std::string path = toNarrow(joinPath(engine.vaultFolder, kLockFileName));
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EROFS) {
        // A vault on a read-only disk: no program can change it, so reading
        // needs no lock, and any change fails on the database itself.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            holdWithoutFile();
            return;
        }
    }
    if (fd < 0) {
        const int err = errno;
        throw ExceptionModule(L"Cannot lock the vault: " + toWide(path), systemErrorText(err));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    bool waiting = false;
    for (;;) {
        const bool pastDeadline = std::chrono::steady_clock::now() >= deadline;
        if (!waiting && !pastDeadline && othersAreWaiting(fd)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            break;
        const int err = errno;
        if (err != EWOULDBLOCK && err != EINTR) {
            ::close(fd);
            throw ExceptionModule(L"Cannot lock the vault: " + toWide(path), systemErrorText(err));
        }
        if (pastDeadline) {
            ::close(fd);
            throw ExceptionModule(
                L"The vault is in use by another KORVELIN program. Try again when it has finished.", L"");
        }
        if (!waiting) {
            sayWaiting(fd, true);
            waiting = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
    }
    if (waiting)
        sayWaiting(fd, false);
    engine.lockDescriptor = fd;
    holdWithoutFile();
}

void VaultLock::holdWithoutFile()
{
    engine.lockDepth = 1;
    exceptionsAtStart = std::uncaught_exceptions();
    // The one place of the rule "the database is the truth, memory a cache":
    // from here on the in-memory entries match the rows, whatever another
    // program changed while this one waited or idled. Another program may
    // also have changed the password: nothing may be sealed or opened with
    // the old one from here on.
    const bool wasLoggedIn = engine.loggedIn;
    bool changed = false;
    try {
        changed = engine.refreshUnderLock();
    } catch (...) {
        release();
        throw;
    }
    if (changed && wasLoggedIn) {
        release();
        throw ExceptionModule(L"Cannot use this feature until you enter your password.", L"");
    }
    counted = true;
}

void VaultLock::release()
{
    engine.lockDepth = 0;
    if (engine.lockDescriptor >= 0) {
        ::flock(engine.lockDescriptor, LOCK_UN);
        ::close(engine.lockDescriptor);
    }
    engine.lockDescriptor = -1;
}

VaultLock::~VaultLock()
{
    if (!counted)
        return;
    // An operation that ends by an exception may leave its in-memory copy
    // apart from the rows: the next lock reads them again.
    const bool endedNormally = std::uncaught_exceptions() <= exceptionsAtStart;
    if (engine.lockDepth == 1) {
        engine.leaveLock(endedNormally);
        release();
    } else {
        if (!endedNormally)
            engine.distrustEntries();
        --engine.lockDepth;
    }
}
