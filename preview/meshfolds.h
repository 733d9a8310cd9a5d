#pragma once

#include "preview/facetriangles.h"
#include "core/facialpoints.h"

#include <vector>

// Which triangles of the face triangulation a set of points has folded: turned over by an edit
// or collapsed to (almost) nothing. These are the triangles the mask renderer leaves out. Pure
// functions; any thread.
namespace preview {

// The area (square pixels) at or below which a triangle of shape counts as collapsed: half a
// pixel, or a small share of the shape's size when that is larger. shape is in picture pixels
// and must not be empty.
double collapsedTriangleArea(const core::FacialPointVector& shape);
// The share of the shape's size in collapsedTriangleArea, without the half pixel: a triangle at
// or below it has collapsed at any resolution of the picture; one above it but at or below
// collapsedTriangleArea is only too small for the picture's pixels.
double shapeCollapsedArea(const core::FacialPointVector& shape);

// The triangles of faceTriangles() that run anticlockwise on screen or have collapsed, in table
// order. shape holds at least faceTrianglePointCount points in picture pixels; with fewer, the
// result is empty.
std::vector<FaceTriangle> foldedTriangles(const core::FacialPointVector& shape);

} // namespace preview
