#include "tools/bench_common/ProcessUsage.h"

#include <stdexcept>

#include <sys/resource.h>

ProcessUsage usageOfThisProcess()
{
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        throw std::runtime_error("getrusage failed");
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    ProcessUsage result;
    result.userSeconds = seconds(usage.ru_utime);
    result.systemSeconds = seconds(usage.ru_stime);
    result.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
    return result;
}
