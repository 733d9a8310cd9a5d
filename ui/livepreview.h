#pragma once

#include <QImage>
#include <QObject>

#include <functional>
#include <memory>
#include <string>

namespace core {
class FaceDetectionModule;
}

namespace preview {
class MaskRenderer;
}

namespace ui {

// The camera and video path of the preview: each frame taken in is tracked and rendered on a
// private worker thread, one frame at a time; a frame that arrives while the worker is busy is
// dropped, never queued. Every face (up to 8) gets the mask, each followed by its own track
// (preview::FaceTracker): faces are detected on every detectionInterval-th frame; in between,
// each face's landmarks are predicted inside its box followed from the previous frame. With
// steady on (the default) a one-euro filter smooths each face's points between frames. While the
// renderer has no mask, faces are only counted (for frameRendered's faceCount), on every
// 5 × detectionInterval-th frame and at once after restartTracking() or a change of frame size;
// the first frame taken once a mask is set finds them with their points. The
// landmark model is read from modelPath (relative to the working folder) with the first frame.
// Public functions and signals: GUI thread.
class LivePreview : public QObject
{
    Q_OBJECT
public:
    explicit LivePreview(int detectionInterval = 6, const std::string& modelPath = "shape_predictor.dat");
    // Gives the worker a module of its own, made by source on the worker thread (null when there
    // is no model) with the first frame or prepareModel(), e.g. one that shares the detection
    // service's model (core::FacialPointsDetector::makeSiblingModule).
    using ModuleSource = std::function<std::unique_ptr<core::FaceDetectionModule>()>;
    LivePreview(int detectionInterval, ModuleSource source);
    // Waits for the frame in work; its result is not delivered.
    ~LivePreview() override;

    // The mask the following frames are drawn with (a copy; cheap).
    void setRenderer(const preview::MaskRenderer& renderer);
    // Starts work on frame when the worker is idle; otherwise drops it. Null frames are ignored.
    // True when the frame was taken.
    bool takeFrame(const QImage& frame);
    // As takeFrame, but a still (the frame a paused video was moved to) that comes while the
    // worker is busy is kept and worked on next; a still kept earlier is then dropped.
    void takeStill(const QImage& frame);
    // Smooths the points between frames (on) or shows the detector's exactly (off).
    void setSteady(bool steady);
    bool isSteady() const;
    // Forgets the faces followed so far, from the next frame taken on (a seek, a new video),
    // also when the worker has yet to reach a frame taken before.
    void restartTracking();
    // Draws the last frame again with the mask set since, over the faces found on it (a paused
    // video's frame when the mask changes); after the frame in work, if any. Nothing before the
    // first frame.
    void redrawLast();

    // Makes the landmark model ready on the worker now, ahead of the first frame, so that the
    // first frame is masked at once; modelReady() or modelFailed() tells when it is done.
    void prepareModel();
    // True once the worker has its landmark model (or knows there is none).
    bool isModelReady() const;
    int renderedFrames() const;
    int droppedFrames() const;
    // Frames on which the face detector ran (the others were tracked or had no face).
    int detectedFrames() const;

signals:
    // The frame with the mask on every face followed in it; faceCount is 0 when there was none
    // (the frame is then shown as it came).
    void frameRendered(const QImage& preview, int faceCount);
    // The landmark model could not be read; frames are shown without a mask from then on.
    void modelFailed();
    // The worker has its landmark model; frames are masked from now on.
    void modelReady();

private:
    Q_DISABLE_COPY(LivePreview)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
