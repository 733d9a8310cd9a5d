// The selection box: owns the layout of the box and its handles in view pixels.

#include "selectionbox.h"

#include <QLineF>

#include <algorithm>
#include <cmath>

namespace tools {

namespace {

// The box's extent is computed within these bounds; far points pin it there.
constexpr double pixelLimit = 1 << 30;

} // namespace

SelectionBox SelectionBox::around(const std::vector<QPointF>& viewPoints)
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
    return box;
}

std::array<QPointF, 4> SelectionBox::corners() const
{
    return {m_rect.topLeft(), m_rect.topRight(), m_rect.bottomRight(), m_rect.bottomLeft()};
}

QPointF SelectionBox::topCentre() const
{
    return QPointF(m_rect.center().x(), m_rect.top());
}

QPointF SelectionBox::turnHandle() const
{
    return QPointF(m_rect.center().x(), m_rect.top() - turnHandleDistance);
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
