#pragma once

#include <cstdint>

// Where an operation's time goes. This program wraps SQLCipher's calls and
// the flushes of the C library: the engine's calls reach the wrappers, which
// time them and pass them on to the real functions (looked up with
// dlsym(RTLD_NEXT)). Nothing in the engine changes for it.
namespace callclock {

struct Totals {
    double databaseSeconds = 0; // inside sqlite3_open_v2/key/prepare/step/finalize/close, its own syncs included
    double flushSeconds = 0;    // inside syncfs/fsync/fdatasync called outside the database
    std::uint64_t databaseCalls = 0;
    std::uint64_t flushCalls = 0;
};

void reset();
Totals totals();

} // namespace callclock
