#pragma once

// Owns the state of a mouse gesture in the point editor and what it does to the points: a
// point dragged alone, the selection moved, scaled about a corner or turned about its centre,
// the rubber band that selects; and the keyboard nudge, which is no gesture and keeps no state.
// Positions are view pixels, mapped through the transform passed in; the model's points are
// fractions. Every completed edit is one undo step. GUI thread only.

#include "core/facialpoints.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QVector>

#include <vector>

class QUndoStack;

namespace tools {

class PointSelection;
class ViewTransform;

class PointGestures
{
public:
    enum class Kind { None, DragPoint, DragGroup, RubberBand, Scale, Turn };

    // The selection is not owned; gestures read and change it.
    explicit PointGestures(PointSelection& selection);

    Kind kind() const { return m_kind; }
    bool isActive() const { return m_kind != Kind::None; }
    // The point dragged alone, -1 otherwise.
    int draggedIndex() const { return m_draggedIndex; }
    // The rubber band in view pixels through transform, from the press to the cursor, while one
    // is drawn; a null rectangle otherwise.
    QRectF rubberBand(const ViewTransform& transform) const;
    // True while a gesture writes to the model, so that its change signals are told apart.
    bool isStoring() const { return m_storing; }

    // The marker under position: of those whose square (2 x markerRadius) contains it, the
    // nearest centre; at equal distance the higher index, which is drawn on top. -1 for none.
    static int pick(const ViewTransform& transform, const core::FacialPointVector& points,
                    QPointF position);

    // A left press: a handle of the selection's box starts a scale or a turn (released without a
    // move over a marker the handle is drawn over, it acts on that marker as a click would); a
    // marker is toggled (Shift), starts moving the selection it belongs to (released without a
    // move, it becomes the selection alone), or becomes the selection and is dragged alone
    // (always with Ctrl); elsewhere a rubber band starts (adding to the selection with Shift).
    void press(const core::FacialPoints& model, const ViewTransform& transform, QPointF position,
               Qt::KeyboardModifiers modifiers);
    // Continues the gesture; false when none runs or its point no longer exists.
    bool move(core::FacialPoints& model, const ViewTransform& transform, QPointF position,
              Qt::KeyboardModifiers modifiers);
    // Ends the gesture, pushing its undo step onto stack (null: none) when it moved anything,
    // or choosing the rubber band's points. False when no gesture ran.
    bool release(core::FacialPoints* model, const ViewTransform& transform, QUndoStack* stack);
    // Takes the running gesture back (Escape): its points, the partners that followed them and
    // the selection are as they were before the press, no undo step is pushed, and the release
    // that follows does nothing. model may be null (nothing to put back). False when none ran.
    bool cancel(core::FacialPoints* model);
    // Stops any gesture without an undo step.
    void reset();
    // The model's points were replaced from outside: a drag or group edit stops where it is
    // (the rubber band goes on, it changes no point).
    void pointsReplaced();

    // Moves the selection by a distance in view pixels, clamped so that no point leaves the
    // picture, as a mergeable undo step (a run of nudges of one selection undoes at once).
    // False when a gesture runs or nothing moved.
    bool nudge(core::FacialPoints& model, const ViewTransform& transform, QUndoStack* stack,
               QPointF viewDelta);
    // Turns the selection by angle (radians, clockwise on screen) and scales it by factor, both
    // about the mean of its points in view pixels, as a mergeable undo step (a run of the same
    // key undoes at once). False when a gesture runs, fewer than two points are selected, a
    // point would leave the picture or nothing moved.
    bool turnAndScale(core::FacialPoints& model, const ViewTransform& transform, QUndoStack* stack,
                      double angle, double factor);

    // Mirror editing: while on, every drag, group move, scale, turn and nudge also moves each
    // edited point's left/right partner by the reflection of its change about the face's
    // midline (see core/mirroring.h), live and in the same undo step.
    void setMirror(bool on) { m_mirror = on; }
    bool mirror() const { return m_mirror; }

private:
    void beginGroup(Kind kind, QPointF pressFraction, const core::FacialPointVector& points);
    bool startBoxGesture(QPointF position, const ViewTransform& transform,
                         const core::FacialPointVector& points);
    void store(core::FacialPoints& model, const QVector<int>& indices,
               const core::FacialPointVector& values);
    std::vector<QPointF> groupInView(const ViewTransform& transform) const;
    void storeFromView(core::FacialPoints& model, const ViewTransform& transform,
                       const std::vector<QPointF>& viewPositions);
    void finishDrag(core::FacialPoints& model, QUndoStack* stack);
    void finishGroup(core::FacialPoints& model, QUndoStack* stack);
    // A gesture back where it began is no step: its points, and the partners that followed
    // them, get back the very numbers they had, not ones off in the last digits.
    void restoreStart(core::FacialPoints& model, const QVector<int>& indices,
                      const core::FacialPointVector& starts);
    void finishRubberBand(const core::FacialPoints& model, const ViewTransform& transform);
    // Mirror editing: the whole point list and picture size when the edit began, and the
    // partners of the edited points moved to follow them (none while mirroring is off).
    void rememberStart(const core::FacialPoints& model);
    QVector<int> followWithPartners(core::FacialPoints& model, const QVector<int>& edited);
    void pushEdit(core::FacialPoints& model, QUndoStack* stack, const QVector<int>& edited,
                  const QVector<int>& partners, const core::FacialPointVector& editedBefore,
                  bool mergeable, const QString& text);
    // Edits by key: the selection's finite points (none while a gesture runs), and the edit that
    // stores after in their place as one mergeable step (false when nothing moved).
    QVector<int> keyEditIndices(const core::FacialPointVector& points, const ViewTransform& transform,
                                core::FacialPointVector* before) const;
    bool applyKeyEdit(core::FacialPoints& model, QUndoStack* stack, const QVector<int>& indices,
                      const core::FacialPointVector& before, const core::FacialPointVector& after,
                      const QString& text);

    PointSelection& m_selection;
    Kind m_kind = Kind::None;
    bool m_storing = false;
    int m_draggedIndex = -1;
    // Where the press was, as a picture fraction: the view may zoom or scroll mid-gesture.
    QPointF m_pressFraction;
    // The marker a group move, scale or turn was pressed on, until the cursor leaves the press's
    // position (view pixels); -1 otherwise.
    int m_clickedIndex = -1;
    // Whether that click toggles the marker (Shift) rather than selecting it alone.
    bool m_clickToggles = false;
    QPointF m_pressPosition;
    // The grabbed point or handle keeps this offset to the cursor.
    QPointF m_grabOffset{0.0, 0.0};
    // Where the dragged point was when it was grabbed.
    FacialPoint m_dragStart;
    // The group being moved, scaled or turned, with its points at the press.
    QVector<int> m_groupIndices;
    core::FacialPointVector m_groupStart;
    // Scaling: the fixed corner and the grabbed one; turning: the centre (picture fractions).
    QPointF m_anchor;
    QPointF m_handle;
    // The selection before the press, which cancel() brings back.
    std::vector<int> m_selectionAtPress;
    // The rubber band's corner at the cursor (a fraction; null before the first move), and the
    // selection it adds to.
    QPointF m_bandEnd;
    bool m_bandDrawn = false;
    std::vector<int> m_bandBase;
    bool m_mirror = false;
    core::FacialPointVector m_fullStart;
    QSizeF m_pictureSize;
    // Partners moved by the running gesture.
    QVector<int> m_partners;
};

} // namespace tools
