#pragma once

#include "preview/facetriangles.h"
#include "core/facialpoints.h"

#include <QString>

#include <vector>

class QPainter;
class QSize;
class QSizeF;

// The face triangulation the preview warps the mask with, drawn over the picture beneath the
// markers, with the triangles the edits have folded (the ones the preview leaves out) filled in
// a warning colour. GUI thread only.
namespace ui::mesh {

// The triangles of points (fractions of a picture of pictureSize) that the preview leaves out,
// judged in picture pixels as the preview judges them, in table order and told apart by why:
// folded, turned over or collapsed for the face's size (moving points mends them), or too
// small, upright but at most half a square pixel of a small picture (a larger picture mends
// them). Both empty when there are fewer than 75 points.
struct LeftOutTriangles {
    std::vector<preview::FaceTriangle> folded;
    std::vector<preview::FaceTriangle> tooSmall;
};
LeftOutTriangles leftOutTriangles(const core::FacialPointVector& points, const QSizeF& pictureSize);
// leftOutTriangles(points, pictureSize).folded.
std::vector<preview::FaceTriangle> foldedTriangles(const core::FacialPointVector& points,
                                                    const QSizeF& pictureSize);

// Draws every triangle's edges and fills the folded ones, and more faintly the ones too small.
// viewPoints are the points in the painter's coordinates (at least 75 of them; with fewer
// nothing is drawn).
void paint(QPainter& painter, const core::FacialPointVector& viewPoints,
           const std::vector<preview::FaceTriangle>& folded,
           const std::vector<preview::FaceTriangle>& tooSmall = {});

// "2 triangles folded: the preview leaves them out", or empty for none.
QString foldedMessage(int count);
// foldedMessage(folded) while none is too small; else "83 triangles too small in this 16 × 16
// picture: the preview leaves them out", or "2 triangles folded and 81 too small in …".
QString leftOutMessage(int folded, int tooSmall, const QSize& pictureSize);

// The points that are corners of triangles, each once, in increasing order.
std::vector<int> cornersOf(const std::vector<preview::FaceTriangle>& triangles);

} // namespace ui::mesh
