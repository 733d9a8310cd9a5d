#pragma once

#include <QImage>
#include <QObject>

#include <memory>
#include <string>

namespace preview {
class MaskRenderer;
}

namespace ui {

// The camera path of the preview: each frame taken in is tracked and rendered on a private
// worker thread, one frame at a time; a frame that arrives while the worker is busy is dropped,
// never queued. Faces are detected on every detectionInterval-th frame; in between, the
// landmarks are predicted inside the face box followed from the previous frame. The landmark
// model is read from modelPath (relative to the working folder) with the first frame.
// Public functions and signals: GUI thread.
class LivePreview : public QObject
{
    Q_OBJECT
public:
    explicit LivePreview(int detectionInterval = 6, const std::string& modelPath = "shape_predictor.dat");
    // Waits for the frame in work; its result is not delivered.
    ~LivePreview() override;

    // The mask the following frames are drawn with (a copy; cheap).
    void setRenderer(const preview::MaskRenderer& renderer);
    // Starts work on frame when the worker is idle; otherwise drops it. Null frames are ignored.
    void takeFrame(const QImage& frame);

    int renderedFrames() const;
    int droppedFrames() const;
    // Frames on which the face detector ran (the others were tracked or had no face).
    int detectedFrames() const;

signals:
    // The frame with the mask on its largest face; faceFound is false when no face was followed
    // in it (the frame is then shown as it came).
    void frameRendered(const QImage& preview, bool faceFound);
    // The landmark model could not be read; frames are shown without a mask from then on.
    void modelFailed();

private:
    Q_DISABLE_COPY(LivePreview)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
