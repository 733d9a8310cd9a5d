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

    // Tells Qt Multimedia, before a camera or player is made, that frames go to a surface alone
    // and sound nowhere. With every one it also makes a sink for each native-window output it
    // offers, and on X11 finds one by starting each installed video sink in turn (seconds on this
    // thread where only a DRM or a Wayland sink is installed); a player's sound would need a sound
    // device. Those outputs get GStreamer's fakesink instead, unless the user named a sink for
    // them (QT_GSTREAMER_WINDOW_VIDEOSINK, QT_GSTREAMER_WIDGET_VIDEOSINK,
    // QT_GSTREAMER_PLAYBIN_AUDIOSINK). GUI thread.
    static void leaveOutUnusedSinks();

private:
    Sink sink;
    // Of the last start(), kept after stop(): the player stops the surface at a video's end and
    // presents the frames of the next round without starting it again.
    QVideoSurfaceFormat shape;
};

} // namespace ui
