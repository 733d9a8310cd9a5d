#include "ui/meshoverlay.h"

#include "preview/facegeometry.h"
#include "preview/meshfolds.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPolygonF>
#include <QSize>
#include <QSizeF>

#include <algorithm>

namespace ui::mesh {

namespace {

const QColor edgeColour(255, 255, 255, 150);
const QColor foldedFill(255, 120, 0, 140);
const QColor foldedEdge(255, 80, 0);
const QColor tooSmallFill(255, 210, 0, 90);

} // namespace

LeftOutTriangles leftOutTriangles(const core::FacialPointVector& points, const QSizeF& pictureSize)
{
    LeftOutTriangles result;
    if (points.size() < std::size_t(preview::faceTrianglePointCount)) {
        return result;
    }
    core::FacialPointVector pixels;
    pixels.reserve(points.size());
    for (const FacialPoint& p : points) {
        pixels.emplace_back(p.x() * pictureSize.width(), p.y() * pictureSize.height());
    }
    const double collapsed = preview::shapeCollapsedArea(pixels);
    for (const preview::FaceTriangle& t : preview::foldedTriangles(pixels)) {
        const double area = preview::geometry::signedArea(pixels[std::size_t(t.a)], pixels[std::size_t(t.b)],
                                                          pixels[std::size_t(t.c)]);
        // "!(area > collapsed)" so that a NaN corner counts as folded, as the preview counts it.
        (!(area > collapsed) ? result.folded : result.tooSmall).push_back(t);
    }
    return result;
}

std::vector<preview::FaceTriangle> foldedTriangles(const core::FacialPointVector& points,
                                                    const QSizeF& pictureSize)
{
    return leftOutTriangles(points, pictureSize).folded;
}

void paint(QPainter& painter, const core::FacialPointVector& viewPoints,
           const std::vector<preview::FaceTriangle>& folded,
           const std::vector<preview::FaceTriangle>& tooSmall)
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
    painter.setBrush(tooSmallFill);
    for (const preview::FaceTriangle& t : tooSmall) {
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

QString leftOutMessage(int folded, int tooSmall, const QSize& pictureSize)
{
    if (tooSmall <= 0) {
        return foldedMessage(folded);
    }
    const QString picture = QCoreApplication::translate("ui::mesh", "this %1 \u00d7 %2 picture")
                                .arg(pictureSize.width())
                                .arg(pictureSize.height());
    if (folded <= 0) {
        if (tooSmall == 1) {
            return QCoreApplication::translate("ui::mesh", "1 triangle too small in %1: the preview leaves it out")
                .arg(picture);
        }
        return QCoreApplication::translate("ui::mesh", "%1 triangles too small in %2: the preview leaves them out")
            .arg(tooSmall)
            .arg(picture);
    }
    const QString foldedPart = folded == 1 ? QCoreApplication::translate("ui::mesh", "1 triangle folded")
                                           : QCoreApplication::translate("ui::mesh", "%1 triangles folded").arg(folded);
    return QCoreApplication::translate("ui::mesh", "%1 and %2 too small in %3: the preview leaves them out")
        .arg(foldedPart)
        .arg(tooSmall)
        .arg(picture);
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
