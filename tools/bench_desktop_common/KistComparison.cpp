#include "tools/bench_desktop_common/KistComparison.h"

#include <cstdio>

#include "tools/bench_common/Verdict.h"

bool KistComparison::report(const char* what, const char* kistCommand, double ratioTarget,
                            double stallTargetMs) const
{
    const double ratio = bestWindow / bestKist;
    const bool ratioMet = ratio <= ratioTarget;
    const bool stallMet = longestStall <= stallTargetMs;
    std::printf("%-34s window %.2f s, %s %.2f s (best of %d each)\n", what, bestWindow, kistCommand, bestKist,
                rounds);
    std::printf("%-34s %.2fx   target <= %.2fx: %s\n", "  window against kist", ratio, ratioTarget,
                verdict(ratioMet));
    std::printf("%-34s %.0f ms   target <= %.0f ms: %s\n\n", "  longest GUI-thread stall", longestStall,
                stallTargetMs, verdict(stallMet));
    return ratioMet && stallMet;
}
