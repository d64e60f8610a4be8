#pragma once

#include <functional>
#include <vector>

// Runs step while a 10 ms timer on the GUI thread notes the longest time
// between two of its ticks; returns the seconds and that gap in milliseconds.
std::vector<double> timedOnGuiThread(const std::function<void()>& step);
