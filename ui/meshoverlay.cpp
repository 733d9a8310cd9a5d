#include "ui/meshoverlay.h"

#include "preview/meshfolds.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPolygonF>
#include <QSizeF>

#include <algorithm>

namespace ui::mesh {

namespace {

const QColor edgeColour(255, 255, 255, 150);
const QColor foldedFill(255, 120, 0, 140);
const QColor foldedEdge(255, 80, 0);

} // namespace

std::vector<preview::FaceTriangle> foldedTriangles(const core::FacialPointVector& points,
                                                    const QSizeF& pictureSize)
{
    if (points.size() < std::size_t(preview::faceTrianglePointCount)) {
        return {};
    }
    core::FacialPointVector pixels;
    pixels.reserve(points.size());
    for (const FacialPoint& p : points) {
        pixels.emplace_back(p.x() * pictureSize.width(), p.y() * pictureSize.height());
    }
    return preview::foldedTriangles(pixels);
}

void paint(QPainter& painter, const core::FacialPointVector& viewPoints,
           const std::vector<preview::FaceTriangle>& folded)
{
    if (viewPoints.size() < std::size_t(preview::faceTrianglePointCount)) {
        return;
    }
    const auto polygon = [&](const preview::FaceTriangle& t) {
        return QPolygonF({viewPoints[std::size_t(t.a)], viewPoints[std::size_t(t.b)],
                          viewPoints[std::size_t(t.c)]});
    };
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setBrush(Qt::NoBrush);
    QPen edge(edgeColour, 1.0);
    edge.setCosmetic(true);
    painter.setPen(edge);
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        painter.drawPolygon(polygon(t));
    }
    QPen warning(foldedEdge, 1.5);
    warning.setCosmetic(true);
    painter.setPen(warning);
    painter.setBrush(foldedFill);
    for (const preview::FaceTriangle& t : folded) {
        painter.drawPolygon(polygon(t));
    }
    painter.restore();
}

QString foldedMessage(int count)
{
    if (count <= 0) {
        return QString();
    }
    if (count == 1) {
        return QCoreApplication::translate("ui::mesh", "1 triangle folded: the preview leaves it out");
    }
    return QCoreApplication::translate("ui::mesh", "%1 triangles folded: the preview leaves them out").arg(count);
}

std::vector<int> cornersOf(const std::vector<preview::FaceTriangle>& triangles)
{
    std::vector<int> corners;
    for (const preview::FaceTriangle& t : triangles) {
        corners.insert(corners.end(), {t.a, t.b, t.c});
    }
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    return corners;
}

} // namespace ui::mesh
