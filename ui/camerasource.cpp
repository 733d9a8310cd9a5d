#include "ui/camerasource.h"

#include "ui/framesurface.h"

#include <QCamera>
#include <QCameraInfo>
#include <QTimer>

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
        , surface([this, owner](const QImage& frame, qint64) {
            stallTimer.start();
            emit owner->frameReady(frame);
        })
    {
        camera.setViewfinder(&surface);
        stallTimer.setSingleShot(true);
        stallTimer.setInterval(stallTimeoutMs);
    }

    QCamera camera;
    QTimer stallTimer; // restarted by every picture; gone after the surface that restarts it
    FrameSurface surface;
};

CameraFrameSource::CameraFrameSource(const QCameraInfo& camera)
    : d(std::make_unique<Impl>(this, camera))
{
    connect(&d->camera, QOverload<QCamera::Error>::of(&QCamera::error), this, [this](QCamera::Error error) {
        if (error != QCamera::NoError) {
            d->stallTimer.stop();
            emit failed(QStringLiteral("The camera cannot be used: %1").arg(d->camera.errorString()));
        }
    });
    connect(&d->stallTimer, &QTimer::timeout, this, [this] {
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
    d->stallTimer.start();
    return true;
}

void CameraFrameSource::stop()
{
    d->stallTimer.stop();
    d->camera.stop();
}

} // namespace ui
