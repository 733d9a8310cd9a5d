#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <vector>

// Timing helpers shared by the benchmarks. Main thread only.
namespace bench {

// The middle value; the mean of the two middle ones for an even count. values must not be empty.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Wall-clock milliseconds that work takes.
inline double millisecondsFor(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

// Runs the event loop until done() holds or timeoutMs have passed, idle between events as the
// window's thread is: a loop of processEvents() would keep busy a core that the workers measured
// need.
inline void runEventsUntil(const std::function<bool()>& done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    check.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done()) {
        loop.exec();
    }
}

} // namespace bench
