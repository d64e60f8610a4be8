#pragma once

// What this process has used so far, from getrusage(RUSAGE_SELF).
struct ProcessUsage {
    double userSeconds = 0;   // processor time in user space
    double systemSeconds = 0; // and in the kernel
    double peakMiB = 0;       // peak resident memory (ru_maxrss)

    double processorSeconds() const { return userSeconds + systemSeconds; }
};

// Throws std::runtime_error when getrusage fails.
ProcessUsage usageOfThisProcess();
