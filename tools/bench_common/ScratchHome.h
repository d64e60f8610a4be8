#pragma once

#include <string>

// Makes home a user's home folder with its desktop, data and configuration
// folders, and points HOME, XDG_* and TMPDIR (at temporary) there, so that a
// Kist made afterwards keeps its vault below home and nowhere else.
void useScratchHome(const std::string& home, const std::string& temporary);
