#include "preview/meshfolds.h"

#include "preview/facegeometry.h"

#include <algorithm>

namespace preview {

double shapeCollapsedArea(const core::FacialPointVector& shape)
{
    const geometry::Extent e = geometry::extentOf(shape);
    const double width = e.maxX - e.minX;
    const double height = e.maxY - e.minY;
    return 1e-5 * (width * width + height * height);
}

double collapsedTriangleArea(const core::FacialPointVector& shape)
{
    return std::max(0.5, shapeCollapsedArea(shape));
}

std::vector<FaceTriangle> foldedTriangles(const core::FacialPointVector& shape)
{
    std::vector<FaceTriangle> folded;
    if (shape.size() < std::size_t(faceTrianglePointCount)) {
        return folded;
    }
    const double minimum = collapsedTriangleArea(shape);
    for (const FaceTriangle& t : faceTriangles()) {
        const double area = geometry::signedArea(shape[std::size_t(t.a)], shape[std::size_t(t.b)],
                                                 shape[std::size_t(t.c)]);
        // "!(area > minimum)" so that a NaN corner counts as folded too.
        if (!(area > minimum)) {
            folded.push_back(t);
        }
    }
    return folded;
}

} // namespace preview
