#pragma once

// Owns the arithmetic of group edits, as pure functions: a shift of a group clamped so that no
// point leaves the picture, a scale about a fixed corner and a turn about a centre. Points in,
// points out; no state, no model, no view. Any thread.

#include <QPointF>

#include <vector>

namespace tools::groupgeometry {

// A fraction pinned to [0, 1] on both axes; NaN becomes 0.
QPointF clampToPicture(QPointF fraction);

// The part of shift (fractions) the group may move: none of its points may leave [0, 1], and a
// group that lies partly outside may still move back in.
QPointF clampedShift(const std::vector<QPointF>& fractions, QPointF shift);
// The group moved by clampedShift(fractions, shift).
std::vector<QPointF> moved(const std::vector<QPointF>& fractions, QPointF shift);

// The scale factors that take the handle from where it was grabbed to where it is now, about
// the fixed anchor (the opposite corner). With keepProportions both factors are the larger one
// (by size, keeping its sign). The handle never starts on the anchor's x or y.
QPointF scaleFactors(QPointF anchor, QPointF handleAtPress, QPointF handleNow, bool keepProportions);
// Each point's offset from anchor multiplied by the factors.
std::vector<QPointF> scaledAbout(const std::vector<QPointF>& points, QPointF anchor, QPointF factors);

// The angle (radians, clockwise on screen) from the direction centre -> from to centre -> to.
double turnAngle(QPointF centre, QPointF from, QPointF to);
// The points turned by angle about centre.
std::vector<QPointF> turnedAbout(const std::vector<QPointF>& points, QPointF centre, double angle);

} // namespace tools::groupgeometry
