#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += " '" + name + "'";
    return text;
}

void emptyFolder(const std::string& folder)
{
    for (const auto& entry : fs::directory_iterator(folder)) {
        // Entries come out with private modes; make folders removable.
        std::error_code ignored;
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
            for (const auto& inner : fs::recursive_directory_iterator(entry.path(), ignored))
                if (inner.is_directory(ignored) && !inner.is_symlink(ignored))
                    fs::permissions(inner.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(entry.path());
    }
}

} // namespace

void FuzzSandbox::create()
{
    const char* base = std::getenv("KIST_FUZZ_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kist-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create the fuzzing area below " + pattern);
    root = pattern;
    sandbox = root + "/sandbox";
    home = sandbox + "/home";
    vault = home + "/.local/share/kist";
    temporary = sandbox + "/tmp";
    input = sandbox + "/in";
    output = sandbox + "/out";
    for (const std::string& folder : {home + "/Desktop", home + "/.local/share", home + "/.config", temporary, input,
                                      output})
        fs::create_directories(folder);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_DESKTOP_DIR", (home + "/Desktop").c_str(), 1);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    // The update check must never leave the machine.
    ::unsetenv("KORVELIN_UPDATE_SERVER");
}

void FuzzSandbox::remove()
{
    if (root.empty())
        return;
    std::error_code ignored;
    fs::remove_all(root, ignored);
    root.clear();
}

std::vector<std::string> FuzzSandbox::homeLayout() const
{
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(home); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string();
        // The vault's bodies and database change with every copy into it.
        if (path == vault || path.rfind(vault + "/", 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        paths.push_back(path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

void FuzzSandbox::takeBaseline()
{
    baseline = homeLayout();
}

std::string FuzzSandbox::checkAndReset()
{
    std::string problems;
    if (const auto names = namesIn(root); names != std::vector<std::string>{"sandbox"})
        problems += "beside the sandbox:" + listed(names) + "\n";
    if (const auto names = namesIn(sandbox); names != std::vector<std::string>{"home", "in", "out", "tmp"})
        problems += "at the sandbox's top level:" + listed(names) + "\n";
    if (const auto names = namesIn(temporary); !names.empty())
        problems += "left in the temporary folder:" + listed(names) + "\n";
    if (const auto layout = homeLayout(); layout != baseline) {
        std::vector<std::string> added;
        std::set_difference(layout.begin(), layout.end(), baseline.begin(), baseline.end(),
                            std::back_inserter(added));
        problems += "new in the home folders:" + listed(added) + "\n";
        baseline = layout;
    }
    emptyFolder(input);
    emptyFolder(output);
    return problems;
}

void FuzzSandbox::removeVault()
{
    std::error_code ignored;
    fs::remove_all(vault, ignored);
}
