// Times one detection through the service (picture in, finished out) against dlib's stock
// pipeline on the same pixels, the face search on one and on two threads, and the model loading
// (from the file, writing the compact copy, and from the copy) against what a stock dlib program
// does before it can detect: deserialize the file and build the frontal face detector.
// Prints a table; asserts nothing. Run in a directory holding shape_predictor.dat.
#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/facialpointsdetector.h"
#include "stockpipeline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
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

double processCpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
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
    std::vector<double> cold;
    std::vector<double> warm;
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

        // A fresh cache folder each round: read the file, build the detector, write the copy.
        QTemporaryDir cacheFolder;
        timer.restart();
        const auto built = core::FaceDetectionModule::load(modelFile, cacheFolder.path());
        cold.push_back(millisecondsSince(timer));

        timer.restart();
        const auto mapped = core::FaceDetectionModule::load(modelFile, cacheFolder.path());
        warm.push_back(millisecondsSince(timer));
        if (!stockLoaded || !built || !mapped || mapped->cacheUse() != core::ModelCacheUse::Read) {
            std::printf("could not load %s (or its compact copy)\n", modelFile);
            return;
        }
    }
    const double stockMs = minimumOf(bare) + minimumOf(faceDetector);
    std::printf("Model loading (best of %d)\n", repetitions);
    std::printf("  %-52s %10.1f ms\n", "stock: dlib::deserialize, -O2", minimumOf(bare));
    std::printf("  %-52s %10.1f ms\n", "stock: get_frontal_face_detector, -O2", minimumOf(faceDetector));
    std::printf("  %-52s %10.1f ms\n", "stock: both, one after the other", stockMs);
    std::printf("  %-52s %10.1f ms  %6.3f x stock\n", "FaceDetectionModule::load, no copy yet (writes it)",
                minimumOf(cold), minimumOf(cold) / stockMs);
    std::printf("  %-52s %10.1f ms  %6.3f x stock\n\n", "FaceDetectionModule::load, from the compact copy",
                minimumOf(warm), minimumOf(warm) / stockMs);
}

// The face search alone (no landmarks) on one thread and on two, against stock dlib's detector.
void benchmarkThreads(StockPipeline& stock, const QImage& picture, const char* name, int repetitions)
{
    const auto module = core::FaceDetectionModule::load(modelFile);
    if (!module) {
        return;
    }
    const QImage rgb888 = picture.convertToFormat(QImage::Format_RGB888);
    stock.setPicture(rgb888);
    std::vector<double> stockTimes;
    std::vector<double> one;
    std::vector<double> two;
    std::vector<double> twoCpu;
    int stockFaces = 0;
    int faces[2] = {0, 0};
    // In turns, so that a busy machine slows all three alike.
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        stockFaces = stock.run();
        stockTimes.push_back(millisecondsSince(timer));
        for (int threads : {1, 2}) {
            module->setDetectionThreads(threads);
            const double cpu = processCpuMilliseconds();
            timer.restart();
            const auto found = module->detectFaces(rgb888);
            (threads == 1 ? one : two).push_back(millisecondsSince(timer));
            if (threads == 2) {
                twoCpu.push_back(processCpuMilliseconds() - cpu);
            }
            faces[threads - 1] = found ? found->size() : -1;
        }
    }
    const double stockMs = minimumOf(stockTimes);
    std::printf("Faces and landmarks in %s (best of %d; module: detectFaces on RGB888)\n", name, repetitions);
    std::printf("  %-36s %10.1f ms  %d faces\n", "stock dlib, -O2", stockMs, stockFaces);
    std::printf("  %-36s %10.1f ms  %d faces  %6.3f x stock\n", "module, one thread", minimumOf(one), faces[0],
                minimumOf(one) / stockMs);
    std::printf("  %-36s %10.1f ms  %d faces  %6.3f x stock   (target <= 0.55)\n", "module, two threads",
                minimumOf(two), faces[1], minimumOf(two) / stockMs);
    // Processor time over wall time: how many cores the two threads actually got from the machine.
    std::printf("  %-36s %10.2f cores (of 2) on average\n\n", "two threads, processor / wall time",
                minimumOf(twoCpu) / minimumOf(two));
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
    benchmarkThreads(stock, pictures.back().image, "bald_guys enlarged 4000x3000", 3);

    FacialPointsDetector detector;
    QElapsedTimer timer;
    timer.start();
    int warmUpFaces = 0;
    timeServiceDetection(detector, astronaut, &warmUpFaces);
    std::printf("First request (loads the model, from the compact copy when there is one, then detects): "
                "%.1f ms, state %d\n\n",
                millisecondsSince(timer),
                int(detector.state()));
    if (detector.state() != FacialPointsDetector::Initialized) {
        return 1;
    }
    benchmarkDetection(detector, stock, pictures);
    return 0;
}
