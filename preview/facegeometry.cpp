#include "preview/facegeometry.h"

#include <algorithm>

#include <cmath>

namespace preview::geometry {

Extent extentOf(const core::FacialPointVector& shape)
{
    Extent e{shape[0].x(), shape[0].x(), shape[0].y(), shape[0].y()};
    for (const QPointF& p : shape) {
        e.minX = std::min(e.minX, p.x());
        e.maxX = std::max(e.maxX, p.x());
        e.minY = std::min(e.minY, p.y());
        e.maxY = std::max(e.maxY, p.y());
    }
    return e;
}

double signedArea(const QPointF& a, const QPointF& b, const QPointF& c)
{
    return 0.5 * ((b.x() - a.x()) * (c.y() - a.y()) - (b.y() - a.y()) * (c.x() - a.x()));
}

QTransform triangleAffine(const std::array<QPointF, 3>& from, const std::array<QPointF, 3>& to)
{
    // Both triangles as a corner and two edge vectors; the map is to-basis * inverse(from-basis).
    const QTransform fromBasis(from[1].x() - from[0].x(), from[1].y() - from[0].y(),
                               from[2].x() - from[0].x(), from[2].y() - from[0].y(),
                               from[0].x(), from[0].y());
    const QTransform toBasis(to[1].x() - to[0].x(), to[1].y() - to[0].y(),
                             to[2].x() - to[0].x(), to[2].y() - to[0].y(), to[0].x(), to[0].y());
    bool invertible = false;
    const QTransform fromInverse = fromBasis.inverted(&invertible);
    if (!invertible) {
        return QTransform();
    }
    return fromInverse * toBasis;
}

QTransform similarityFit(const core::FacialPointVector& from, const core::FacialPointVector& to,
                         int count)
{
    const int n = std::min<int>(count, static_cast<int>(std::min(from.size(), to.size())));
    if (n <= 0) {
        return QTransform();
    }
    QPointF fromMean;
    QPointF toMean;
    for (int i = 0; i < n; ++i) {
        fromMean += from[i];
        toMean += to[i];
    }
    fromMean /= n;
    toMean /= n;
    // Closed form for x' = a x - b y + tx, y' = b x + a y + ty (Umeyama without reflection).
    double dot = 0;
    double cross = 0;
    double spread = 0;
    for (int i = 0; i < n; ++i) {
        const QPointF p = from[i] - fromMean;
        const QPointF q = to[i] - toMean;
        dot += p.x() * q.x() + p.y() * q.y();
        cross += p.x() * q.y() - p.y() * q.x();
        spread += p.x() * p.x() + p.y() * p.y();
    }
    if (!(spread > 0)) {
        return QTransform();
    }
    const double a = dot / spread;
    const double b = cross / spread;
    const double tx = toMean.x() - (a * fromMean.x() - b * fromMean.y());
    const double ty = toMean.y() - (b * fromMean.x() + a * fromMean.y());
    // QTransform maps x' = m11 x + m21 y + dx, y' = m12 x + m22 y + dy.
    return QTransform(a, b, -b, a, tx, ty);
}

} // namespace preview::geometry
