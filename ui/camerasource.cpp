#include "ui/camerasource.h"

#include "ui/framesurface.h"

#include <QCamera>
#include <QCameraInfo>

namespace ui {

class CameraFrameSource::Impl
{
public:
    Impl(CameraFrameSource* owner, const QCameraInfo& info)
        : camera(info)
        , surface([owner](const QImage& frame, qint64) { emit owner->frameReady(frame); })
    {
        camera.setViewfinder(&surface);
    }

    QCamera camera;
    FrameSurface surface;
};

CameraFrameSource::CameraFrameSource(const QCameraInfo& camera)
    : d(std::make_unique<Impl>(this, camera))
{
    connect(&d->camera, QOverload<QCamera::Error>::of(&QCamera::error), this, [this](QCamera::Error error) {
        if (error != QCamera::NoError) {
            emit failed(QStringLiteral("The camera cannot be used: %1").arg(d->camera.errorString()));
        }
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
    return d->camera.error() == QCamera::NoError;
}

void CameraFrameSource::stop()
{
    d->camera.stop();
}

} // namespace ui
