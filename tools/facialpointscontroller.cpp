// The point editor as one tool for a view: attaches the model and the undo stack, and hands
// painting to the marker painter, the selection to the point selection and mouse and keys to
// the point gestures. Reads the view's layout from the viewport the view owns.

#include "tools/facialpointscontroller.h"

#include "core/facialpoints.h"
#include "tools/markerpainter.h"
#include "core/mirroring.h"
#include "tools/pointcommands.h"
#include "tools/pointgestures.h"
#include "tools/pointselection.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QtMath>
#include <QPainter>
#include <QPointer>
#include <QUndoStack>

namespace tools {

class FacialPointsController::Impl : public QObject
{
public:
    Impl(FacialPointsController* owner, const Viewport& layout)
        : q(owner)
        , viewport(layout)
    {
    }

    void onImageChanged()
    {
        painter.dropPictureCache();
        emit q->needUpdate();
    }

    void onPointsReplaced()
    {
        // The gestures' own group edits replace the list too; they keep their gesture.
        if (!gestures.isStoring()) {
            selection.truncate(facialPoints->count());
            gestures.pointsReplaced();
        }
        emit q->needUpdate();
    }

    int pointCount() const { return facialPoints ? facialPoints->count() : 0; }

    FacialPointsController* const q;
    // Guarded so that a model destroyed before the controller reads as "no model".
    QPointer<core::FacialPoints> facialPoints;
    QPointer<QUndoStack> undoStack;
    const Viewport& viewport;
    MarkerPainter painter;
    PointSelection selection;
    PointGestures gestures{selection};
};

FacialPointsController::FacialPointsController(const Viewport& viewport)
    : d(std::make_unique<Impl>(this, viewport))
{
}

FacialPointsController::~FacialPointsController() = default;

core::FacialPoints* FacialPointsController::facialPoints() const
{
    return d->facialPoints;
}

void FacialPointsController::setFacialPoints(core::FacialPoints* points)
{
    if (points == d->facialPoints) {
        return;
    }
    if (d->facialPoints) {
        QObject::disconnect(d->facialPoints, nullptr, this, nullptr);
        QObject::disconnect(d->facialPoints, nullptr, d.get(), nullptr);
    }
    d->facialPoints = points;
    d->painter.dropPictureCache();
    d->selection.clear();
    d->gestures.reset();
    if (!points) {
        return;
    }
    connect(points, &core::FacialPoints::imageChanged, d.get(), &Impl::onImageChanged);
    connect(points, &core::FacialPoints::pointsUpdated, d.get(), &Impl::onPointsReplaced);
    connect(points, &core::FacialPoints::pointChanged, this, &IController::needUpdate);
}

void FacialPointsController::paint(QPaintDevice* device, const QRect& exposed)
{
    const ViewTransform& transform = d->viewport.transform();
    // An empty view has nothing to show, and its size would divide below.
    if (!d->facialPoints || !device || !transform.isValid()) {
        return;
    }
    QPainter painter(device);
    d->painter.paint(painter, exposed, transform, d->facialPoints->image(),
                     d->facialPoints->points(), d->selection, d->gestures.rubberBand(transform));
}

bool FacialPointsController::keepsScaledPicture() const
{
    return d->painter.keepsScaledPicture();
}

bool FacialPointsController::mousePress(QPoint position)
{
    return mousePress(position, Qt::NoModifier);
}

bool FacialPointsController::mousePress(QPoint position, Qt::KeyboardModifiers modifiers)
{
    const ViewTransform& transform = d->viewport.transform();
    if (!d->facialPoints || !transform.isValid()) {
        return false;
    }
    d->gestures.press(*d->facialPoints, transform, QPointF(position), modifiers);
    emit needUpdate();
    return true;
}

bool FacialPointsController::mouseMove(QPoint position)
{
    return mouseMove(position, Qt::NoModifier);
}

bool FacialPointsController::mouseMove(QPoint position, Qt::KeyboardModifiers modifiers)
{
    if (!d->facialPoints || !d->gestures.isActive()) {
        return false;
    }
    const ViewTransform& transform = d->viewport.transform();
    // In an empty view every position would map to an edge: leave the points where they are.
    if (!transform.isValid()) {
        return false;
    }
    const bool rubberBand = d->gestures.kind() == PointGestures::Kind::RubberBand;
    if (!d->gestures.move(*d->facialPoints, transform, QPointF(position), modifiers)) {
        return false;
    }
    // Point edits repaint through the model's signals; the band changes no point.
    if (rubberBand) {
        emit needUpdate();
    }
    return true;
}

bool FacialPointsController::mouseRelease(QPoint)
{
    if (!d->gestures.release(d->facialPoints, d->viewport.transform(), d->undoStack)) {
        return false;
    }
    if (d->facialPoints) {
        emit needUpdate();
    }
    return true;
}

bool FacialPointsController::cancelGesture()
{
    if (!d->gestures.cancel(d->facialPoints)) {
        return false;
    }
    emit needUpdate();
    return true;
}

void FacialPointsController::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
}

