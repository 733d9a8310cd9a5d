#pragma once

// Owns the layout of the selection's box in view pixels: the box around two or more selected
// points (standing off the outermost markers), its four corner handles that scale and the round
// handle above it that turns. The marker painter draws this layout and the point gestures hit-
// test it, so both always agree. A plain value, any thread.

#include <QPointF>
#include <QRectF>

#include <array>
#include <vector>

namespace tools {

class SelectionBox
{
public:
    // How far the box stands off the outermost markers, so that its corner handles never sit
    // on a marker.
    static constexpr double margin = 10.0;
    static constexpr double handleHalfSide = 5.0;
    // The turn handle stands this far above the box's top edge.
    static constexpr double turnHandleDistance = 24.0;
    static constexpr double turnHandleRadius = 6.0;

    // The box around points (view pixels, all finite); null when there are fewer than two.
    // With a view rectangle (the part of the view no scroll bar or overview lies over), a box
    // that reaches past its edges is cut back to it (less half a handle), and the turn handle
    // goes below the box or inside it when there is no room above, so every handle can be seen
    // and grabbed; a box wholly outside stays as it is.
    static SelectionBox around(const std::vector<QPointF>& viewPoints, const QRectF& view = QRectF());

    bool isNull() const { return m_rect.isNull(); }
    QRectF rect() const { return m_rect; }
    // Top left, top right, bottom right, bottom left: corner i is scaled about corner (i + 2) % 4.
    std::array<QPointF, 4> corners() const;
    // Where the turn handle's stem meets the box: the middle of its top edge, or of its bottom
    // edge when the handle stands below.
    QPointF topCentre() const;
    QPointF turnHandle() const;

    // The corner whose handle contains position, or -1.
    int cornerAt(QPointF position) const;
    bool isOnTurnHandle(QPointF position) const;

private:
    QRectF m_rect;
    QPointF m_stem;
    QPointF m_turnHandle;
};

} // namespace tools
