// The point view's keyboard: nudges with the arrows, Escape, Ctrl+A, Tab and Shift+Tab through
// the points, Space held for panning, Shift+F10 for the face menu, Ctrl+V, and the scrolling that
// keeps the selected points in sight of keyboard work in a zoomed view.
#include "ui/pointview_p.h"

#include "core/facialpoints.h"
#include "ui/waitclock.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>

#include <algorithm>
#include <cmath>

namespace ui {

namespace {

// Arrow keys nudge by one view pixel, by ten with Shift.
constexpr double nudgeStep = 1.0;
constexpr double largeNudgeStep = 10.0;
// How far inside the view's edges keyboard work keeps the selected point: its marker and number.
constexpr double visibleMargin = 40.0;

} // namespace

bool PointView::Impl::handleEditingKey(QKeyEvent* event)
{
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const double step = shift ? largeNudgeStep : nudgeStep;
    switch (event->key()) {
    case Qt::Key_Left:
        controller.nudgeSelection(QPointF(-step, 0));
        keepSelectionVisible();
        return true;
    case Qt::Key_Right:
        controller.nudgeSelection(QPointF(step, 0));
        keepSelectionVisible();
        return true;
    case Qt::Key_Up:
        controller.nudgeSelection(QPointF(0, -step));
        keepSelectionVisible();
        return true;
    case Qt::Key_Down:
        controller.nudgeSelection(QPointF(0, step));
        keepSelectionVisible();
        return true;
    case Qt::Key_Escape:
        // During a drag it takes the drag back; its release then does nothing.
        if (!controller.cancelGesture()) {
            controller.clearSelection();
        }
        return true;
    case Qt::Key_A:
        if (event->modifiers() & Qt::ControlModifier) {
            controller.selectAll();
            return true;
        }
        return false;
    default:
        return false;
    }
}

// A zoomed view scrolls so that the selection (its box, or its middle when the box is larger
// than the view) stays visibleMargin inside the edges of the part of the view nothing lies over:
// keyboard work is never blind.
void PointView::Impl::keepSelectionVisible()
{
    const core::FacialPoints* model = controller.facialPoints();
    const tools::ViewTransform& layout = transform();
    if (!model || layout.zoom() <= tools::ViewTransform::minimumZoom) {
        return;
    }
    const core::FacialPointVector points = model->points();
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (int index : controller.selection()) {
        if (index < 0 || size_t(index) >= points.size() || !std::isfinite(points[size_t(index)].x())
            || !std::isfinite(points[size_t(index)].y())) {
            continue;
        }
        const QPointF at = layout.toView(points[size_t(index)]);
        left = std::min(left, at.x());
        right = std::max(right, at.x());
        top = std::min(top, at.y());
        bottom = std::max(bottom, at.y());
    }
    // Clear of the scroll bars and the overview, which would hide the point being worked on.
    const QRectF room = layout.uncoveredRect().adjusted(visibleMargin, visibleMargin, -visibleMargin,
                                                        -visibleMargin);
    if (room.isEmpty() || left > right) {
        return;
    }
    const QRectF box(QPointF(left, top), QPointF(right, bottom));
    const auto shiftInto = [](double low, double high, double first, double last) {
        if (high - low > last - first) {
            const double middle = (low + high) / 2;
            return middle < first ? first - middle : middle > last ? last - middle : 0.0;
        }
        return low < first ? first - low : high > last ? last - high : 0.0;
    };
    const QPointF shift(shiftInto(box.left(), box.right(), room.left(), room.right()),
                        shiftInto(box.top(), box.bottom(), room.top(), room.bottom()));
    if (!shift.isNull()) {
        viewport.pan(shift);
    }
}

bool PointView::event(QEvent* event)
{
    // Tab and Shift+Tab walk through the points instead of moving the keyboard focus.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            if (key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier)) {
                d->controller.selectPrevious();
            } else {
                d->controller.selectNext();
            }
            d->keepSelectionVisible();
            event->accept();
            return true;
        }
    }
    // A dialog that opens in the middle of a drag takes the button's release: the drag ends
    // here, where the release would have ended it, so that the point does not go on following
    // a cursor with no button held and its move becomes an undo step. So does another window
    // taking the keys (Alt+Tab, a window of another program popping up): the point does not
    // follow the cursor over that window, and the release may never come here.
    if (event->type() == QEvent::WindowBlocked || event->type() == QEvent::WindowDeactivate) {
        finishGesture();
    }
    return QWidget::event(event);
}

void PointView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space) {
        if (!event->isAutoRepeat()) {
            d->spaceHeld = true;
            if (!d->viewport.isPanDragging()) {
                setCursor(Qt::OpenHandCursor);
            }
        }
        event->accept();
        return;
    }
    if (d->handleEditingKey(event)) {
        event->accept();
        return;
    }
    // Shift+F10 opens the face menu as the Menu key does (keyboards without one): the platform
    // makes a context menu event of the Menu key alone.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QPoint middle = rect().center();
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, middle, mapToGlobal(middle), event->modifiers());
        QCoreApplication::sendEvent(this, &menuKey);
        event->accept();
        return;
    }
    if (!(event->modifiers() & Qt::ControlModifier) || event->key() != Qt::Key_V) {
        event->ignore();
        return;
    }
    waitclock::begin("paste");
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data && insertFromMimeData(data)) {
        event->accept();
    }
}

void PointView::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        d->spaceHeld = false;
        if (!d->viewport.isPanDragging()) {
            unsetCursor();
        }
        event->accept();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void PointView::focusOutEvent(QFocusEvent* event)
{
    // The Space release goes elsewhere once the focus has left.
    d->spaceHeld = false;
    if (!d->viewport.isPanDragging()) {
        unsetCursor();
    }
    QWidget::focusOutEvent(event);
}

} // namespace ui
