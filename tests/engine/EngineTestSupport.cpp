#include "tests/engine/EngineTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/StepBoundary.h"
#include "tests/engine/PackageTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace enginetest {

namespace {

int boundariesLeft = 0;

void stopAtBoundary(const char*)
{
    if (--boundariesLeft == 0)
        _exit(kStoppedAtBoundary);
}

} // namespace

int runInterrupted(const std::function<void()>& operation, int stopAt)
{
    const pid_t child = fork();
    if (child == 0) {
        boundariesLeft = stopAt;
        stepboundary::setHook(stopAtBoundary);
        try {
            operation();
        } catch (const ExceptionModule& e) {
            fprintf(stderr, "child failed: %s\n", e.getMessage().c_str());
            _exit(kFailedInChild);
        }
        _exit(kRanToTheEnd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string vaultFolder()
{
    return std::string(std::getenv("XDG_DATA_HOME")) + "/kist";
}

std::string vaultDatabasePath()
{
    return vaultFolder() + "/" + kDatabaseName;
}

std::string sqlcipher(const std::string& database, const std::string& statements)
{
    const std::string script = "PRAGMA key='581736024917365028471639502847361dce';\n.bail on\n" + statements + "\n;\n";
    std::string output = packagetest::runOrThrow({"sqlcipher", "-batch", database}, "", script);
    // The key pragma answers with "ok" on newer builds; it is no row.
    if (output.rfind("ok\n", 0) == 0)
        output.erase(0, 3);
    if (output.find("Error") != std::string::npos)
        throw std::runtime_error("sqlcipher: " + output);
    return output;
}

std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ExceptionModule& e) {
        return e.getMessage();
    }
    return "(no error)";
}

void resetProfile()
{
    std::error_code ec;
    fs::remove_all(vaultFolder(), ec);
    fs::remove_all(std::string(std::getenv("XDG_DATA_HOME")) + "/Brannoway", ec);
    fs::remove_all(std::string(std::getenv("XDG_DESKTOP_DIR")) + "/KORVELIN Restored Files", ec);
}

namespace {

std::string settingsFolder()
{
    return std::string(std::getenv("XDG_DATA_HOME")) + "/Brannoway";
}

void copyFolder(const std::string& from, const std::string& to)
{
    if (fs::exists(from))
        fs::copy(from, to, fs::copy_options::recursive);
}

} // namespace

FreshProfile::FreshProfile(const std::string& password)
    : saved(testsupport::makeScratchFolder("fresh-profile"))
{
    resetProfile();
    openVault(password);
    copyFolder(vaultFolder(), saved + "/vault");
    copyFolder(settingsFolder(), saved + "/settings");
}

void FreshProfile::restore() const
{
    resetProfile();
    copyFolder(saved + "/vault", vaultFolder());
    copyFolder(saved + "/settings", settingsFolder());
}

std::vector<Entry> list(Kist& kist)
{
    std::vector<KistFile*> files;
    kist.listFiles(files);
    std::vector<Entry> entries;
    for (KistFile* file : files) {
        entries.push_back({file->name, file->is_directory, file->size});
        delete file;
    }
    return entries;
}

std::unique_ptr<Kist> openVault(const std::string& password)
{
    auto kist = std::make_unique<Kist>(true);
    if (kist->isEmptyPassword())
        kist->setPassword(password, "");
    else if (!kist->login(password))
        throw std::runtime_error("wrong test password");
    return kist;
}

std::string checkFindings(Kist& kist)
{
    std::string text;
    for (const std::string& finding : kist.checkVault().findings)
        text += finding + "\n";
    return text;
}

std::vector<std::pair<std::string, std::string>> tree(const std::string& folder)
{
    return testsupport::snapshotTree(folder);
}

bool vaultHoldsPlainCopy(const std::vector<std::string>& contents)
{
    for (const auto& [path, bytes] : testsupport::snapshotTree(vaultFolder())) {
        if (bytes.empty())
            continue;
        for (const std::string& content : contents)
            if (!content.empty() && bytes == content)
                return true;
    }
    return false;
}

} // namespace enginetest
