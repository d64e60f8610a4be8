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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int err = errno;
        throw ExceptionModule(L"Cannot lock the vault: " + toWide(path), systemErrorText(err));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK && err != EINTR) {
            ::close(fd);
            throw ExceptionModule(L"Cannot lock the vault: " + toWide(path), systemErrorText(err));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            throw ExceptionModule(
                L"The vault is in use by another KORVELIN program. Try again when it has finished.", L"");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    engine.lockDescriptor = fd;
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
    ::flock(engine.lockDescriptor, LOCK_UN);
    ::close(engine.lockDescriptor);
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
