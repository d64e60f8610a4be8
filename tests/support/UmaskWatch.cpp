#include "tests/support/UmaskWatch.h"

#include <atomic>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<int> calls{0};

mode_t systemUmask(mode_t mask)
{
    return static_cast<mode_t>(::syscall(SYS_umask, mask));
}

} // namespace

extern "C" mode_t umask(mode_t mask)
{
    ++calls;
    return systemUmask(mask);
}

namespace testsupport {

int umaskCalls()
{
    return calls.load();
}

ScopedUmask::ScopedUmask(mode_t mask)
    : previous(systemUmask(mask))
{
}

ScopedUmask::~ScopedUmask()
{
    systemUmask(previous);
}

} // namespace testsupport
