#include "face_detection_module/landmarkpipeline.h"

#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkgeometry.h"

#include <QImage>

#include <algorithm>
#include <numeric>

namespace core {

namespace {

// Predicted parts (picture pixels) with the derived points, as fractions of size: clamped to
// the picture unless unclamped is asked for.
FacialPointVector completedPoints(const QVector<QPoint>& parts, QSize size, bool unclamped = false)
{
    FacialPointVector points = landmarks::toFacialPoints(parts);
    // Cannot fail: models with too few parts are refused when loading.
    landmarks::appendForeheadPoints(points);
    if (unclamped) {
        landmarks::toFractions(points, size.width(), size.height());
    } else {
        landmarks::normalizePoints(points, size.width(), size.height());
    }
    return points;
}

// picture in the module's format; a failed conversion (out of memory) gives a null picture.
QImage rgbOf(const QImage& picture)
{
    return picture.format() == QImage::Format_RGB888
               ? picture
               : picture.convertToFormat(QImage::Format_RGB888, Qt::AutoColor);
}

FacialPointVector pointsOverWhole(FaceDetectionModule& module, const QImage& rgb)
{
    const std::optional<QVector<QPoint>> whole =
        module.detectPoints(rgb, QRect(QPoint(0, 0), rgb.size()));
    return whole ? completedPoints(*whole, rgb.size()) : FacialPointVector();
}

} // namespace

FacialPointVector wholePicturePoints(FaceDetectionModule& module, const QImage& picture)
{
    const QImage rgb = rgbOf(picture);
    return rgb.isNull() ? FacialPointVector() : pointsOverWhole(module, rgb);
}

DetectionResult runLandmarkPipeline(FaceDetectionModule& module, const QImage& image, int pointedFaces)
{
    // Converted once here, so the module's own conversion is a no-op and no-face pictures are
    // not converted a second time. A failed conversion (out of memory) leaves a null picture.
    const QImage rgb = rgbOf(image);
    if (rgb.isNull()) {
        return {};
    }
    const std::optional<QVector<Face>> faces = module.findFaces(rgb);
    if (!faces) {
        return {};
    }

    DetectionResult result;
    if (faces->isEmpty()) {
        // A picture without a face still gets a whole markup: every package must hold 75 points.
        result.points = pointsOverWhole(module, rgb);
        if (result.points.empty()) {
            return {};
        }
        return result;
    }

    QVector<QRect> rectangles;
    rectangles.reserve(faces->size());
    for (const Face& face : *faces) {
        rectangles.append(face.rect);
    }
    // The faces to predict, largest first; all of them unless fewer are asked for.
    QVector<int> pointed(rectangles.size());
    std::iota(pointed.begin(), pointed.end(), 0);
    if (pointedFaces >= 1 && pointedFaces < pointed.size()) {
        const auto areaOf = [&rectangles](int f) { return qint64(rectangles[f].width()) * rectangles[f].height(); };
        std::stable_sort(pointed.begin(), pointed.end(), [&](int a, int b) { return areaOf(a) > areaOf(b); });
        pointed.resize(pointedFaces);
    }
    QVector<QRect> boxes;
    for (int f : pointed) {
        boxes.append(rectangles[f]);
    }
    const QVector<std::optional<QVector<QPoint>>> parts = module.detectPointsInFaces(rgb, boxes);
    result.faces.reserve(faces->size());
    for (const QRect& rect : rectangles) {
        result.faces.append(DetectedFace{rect, {}, {}});
    }
    for (int i = 0; i < pointed.size(); ++i) {
        if (!parts[i]) {
            return {};
        }
        DetectedFace& face = result.faces[pointed[i]];
        face.points = completedPoints(*parts[i], image.size());
        face.framePoints = completedPoints(*parts[i], image.size(), true);
    }
    result.faceCount = faces->size();
    result.placed = landmarks::indexOfLargest(rectangles);
    result.points = result.faces.at(result.placed).points;
    return result;
}

} // namespace core
