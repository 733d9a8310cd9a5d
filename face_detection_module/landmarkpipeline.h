#pragma once

#include "core/facialpoints.h"

#include <QRect>
#include <QVector>

#include <cstdint>

class QImage;

namespace core {

class FaceDetectionModule;

// One face found in a picture: the detector's rectangle in picture pixels and the face's
// landmark points as fractions of the picture, clamped to [0, 1]; framePoints are the same
// points unclamped, for a mask drawn on the face (see landmarks::toFractions).
struct DetectedFace {
    QRect rect;
    FacialPointVector points;
    FacialPointVector framePoints;
};

// The result of one detection, relative coordinates clamped to [0, 1]: the 68 predicted points
// and the 7 derived ones, of the largest face, or predicted over the whole picture when no face
// was found; empty without a model. faces lists every face found, the most confident first (a
// face has no points when fewer were asked for); placed is the index in faces of the face whose
// points are in points, -1 without a face.
struct DetectionResult {
    int32_t faceCount = 0;
    FacialPointVector points;
    QVector<DetectedFace> faces;
    int placed = -1;
};

// Runs the whole landmark pipeline on picture with module, on the calling thread (the module is
// not thread-safe). Returns the empty result when the picture cannot be processed.
// With pointedFaces of 1 or more, only that many faces get points: the largest boxes (on equal
// areas the earlier), placed among them; the others in faces have their rect and no points.
DetectionResult runLandmarkPipeline(FaceDetectionModule& module, const QImage& picture, int pointedFaces = -1);

// The markup of a picture without a face, as runLandmarkPipeline gives it: the 68 points
// predicted over the whole picture and the 7 derived ones, as fractions. Empty when the picture
// cannot be processed. Calling thread, as above.
FacialPointVector wholePicturePoints(FaceDetectionModule& module, const QImage& picture);

} // namespace core
