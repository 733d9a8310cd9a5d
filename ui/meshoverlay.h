#pragma once

#include "preview/facetriangles.h"
#include "core/facialpoints.h"

#include <QString>

#include <vector>

class QPainter;
class QSizeF;

// The face triangulation the preview warps the mask with, drawn over the picture beneath the
// markers, with the triangles the edits have folded (the ones the preview leaves out) filled in
// a warning colour. GUI thread only.
namespace ui::mesh {

// The folded triangles of points (fractions of a picture of pictureSize), judged in picture
// pixels as the preview judges them. Empty when there are fewer than 75 points.
std::vector<preview::FaceTriangle> foldedTriangles(const core::FacialPointVector& points,
                                                    const QSizeF& pictureSize);

// Draws every triangle's edges and fills the folded ones. viewPoints are the points in the
// painter's coordinates (at least 75 of them; with fewer nothing is drawn).
void paint(QPainter& painter, const core::FacialPointVector& viewPoints,
           const std::vector<preview::FaceTriangle>& folded);

// "2 triangles folded: the preview leaves them out", or empty for none.
QString foldedMessage(int count);

// The points that are corners of triangles, each once, in increasing order.
std::vector<int> cornersOf(const std::vector<preview::FaceTriangle>& triangles);

} // namespace ui::mesh
