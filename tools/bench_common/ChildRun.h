#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs one scenario in a child process, so that its peak memory
// (getrusage's ru_maxrss) is its own and no engine state outlives it.
struct ChildResult {
    std::vector<double> values; // what the scenario returned
    double peakMiB = 0;         // the child's peak resident memory
    double userSeconds = 0;     // CPU time of the whole child, in user space
    double systemSeconds = 0;   // and in the kernel
};

// Throws std::runtime_error with the child's message when the scenario
// failed or the child died. The message of a failed scenario is what() of
// the exception it threw.
ChildResult runInChild(const std::string& name, const std::function<std::vector<double>()>& scenario);
