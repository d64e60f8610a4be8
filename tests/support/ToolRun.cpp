#include "tests/support/ToolRun.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

extern char** environ;

namespace testsupport {
namespace {

// The test's environment with a UTF-8 locale, so tools print names as given.
std::vector<std::string> toolEnvironment()
{
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable) {
        const std::string entry = *variable;
        if (entry.rfind("LC_ALL=", 0) != 0 && entry.rfind("LANG=", 0) != 0)
            variables.push_back(entry);
    }
    variables.push_back("LC_ALL=C.UTF-8");
    variables.push_back("LANG=C.UTF-8");
    return variables;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions{};
};

} // namespace

ToolRun runTool(const std::vector<std::string>& argv, const std::string& folder, const std::string& input)
{
    // The input goes through a file, so a tool that writes much before it
    // reads cannot block on a full pipe. posix_spawn runs nothing of ours in
    // the child, so no lock held by another thread can stop it.
    const std::string inputFolder = makeScratchFolder("stdin");
    const std::string inputFile = inputFolder + "/input";
    writeFile(inputFile, input);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, inputFile.c_str(), O_RDONLY, 0);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(actions.get(), folder.c_str());
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = toolEnvironment();
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, arguments.at(0).c_str(), actions.get(), nullptr,
                                     pointersTo(arguments).data(), pointersTo(environment).data());
    close(pipeFds[1]);
    ToolRun run;
    if (spawned != 0) {
        close(pipeFds[0]);
        std::filesystem::remove_all(inputFolder);
        run.exitCode = 127;
        run.output = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        return run;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    std::filesystem::remove_all(inputFolder);
    return run;
}

ToolRun runPython(const std::string& script, const std::vector<std::string>& arguments)
{
    // The system's interpreter starts much faster than a version manager's shim.
    static const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::vector<std::string> argv{python, "-c", script};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runTool(argv);
}

} // namespace testsupport
