#include "tools/bench_common/ChildRun.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/bench_common/Descriptor.h"
#include "tools/bench_common/ProcessUsage.h"

namespace {

// Runs in the child: the scenario's values, its processor times and peak
// memory, or the error.
std::string reportOf(const std::function<std::vector<double>()>& scenario)
{
    std::ostringstream report;
    report.precision(17);
    try {
        for (const double value : scenario())
            report << value << ' ';
        const ProcessUsage usage = usageOfThisProcess();
        report << usage.userSeconds << ' ' << usage.systemSeconds << ' ' << usage.peakMiB;
        return "ok " + report.str();
    } catch (const std::exception& error) {
        return std::string("error ") + error.what();
    } catch (...) {
        // Nothing may leave the child: it would go on running the parent's code.
        return "error an unknown exception";
    }
}

} // namespace

ChildResult runInChild(const std::string& name, const std::function<std::vector<double>()>& scenario)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    Descriptor readEnd(ends[0], "the report of " + name);
    Descriptor writeEnd(ends[1], "the report of " + name);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        readEnd.close();
        const std::string report = reportOf(scenario);
        try {
            writeEnd.writeAll(report.data(), report.size());
        } catch (...) {
            ::_exit(1);
        }
        writeEnd.close();
        std::fflush(nullptr);
        ::_exit(0);
    }
    writeEnd.close();
    const std::string report = readEnd.readToEnd();
    readEnd.close();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.rfind("ok ", 0) != 0)
        throw std::runtime_error(name + ": " + (report.empty() ? std::string("the child died") : report));

    std::istringstream values(report.substr(3));
    ChildResult result;
    for (double value; values >> value;)
        result.values.push_back(value);
    if (result.values.size() < 3)
        throw std::runtime_error(name + ": an incomplete report");
    result.peakMiB = result.values.back();
    result.values.pop_back();
    result.systemSeconds = result.values.back();
    result.values.pop_back();
    result.userSeconds = result.values.back();
    result.values.pop_back();
    return result;
}
