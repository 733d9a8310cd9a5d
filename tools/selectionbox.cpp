// The selection box: owns the layout of the box and its handles in view pixels.

#include "tools/selectionbox.h"

#include <QLineF>

#include <algorithm>
#include <cmath>

namespace tools {

namespace {

// The box's extent is computed within these bounds; far points pin it there.
constexpr double pixelLimit = 1 << 30;

} // namespace

SelectionBox SelectionBox::around(const std::vector<QPointF>& viewPoints, const QRectF& view)
{
    SelectionBox box;
    if (viewPoints.size() < 2) {
        return box;
    }
    QPointF low(pixelLimit, pixelLimit);
    QPointF high(-pixelLimit, -pixelLimit);
    for (const QPointF& at : viewPoints) {
        low = QPointF(std::min(low.x(), at.x()), std::min(low.y(), at.y()));
        high = QPointF(std::max(high.x(), at.x()), std::max(high.y(), at.y()));
    }
    box.m_rect = QRectF(low, high).adjusted(-margin, -margin, margin, margin);
    box.m_stem = QPointF(box.m_rect.center().x(), box.m_rect.top());
    box.m_turnHandle = box.m_stem - QPointF(0, turnHandleDistance);
    const QRectF inner = view.adjusted(handleHalfSide, handleHalfSide, -handleHalfSide, -handleHalfSide);
    if (!inner.isValid() || !box.m_rect.intersects(inner)) {
        return box;
    }
    // A template or a detection without a face reaches the picture's edges: its box would
    // put every handle outside the view, where it cannot be grabbed.
    box.m_rect = box.m_rect.intersected(inner);
    const double top = box.m_rect.top();
    const double bottom = box.m_rect.bottom();
    const double x = box.m_rect.center().x();
    if (top - turnHandleDistance - turnHandleRadius >= view.top()) {
        box.m_stem = QPointF(x, top);
        box.m_turnHandle = QPointF(x, top - turnHandleDistance);
    } else if (bottom + turnHandleDistance + turnHandleRadius <= view.bottom()) {
        box.m_stem = QPointF(x, bottom);
        box.m_turnHandle = QPointF(x, bottom + turnHandleDistance);
    } else {
        // No room outside: inside the box, below its top edge, clear of the corner handles.
        box.m_stem = QPointF(x, top);
        box.m_turnHandle = QPointF(x, top + std::min(turnHandleDistance, box.m_rect.height() / 2));
    }
    return box;
}

std::array<QPointF, 4> SelectionBox::corners() const
{
    return {m_rect.topLeft(), m_rect.topRight(), m_rect.bottomRight(), m_rect.bottomLeft()};
}

QPointF SelectionBox::topCentre() const
{
    return m_stem;
}

QPointF SelectionBox::turnHandle() const
{
    return m_turnHandle;
}

int SelectionBox::cornerAt(QPointF position) const
{
    if (isNull()) {
        return -1;
    }
    const std::array<QPointF, 4> all = corners();
    for (int i = 0; i < 4; ++i) {
        if (std::abs(position.x() - all[size_t(i)].x()) <= handleHalfSide
            && std::abs(position.y() - all[size_t(i)].y()) <= handleHalfSide) {
            return i;
        }
    }
    return -1;
}

bool SelectionBox::isOnTurnHandle(QPointF position) const
{
    return !isNull() && QLineF(position, turnHandle()).length() <= turnHandleRadius;
}

} // namespace tools
