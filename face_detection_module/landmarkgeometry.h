#pragma once

#include "core/facialpoints.h"

#include <QPoint>
#include <QRect>
#include <QVector>

#include <optional>

// Pure geometry of a detection result, kept apart from dlib so it can be checked without a model.
namespace core::landmarks {

// Number of points appendForeheadPoints adds after the predicted ones.
constexpr int derivedPointCount = 7;

// Index of the rectangle with the largest width x height; on equal areas the earliest wins.
// Returns -1 for an empty list.
int indexOfLargest(const QVector<QRect>& rectangles);

// Whole-pixel landmarks as FacialPoints, exactly (still in picture pixels).
FacialPointVector toFacialPoints(const QVector<QPoint>& pixels);

// Appends the 7 points above the eyes and the jaw ends, computed from parts 0, 16, 36 and 45
// of the 68-point markup, in picture pixels. Returns false and leaves points unchanged when
// there are fewer than 46 points.
bool appendForeheadPoints(FacialPointVector& points);

// The predicted whole-pixel landmarks with the 7 derived points appended, in picture pixels;
// empty when the prediction is missing or has too few parts for the derived points.
FacialPointVector facePoints(const std::optional<QVector<QPoint>>& landmarks);

// Turns picture pixels into fractions of width and height, each clamped to [0, 1] (NaN gives 0).
void normalizePoints(FacialPointVector& points, int width, int height);
// The same without the clamp: a face cut by the picture's edge keeps the points it has beyond it
// (below 0 or above 1), which a mask drawn on that face needs to be cut, not squeezed, by the edge.
void toFractions(FacialPointVector& points, int width, int height);

} // namespace core::landmarks
