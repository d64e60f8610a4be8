#include "tests/support/ScratchHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {
namespace {

std::string& rootStorage()
{
    static std::string root;
    return root;
}

void setupScratch()
{
    std::string& root = rootStorage();
    if (!root.empty())
        return;
    const char* base = std::getenv("KIST_TEST_TMP");
    std::string pattern = std::string(base ? base : "/tmp") + "/kist-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create scratch folder");
    root = pattern;
    const std::string home = root + "/home";
    fs::create_directories(home + "/Desktop");
    fs::create_directories(home + "/.local/share");
    fs::create_directories(home + "/.config");
    fs::create_directories(root + "/tmp");
    // The runtime folder holds what the programs of one login share.
    fs::create_directories(root + "/run");
    fs::permissions(root + "/run", fs::perms::owner_all, fs::perm_options::replace);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_DESKTOP_DIR", (home + "/Desktop").c_str(), 1);
    setenv("TMPDIR", (root + "/tmp").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    unsetenv("KORVELIN_UPDATE_SERVER");
}

class ScratchEnvironment : public ::testing::Environment {
public:
    void SetUp() override { setupScratch(); }
    void TearDown() override
    {
        std::error_code ec;
        if (!rootStorage().empty() && !std::getenv("KIST_KEEP_SCRATCH")) {
            // Make read-only leftovers removable before deleting the tree.
            for (auto it = fs::recursive_directory_iterator(rootStorage(), ec);
                 it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (it->is_directory(ec) && !it->is_symlink(ec))
                    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
            }
            fs::remove_all(rootStorage(), ec);
        }
    }
};

// Registered before main() runs, so every test program gets it.
const auto* const registered = ::testing::AddGlobalTestEnvironment(new ScratchEnvironment);

} // namespace

const std::string& scratchRoot()
{
    setupScratch();
    return rootStorage();
}

std::string makeScratchFolder(const std::string& hint)
{
    static std::atomic<int> counter{0};
    const std::string path = scratchRoot() + "/" + hint + "-" + std::to_string(getpid()) + "-"
                             + std::to_string(++counter);
    fs::create_directories(path);
    return path;
}

} // namespace testsupport
