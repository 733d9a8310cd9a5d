#pragma once

#include "core/meanface.h"

#include <QPointF>

#include <vector>

// The fixed triangulation of the 75-point face layout (68 predicted landmarks, then the 7
// derived points above the eyes and at the jaw ends), shared by every mask and every face.
namespace preview {

struct FaceTriangle {
    int a;
    int b;
    int c;
};

// Every point index is below faceTrianglePointCount. On the mean face each triangle runs
// clockwise on screen (positive geometry::signedArea in y-down pixels).
constexpr int faceTrianglePointCount = 75;
const std::vector<FaceTriangle>& faceTriangles();

// The mean face the table was made from (core::meanFaceShape()), upright, fitted into the unit
// square: a stand-in face wherever no detected one is at hand.
inline const std::vector<QPointF>& meanFaceShape()
{
    return core::meanFaceShape();
}

} // namespace preview
