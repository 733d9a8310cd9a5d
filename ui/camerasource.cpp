#include "ui/camerasource.h"

#include "ui/framesurface.h"
#include "video/videoreader.h"
#include "ui/silencewatch.h"

#include <QCamera>
#include <QCameraInfo>

namespace ui {

namespace {

// A running camera sends pictures many times a second; one silent this long has stopped (a
// stream that ended, a device that hangs) without an error to say so.
constexpr int stallTimeoutMs = 10000;

} // namespace

class CameraFrameSource::Impl
{
public:
    Impl(CameraFrameSource* owner, const QCameraInfo& info)
        : camera(info)
        , stallWatch(stallTimeoutMs)
        , surface([this, owner](const QImage& frame, qint64) {
            stallWatch.heard();
            emit owner->frameReady(frame);
        })
    {
        camera.setViewfinder(&surface);
    }

    QCamera camera;
    SilenceWatch stallWatch; // heard by every picture; gone after the surface that tells it
    FrameSurface surface;
};

CameraFrameSource::CameraFrameSource(const QCameraInfo& camera)
    : d(std::make_unique<Impl>(this, camera))
{
    connect(&d->camera, QOverload<QCamera::Error>::of(&QCamera::error), this, [this](QCamera::Error error) {
        if (error != QCamera::NoError) {
            d->stallWatch.stop();
            emit failed(QStringLiteral("The camera cannot be used: %1").arg(d->camera.errorString()));
        }
    });
    connect(&d->stallWatch, &SilenceWatch::silent, this, [this] {
        d->camera.stop();
        emit failed(QStringLiteral("The camera cannot be used: it has sent no picture for %1 seconds.")
                        .arg(stallTimeoutMs / 1000));
    });
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
    if (d->camera.error() != QCamera::NoError) {
        return false;
    }
    d->stallWatch.start();
    return true;
}

QString CameraFrameSource::missingPieces()
{
    return video::missingElements({QStringLiteral("camerabin"), QStringLiteral("v4l2src")});
}

void CameraFrameSource::stop()
{
    d->stallWatch.stop();
    d->camera.stop();
}

} // namespace ui
