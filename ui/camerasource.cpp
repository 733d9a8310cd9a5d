#include "camerasource.h"

#include <QAbstractVideoSurface>
#include <QCamera>
#include <QCameraInfo>
#include <QVideoFrame>
#include <QVideoSurfaceFormat>

namespace ui {

namespace {

// Receives the camera's buffers and hands each on as a picture of its own.
class FrameSurface : public QAbstractVideoSurface
{
public:
    explicit FrameSurface(CameraFrameSource* source)
        : source(source)
    {
    }

    QList<QVideoFrame::PixelFormat> supportedPixelFormats(QAbstractVideoBuffer::HandleType type) const override
    {
        if (type != QAbstractVideoBuffer::NoHandle) {
            return {};
        }
        // Formats a QImage holds as they are; the camera back end converts to one of them.
        return {QVideoFrame::Format_RGB32, QVideoFrame::Format_ARGB32, QVideoFrame::Format_BGR32,
                QVideoFrame::Format_RGB24, QVideoFrame::Format_RGB565};
    }

    bool present(const QVideoFrame& frame) override
    {
        QVideoFrame mapped(frame);
        if (!mapped.map(QAbstractVideoBuffer::ReadOnly)) {
            return true; // a frame that cannot be read is skipped, the stream goes on
        }
        const QImage::Format format = QVideoFrame::imageFormatFromPixelFormat(mapped.pixelFormat());
        QImage picture;
        if (format != QImage::Format_Invalid) {
            // Copied: the buffer goes back to the camera when unmapped.
            picture = QImage(mapped.bits(), mapped.width(), mapped.height(), mapped.bytesPerLine(), format).copy();
        }
        mapped.unmap();
        if (!picture.isNull()) {
            if (surfaceFormat().scanLineDirection() == QVideoSurfaceFormat::BottomToTop) {
                picture = picture.mirrored(false, true);
            }
            emit source->frameReady(picture);
        }
        return true;
    }

private:
    CameraFrameSource* source;
};

} // namespace

class CameraFrameSource::Impl
{
public:
    Impl(CameraFrameSource* owner, const QCameraInfo& info)
        : camera(info)
        , surface(owner)
    {
        camera.setViewfinder(&surface);
    }

    QCamera camera;
    FrameSurface surface;
};

CameraFrameSource::CameraFrameSource(const QCameraInfo& camera)
    : d(std::make_unique<Impl>(this, camera))
{
}

CameraFrameSource::~CameraFrameSource()
{
    d->camera.stop();
}

bool CameraFrameSource::start()
{
    if (!d->camera.isAvailable()) {
        return false;
    }
    d->camera.setCaptureMode(QCamera::CaptureViewfinder);
    d->camera.start();
    return d->camera.error() == QCamera::NoError;
}

void CameraFrameSource::stop()
{
    d->camera.stop();
}

} // namespace ui
