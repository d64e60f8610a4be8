#pragma once

#include <string>

// Every test program runs with HOME, XDG_DATA_HOME, XDG_CONFIG_HOME,
// XDG_DESKTOP_DIR, TMPDIR and XDG_RUNTIME_DIR pointing into one scratch
// folder, created before the first test and removed after the last, so no
// test touches the real user's folders.
namespace testsupport {

// The scratch folder of this test program (absolute, no trailing slash).
const std::string& scratchRoot();

// A new empty folder below the scratch folder, named after the hint.
std::string makeScratchFolder(const std::string& hint);

} // namespace testsupport
