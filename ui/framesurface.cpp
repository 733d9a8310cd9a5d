#include "ui/framesurface.h"

#include "video/videoorientation.h"

namespace ui {

FrameSurface::FrameSurface(Sink sink)
    : sink(std::move(sink))
{
}

void FrameSurface::leaveOutUnusedSinks()
{
    // Set once and then only read: GStreamer's threads read the environment too.
    for (const char* name :
         {"QT_GSTREAMER_WINDOW_VIDEOSINK", "QT_GSTREAMER_WIDGET_VIDEOSINK", "QT_GSTREAMER_PLAYBIN_AUDIOSINK"}) {
        if (qEnvironmentVariableIsEmpty(name)) {
            qputenv(name, "fakesink");
        }
    }
}

QList<QVideoFrame::PixelFormat> FrameSurface::supportedPixelFormats(QAbstractVideoBuffer::HandleType type) const
{
    if (type != QAbstractVideoBuffer::NoHandle) {
        return {};
    }
    // Formats a QImage holds as they are; the back end converts to one of them. (Not BGR32: no
    // QImage format answers to it, and a camera that sends RGBx would have every frame skipped.)
    return {QVideoFrame::Format_RGB32, QVideoFrame::Format_ARGB32, QVideoFrame::Format_RGB24,
            QVideoFrame::Format_RGB565};
}

bool FrameSurface::start(const QVideoSurfaceFormat& format)
{
    shape = format;
    return QAbstractVideoSurface::start(format);
}

bool FrameSurface::present(const QVideoFrame& frame)
{
    if (!frame.isValid()) {
        return true;
    }
    QVideoFrame mapped(frame);
    if (!mapped.map(QAbstractVideoBuffer::ReadOnly)) {
        return true; // a frame that cannot be read is skipped, the stream goes on
    }
    const QImage::Format format = QVideoFrame::imageFormatFromPixelFormat(mapped.pixelFormat());
    QImage picture;
    if (format != QImage::Format_Invalid) {
        // Copied: the buffer goes back to the back end when unmapped.
        picture = QImage(mapped.bits(), mapped.width(), mapped.height(), mapped.bytesPerLine(), format).copy();
    }
    mapped.unmap();
    if (!picture.isNull()) {
        if (shape.scanLineDirection() == QVideoSurfaceFormat::BottomToTop) {
            picture = picture.mirrored(false, true);
        }
        // Pixels that are not square (an anamorphic video) are shown at their width: the face
        // is then as wide as it is in the scene, and found as the detector knows faces.
        const QSize pixel = shape.pixelAspectRatio();
        if (pixel.isValid() && pixel.width() != pixel.height()) {
            const qint64 width = (qint64(picture.width()) * pixel.width() + pixel.height() / 2) / pixel.height();
            if (width >= 1 && width <= video::maximumFrameSide) {
                picture = picture.scaled(int(width), picture.height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            }
        }
        sink(picture, frame.startTime());
    }
    return true;
}

} // namespace ui
