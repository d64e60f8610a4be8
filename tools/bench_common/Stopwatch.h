#pragma once

#include <chrono>

// Wall-clock seconds that step takes.
template <typename Step>
double secondsOf(Step&& step)
{
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
