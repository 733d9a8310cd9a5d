#include "stockpipeline.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

struct StockPipeline::Impl {
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    dlib::shape_predictor predictor;
    dlib::array2d<dlib::rgb_pixel> picture;
    long long checksum = 0;
};

StockPipeline::StockPipeline()
    : d(std::make_unique<Impl>())
{
}

StockPipeline::~StockPipeline() = default;

void StockPipeline::rebuildFaceDetector()
{
    d->detector = dlib::get_frontal_face_detector();
}

bool StockPipeline::deserializeModel(const std::string& path)
{
    try {
        dlib::shape_predictor predictor;
        dlib::deserialize(path) >> predictor;
        d->predictor = std::move(predictor);
        return true;
    } catch (...) {
        return false;
    }
}

void StockPipeline::setPicture(const QImage& rgb888)
{
    d->picture.set_size(rgb888.height(), rgb888.width());
    for (int y = 0; y < rgb888.height(); ++y) {
        const uchar* row = rgb888.constScanLine(y);
        for (int x = 0; x < rgb888.width(); ++x) {
            d->picture[y][x] = dlib::rgb_pixel(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        }
    }
}

int StockPipeline::run()
{
    const std::vector<dlib::rectangle> faces = d->detector(d->picture);
    d->checksum = 0;
    for (const dlib::rectangle& face : faces) {
        const dlib::full_object_detection shape = d->predictor(d->picture, face);
        for (unsigned long i = 0; i < shape.num_parts(); ++i) {
            d->checksum += shape.part(i).x() * 7 + shape.part(i).y() * 13;
        }
    }
    return int(faces.size());
}

long long StockPipeline::landmarkChecksum() const
{
    return d->checksum;
}
