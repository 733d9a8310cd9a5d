#pragma once

#include "core/facialpoints.h"
#include "preview/oneeurofilter.h"

#include <QImage>
#include <QRect>
#include <QVector>

#include <functional>
#include <type_traits>

namespace preview {

// One face as the detector found it on a frame, in frame pixels: its box and its points.
struct FaceObservation {
    QRect box;
    core::FacialPointVector points;
};

// One face followed from frame to frame, in frame pixels.
struct TrackedFace {
    // Stays the same as long as the face is followed; a face found anew gets a new one.
    int id = 0;
    // Where its landmarks are looked for on the next frame (a detector-like box).
    QRect box;
    // The points to draw: the observed ones, or with steady on, the filtered ones.
    core::FacialPointVector points;
};

struct FaceTrackerSettings {
    int maximumFaces = 8;
    // The face detector runs on every detectionInterval-th frame and whenever no face is followed.
    int detectionInterval = 6;
    bool steady = true;
    SteadySettings filter;
    // A found face continues a followed one when their boxes overlap by at least this much
    // (intersection over union).
    double minimumOverlap = 0.3;
};

// Follows every face of a video (up to maximumFaces), each with its own track and landmark
// filter. The caller finds the faces (detected()) on the frames detectionDue() asks for, and
// on the others predicts the points inside followBoxes() (followed()). Found faces are matched
// to followed ones by the overlap of their boxes. A face's filter restarts when the face is lost
// or its points jump by more than half its box's width. No widgets, no model: any thread, one
// frame at a time.
class FaceTracker
{
public:
    explicit FaceTracker(const FaceTrackerSettings& settings = FaceTrackerSettings());

    // Off: the points pass through exactly as observed. Takes effect with the next frame.
    void setSteady(bool steady);
    bool isSteady() const { return settings.steady; }

    // True when the coming frame should go through the face detector.
    bool detectionDue() const;
    // Where to predict each followed face's points on the coming frame, in faces() order.
    QVector<QRect> followBoxes() const;

    // A frame the detector ran on: every face found there, in any order. Returns the faces
    // followed from now on, largest first among those new. With no room left, a new face with
    // twice the area of the smallest followed one or more takes that one's place.
    const QVector<TrackedFace>& detected(const QVector<FaceObservation>& found, double time);
    // The same frame known by the boxes of the faces found there (frame pixels, any order), before
    // any landmarks: predictIn(boxes) gives the points predicted inside each of boxes, in order
    // (an empty vector where none could be), and is asked only for the faces to be followed. The
    // faces followed, their boxes and points are those detected() gives with every face's points.
    using PointsIn = std::function<QVector<core::FacialPointVector>(const QVector<QRect>& boxes)>;
    const QVector<TrackedFace>& detected(const QVector<QRect>& found, double time, const PointsIn& predictIn);
    // A frame of prediction: for each of followBoxes(), in order, the points predicted there;
    // an empty vector when that face was lost.
    const QVector<TrackedFace>& followed(const QVector<core::FacialPointVector>& predicted, double time);
    // One frame, whichever of the two it is due to be: detect() gives the faces found on it, with
    // their points (QVector<FaceObservation>) or only their boxes (QVector<QRect>, whose points
    // predictIn then gives for the faces followed); predictIn(boxes) the points predicted inside
    // each of boxes of it, in their order (QVector<core::FacialPointVector>, one per box). A frame
    // due for prediction goes through the detector instead when what lies in a followed face's box
    // changed too much since the frame before (a cut, the face gone): the face is not drawn where
    // it no longer is. frame is in any format; the boxes are in its pixels.
    template <typename Detect, typename Predict>
    const QVector<TrackedFace>& track(const QImage& frame, double time, Detect&& detect, Predict&& predictIn)
    {
        const bool changed = !detectionDue() && boxesChanged(frame);
        if (detectionDue() || changed) {
            if constexpr (std::is_same_v<std::decay_t<decltype(detect())>, QVector<QRect>>) {
                detected(detect(), time, [&predictIn](const QVector<QRect>& boxes) { return predictIn(boxes); });
            } else {
                detected(detect(), time);
            }
        } else {
            followed(predictIn(followBoxes()), time);
        }
        rememberLooks(frame);
        return shown;
    }

    // How much the look of a box may change from one frame to the next, in mean grey levels of
    // an 8 x 8 grid over it, before the frame is searched for faces anew.
    static constexpr int largestLookChange = 40;

    const QVector<TrackedFace>& faces() const { return shown; }
    // Forgets every face (after a seek, or a new video).
    void reset();

private:
    struct Track {
        int id = 0;
        QRect box;
        // The detector's box relative to the bounds of the points, in units of those bounds.
        QRectF placement;
        QPointF centre;
        LandmarkFilter filter;
        QVector<int> look; // 8 x 8 grey levels inside box on the last frame
    };
    // Which of the faces found on a detection frame are followed from it, and how.
    struct Choice {
        QVector<int> faces;  // for each track to follow, in order: its face's index in found
        QVector<int> tracks; // and the track it continues (an index in tracks), -1 for a new one
    };
    // From the boxes alone; a face whose withPoints entry is false is taken as not found.
    Choice choose(const QVector<QRect>& found, const QVector<bool>& withPoints) const;
    // Follows the faces of choice; pointsOf(f) are the points of found[f].
    void follow(const Choice& choice, const QVector<QRect>& found,
                const std::function<const core::FacialPointVector&(int)>& pointsOf, double time);
    void observe(Track& track, const core::FacialPointVector& points, double time, bool newTrack);
    void publish();
    bool boxesChanged(const QImage& frame) const;
    void rememberLooks(const QImage& frame);

    FaceTrackerSettings settings;
    QVector<Track> tracks;
    QVector<core::FacialPointVector> observedPoints;
    QVector<TrackedFace> shown;
    int framesSinceDetection = 0;
    int nextId = 1;
};

} // namespace preview
