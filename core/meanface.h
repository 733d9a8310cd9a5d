#pragma once

#include "core/facialpoints.h"

#include <QSize>

namespace core {

// The mean 75-point face of the test photos (68 predicted landmarks, then the 7 derived points),
// upright, its bounding box fitted into the unit square along its longer side and centred along
// the other. The preview's triangulation was made from it.
const FacialPointVector& meanFaceShape();

// Share of the picture's smaller side that a template face is high.
constexpr double templateFaceHeight = 0.6;

// The mean face as a template to be fitted by hand: upright, centred in a picture of pictureSize
// pixels, templateFaceHeight of its smaller side high, square in pixels. Fractions of the
// picture's width and height; empty for an empty size. Any thread.
FacialPointVector templateFace(QSize pictureSize);

} // namespace core
