#include "ui/camerasource.h"

#include "ui/framesurface.h"
#include "video/videoreader.h"
#include "ui/silencewatch.h"

#include <QCamera>
#include <QCameraInfo>
#include <QTimer>

namespace ui {

namespace {

// A running camera sends pictures many times a second; one silent this long has stopped (a
// stream that ended, a device that hangs) without an error to say so.
constexpr int stallTimeoutMs = 10000;
// Qt's camera pipeline stops for good, without an error, when the window takes in a frame later
// than 0.3 s (a busy machine). A camera that had sent this many pictures since it was (re)started
// and then falls silent is opened anew; one that falls silent sooner is reported.
constexpr int reopenAfterFrames = 150;

QString silenceText()
{
    return QStringLiteral("The camera cannot be used: it has sent no picture for %1 seconds.").arg(stallTimeoutMs / 1000);
}

} // namespace

class CameraFrameSource::Impl
{
public:
    Impl(CameraFrameSource* owner, const QCameraInfo& info)
        : info(info)
        , camera(info)
        , stallWatch(stallTimeoutMs)
        , surface([this, owner](const QImage& frame, qint64) {
            stallWatch.heard();
            ++framesSinceStart;
            emit owner->frameReady(frame);
        })
    {
        camera.setViewfinder(&surface);
    }

    const QCameraInfo info;
    QCamera camera;
    SilenceWatch stallWatch; // heard by every picture; gone after the surface that tells it
    int framesSinceStart = 0;
    bool running = false; // started and not stopped since
    FrameSurface surface;
};

CameraFrameSource::CameraFrameSource(const QCameraInfo& camera)
{
    open(camera);
}

void CameraFrameSource::open(const QCameraInfo& camera)
{
    FrameSurface::leaveOutUnusedSinks();
    d = std::make_unique<Impl>(this, camera);
    connect(&d->camera, QOverload<QCamera::Error>::of(&QCamera::error), this, [this](QCamera::Error error) {
        if (error != QCamera::NoError) {
            d->stallWatch.stop();
            emit failed(QStringLiteral("The camera cannot be used: %1").arg(d->camera.errorString()));
        }
    });
    connect(&d->stallWatch, &SilenceWatch::silent, this, [this] {
        d->camera.stop();
        if (d->framesSinceStart >= reopenAfterFrames) {
            // Not from within the watch's own signal: the watch goes with the camera.
            QTimer::singleShot(0, this, [this] {
                if (!d->running) {
                    return; // stopped meanwhile
                }
                open(QCameraInfo(d->info));
                if (!start()) {
                    emit failed(silenceText());
                }
            });
            return;
        }
        emit failed(silenceText());
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
    d->running = true;
    return true;
}

QString CameraFrameSource::missingPieces()
{
    return video::missingElements({QStringLiteral("camerabin"), QStringLiteral("v4l2src")});
}

void CameraFrameSource::stop()
{
    d->running = false;
    d->stallWatch.stop();
    d->camera.stop();
}

} // namespace ui
