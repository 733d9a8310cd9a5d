#include "landmarkpipeline.h"

#include "facedetectionmodule.h"
#include "landmarkgeometry.h"

#include <QImage>

namespace core {

// The landmarks of the largest face plus the derived points, or, without a face, the landmarks
// predicted over the whole picture; relative coordinates. Empty when the picture is too large.
DetectionResult runLandmarkPipeline(FaceDetectionModule& module, const QImage& image)
{
    // Converted once here, so the module's own conversion is a no-op and no-face pictures are
    // not converted a second time. A failed conversion (out of memory) leaves a null picture.
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888, Qt::AutoColor);
    if (rgb.isNull()) {
        return {};
    }
    const std::optional<QVector<Face>> faces = module.detectFaces(rgb);
    if (!faces) {
        return {};
    }

    DetectionResult result;
    if (!faces->isEmpty()) {
        QVector<QRect> rectangles;
        rectangles.reserve(faces->size());
        for (const Face& face : *faces) {
            rectangles.append(face.rect);
        }
        const Face& chosen = faces->at(landmarks::indexOfLargest(rectangles));
        result.points = landmarks::toFacialPoints(chosen.points);
        // Cannot fail: models with too few parts are refused when loading.
        landmarks::appendForeheadPoints(result.points);
        result.faceCount = faces->size();
    } else {
        const std::optional<QVector<QPoint>> whole =
            module.detectPoints(rgb, QRect(QPoint(0, 0), rgb.size()));
        if (!whole) {
            return {};
        }
        result.points = landmarks::toFacialPoints(*whole);
    }
    landmarks::normalizePoints(result.points, image.width(), image.height());
    return result;
}

} // namespace core
