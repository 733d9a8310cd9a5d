#include "ui/silencewatch.h"

#include <algorithm>

namespace ui {

SilenceWatch::SilenceWatch(int limitMs, int tickMs, QObject* parent)
    : QObject(parent)
    , limitTicks(std::max(1, (limitMs + tickMs - 1) / std::max(1, tickMs)))
{
    // A repeating timer that falls behind fires once when its thread runs again, however many
    // of its intervals went by meanwhile.
    ticks.setInterval(std::max(1, tickMs));
    ticks.setTimerType(Qt::PreciseTimer);
    connect(&ticks, &QTimer::timeout, this, [this] {
        if (++silentTicks >= limitTicks) {
            ticks.stop();
            emit silent();
        }
    });
}

void SilenceWatch::start()
{
    silentTicks = 0;
    ticks.start();
}

void SilenceWatch::heard()
{
    if (ticks.isActive()) {
        start(); // the next tick a whole interval on
    }
}

void SilenceWatch::stop()
{
    ticks.stop();
    silentTicks = 0;
}

bool SilenceWatch::isActive() const
{
    return ticks.isActive();
}

} // namespace ui
