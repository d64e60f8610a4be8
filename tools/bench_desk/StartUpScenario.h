#pragma once

#include <string>
#include <vector>

// The start of the real VaultDesk program (offscreen), on a vault that asks
// no welcome question, in the scratch home of the caller:
//   - from the start of the process to its first window, with the update
//     service refused (nothing listens) and silent (accepts, never answers);
//   - a second start that wakes the running first one, until it has exited.
// Run it in a child with a QApplication. Returns, in seconds: refused median
// and worst, silent median and worst, second start median and worst, then
// the number of wake-ups the first start reported.
std::vector<double> startUpScenario(const std::string& program, int runs, bool trace);

// The update check's own time-out (connect and answer), which the first
// window may wait for when the service is silent.
constexpr double kUpdateTimeoutSeconds = 5.0;
