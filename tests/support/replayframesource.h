#pragma once
// A frame source that replays pictures in a loop, standing in for a camera in tests and
// benchmarks. An interval of 0 offers a new frame each time the event loop turns.

#include "ui/framesource.h"

#include <QTimer>
#include <QVector>

class ReplayFrameSource : public ui::FrameSource
{
public:
    explicit ReplayFrameSource(QVector<QImage> frames, int intervalMs = 0)
        : frames(std::move(frames))
    {
        timer.setInterval(intervalMs);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            emit frameReady(this->frames[offered % this->frames.size()]);
            ++offered;
        });
    }

    bool start() override
    {
        if (frames.isEmpty() || !startable) {
            return false;
        }
        timer.start();
        return true;
    }
    void stop() override { timer.stop(); }

    bool startable = true;
    int offered = 0;

private:
    QVector<QImage> frames;
    QTimer timer;
};
