#pragma once

#include <sys/types.h>

// Counts the calls to umask() made anywhere in the test program: the engine
// must never change the process's umask, not even for a moment, since other
// threads of the desktop program create files meanwhile. The program's own
// definition of umask stands in for the C library's and forwards to the
// system call.
namespace testsupport {

int umaskCalls();

// Sets the umask for a test (not counted) and puts the old one back.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t previous;
};

} // namespace testsupport
