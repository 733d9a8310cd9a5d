// Steady landmarks on a clip with exactly known motion (tests/support/knownmotion.h): a face
// photo zoomed, turned and panned over 150 frames of 640 x 480, clean and with noise. Each is
// tracked as the preview tracks it (the detector every 6th frame, the faces followed between),
// without the filter (the reference, dlib's points exactly) and with the one-euro filter for a
// grid of settings; the figures: mean error and frame-to-frame jitter in % of the inter-ocular
// distance, the jitter as a ratio of the reference's, and the lag in frames.

#include "face_detection_module/facedetectionmodule.h"
#include "preview/facetracker.h"
#include "core/imagefiles.h"
#include "tests/support/knownmotion.h"
#include "face_detection_module/landmarkgeometry.h"

#include <cstdio>

namespace {

core::FacialPointVector facePointsOf(const std::optional<QVector<QPoint>>& landmarks)
{
    if (!landmarks) {
        return {};
    }
    core::FacialPointVector points = core::landmarks::toFacialPoints(*landmarks);
    if (!core::landmarks::appendForeheadPoints(points)) {
        return {};
    }
    return points;
}

// The first face's points on every frame (empty where none), as the preview's worker follows them.
std::vector<std::vector<QPointF>> trackFrames(core::FaceDetectionModule& module, const std::vector<QImage>& frames,
                                              const preview::FaceTrackerSettings& settings)
{
    preview::FaceTracker tracker(settings);
    std::vector<std::vector<QPointF>> points;
    for (std::size_t t = 0; t < frames.size(); ++t) {
        const double time = double(t) / knownmotion::framesPerSecond;
        const QVector<preview::TrackedFace>& faces = tracker.track(
            frames[t], time,
            [&] {
                QVector<preview::FaceObservation> found;
                if (const auto detected = module.detectFaces(frames[t])) {
                    for (const core::Face& face : *detected) {
                        found.append({face.rect, facePointsOf(face.points)});
                    }
                }
                return found;
            },
            [&](const QVector<QRect>& boxes) {
                QVector<core::FacialPointVector> predicted;
                for (const QRect& box : boxes) {
                    predicted.append(facePointsOf(module.detectPointsInFace(frames[t], box)));
                }
                return predicted;
            });
        points.push_back(faces.isEmpty() ? std::vector<QPointF>() : faces.first().points);
    }
    return points;
}

} // namespace

void benchmarkSteady()
{
    const QImage photo = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    auto module = core::FaceDetectionModule::load();
    if (photo.isNull() || !module) {
        std::printf("steady landmarks: test photo or shape_predictor.dat missing; skipped\n");
        return;
    }
    const auto faces = module->detectFaces(photo);
    if (!faces || faces->isEmpty()) {
        std::printf("steady landmarks: no face on the photo; skipped\n");
        return;
    }
    std::vector<QPointF> photoPoints;
    for (const QPoint& p : faces->first().points) {
        photoPoints.push_back(QPointF(p));
    }
    const knownmotion::Clip clip = knownmotion::makeClip(photo, photoPoints, faces->first().rect.width());
    const int frameCount = 120;
    std::printf("\nSteady landmarks: %d frames of 640x480 at 30 fps with known zoom, turn and pan; the\n"
                "detector every 6th frame; %% of the inter-ocular distance; ratio = jitter / unfiltered\n",
                frameCount);
    for (double noise : {0.0, 8.0}) {
        std::vector<QImage> frames;
        for (int t = 0; t < frameCount; ++t) {
            frames.push_back(clip.frame(t, noise).convertToFormat(QImage::Format_RGB888));
        }
        std::printf("\n%s\n%-24s %7s %7s %7s %9s\n", noise > 0 ? "with noise (sigma 8 grey levels)" : "clean",
                    "pose Hz/beta, shape", "error", "jitter", "ratio", "lag (fr)");
        preview::FaceTrackerSettings settings;
        settings.steady = false;
        settings.detectionInterval = 1;
        const knownmotion::Figures everyFrame = knownmotion::measure(clip, trackFrames(*module, frames, settings));
        settings.detectionInterval = 6;
        const knownmotion::Figures raw = knownmotion::measure(clip, trackFrames(*module, frames, settings));
        std::printf("%-24s %6.2f%% %6.2f%% %7.2f %9.2f\n", "off, detector every frame", everyFrame.error,
                    everyFrame.jitter, everyFrame.jitter / raw.jitter, everyFrame.lag);
        std::printf("%-24s %6.2f%% %6.2f%% %7s %9.2f\n", "off (dlib's points)", raw.error, raw.jitter, "1.00", raw.lag);
        settings.steady = true;
        // Pose cutoff and beta, shape cutoff and beta; the first row is the default.
        const preview::SteadySettings defaults;
        const double grid[][4] = {{defaults.pose.minCutoff, defaults.pose.beta, defaults.shape.minCutoff, defaults.shape.beta},
                                  {1.0, 0.05, 1.0, 0.05}, {2.0, 0.05, 0.5, 0.02}, {4.0, 0.1, 0.3, 0.01},
                                  {3.0, 0.05, 0.5, 0.01}, {6.0, 0.05, 0.5, 0.02}};
        for (const auto& row : grid) {
            settings.filter.pose.minCutoff = row[0];
            settings.filter.pose.beta = row[1];
            settings.filter.shape.minCutoff = row[2];
            settings.filter.shape.beta = row[3];
            const knownmotion::Figures f = knownmotion::measure(clip, trackFrames(*module, frames, settings));
            char name[64];
            std::snprintf(name, sizeof name, "%.1f/%.2f, %.1f/%.2f", row[0], row[1], row[2], row[3]);
            std::printf("%-24s %6.2f%% %6.2f%% %7.2f %9.2f\n", name, f.error, f.jitter, f.jitter / raw.jitter, f.lag);
        }
    }
}
