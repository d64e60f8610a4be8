#include "tools/bench_common/ScratchHome.h"

#include <cstdlib>
#include <filesystem>

void useScratchHome(const std::string& home, const std::string& temporary)
{
    for (const char* folder : {"/Desktop", "/.local/share", "/.config"})
        std::filesystem::create_directories(home + folder);
    std::filesystem::create_directories(temporary);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_DESKTOP_DIR", (home + "/Desktop").c_str(), 1);
    ::setenv("TMPDIR", temporary.c_str(), 1);
}
