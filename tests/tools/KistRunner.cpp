#include "tests/tools/KistRunner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace kisttest {
namespace {

constexpr int kRunTimeoutSeconds = 300;

void closeQuietly(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int waitForChild(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Reads the descriptors until both are closed or the deadline passes, and
// calls onRead after each piece of the second one.
template <typename OnRead>
bool drain(int fds[2], std::string* sinks[2], std::chrono::steady_clock::time_point deadline, OnRead onRead)
{
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int ready = ::poll(polled, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || polled[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i], buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
                if (i == 1)
                    onRead();
            } else if (got == 0 || errno != EINTR) {
                // A pseudo-terminal whose last user went away answers EIO.
                closeQuietly(fds[i]);
            }
        }
    }
    return true;
}

} // namespace

// Everything the child needs, built before fork.
struct KistHome::Launch {
    std::vector<std::string> envText;
    std::vector<char*> envp;
    std::vector<std::string> argText;
    std::vector<char*> argv;
};

KistHome::KistHome(const std::string& hint)
    : root(testsupport::makeScratchFolder(hint))
    , home(root + "/home")
    , dataHome(home + "/.local/share")
    , desktop(home + "/Desktop")
    , temp(root + "/tmp")
    , runtime(root + "/run")
{
    std::filesystem::create_directories(dataHome);
    std::filesystem::create_directories(home + "/.config");
    std::filesystem::create_directories(desktop);
    std::filesystem::create_directories(temp);
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

KistHome::Launch KistHome::prepare(const std::vector<std::string>& arguments,
                                   const std::map<std::string, std::string>& variables,
                                   const std::vector<std::string>& wrapper) const
{
    std::map<std::string, std::string> environment = {
        {"HOME", home},
        {"XDG_DATA_HOME", dataHome},
        {"XDG_CONFIG_HOME", home + "/.config"},
        {"XDG_DESKTOP_DIR", desktop},
        {"TMPDIR", temp},
        {"XDG_RUNTIME_DIR", runtime},
        {"PATH", std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"},
        {"LC_ALL", "C.UTF-8"},
    };
    for (const auto& [name, value] : variables)
        environment[name] = value;
    Launch launch;
    for (const auto& [name, value] : environment)
        launch.envText.push_back(name + "=" + value);
    for (std::string& entry : launch.envText)
        launch.envp.push_back(entry.data());
    launch.envp.push_back(nullptr);
    launch.argText = wrapper;
    launch.argText.push_back(KIST_TOOL_BINARY);
    launch.argText.insert(launch.argText.end(), arguments.begin(), arguments.end());
    for (std::string& argument : launch.argText)
        launch.argv.push_back(argument.data());
    launch.argv.push_back(nullptr);
    return launch;
}

RunResult KistHome::run(const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& variables, const std::string& workingFolder) const
{
    return runLaunch(prepare(arguments, variables, {}), workingFolder);
}

RunResult KistHome::runUnder(const std::vector<std::string>& wrapper, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& variables) const
{
    return runLaunch(prepare(arguments, variables, wrapper), {});
}

RunResult KistHome::runLaunch(Launch launch, const std::string& workingFolder) const
{
    const std::string folder = workingFolder.empty() ? root : workingFolder;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        // No controlling terminal: kist must never wait for a prompt here.
        (void)::setsid();
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0 || ::dup2(outPipe[1], STDOUT_FILENO) < 0
            || ::dup2(errPipe[1], STDERR_FILENO) < 0 || ::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    RunResult result;
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    const bool finished =
        drain(fds, sinks, std::chrono::steady_clock::now() + std::chrono::seconds(kRunTimeoutSeconds), [] {});
    if (!finished)
        ::kill(child, SIGKILL);
    closeQuietly(fds[0]);
    closeQuietly(fds[1]);
    result.status = waitForChild(child);
    if (!finished)
        result.err += "\n[kist did not finish in time]";
    return result;
}

RunResult KistHome::runOnTerminal(const std::vector<std::string>& arguments,
                                  const std::map<std::string, std::string>& variables,
                                  const std::vector<Exchange>& exchanges) const
{
    Launch launch = prepare(arguments, variables, {});
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slaveName = ::ptsname(master);
    int outPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        (void)::setsid();
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::dup2(slave, STDIN_FILENO) < 0
            || ::dup2(slave, STDERR_FILENO) < 0 || ::dup2(outPipe[1], STDOUT_FILENO) < 0
            || ::chdir(root.c_str()) != 0)
            ::_exit(126);
        ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);

    RunResult result;
    int fds[2] = {outPipe[0], master};
    std::string* sinks[2] = {&result.out, &result.err};
    std::size_t next = 0;
    std::size_t searchFrom = 0;
    const auto typeWhenAsked = [&]() {
        while (next < exchanges.size()) {
            const std::size_t found = result.err.find(exchanges[next].question, searchFrom);
            if (found == std::string::npos)
                return;
            searchFrom = found + exchanges[next].question.size();
            const std::string typed = exchanges[next].answer + "\n";
            if (::write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
                return;
            ++next;
        }
    };
    const bool finished = drain(fds, sinks, std::chrono::steady_clock::now() + std::chrono::seconds(60), typeWhenAsked);
    if (!finished)
        ::kill(child, SIGKILL);
    closeQuietly(fds[0]);
    closeQuietly(fds[1]);
    result.status = waitForChild(child);
    if (!finished)
        result.err += "\n[kist did not finish in time]";
    return result;
}

std::vector<std::string> lines(const std::string& text)
{
    return testsupport::splitLines(text);
}

} // namespace kisttest
