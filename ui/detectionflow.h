#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

#include <memory>

class QImage;
class QUndoStack;

namespace core {
class FacialPoints;
class FacialPointsDetector;
struct DetectedFace;
} // namespace core

namespace ui {

class PromptSession;

// Landmark detection for the pictures a view takes in: asks whether existing points are to be
// replaced, hides them until the new ones arrive, applies the result as an undo step unless
// the points were edited meanwhile, keeps every face found and reports each stage in a status
// line. Face rectangles are in picture pixels. GUI thread only.
class DetectionFlow : public QObject
{
    Q_OBJECT
public:
    // detector is not owned and may be null: nothing is then detected and nothing reported.
    // The question goes through session (not owned, must outlive the flow), which also keeps
    // the last answer.
    DetectionFlow(core::FacialPointsDetector* detector, PromptSession& session);
    ~DetectionFlow() override;

    // The model (not owned) whose pictures are detected; null detaches.
    void setFacialPoints(core::FacialPoints* model);
    // Results and face choices become undo steps on stack (not owned); null applies them.
    void setUndoStack(QUndoStack* stack);

    // Starts detection for the picture just stored in the model. When points are shown, the
    // user is asked first; on Yes (or without points) they are cleared until the result comes.
    void start(const QImage& picture);
    // Detects again on the model's picture, as Edit → Detect Points Again does: asks first when
    // points are shown (they stay shown until the result replaces them as one undo step).
    // Returns false when nothing was started (no picture, no model, the user said No).
    bool detectAgain();
    // After a redo brought a picture back: starts its detection again when it has no points, none
    // is running for it and no further redo would bring its points back. Called from inside the
    // redo of the picture's step.
    void resumeAfterRedo();
    // True while a detection for the model's picture is running.
    bool isRunning() const;
    // The last status line reported.
    QString statusMessage() const;

    // Whether the model's picture was searched for faces: a detection of it ended with a result.
    // False for a picture whose detection was skipped or is still running, and for a package's.
    bool facesSearched() const;
    // The faces found in the model's picture; those of the latest pictures searched are kept, so
    // that a picture an undo or redo brings back keeps its faces.
    int faceCount() const;
    const core::DetectedFace& face(int index) const;
    // The face whose rectangle contains picturePixel and that does not already hold the points
    // (the smallest such face where rectangles overlap); -1 when there is none.
    int faceAt(QPoint picturePixel) const;
    // The face after the one the points are on (the one they were placed on, or once edited, the
    // smallest whose rectangle holds their middle), going from the largest face to the smallest
    // and round again (the largest when they are on none); the face they are on when it is the
    // only one and they differ from its detected points; -1 when there is no such face.
    int nextFace() const;
    // Replaces the points by those of face index, as the undo step "Place Points on Face".
    // Returns false for an index that faceCount() does not cover.
    bool placeOnFace(int index);

signals:
    // Progress or outcome of detection, for the footer; empty when there is nothing to say.
    void statusMessageChanged(const QString& text);

private:
    Q_DISABLE_COPY(DetectionFlow)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
