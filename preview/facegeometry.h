#pragma once

#include "core/facialpoints.h"

#include <QPointF>
#include <QTransform>

#include <array>

// Plane geometry of the mask warp, in pixels with y growing downwards. Any thread.
namespace preview::geometry {

// The least and greatest coordinates of a shape's points; shape must not be empty.
struct Extent {
    double minX, maxX, minY, maxY;
};
Extent extentOf(const core::FacialPointVector& shape);

// Half the cross product (b - a) x (c - a): positive when a, b, c run clockwise on screen,
// which is the orientation every triangle of the face table has on the mean face.
double signedArea(const QPointF& a, const QPointF& b, const QPointF& c);

// The affine map taking the triangle from onto the triangle to, vertex for vertex. Returns
// nothing useful (the identity) when from is degenerate; callers check the area first.
QTransform triangleAffine(const std::array<QPointF, 3>& from, const std::array<QPointF, 3>& to);

// The rotation, uniform scale and translation that maps from onto to with the least sum of
// squared distances over the first count points of both. The identity when from has no spread.
QTransform similarityFit(const core::FacialPointVector& from, const core::FacialPointVector& to,
                         int count);

} // namespace preview::geometry
