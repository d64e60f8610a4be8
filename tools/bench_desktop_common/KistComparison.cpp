#include "tools/bench_desktop_common/KistComparison.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tools/bench_common/Median.h"
#include "tools/bench_common/Verdict.h"

void KistComparison::addWindow(double seconds, double stallMs)
{
    windowSeconds.push_back(seconds);
    longestStall = std::max(longestStall, stallMs);
}

bool KistComparison::report(const char* what, const char* kistCommand, double ratioTarget,
                            double stallTargetMs) const
{
    std::vector<double> ratios;
    std::string each;
    for (std::size_t round = 0; round < kistSeconds.size() && round < windowSeconds.size(); ++round) {
        ratios.push_back(windowSeconds[round] / kistSeconds[round]);
        char text[16];
        std::snprintf(text, sizeof text, "%s%.2f", each.empty() ? "" : " ", ratios.back());
        each += text;
    }
    std::vector<double> balanced;
    for (std::size_t round = 0; round + 1 < ratios.size(); round += 2)
        balanced.push_back(std::sqrt(ratios[round] * ratios[round + 1]));
    if (balanced.empty() && !ratios.empty())
        balanced = ratios;
    const double ratio = median(balanced);
    const bool ratioMet = !balanced.empty() && ratio <= ratioTarget;
    const bool stallMet = longestStall <= stallTargetMs;
    std::printf("%-34s window %.2f s, %s %.2f s (medians of %zu rounds)\n", what, median(windowSeconds), kistCommand,
                median(kistSeconds), ratios.size());
    std::printf("%-34s %.2fx   target <= %.2fx: %s\n", "  window against kist", ratio, ratioTarget,
                verdict(ratioMet));
    std::printf("%-34s %s\n", "  each round's ratio", each.c_str());
    std::printf("%-34s %.0f ms   target <= %.0f ms: %s\n\n", "  longest GUI-thread stall", longestStall,
                stallTargetMs, verdict(stallMet));
    return ratioMet && stallMet;
}
