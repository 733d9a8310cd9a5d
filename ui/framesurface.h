#pragma once

#include <QAbstractVideoSurface>
#include <QImage>

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
    bool present(const QVideoFrame& frame) override;

private:
    Sink sink;
};

} // namespace ui
