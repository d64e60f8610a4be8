#include "tools/bench_common/ChildProgram.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/bench_common/Descriptor.h"

namespace {

// Names the program and its first argument: "openssl enc", "7z a".
std::string commandOf(const std::vector<std::string>& arguments)
{
    return arguments.size() > 1 ? arguments[0] + " " + arguments[1] + " ..." : arguments.front();
}

void waitForSuccess(pid_t child, const std::vector<std::string>& arguments)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "killed by signal " + std::to_string(WTERMSIG(status));
    throw std::runtime_error("failed: " + commandOf(arguments) + " (" + how + ")");
}

// output, when given, receives the program's standard output.
void runChild(const std::vector<std::string>& arguments, const std::string& folder, std::string* output)
{
    if (arguments.empty())
        throw std::invalid_argument("no program to run");
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    std::unique_ptr<Descriptor> readEnd;
    std::unique_ptr<Descriptor> writeEnd;
    if (output != nullptr) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
        readEnd = std::make_unique<Descriptor>(ends[0], "the output of " + arguments.front());
        writeEnd = std::make_unique<Descriptor>(ends[1], "the output of " + arguments.front());
    }
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (writeEnd && ::dup2(writeEnd->get(), STDOUT_FILENO) < 0)
            std::_Exit(126);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            std::_Exit(126);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    if (output != nullptr) {
        writeEnd->close();
        try {
            *output = readEnd->readToEnd();
        } catch (...) {
            readEnd->close(); // so that the child ends rather than blocks on a full pipe
            int ignored = 0;
            while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
            }
            throw;
        }
    }
    waitForSuccess(child, arguments);
}

} // namespace

void runProgram(const std::vector<std::string>& arguments, const std::string& folder)
{
    runChild(arguments, folder, nullptr);
}

std::string outputOfProgram(const std::vector<std::string>& arguments, const std::string& folder)
{
    std::string output;
    runChild(arguments, folder, &output);
    return output;
}

bool programAvailable(const std::string& program)
{
    try {
        runProgram({"sh", "-c", "command -v \"$0\" >/dev/null", program});
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}
