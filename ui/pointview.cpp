// The point view itself: its model and history, the View menu's commands, the mouse, the wheel,
// resizing, painting, landmark files in and out, and the status lines about the selection and
// the cursor. Keys, pictures coming in and the mesh live in pointviewkeyboard.cpp,
// pointviewpictures.cpp and pointviewmesh.cpp.
#include "ui/pointview.h"

#include "ui/pointview_p.h"
#include "core/facialpoints.h"
#include "ui/landmarkfileio.h"
#include "tools/pointcommands.h"
#include "ui/waitclock.h"

#include <QCursor>
#include <QFileInfo>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QUndoStack>
#include <QWheelEvent>

#include <cmath>

namespace ui {

namespace {

// A wheel notch is 120 units; touchpads send smaller steps, which count in proportion.
constexpr double wheelNotch = 120.0;
// View pixels scrolled per wheel notch.
constexpr double scrollPerNotch = 40.0;

} // namespace

void PointView::Impl::refreshPointInfo()
{
    const QString text = pointInfo();
    if (text != lastPointInfo) {
        lastPointInfo = text;
        emit q->pointInfoChanged(text);
    }
}

QString PointView::Impl::pointInfo() const
{
    const core::FacialPoints* model = controller.facialPoints();
    const QVector<int> selection = controller.selection();
    const double zoom = transform().zoom();
    const QString zoomText = zoom > tools::ViewTransform::minimumZoom
        ? QStringLiteral("%1 %").arg(qRound(zoom * 100))
        : QString();
    if (!model || selection.isEmpty()) {
        return zoomText;
    }
    if (selection.size() > 1 || selection.front() >= model->count()) {
        const QString count = QStringLiteral("%1 points selected").arg(selection.size());
        return zoomText.isEmpty() ? count : count + QStringLiteral(" \u2014 ") + zoomText;
    }
    const int index = selection.front();
    const FacialPoint point = model->points()[size_t(index)];
    const QSize picture = transform().pictureSize();
    QString text;
    if (picture.isEmpty()) {
        text = QStringLiteral("Point %1: %2, %3")
                   .arg(index)
                   .arg(point.x(), 0, 'f', 3)
                   .arg(point.y(), 0, 'f', 3);
    } else {
        text = QStringLiteral("Point %1: %2, %3 px of %4 \u00d7 %5")
                   .arg(index)
                   .arg(point.x() * picture.width(), 0, 'f', 1)
                   .arg(point.y() * picture.height(), 0, 'f', 1)
                   .arg(picture.width())
                   .arg(picture.height());
    }
    if (!zoomText.isEmpty()) {
        text += QStringLiteral(" \u2014 ") + zoomText;
    }
    return text;
}

void PointView::Impl::stopPanning()
{
    viewport.endPanDrag();
    if (spaceHeld) {
        q->setCursor(Qt::OpenHandCursor);
    } else {
        q->unsetCursor();
    }
}

void PointView::Impl::reportCursor(QPoint position)
{
    QString text;
    const QSize picture = transform().pictureSize();
    if (!picture.isEmpty() && q->rect().contains(position)) {
        const QPointF pixel = transform().toPicturePixels(QPointF(position));
        if (pixel.x() >= 0 && pixel.y() >= 0 && pixel.x() < picture.width()
            && pixel.y() < picture.height()) {
            text = QStringLiteral("x %1, y %2 px").arg(pixel.x(), 0, 'f', 1).arg(pixel.y(), 0, 'f', 1);
        }
    }
    if (text != lastCursorText) {
        lastCursorText = text;
        emit q->cursorPositionChanged(text);
    }
}

PointView::PointView(core::FacialPointsDetector* detector, PromptSession* session)
    : d(std::make_unique<Impl>(this, detector, session))
{
    connect(&d->controller, &tools::IController::needUpdate, d.get(), [this] {
        update();
        d->refreshPointInfo();
    });
    d->navigation = new ViewNavigation(this, &d->viewport);
    connect(&d->viewport, &tools::Viewport::changed, d.get(), [this] {
        update();
        d->refreshPointInfo();
        d->navigation->sync();
        if (underMouse()) {
            d->reportCursor(mapFromGlobal(QCursor::pos()));
        }
    });
    // The cursor's place in the picture is shown while it moves over it, buttons up or down.
    setMouseTracking(true);
    connect(&d->detection, &DetectionFlow::statusMessageChanged, this, &PointView::statusMessageChanged);
    connect(&d->intake, &PictureIntake::pictureTaken, this, &PointView::setImage);
    d->intake.setSeveralFilesHint(QStringLiteral("To make a package of each picture, use facemask-cli make."));
    // Keys (Ctrl+V among them) reach the view without a click into it first.
    setFocusPolicy(Qt::StrongFocus);
    // What a screen reader says when the view takes the keys; it shows no text of its own.
    setAccessibleName(QStringLiteral("Picture and points"));
    setAccessibleDescription(QStringLiteral("Tab selects the next point, the arrow keys move it."));
}

PointView::~PointView() = default;

void PointView::setFacialPoints(core::FacialPoints* points)
{
    core::FacialPoints* const previous = facialPoints();
    if (points != previous) {
        if (previous) {
            disconnect(previous, nullptr, d.get(), nullptr);
        }
        if (points) {
            connect(points, &core::FacialPoints::pointsUpdated, d.get(), [this] { d->refreshFolds(); });
            connect(points, &core::FacialPoints::pointChanged, d.get(), [this] { d->refreshFolds(); });
        }
        // Connected before the controller, so that the layout is new when the controller
        // repaints.
        if (points) {
            connect(points, &core::FacialPoints::imageChanged, d.get(),
                    [this, points] {
                        d->viewport.showPicture(points->image().size());
                        d->navigation->setPicture(points->image());
                        d->refreshFolds();
                    });
        }
    }
    d->controller.setFacialPoints(points);
    if (points != previous) {
        d->viewport.showPicture(points ? points->image().size() : QSize());
        d->navigation->setPicture(points ? points->image() : QImage());
    }
    d->detection.setFacialPoints(points);
    setAcceptDrops(points != nullptr);
    d->refreshFolds();
}

void PointView::setMirrorEdits(bool on)
{
    d->controller.setMirrorEdits(on);
}

void PointView::finishGesture()
{
    if (d->viewport.isPanDragging()) {
        d->stopPanning();
    }
    if (d->controller.isGestureActive()) {
        // The release takes the points where the last move left them, not the cursor's place.
        d->controller.mouseRelease(QPoint());
    }
}

bool PointView::mirrorSelection()
{
    return d->controller.mirrorSelection();
}

bool PointView::turnAndScaleSelection(double degrees, double factor)
{
    if (!d->controller.turnAndScaleSelection(degrees, factor)) {
        return false;
    }
    d->keepSelectionVisible();
    return true;
}

void PointView::setShowOverview(bool show)
{
    d->navigation->setShowOverview(show);
}

bool PointView::showOverview() const
{
    return d->navigation->showOverview();
}

bool PointView::importPoints(const QString& path, QString* reason, QString* note)
{
    core::FacialPoints* model = facialPoints();
    const QSize picture = model ? model->image().size() : QSize();
    const std::optional<core::FacialPointVector> points = landmarkio::readPoints(path, picture, reason, note);
    if (!points) {
        return false;
    }
    finishGesture();
    tools::execute(d->undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                     model, model->points(), *points,
                                     QStringLiteral("Import Points"), false));
    return true;
}

