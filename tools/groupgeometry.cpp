// Group geometry: owns no state; the arithmetic of moving, scaling and turning a group.

#include "tools/groupgeometry.h"

#include <algorithm>
#include <cmath>

namespace tools::groupgeometry {

namespace {

// NaN counts as "not greater than 0".
double clampToUnit(double value)
{
    if (!(value > 0.0)) {
        return 0.0;
    }
    return value > 1.0 ? 1.0 : value;
}

// The allowed shift along one axis of a group spanning [low, high].
double clampShift(double shift, double low, double high)
{
    const double least = std::min(0.0, -low);
    const double most = std::max(0.0, 1.0 - high);
    return std::clamp(shift, least, most);
}

} // namespace

QPointF clampToPicture(QPointF fraction)
{
    return QPointF(clampToUnit(fraction.x()), clampToUnit(fraction.y()));
}

QPointF clampedShift(const std::vector<QPointF>& fractions, QPointF shift)
{
    // The span starts as [1, 0], so an empty group or one wholly outside still gets a range
    // that lets it move back in.
    double lowX = 1.0, highX = 0.0, lowY = 1.0, highY = 0.0;
    for (const QPointF& point : fractions) {
        lowX = std::min(lowX, point.x());
        highX = std::max(highX, point.x());
        lowY = std::min(lowY, point.y());
        highY = std::max(highY, point.y());
    }
    return QPointF(clampShift(shift.x(), lowX, highX), clampShift(shift.y(), lowY, highY));
}

std::vector<QPointF> moved(const std::vector<QPointF>& fractions, QPointF shift)
{
    const QPointF allowed = clampedShift(fractions, shift);
    std::vector<QPointF> result;
    result.reserve(fractions.size());
    for (const QPointF& point : fractions) {
        result.emplace_back(point.x() + allowed.x(), point.y() + allowed.y());
    }
    return result;
}

QPointF scaleFactors(QPointF anchor, QPointF handleAtPress, QPointF handleNow, bool keepProportions)
{
    double sx = (handleNow.x() - anchor.x()) / (handleAtPress.x() - anchor.x());
    double sy = (handleNow.y() - anchor.y()) / (handleAtPress.y() - anchor.y());
    if (keepProportions) {
        sx = sy = std::abs(sx) > std::abs(sy) ? sx : sy;
    }
    return QPointF(sx, sy);
}

std::vector<QPointF> scaledAbout(const std::vector<QPointF>& points, QPointF anchor, QPointF factors)
{
    std::vector<QPointF> result;
    result.reserve(points.size());
    for (const QPointF& at : points) {
        result.emplace_back(anchor.x() + (at.x() - anchor.x()) * factors.x(),
                            anchor.y() + (at.y() - anchor.y()) * factors.y());
    }
    return result;
}

double turnAngle(QPointF centre, QPointF from, QPointF to)
{
    return std::atan2(to.y() - centre.y(), to.x() - centre.x())
        - std::atan2(from.y() - centre.y(), from.x() - centre.x());
}

std::vector<QPointF> turnedAbout(const std::vector<QPointF>& points, QPointF centre, double angle)
{
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    std::vector<QPointF> result;
    result.reserve(points.size());
    for (const QPointF& at : points) {
        const QPointF offset = at - centre;
        result.emplace_back(centre.x() + c * offset.x() - s * offset.y(),
                            centre.y() + s * offset.x() + c * offset.y());
    }
    return result;
}

} // namespace tools::groupgeometry
