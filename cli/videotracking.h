#pragma once

#include "core/facialpoints.h"

#include <QImage>
#include <QRect>
#include <QVector>

#include <memory>

class QCommandLineOption;

namespace core {
class FaceDetectionModule;
}

namespace cli {

// --steady and --detect-every N, shared by the commands that read videos.
QCommandLineOption steadyOption();
QCommandLineOption detectEveryOption();

// One frame's faces as the tracking sees them: boxes in frame pixels, 75 points per face as
// fractions of the frame, in the order of the tracks (the oldest first); faces clamped to the
// frame as detection gives them, drawnFaces unclamped for drawing a mask (a face cut by the
// frame's edge keeps its points beyond it).
struct TrackedFrame {
    QVector<QRect> boxes;
    std::vector<core::FacialPointVector> faces;
    std::vector<core::FacialPointVector> drawnFaces;
    QVector<int> ids;
    bool detected = false; // the face detector ran on this frame
};

// Follows the faces of a video frame after frame as the Preview window does: the detector runs
// on every detectionInterval-th frame (and whenever no face is followed); in between each
// face's points are predicted in its followed box. Up to 8 faces. Main thread.
class VideoTracking
{
public:
    VideoTracking(core::FaceDetectionModule& module, int detectionInterval, bool steady);
    ~VideoTracking();
    // frame: any format; time in seconds.
    TrackedFrame track(const QImage& frame, double time);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cli
