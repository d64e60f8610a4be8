#include "tests/storage/StorageTestHelpers.h"

#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace storagetest {

std::string newDatabasePath(const std::string& hint)
{
    return testsupport::makeScratchFolder(hint) + "/test.db";
}

int fileMode(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 0777);
}

int openDescriptorsOn(const std::string& path)
{
    const fs::path wanted = fs::canonical(path);
    int count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry.path(), linkError);
        if (!linkError && target == wanted)
            ++count;
    }
    return count;
}

ToolRun runSqlcipher(const std::string& databasePath, const std::string& script)
{
    const std::string folder = testsupport::makeScratchFolder("sqlcipher-script");
    const std::string scriptPath = folder + "/script.sql";
    testsupport::writeFile(scriptPath, script);
    if (databasePath.find('\'') != std::string::npos || scriptPath.find('\'') != std::string::npos)
        throw std::runtime_error("scratch paths must not hold quotes");

    const std::string command = "sqlcipher '" + databasePath + "' < '" + scriptPath + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run sqlcipher");
    ToolRun run;
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        run.output.append(buffer.data(), got);
    const int status = ::pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace storagetest
