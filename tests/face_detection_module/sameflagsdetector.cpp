#include "sameflagsdetector.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

struct SameFlagsDetector::Impl {
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
};

SameFlagsDetector::SameFlagsDetector()
    : d(std::make_unique<Impl>())
{
}

SameFlagsDetector::~SameFlagsDetector() = default;

QVector<SameFlagsFace> SameFlagsDetector::detect(const QImage& picture)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    dlib::array2d<dlib::rgb_pixel> pixels(rgb.height(), rgb.width());
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* row = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            pixels[y][x] = dlib::rgb_pixel(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        }
    }
    std::vector<dlib::rect_detection> detections;
    d->detector(pixels, detections, 0.0);
    QVector<SameFlagsFace> faces;
    for (const dlib::rect_detection& detection : detections) {
        const dlib::rectangle& r = detection.rect;
        faces.append({QRect(int(r.left()), int(r.top()), int(r.width()), int(r.height())),
                      detection.detection_confidence, detection.weight_index});
    }
    return faces;
}
