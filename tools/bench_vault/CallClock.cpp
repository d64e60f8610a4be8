#include "tools/bench_vault/CallClock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

// The wrapped functions are declared here by hand, without the library's
// header: only their linkage and arguments matter to pass a call on.
struct sqlite3;
struct sqlite3_stmt;

namespace {

using Clock = std::chrono::steady_clock;

callclock::Totals counted;
int databaseDepth = 0; // a flush inside a database call is the database's own

template <typename Function>
Function realFunction(const char* name)
{
    void* found = ::dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "bench_vault: cannot find %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

class DatabaseCall {
public:
    DatabaseCall()
        : start(Clock::now())
    {
        ++databaseDepth;
    }
    ~DatabaseCall()
    {
        if (--databaseDepth == 0) {
            counted.databaseSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            ++counted.databaseCalls;
        }
    }

private:
    Clock::time_point start;
};

class FlushCall {
public:
    FlushCall()
        : start(Clock::now())
    {
    }
    ~FlushCall()
    {
        if (databaseDepth == 0) {
            counted.flushSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            ++counted.flushCalls;
        }
    }

private:
    Clock::time_point start;
};

} // namespace

namespace callclock {

void reset()
{
    counted = Totals();
}

Totals totals()
{
    return counted;
}

} // namespace callclock

extern "C" {

int sqlite3_open_v2(const char* fileName, sqlite3** handle, int flags, const char* vfs)
{
    static const auto real = realFunction<int (*)(const char*, sqlite3**, int, const char*)>("sqlite3_open_v2");
    DatabaseCall timed;
    return real(fileName, handle, flags, vfs);
}

int sqlite3_key(sqlite3* handle, const void* key, int length)
{
    static const auto real = realFunction<int (*)(sqlite3*, const void*, int)>("sqlite3_key");
    DatabaseCall timed;
    return real(handle, key, length);
}

int sqlite3_prepare_v2(sqlite3* handle, const char* sql, int length, sqlite3_stmt** statement, const char** tail)
{
    static const auto real =
        realFunction<int (*)(sqlite3*, const char*, int, sqlite3_stmt**, const char**)>("sqlite3_prepare_v2");
    DatabaseCall timed;
    return real(handle, sql, length, statement, tail);
}

int sqlite3_step(sqlite3_stmt* statement)
{
    static const auto real = realFunction<int (*)(sqlite3_stmt*)>("sqlite3_step");
    DatabaseCall timed;
    return real(statement);
}

int sqlite3_finalize(sqlite3_stmt* statement)
{
    static const auto real = realFunction<int (*)(sqlite3_stmt*)>("sqlite3_finalize");
    DatabaseCall timed;
    return real(statement);
}

int sqlite3_close_v2(sqlite3* handle)
{
    static const auto real = realFunction<int (*)(sqlite3*)>("sqlite3_close_v2");
    DatabaseCall timed;
    return real(handle);
}

int syncfs(int fd)
{
    static const auto real = realFunction<int (*)(int)>("syncfs");
    FlushCall timed;
    return real(fd);
}

int fsync(int fd)
{
    static const auto real = realFunction<int (*)(int)>("fsync");
    FlushCall timed;
    return real(fd);
}

int fdatasync(int fd)
{
    static const auto real = realFunction<int (*)(int)>("fdatasync");
    FlushCall timed;
    return real(fd);
}

} // extern "C"
