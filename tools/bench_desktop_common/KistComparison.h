#pragma once

#include <vector>

// The times of the window and of the kist tool at one task, a pair each
// round, and the window's longest GUI-thread stall. The two sides of a round
// run back to back, so they meet the same state of a virtual disk whose
// speed drifts by a third over a minute; rounds alternate which side goes
// first, and the second meets the host still writing the first one's data.
// So two rounds, one in each order, give one estimate (the geometric mean
// of their ratios cancels what the order adds), and the verdict is the
// median of those estimates, which one disturbed round cannot carry.
struct KistComparison {
    std::vector<double> kistSeconds;
    std::vector<double> windowSeconds;
    double longestStall = 0;

    void addKist(double seconds) { kistSeconds.push_back(seconds); }
    void addWindow(double seconds, double stallMs);

    // Prints the comparison under what; true when the estimate is at most
    // ratioTarget and the window never stalls longer than stallTargetMs.
    bool report(const char* what, const char* kistCommand, double ratioTarget, double stallTargetMs) const;
};
