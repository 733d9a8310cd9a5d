// Times one detection through the service (picture in, finished out) against dlib's stock
// pipeline on the same pixels, and the model loading against a bare deserialize of the file.
// Prints a table; asserts nothing. Run in a directory holding shape_predictor.dat.
#include "facedetectionmodule.h"
#include "facialpointsdetector.h"
#include "stockpipeline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <vector>

using core::FacialPointsDetector;

namespace {

constexpr const char* modelFile = "shape_predictor.dat";

struct Picture {
    QString name;
    QImage image;
    int repetitions;
};

double millisecondsSince(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e6;
}

double minimumOf(const std::vector<double>& values)
{
    return *std::min_element(values.begin(), values.end());
}

// One request through the service, waited for in an event loop as the user interface would.
double timeServiceDetection(FacialPointsDetector& detector, const QImage& picture, int* faceCount)
{
    QElapsedTimer timer;
    timer.start();
    const auto watcher = detector.detect(picture);
    if (!watcher) {
        return -1;
    }
    if (!watcher->isFinished()) {
        QEventLoop loop;
        QObject::connect(watcher.get(), &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double elapsed = millisecondsSince(timer);
    *faceCount = watcher->result().faceCount;
    return elapsed;
}

const char* formatName(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB888:
        return "RGB888";
    case QImage::Format_RGB32:
        return "RGB32";
    case QImage::Format_ARGB32:
        return "ARGB32";
    case QImage::Format_Grayscale8:
        return "Grey8";
    default:
        return "other";
    }
}

void benchmarkLoading(StockPipeline& stock)
{
    const int repetitions = 3;
    std::vector<double> ours;
    std::vector<double> bare;
    std::vector<double> faceDetector;
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        const bool stockLoaded = stock.deserializeModel(modelFile);
        bare.push_back(millisecondsSince(timer));

        timer.restart();
        stock.rebuildFaceDetector();
        faceDetector.push_back(millisecondsSince(timer));

        timer.restart();
        const auto module = core::FaceDetectionModule::load();
        ours.push_back(millisecondsSince(timer));
        if (!stockLoaded || !module) {
            std::printf("could not load %s\n", modelFile);
            return;
        }
    }
    const double oursMs = minimumOf(ours);
    const double bareMs = minimumOf(bare);
    std::printf("Model loading (best of %d)\n", repetitions);
    std::printf("  %-44s %10.1f ms\n", "FaceDetectionModule::load (detector + model)", oursMs);
    std::printf("  %-44s %10.1f ms\n", "bare dlib::deserialize, -O2", bareMs);
    std::printf("  %-44s %10.3f x   (target <= 1.05)\n", "ratio", oursMs / bareMs);
    std::printf("  %-44s %10.1f ms  (the part of loading beyond the model file)\n\n", "get_frontal_face_detector alone, -O2",
                minimumOf(faceDetector));
}

void benchmarkDetection(FacialPointsDetector& detector, StockPipeline& stock, const std::vector<Picture>& pictures)
{
    std::printf("Detection (best of n; service: picture in, finished out; stock: detector + predictor)\n");
    std::printf("  %-28s %-7s %3s %6s %6s %11s %11s %8s\n", "picture", "input", "n", "faces", "stock",
                "service ms", "stock ms", "ratio");
    for (const Picture& picture : pictures) {
        const QImage rgb888 = picture.image.convertToFormat(QImage::Format_RGB888);
        stock.setPicture(rgb888);
        std::vector<double> stockTimes;
        int stockFaces = 0;
        for (int i = 0; i < picture.repetitions; ++i) {
            QElapsedTimer timer;
            timer.start();
            stockFaces = stock.run();
            stockTimes.push_back(millisecondsSince(timer));
        }
        const double stockMs = minimumOf(stockTimes);

        for (const QImage& input : {picture.image, rgb888}) {
            std::vector<double> serviceTimes;
            int faces = -1;
            for (int i = 0; i < picture.repetitions; ++i) {
                serviceTimes.push_back(timeServiceDetection(detector, input, &faces));
            }
            const double serviceMs = minimumOf(serviceTimes);
            std::printf("  %-28s %-7s %3d %6d %6d %11.1f %11.1f %8.3f\n", qPrintable(picture.name),
                        formatName(input.format()), picture.repetitions, faces, stockFaces, serviceMs, stockMs,
                        serviceMs / stockMs);
            if (input.format() == QImage::Format_RGB888) {
                break;
            }
        }
    }
    std::printf("  (target: service <= 0.9 x stock)\n");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!QFile::exists(modelFile)) {
        std::printf("Run this in a directory holding %s (the build directory has a link to it).\n", modelFile);
        return 1;
    }
    const QString faces = QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/");
    const QImage astronaut(faces + "astronaut.png");
    const QImage baldGuys(faces + "bald_guys.jpg");
    if (astronaut.isNull() || baldGuys.isNull()) {
        std::printf("Test pictures not found in %s\n", qPrintable(faces));
        return 1;
    }
    const std::vector<Picture> pictures{
        {"astronaut.png 512x512", astronaut, 10},
        {"bald_guys.jpg 1986x1545", baldGuys, 3},
        {"bald_guys enlarged 4000x3000",
         baldGuys.scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), 2},
    };

    StockPipeline stock;
    benchmarkLoading(stock);

    FacialPointsDetector detector;
    QElapsedTimer timer;
    timer.start();
    int warmUpFaces = 0;
    timeServiceDetection(detector, astronaut, &warmUpFaces);
    std::printf("First request (loads the model, then detects): %.1f ms, state %d\n\n", millisecondsSince(timer),
                int(detector.state()));
    if (detector.state() != FacialPointsDetector::Initialized) {
        return 1;
    }
    benchmarkDetection(detector, stock, pictures);
    return 0;
}
