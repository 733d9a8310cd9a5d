#include "ui/waitclock.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSet>

namespace ui::waitclock {

namespace {

Q_LOGGING_CATEGORY(timing, "facemask.timing", QtWarningMsg)

struct Wait {
    QElapsedTimer clock;
    QByteArray name;
    QSet<QByteArray> steps;
};

Wait& current()
{
    static Wait wait;
    return wait;
}

}  // namespace

void begin(const char* what)
{
    if (!timing().isInfoEnabled()) {
        return;
    }
    Wait& wait = current();
    wait.clock.start();
    wait.name = what;
    wait.steps.clear();
    qCInfo(timing, "%7.1f ms %s", 0.0, what);
}

void step(const char* step)
{
    if (!timing().isInfoEnabled()) {
        return;
    }
    Wait& wait = current();
    if (!wait.clock.isValid() || wait.steps.contains(step)) {
        return;
    }
    wait.steps.insert(step);
    qCInfo(timing, "%7.1f ms %s (since %s)", wait.clock.nsecsElapsed() / 1e6, step,
           wait.name.constData());
}

}  // namespace ui::waitclock
