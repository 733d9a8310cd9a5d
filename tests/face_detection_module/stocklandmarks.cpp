#include "stocklandmarks.h"

#include <dlib/image_io.h>
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

namespace {

QVector<QPoint> partsOf(const dlib::full_object_detection& shape)
{
    QVector<QPoint> parts;
    for (unsigned long i = 0; i < shape.num_parts(); ++i) {
        parts.append(QPoint(int(shape.part(i).x()), int(shape.part(i).y())));
    }
    return parts;
}

} // namespace

struct StockLandmarks::Impl {
    bool loaded = false;
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    dlib::shape_predictor predictor;
};

StockLandmarks::StockLandmarks(const QString& modelPath)
    : d(std::make_unique<Impl>())
{
    try {
        dlib::deserialize(modelPath.toStdString()) >> d->predictor;
        d->loaded = true;
    } catch (...) {
        d->loaded = false;
    }
}

StockLandmarks::~StockLandmarks() = default;

bool StockLandmarks::isLoaded() const
{
    return d->loaded;
}

namespace {

StockDetection detectIn(const dlib::array2d<dlib::rgb_pixel>& picture, dlib::frontal_face_detector& detector,
                        const dlib::shape_predictor& predictor)
{
    StockDetection result;
    result.pictureLoaded = true;
    result.size = QSize(int(picture.nc()), int(picture.nr()));
    std::vector<dlib::rect_detection> detections;
    detector(picture, detections, 0.0);
    for (const dlib::rect_detection& detection : detections) {
        const dlib::rectangle& r = detection.rect;
        result.faces.append({QRect(int(r.left()), int(r.top()), int(r.width()), int(r.height())),
                             partsOf(predictor(picture, r)), detection.detection_confidence});
    }
    const dlib::rectangle whole(0, 0, picture.nc(), picture.nr());
    result.wholePictureParts = partsOf(predictor(picture, whole));
    return result;
}

} // namespace

StockDetection StockLandmarks::detectFile(const QString& picturePath)
{
    dlib::array2d<dlib::rgb_pixel> picture;
    try {
        dlib::load_image(picture, picturePath.toStdString());
    } catch (...) {
        return {};
    }
    return detectIn(picture, d->detector, d->predictor);
}

StockDetection StockLandmarks::detectImage(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    dlib::array2d<dlib::rgb_pixel> picture(rgb.height(), rgb.width());
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* row = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            picture[y][x] = dlib::rgb_pixel(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        }
    }
    return detectIn(picture, d->detector, d->predictor);
}
