#include "cli/videotracking.h"

#include "face_detection_module/facedetectionmodule.h"
#include "preview/facetracker.h"
#include "face_detection_module/landmarkgeometry.h"

#include <QCommandLineOption>

namespace cli {

namespace {

// As the Preview window: the detector every 6th frame, the faces followed in between.
constexpr int defaultDetectionInterval = 6;

} // namespace

struct VideoTracking::Impl {
    core::FaceDetectionModule& module;
    preview::FaceTracker tracker;
    QSize frameSize; // of the frame tracked last
};

VideoTracking::VideoTracking(core::FaceDetectionModule& module, int detectionInterval, bool steady)
{
    preview::FaceTrackerSettings settings;
    settings.detectionInterval = std::max(1, detectionInterval);
    settings.steady = steady;
    d.reset(new Impl{module, preview::FaceTracker(settings), QSize()});
}

VideoTracking::~VideoTracking() = default;

TrackedFrame VideoTracking::track(const QImage& frame, double time)
{
    TrackedFrame result;
    const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull()) {
        return result;
    }
    // A video can change its frame size midway: the boxes followed are in the old frame's pixels.
    if (rgb.size() != d->frameSize) {
        d->tracker.reset();
        d->frameSize = rgb.size();
    }
    const QVector<preview::TrackedFace>& faces = d->tracker.track(
        rgb, time,
        [&] {
            result.detected = true;
            QVector<QRect> observed;
            // Boxes only: the tracker asks for the points of the faces it keeps.
            if (const std::optional<QVector<core::Face>> faces = d->module.findFaces(rgb)) {
                for (const core::Face& face : *faces) {
                    observed.append(face.rect);
                }
            }
            return observed;
        },
        [&](const QVector<QRect>& boxes) {
            QVector<core::FacialPointVector> predicted;
            for (const std::optional<QVector<QPoint>>& points : d->module.detectPointsInFaces(rgb, boxes)) {
                predicted.append(core::landmarks::facePoints(points));
            }
            return predicted;
        });
    for (const preview::TrackedFace& face : faces) {
        core::FacialPointVector points = face.points;
        core::FacialPointVector drawn = face.points;
        core::landmarks::normalizePoints(points, rgb.width(), rgb.height());
        core::landmarks::toFractions(drawn, rgb.width(), rgb.height());
        result.boxes.append(face.box);
        result.faces.push_back(std::move(points));
        result.drawnFaces.push_back(std::move(drawn));
        result.ids.append(face.id);
    }
    return result;
}

QCommandLineOption detectEveryOption()
{
    return QCommandLineOption(QStringLiteral("detect-every"),
                              QStringLiteral("Run the face detector on every Nth frame and follow the faces "
                                             "on the frames between, as the Preview window does (default %1; "
                                             "1: find the faces anew on every frame).")
                                  .arg(defaultDetectionInterval),
                              QStringLiteral("N"), QString::number(defaultDetectionInterval));
}

QCommandLineOption steadyOption()
{
    return QCommandLineOption(QStringLiteral("steady"),
                              QStringLiteral("Smooth each face's points from frame to frame, as the Preview "
                                             "window's Steady does (a one-euro filter)."));
}

} // namespace cli