bool PointView::exportPoints(const QString& path, QString* reason, QString* pictureWritten) const
{
    const core::FacialPoints* model = facialPoints();
    if (!model) {
        return landmarkio::exportPoints(path, {}, QImage(), reason, pictureWritten);
    }
    return landmarkio::exportPoints(path, model->points(), model->image(), reason, pictureWritten);
}

QVector<int> PointView::selection() const
{
    return d->controller.selection();
}

void PointView::selectAll()
{
    d->controller.selectAll();
}

void PointView::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
    d->controller.setUndoStack(stack);
    d->detection.setUndoStack(stack);
}

core::FacialPoints* PointView::facialPoints() const
{
    return d->controller.facialPoints();
}

void PointView::zoomIn()
{
    d->viewport.zoomIn();
}

void PointView::zoomOut()
{
    d->viewport.zoomOut();
}

void PointView::fitToWindow()
{
    d->viewport.fit();
}

void PointView::setShowNumbers(bool show)
{
    d->controller.setShowNumbers(show);
}

void PointView::setShowOutline(bool show)
{
    d->controller.setShowOutline(show);
}

void PointView::setKeepAspectRatio(bool keep)
{
    d->viewport.setKeepAspectRatio(keep);
}

double PointView::zoom() const
{
    return d->transform().zoom();
}

