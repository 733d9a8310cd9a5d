#pragma once

#include <QAbstractVideoSurface>
#include <QImage>
#include <QVideoSurfaceFormat>

#include <functional>

namespace ui {

// A video surface for Qt Multimedia (camera or player) that copies each frame it is handed into
// a QImage of its own, upright and with square pixels, and passes it on with the frame's start time (microseconds, -1
// when unknown). Frames that cannot be mapped or converted (such as the invalid one a player
// sends at the end) are skipped. Runs on the thread Qt Multimedia presents on (the GUI thread).
class FrameSurface : public QAbstractVideoSurface
{
public:
    using Sink = std::function<void(const QImage& frame, qint64 startTime)>;
    explicit FrameSurface(Sink sink);

    QList<QVideoFrame::PixelFormat> supportedPixelFormats(QAbstractVideoBuffer::HandleType type) const override;
    bool start(const QVideoSurfaceFormat& format) override;
    bool present(const QVideoFrame& frame) override;

private:
    Sink sink;
    // Of the last start(), kept after stop(): the player stops the surface at a video's end and
    // presents the frames of the next round without starting it again.
    QVideoSurfaceFormat shape;
};

} // namespace ui
