#pragma once

#include "core/facialpoints.h"

#include <QImage>
#include <QRect>

#include <memory>

namespace preview {

// What one render did, for callers that show or check it.
struct RenderReport {
    int drawnTriangles = 0;
    // Triangles of the table not drawn: folded or of near-zero area in the mask or on the face,
    // or with a mask corner on the picture's border and no whole partner on the other side.
    int skippedTriangles = 0;
    // Drawn triangles taken, mirrored, from the other side of the mask's face because a corner
    // of their own lies on the mask picture's border (a face cut by the edge).
    int mirroredTriangles = 0;
    // Frame pixels the face warp may have changed; empty when no face was drawn.
    QRect faceRegion;
    // The mask fades in over this many pixels inside the face's outline.
    int featherWidth = 0;
};

// Draws a face mask (a picture and its 75 points) onto the face of another picture, the way the
// package's effect type states it:
//   FaceOnly   - the mask's face, warped triangle by triangle onto the face, nothing else;
//   WholeImage - the whole mask picture moved with the face by the similarity transform that best
//                maps the mask's points onto the face's (least squares), the face warped on top;
//   FullFrame  - the mask picture stretched over the whole frame, the face warped on top.
// The face's outline is feathered. Where the mask's face is cut by its picture's edge (points on
// the border), the missing side is the other side mirrored. A renderer is a cheap value: copies
// share the mask's pixels.
// Configure it on one thread; render() may then run on any number of threads at once.
class MaskRenderer
{
public:
    MaskRenderer();
    MaskRenderer(const MaskRenderer& other);
    MaskRenderer& operator=(const MaskRenderer& other);
    ~MaskRenderer();

    // Takes the mask picture and builds its working copies once (time in its pixel count), so
    // that a render touches only as many mask pixels as it draws.
    void setPicture(const QImage& picture);
    // The mask's points as fractions of its picture; the first 75 are used.
    void setPoints(const core::FacialPointVector& points);
    // A core::EffectType value; any other value draws as FaceOnly.
    void setEffectType(int type);
    int effectType() const;
    // True once a picture and at least 75 points are set.
    bool hasMask() const;
    // True when there is a mask but every one of its triangles is folded or collapsed (points
    // piled up or on one line), so that nothing of it can be drawn on any face.
    bool maskDrawsNothing() const;

    // The frame (any format) with the mask drawn onto the face whose points facePoints holds
    // (fractions of the frame, at least 75). Without a mask or without 75 face points, returns
    // the frame unchanged as RGB32; a null frame gives a null image. The frame's transparent
    // parts show over black.
    QImage render(const QImage& frame, const core::FacialPointVector& facePoints,
                  RenderReport* report = nullptr) const;
    // As render(), for every face of faces (fractions of the frame): each face with 75 points
    // or more gets its own warp; the "Whole image" picture follows the first such face, and
    // "Full frame" draws its picture once, beneath all faces.
    QImage renderFaces(const QImage& frame, const std::vector<core::FacialPointVector>& faces) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace preview
