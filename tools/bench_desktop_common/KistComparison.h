#pragma once

// The best times of the window and of the kist tool at one task over the
// rounds of a benchmark, and the window's longest GUI-thread stall.
struct KistComparison {
    double bestKist = 1e300;
    double bestWindow = 1e300;
    double longestStall = 0;
    int rounds = 2; // of each side; the best of them counts

    // Prints the comparison under what; true when the window takes at most
    // ratioTarget times kistCommand's time and never stalls longer than
    // stallTargetMs.
    bool report(const char* what, const char* kistCommand, double ratioTarget, double stallTargetMs) const;
};
