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

StockDetection StockLandmarks::detectFile(const QString& picturePath)
{
    StockDetection result;
    dlib::array2d<dlib::rgb_pixel> picture;
    try {
        dlib::load_image(picture, picturePath.toStdString());
    } catch (...) {
        return result;
    }
    result.pictureLoaded = true;
    result.size = QSize(int(picture.nc()), int(picture.nr()));
    for (const dlib::rectangle& r : d->detector(picture)) {
        result.faces.append({QRect(int(r.left()), int(r.top()), int(r.width()), int(r.height())),
                             partsOf(d->predictor(picture, r))});
    }
    const dlib::rectangle whole(0, 0, picture.nc(), picture.nr());
    result.wholePictureParts = partsOf(d->predictor(picture, whole));
    return result;
}
