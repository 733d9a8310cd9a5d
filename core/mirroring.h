#pragma once

#include "core/facialpoints.h"

#include <QPointF>
#include <QSizeF>

#include <optional>
#include <vector>

// Left/right symmetry of the 75-point face layout: which point is whose partner across the
// face's midline, the midline of a given face, and edits reflected about it. Pure functions;
// any thread.
namespace core::mirror {

// Number of points the partner table covers.
constexpr int partnerCount = 75;

// The point on the other side of the face that corresponds to index: the jaw's ends 0 and 16,
// the outer eye corners 36 and 45 and so on. Points on the midline (the chin, the bridge of
// the nose, the middle of the lips, the middle of the forehead) are their own partners.
// Returns -1 for an index outside [0, partnerCount).
int partner(int index);

// A face's midline in picture pixels: a point on it and a unit direction along it.
struct Midline {
    QPointF origin;
    QPointF direction;

    // The mirror image of point (picture pixels) across the line.
    QPointF reflectPoint(const QPointF& point) const;
    // The mirror image of a displacement: its component along the line kept, the other turned.
    QPointF reflectVector(const QPointF& vector) const;
};

// The line that best fits (total least squares) the midline points of pixels, the 75 points of
// a face in picture pixels. nullopt when there are fewer than partnerCount points or the
// midline points do not define a direction (all in one place).
std::optional<Midline> fitMidline(const FacialPointVector& pixels);

// Fractions of pictureSize to pixels and back.
FacialPointVector toPixels(const FacialPointVector& fractions, const QSizeF& pictureSize);
FacialPointVector toFractions(const FacialPointVector& pixels, const QSizeF& pictureSize);

// The points after an edit with every partner following: for each point the edit moved (before
// and after differ), its partner, when the edit left that partner where it was, moves by the
// reflection of the change about the midline of before. Points are fractions of pictureSize
// (the reflection is done in pixels, so it stays a reflection on a picture that is not square)
// and the results are clamped to the picture. Returns after unchanged when the sizes differ from
// partnerCount or no midline can be fitted.
FacialPointVector mirrorEdit(const FacialPointVector& before, const FacialPointVector& after,
                             const QSizeF& pictureSize);

// The points with the partner of every selected point (that is not itself selected and not on
// the midline) set to the selected point's reflection about the midline, in fractions of
// pictureSize, clamped to the picture. Returns points unchanged when there is no midline.
FacialPointVector mirrorSelection(const FacialPointVector& points, const std::vector<int>& selected,
                                  const QSizeF& pictureSize);

} // namespace core::mirror
