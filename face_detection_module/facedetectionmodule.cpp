#include "facedetectionmodule.h"

#include "qimage_dlib.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/serialize.h>

#include <future>
#include <new>
#include <system_error>

namespace core {

namespace {

// dlib reads only RGB888 in place; any other format costs one converted copy. A null result
// means the conversion could not allocate (or the picture was null to begin with).
QImage toRgb888(const QImage& picture)
{
    if (picture.format() == QImage::Format_RGB888) {
        return picture;
    }
    return picture.convertToFormat(QImage::Format_RGB888, Qt::AutoColor);
}

QVector<QPoint> partsOf(const dlib::full_object_detection& shape)
{
    QVector<QPoint> points;
    points.reserve(static_cast<int>(shape.num_parts()));
    for (unsigned long i = 0; i < shape.num_parts(); ++i) {
        const dlib::point& part = shape.part(i);
        points.append(QPoint(static_cast<int>(part.x()), static_cast<int>(part.y())));
    }
    return points;
}

QRect toQRect(const dlib::rectangle& r)
{
    // dlib's right and bottom are inclusive; width() and height() are 0 for an empty rectangle.
    return QRect(static_cast<int>(r.left()), static_cast<int>(r.top()), static_cast<int>(r.width()),
                 static_cast<int>(r.height()));
}

} // namespace

const char* const FaceDetectionModule::defaultModelPath = "shape_predictor.dat";

struct FaceDetectionModule::Impl {
    dlib::frontal_face_detector faceDetector;
    // Predicting reads the model only, which dlib allows from several threads at once.
    std::shared_ptr<dlib::shape_predictor> shapePredictor = std::make_shared<dlib::shape_predictor>();
};

FaceDetectionModule::FaceDetectionModule()
    : d(std::make_unique<Impl>())
{
}

FaceDetectionModule::~FaceDetectionModule() = default;

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::load(const std::string& modelPath)
{
    try {
        std::unique_ptr<FaceDetectionModule> module(new FaceDetectionModule);
        // Building the detector (it unpacks a model of its own) takes about half as long as
        // reading the landmark file; done alongside, it costs the user no waiting. Should no
        // thread be available, it is built here after all. The future's destructor joins.
        std::future<dlib::frontal_face_detector> detector;
        try {
            detector = std::async(std::launch::async, [] { return dlib::get_frontal_face_detector(); });
        } catch (const std::system_error&) {
        }
        dlib::deserialize(modelPath) >> *module->d->shapePredictor;
        module->d->faceDetector = detector.valid() ? detector.get() : dlib::get_frontal_face_detector();
        if (module->partCount() < minimumPartCount) {
            return nullptr;
        }
        return module;
    } catch (...) {
        // dlib::serialization_error for a missing, truncated or foreign file; std::bad_alloc
        // when a corrupt size field asks for more memory than there is.
        return nullptr;
    }
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::makeSibling() const
{
    try {
        std::unique_ptr<FaceDetectionModule> sibling(new FaceDetectionModule);
        // A copy of a built detector costs far less than building one anew.
        sibling->d->faceDetector = d->faceDetector;
        sibling->d->shapePredictor = d->shapePredictor;
        return sibling;
    } catch (...) {
        return nullptr;
    }
}

int FaceDetectionModule::partCount() const
{
    return static_cast<int>(d->shapePredictor->num_parts());
}

std::optional<QVector<Face>> FaceDetectionModule::detectFaces(const QImage& picture)
{
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return std::nullopt;
        }
        const std::vector<dlib::rectangle> rectangles = d->faceDetector(rgb, 0.0);
        QVector<Face> faces;
        faces.reserve(static_cast<int>(rectangles.size()));
        for (const dlib::rectangle& r : rectangles) {
            faces.append(Face{toQRect(r), partsOf((*d->shapePredictor)(rgb, r))});
        }
        return faces;
    } catch (...) {
        // Only allocation failures on huge pictures are expected here.
        return std::nullopt;
    }
}

std::optional<QVector<QPoint>> FaceDetectionModule::detectPoints(const QImage& picture, const QRect& area)
{
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return std::nullopt;
        }
        // One past QRect::right()/bottom(): the whole picture reaches one pixel beyond its edge.
        const dlib::rectangle r(area.x(), area.y(), area.x() + area.width(), area.y() + area.height());
        return partsOf((*d->shapePredictor)(rgb, r));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace core