QUndoStack* FacialPointsController::undoStack() const
{
    return d->undoStack;
}

int FacialPointsController::draggedIndex() const
{
    return d->gestures.draggedIndex();
}

bool FacialPointsController::isGestureActive() const
{
    return d->gestures.isActive();
}

QVector<int> FacialPointsController::selection() const
{
    return d->selection.toVector();
}

void FacialPointsController::setSelection(const QVector<int>& indices)
{
    if (d->selection.set(indices, d->pointCount())) {
        emit needUpdate();
    }
}

void FacialPointsController::selectAll()
{
    d->selection.selectAll(d->pointCount());
    emit needUpdate();
}

void FacialPointsController::clearSelection()
{
    if (d->selection.clear()) {
        emit needUpdate();
    }
}

void FacialPointsController::selectNext()
{
    const int next = d->selection.next(d->pointCount());
    if (next >= 0) {
        setSelection({next});
    }
}

void FacialPointsController::selectPrevious()
{
    const int previous = d->selection.previous(d->pointCount());
    if (previous >= 0) {
        setSelection({previous});
    }
}

bool FacialPointsController::nudgeSelection(QPointF viewDelta)
{
    if (!d->facialPoints) {
        return false;
    }
    return d->gestures.nudge(*d->facialPoints, d->viewport.transform(), d->undoStack, viewDelta);
}

bool FacialPointsController::turnAndScaleSelection(double degrees, double factor)
{
    if (!d->facialPoints) {
        return false;
    }
    return d->gestures.turnAndScale(*d->facialPoints, d->viewport.transform(), d->undoStack,
                                    qDegreesToRadians(degrees), factor);
}

void FacialPointsController::setShowNumbers(bool show)
{
    if (show != d->painter.showNumbers()) {
        d->painter.setShowNumbers(show);
        emit needUpdate();
    }
}

bool FacialPointsController::showNumbers() const
{
    return d->painter.showNumbers();
}

void FacialPointsController::setShowOutline(bool show)
{
    if (show != d->painter.showOutline()) {
        d->painter.setShowOutline(show);
        emit needUpdate();
    }
}

bool FacialPointsController::showOutline() const
{
    return d->painter.showOutline();
}

void FacialPointsController::setMirrorEdits(bool on)
{
    d->gestures.setMirror(on);
}

bool FacialPointsController::mirrorEdits() const
{
    return d->gestures.mirror();
}

bool FacialPointsController::mirrorSelection()
{
    if (!d->facialPoints || d->gestures.isActive()) {
        return false;
    }
    const core::FacialPointVector before = d->facialPoints->points();
    const std::vector<int> selected = d->selection.indices();
    const core::FacialPointVector after =
        core::mirror::mirrorSelection(before, selected, d->facialPoints->image().size());
    QVector<int> indices;
    core::FacialPointVector from;
    core::FacialPointVector to;
    for (int i = 0; i < int(after.size()); ++i) {
        if (after[size_t(i)] != before[size_t(i)]) {
            indices.push_back(i);
            from.push_back(before[size_t(i)]);
            to.push_back(after[size_t(i)]);
        }
    }
    if (indices.isEmpty()) {
        return false;
    }
    execute(d->undoStack, std::make_unique<MovePointsCommand>(d->facialPoints, indices, from, to, false, false,
                                                              QStringLiteral("Mirror Selection")));
    return true;
}

void FacialPointsController::setUnderlay(std::function<void(QPainter&, const ViewTransform&)> underlay)
{
    d->painter.setUnderlay(std::move(underlay));
    emit needUpdate();
}

} // namespace tools
