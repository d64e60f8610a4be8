#include "tools/bench_desktop_common/GuiThreadStall.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

#include "tools/bench_common/Stopwatch.h"

namespace {

// Fine enough for gaps of 100 ms, seldom enough not to slow what it watches.
constexpr int kTimerMs = 10;

} // namespace

std::vector<double> timedOnGuiThread(const std::function<void()>& step)
{
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer timer;
    timer.setInterval(kTimerMs);
    QObject::connect(&timer, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    timer.start();
    sinceTick.start();
    const double seconds = secondsOf(step);
    // The time after the last tick counts too.
    longestGap = std::max(longestGap, sinceTick.elapsed());
    timer.stop();
    return {seconds, static_cast<double>(longestGap)};
}
