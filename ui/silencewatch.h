#pragma once

#include <QObject>
#include <QTimer>

namespace ui {

// Says when a source that should be sending something (a camera's pictures, a video's first
// frame) has been silent for a while. The silence is counted in ticks of a timer on this
// thread, not read off the wall clock: a program stopped for half a minute (a suspended laptop,
// a debugger) or held back by a busy machine sees the ticks it missed as one, and a healthy
// source that answers as soon as the program runs again is not reported for the time it was
// not given.
class SilenceWatch : public QObject
{
    Q_OBJECT

public:
    // silent() once limitMs have passed in ticks of tickMs with no heard() in between.
    explicit SilenceWatch(int limitMs, int tickMs = 1000, QObject* parent = nullptr);

    void start(); // counts from nothing
    void heard(); // a sign of life: counts from nothing again, if started
    void stop();
    bool isActive() const;

signals:
    void silent();

private:
    QTimer ticks;
    int silentTicks = 0;
    int limitTicks;
};

} // namespace ui