QPointF PointView::viewToPicturePixels(QPoint position) const
{
    return d->transform().toPicturePixels(QPointF(position));
}

void PointView::mousePressEvent(QMouseEvent* event)
{
    // A second button pressed during a pan or an edit does not take it over: a stray left click
    // would start a rubber band that clears the selection, and a middle one would pan under a
    // point being dragged.
    if (d->viewport.isPanDragging()) {
        event->accept();
        return;
    }
    const bool panButton = event->button() == Qt::MiddleButton
        || (event->button() == Qt::LeftButton && d->spaceHeld);
    if (panButton && d->controller.isGestureActive()) {
        if (event->button() != Qt::LeftButton && (event->buttons() & Qt::LeftButton)) {
            event->accept();
            return;
        }
        finishGesture(); // its release went elsewhere
    }
    if (panButton) {
        d->viewport.beginPanDrag(event->pos());
        d->panButton = event->button();
        setCursor(Qt::ClosedHandCursor);
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton
        && d->controller.mousePress(event->pos(), event->modifiers())) {
        event->accept();
    }
}

void PointView::mouseMoveEvent(QMouseEvent* event)
{
    d->reportCursor(event->pos());
    // A menu that popped up during a drag (opened by its key, or a context menu) took the
    // button's release, without the WindowBlocked a dialog sends: the first move with the button
    // up ends the drag where the last move left it, as the release would have.
    const bool panButtonUp = !(event->buttons() & (Qt::LeftButton | Qt::MiddleButton));
    const bool editButtonUp = !(event->buttons() & Qt::LeftButton);
    if ((d->viewport.isPanDragging() && panButtonUp)
        || (!d->viewport.isPanDragging() && d->controller.isGestureActive() && editButtonUp)) {
        finishGesture();
        event->accept();
        return;
    }
    if (d->viewport.isPanDragging()) {
        d->viewport.dragPanTo(event->pos());
        event->accept();
        return;
    }
    if (d->controller.mouseMove(event->pos(), event->modifiers())) {
        event->accept();
    }
}

void PointView::mouseReleaseEvent(QMouseEvent* event)
{
    if (d->viewport.isPanDragging()) {
        if (event->button() == d->panButton) {
            d->stopPanning();
        }
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton && d->controller.mouseRelease(event->pos())) {
        event->accept();
    }
}

void PointView::wheelEvent(QWheelEvent* event)
{
    const QPoint angle = event->angleDelta();
    if (event->modifiers() & Qt::ControlModifier) {
        const double notches = (angle.y() != 0 ? angle.y() : angle.x()) / wheelNotch;
        d->viewport.zoomBy(std::pow(tools::Viewport::zoomStep, notches), event->position());
    } else if (event->modifiers() & Qt::ShiftModifier) {
        const int along = angle.x() != 0 ? angle.x() : angle.y();
        d->viewport.pan(QPointF(along / wheelNotch * scrollPerNotch, 0));
    } else {
        d->viewport.pan(QPointF(angle.x(), angle.y()) / wheelNotch * scrollPerNotch);
    }
    event->accept();
}

void PointView::resizeEvent(QResizeEvent* event)
{
    d->viewport.setViewSize(event->size());
    d->navigation->sync();
    QWidget::resizeEvent(event);
}

void PointView::leaveEvent(QEvent* event)
{
    d->reportCursor(QPoint(-1, -1));
    QWidget::leaveEvent(event);
}

void PointView::paintEvent(QPaintEvent* event)
{
    d->controller.paint(this, event->rect());
    if (facialPoints() && facialPoints()->count() > 0) {
        waitclock::step("markers painted");
    }
    if (d->faceMenu && facialPoints()) {
        QPainter painter(this);
        d->paintOtherFaces(painter);
    }
}

} // namespace ui
