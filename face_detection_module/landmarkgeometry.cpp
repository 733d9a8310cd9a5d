#include "face_detection_module/landmarkgeometry.h"

#include <cmath>

namespace core::landmarks {

namespace {

constexpr std::size_t leftJawEnd = 0;
constexpr std::size_t rightJawEnd = 16;
constexpr std::size_t leftEyeOuterCorner = 36;
constexpr std::size_t rightEyeOuterCorner = 45;

// "!(v > 0)" rather than "v <= 0" so that NaN also lands on 0.
double clampToUnit(double v)
{
    if (!(v > 0.0)) {
        return 0.0;
    }
    return v > 1.0 ? 1.0 : v;
}

} // namespace

int indexOfLargest(const QVector<QRect>& rectangles)
{
    int best = -1;
    qint64 bestArea = -1;
    for (int i = 0; i < rectangles.size(); ++i) {
        const qint64 area = qint64(rectangles[i].width()) * rectangles[i].height();
        if (area > bestArea) {
            best = i;
            bestArea = area;
        }
    }
    return best;
}

FacialPointVector toFacialPoints(const QVector<QPoint>& pixels)
{
    FacialPointVector points;
    points.reserve(static_cast<std::size_t>(pixels.size()));
    for (const QPoint& p : pixels) {
        points.emplace_back(p.x(), p.y());
    }
    return points;
}

bool appendForeheadPoints(FacialPointVector& points)
{
    if (points.size() <= rightEyeOuterCorner) {
        return false;
    }
    const FacialPoint p0 = points[leftJawEnd];
    const FacialPoint p16 = points[rightJawEnd];
    const FacialPoint p36 = points[leftEyeOuterCorner];
    const FacialPoint p45 = points[rightEyeOuterCorner];

    const double angle = std::atan2(p16.y() - p0.y(), p16.x() - p0.x());
    const double jawWidth = std::hypot(p16.x() - p0.x(), p16.y() - p0.y());
    // The jaw line turned a quarter turn towards the top of the face (y grows downwards).
    const FacialPoint up(jawWidth * std::sin(angle), -jawWidth * std::cos(angle));

    const FacialPoint aboveLeftEye = p36 + 0.45 * up;
    const FacialPoint aboveRightEye = p45 + 0.45 * up;
    const FacialPoint eyeSpan = aboveLeftEye - aboveRightEye;

    points.reserve(points.size() + derivedPointCount);
    points.push_back(p0 + 0.25 * up);
    points.push_back(p16 + 0.25 * up);
    points.push_back(aboveLeftEye);
    points.push_back(aboveRightEye);
    points.push_back(aboveRightEye + 0.75 * eyeSpan);
    points.push_back(aboveRightEye + 0.5 * eyeSpan);
    points.push_back(aboveRightEye + 0.25 * eyeSpan);
    return true;
}

FacialPointVector facePoints(const std::optional<QVector<QPoint>>& landmarks)
{
    if (!landmarks) {
        return {};
    }
    FacialPointVector points = toFacialPoints(*landmarks);
    if (!appendForeheadPoints(points)) {
        return {};
    }
    return points;
}

void normalizePoints(FacialPointVector& points, int width, int height)
{
    toFractions(points, width, height);
    for (FacialPoint& p : points) {
        p.setX(clampToUnit(p.x()));
        p.setY(clampToUnit(p.y()));
    }
}

void toFractions(FacialPointVector& points, int width, int height)
{
    const double w = width;
    const double h = height;
    for (FacialPoint& p : points) {
        p.setX(p.x() / w);
        p.setY(p.y() / h);
    }
}

} // namespace core::landmarks
