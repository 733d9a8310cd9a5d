#pragma once

// The point tool a view uses: owns the attachment to the model and the undo stack, and the
// parts it ties together (marker painter, selection, gestures); reads the view's viewport.

#include "tools/icontroller.h"

#include <QPointF>
#include <QVector>

#include <functional>
#include <memory>

class QPainter;
class QUndoStack;

namespace core {
class FacialPoints;
}

namespace tools {

class Viewport;
class ViewTransform;

// Paints a facial point model's picture through the view's transform (stretched over the view at
// zoom 1, enlarged up to 64 times), draws a numbered red marker on every point with the face's
// outline beneath, and edits the points: single drags, a selection moved, nudged, scaled and
// rotated as a group. The model's points are fractions of the picture size; positions and
// rectangles passed in are view pixels. The transform is read, never changed: the view owns it.
// GUI thread only (uses QPixmap).
//
// A view with zero width or height shows nothing and takes no mouse input: paint draws nothing
// and the mouse operations return false without touching the model. Points whose coordinates
// are not finite are neither drawn nor hit nor moved; points far outside [0, 1] are handled like
// any other point that lies outside the view. Every completed edit is one undo step.
class FacialPointsController : public IController
{
public:
    // The view's layout, read through viewport.transform(); not owned, must outlive the
    // controller.
    explicit FacialPointsController(const Viewport& viewport);
    ~FacialPointsController() override;

    core::FacialPoints* facialPoints() const;
    // Attaches a model (not owned); null detaches. Drops the cached picture and clears the
    // selection. Attaching the model that is already attached does nothing.
    void setFacialPoints(core::FacialPoints* points);

    // Draws the exposed part of the picture, the outline, then the markers that overlap it.
    void paint(QPaintDevice* device, const QRect& exposed) override;
    // Whether the next paint of an unchanged view copies the picture as last scaled onto it
    // (kept from the second paint of a view on) rather than scaling it again.
    bool keepsScaledPicture() const;

    // A left press. On a handle of the selection's box it starts scaling or rotating. On a
    // marker (among those whose 12 x 12 square contains the press, the nearest centre; at equal
    // distance the higher index, which is drawn on top): with Shift it toggles that point in the
    // selection; on a selected point of a larger selection (without Ctrl) it starts moving the
    // selection, and released without a move makes the point the selection alone; otherwise the
    // point becomes the selection and is dragged alone. Elsewhere in the view it
    // starts a rubber band (with Shift, adding to the selection). False when the view is empty
    // or no model is attached.
    bool mousePress(QPoint position) override;
    bool mousePress(QPoint position, Qt::KeyboardModifiers modifiers);
    // Continues the gesture. A dragged point keeps its offset to the cursor and is clamped into
    // [0, 1]; a moved selection is clamped so that no point leaves the picture. Shift while
    // scaling keeps the proportions. False when no gesture runs.
    bool mouseMove(QPoint position) override;
    bool mouseMove(QPoint position, Qt::KeyboardModifiers modifiers);
    // Ends the gesture and pushes its undo step if it moved anything; false when none ran.
    bool mouseRelease(QPoint position) override;
    // Takes the running gesture back (Escape): the points and the selection as they were before
    // its press, no undo step, and the release that follows does nothing. False when none ran.
    bool cancelGesture();

    // Edits are pushed as undo steps onto stack (not owned); null applies them directly.
    void setUndoStack(QUndoStack* stack);
    QUndoStack* undoStack() const;

    // Index of the point being dragged alone, -1 otherwise.
    int draggedIndex() const;
    // Whether a mouse gesture (drag, rubber band, scale, rotate) is running.
    bool isGestureActive() const;

    // The selection: point indices in ascending order. It is not part of the undo history.
    QVector<int> selection() const;
    // Keeps only the indices of existing points.
    void setSelection(const QVector<int>& indices);
    void selectAll();
    void clearSelection();
    // Selects the point after (or before) the single selected one, wrapping around; with no
    // selection the first (or last) point.
    void selectNext();
    void selectPrevious();
    // Moves the selection by a distance in view pixels, clamped so that no point leaves the
    // picture. A run of nudges of one selection is one undo step. False when nothing moved.
    bool nudgeSelection(QPointF viewDelta);
    // Turns the selection by degrees (clockwise on screen) and scales it by factor about the
    // mean of its points; a run of one of them is one undo step. False when nothing moved.
    bool turnAndScaleSelection(double degrees, double factor);

    void setShowNumbers(bool show);
    bool showNumbers() const;
    void setShowOutline(bool show);
    bool showOutline() const;
    // Mirror editing: while on, every edit of a point also moves its left/right partner by the
    // reflection of the change about the face's midline, in the same undo step.
    void setMirrorEdits(bool on);
    bool mirrorEdits() const;
    // Sets the partners of the selected points to their reflections about the face's midline,
    // as the undo step "Mirror Selection". False when no model is attached or nothing moved.
    bool mirrorSelection();
    // Drawn over the picture, beneath the outline and markers (view pixels); empty: nothing.
    void setUnderlay(std::function<void(QPainter&, const ViewTransform&)> underlay);

private:
    Q_DISABLE_COPY(FacialPointsController)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tools
