#include "tools/bench_vault/ChildRun.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"

namespace {

void writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        done += static_cast<std::size_t>(put);
    }
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Runs in the child: the scenario's values and the peak memory, or the error.
std::string reportOf(const std::function<std::vector<double>()>& scenario)
{
    std::ostringstream report;
    report.precision(17);
    try {
        for (const double value : scenario())
            report << value << ' ';
        struct rusage usage {};
        if (::getrusage(RUSAGE_SELF, &usage) != 0)
            return "error getrusage failed";
        const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        report << seconds(usage.ru_utime) << ' ' << seconds(usage.ru_stime) << ' '
               << static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
        return "ok " + report.str();
    } catch (const ExceptionModule& error) {
        return "error " + error.getMessage() + " " + error.getCause();
    } catch (const std::exception& error) {
        return std::string("error ") + error.what();
    }
}

} // namespace

ChildResult runInChild(const std::string& name, const std::function<std::vector<double>()>& scenario)
{
    int ends[2];
    if (::pipe(ends) != 0)
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        ::close(ends[0]);
        writeAll(ends[1], reportOf(scenario));
        ::close(ends[1]);
        std::fflush(nullptr);
        ::_exit(0);
    }
    ::close(ends[1]);
    const std::string report = readAll(ends[0]);
    ::close(ends[0]);
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
