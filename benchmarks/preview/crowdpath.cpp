// The camera path with a crowd: a group photo (bald_guys.jpg) in 640 x 480 and 1280 x 720
// camera-like frames, with fresh noise on each, offered every 33 ms for 8 s, against one face
// (Tom_Cruise_avp_2014_4.jpg) in 640 x 480 frames made the same way, in the same run. Prints the
// frames offered, shown and dropped, the faces masked, and the shown rate as a ratio to the one
// face's. Then where the time of a crowd frame goes: the face search with the landmarks of every
// face found, against the search alone and with the landmarks of the faces kept (as the worker
// makes a detection frame), the predictions inside the followed boxes (at once, as the worker
// makes them, and one by one), and the render of every face, each timed alone (median of 7).
// Run in a folder holding "shape_predictor.dat".

#include "benchmarks/support/benchtiming.h"
#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkgeometry.h"
#include "face_detection_module/landmarkpipeline.h"
#include "core/imagefiles.h"
#include "preview/facetracker.h"
#include "preview/maskrenderer.h"
#include "tests/support/replayframesource.h"
#include "ui/livepreview.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>


#include <cstdio>
#include <random>

namespace {

// count frames of size with picture fitted in the middle on black, each with its own noise
// (uniform, +-10 grey levels, as ffmpeg's noise=alls=10:allf=t).
QVector<QImage> noisyFrames(const QImage& picture, QSize size, int count)
{
    const QImage fitted = picture.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage base(size, QImage::Format_RGB32);
    base.fill(Qt::black);
    {
        QPainter painter(&base);
        painter.drawImage(QPoint((size.width() - fitted.width()) / 2, (size.height() - fitted.height()) / 2), fitted);
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-10, 10);
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QImage frame = base.copy();
        for (int y = 0; y < frame.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(frame.scanLine(y));
            for (int x = 0; x < frame.width(); ++x) {
                const int n = noise(random);
                line[x] = qRgb(std::clamp(qRed(line[x]) + n, 0, 255), std::clamp(qGreen(line[x]) + n, 0, 255),
                               std::clamp(qBlue(line[x]) + n, 0, 255));
            }
        }
        frames.append(frame);
    }
    return frames;
}

struct LiveFigures {
    int offered = 0;
    int shown = 0;
    int dropped = 0;
    double seconds = 0;
    double meanFaces = 0; // on the frames shown
};

LiveFigures runLive(const QVector<QImage>& frames, const preview::MaskRenderer& mask, double seconds)
{
    LiveFigures figures;
    ui::LivePreview live(6);
    live.setRenderer(mask);
    long long faces = 0;
    QObject::connect(&live, &ui::LivePreview::frameRendered, &live, [&](const QImage&, int count) {
        ++figures.shown;
        faces += count;
    });
    // The first frame reads the landmark model: waited for before timing.
    live.takeFrame(frames[0]);
    bench::runEventsUntil([&] { return figures.shown >= 1; }, 60000);
    figures.shown = 0;
    faces = 0;
    const int droppedBefore = live.droppedFrames();
    ReplayFrameSource source(frames, 33);
    QObject::connect(&source, &ui::FrameSource::frameReady, &live, &ui::LivePreview::takeFrame);
    QElapsedTimer timer;
    timer.start();
    source.start();
    bench::runEventsUntil([] { return false; }, int(seconds * 1000));
    source.stop();
    figures.seconds = timer.nsecsElapsed() / 1e9;
    // The frame in work when the offers stopped is shown yet.
    bench::runEventsUntil([&] { return figures.shown + live.droppedFrames() - droppedBefore >= source.offered; }, 5000);
    figures.offered = source.offered;
    figures.dropped = live.droppedFrames() - droppedBefore;
    figures.meanFaces = figures.shown ? double(faces) / figures.shown : 0;
    return figures;
}

void printLive(const char* name, const LiveFigures& f, double referenceRate)
{
    const double rate = f.shown / f.seconds;
    std::printf("%-24s %5d offered %5d shown %5d dropped %5.1f faces  %5.1f shown/s  ratio %.2f\n", name,
                f.offered, f.shown, f.dropped, f.meanFaces, rate, referenceRate > 0 ? rate / referenceRate : 1.0);
}

// Where a crowd frame's time goes, each stage alone on frame (median of 7 runs, in ms).
void printStages(const char* name, core::FaceDetectionModule& module, const preview::MaskRenderer& mask,
                const QImage& frame)
{
    using bench::median;
    using bench::millisecondsFor;
    const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
    std::vector<double> convert, search, predict, predictAtOnce, render, allPoints, boxesOnly, keptOnly;
    int found = 0;
    QVector<QRect> boxes;
    QVector<QRect> foundBoxes;
    std::vector<core::FacialPointVector> faces;
    {
        const std::optional<QVector<core::Face>> all = module.detectFaces(rgb);
        preview::FaceTracker tracker;
        QVector<preview::FaceObservation> observed;
        found = all ? all->size() : 0;
        for (const core::Face& face : all ? *all : QVector<core::Face>()) {
            observed.append({face.rect, core::landmarks::facePoints(face.points)});
            foundBoxes.append(face.rect);
        }
        for (const preview::TrackedFace& face : tracker.detected(observed, 0)) {
            boxes.append(face.box);
            core::FacialPointVector points = face.points;
            core::landmarks::toFractions(points, rgb.width(), rgb.height());
            faces.push_back(points);
        }
    }
    for (int i = 0; i < 7; ++i) {
        convert.push_back(millisecondsFor([&] { QImage converted = frame.convertToFormat(QImage::Format_RGB888); }));
        search.push_back(millisecondsFor([&] { module.detectFaces(rgb); }));
        boxesOnly.push_back(millisecondsFor([&] { module.findFaces(rgb); }));
        keptOnly.push_back(millisecondsFor([&] {
            QVector<QRect> found;
            for (const core::Face& face : module.findFaces(rgb).value_or(QVector<core::Face>())) {
                found.append(face.rect);
            }
            preview::FaceTracker tracker;
            tracker.detected(found, 0, [&](const QVector<QRect>& kept) {
                QVector<core::FacialPointVector> points;
                for (const std::optional<QVector<QPoint>>& parts : module.detectPointsInFaces(rgb, kept)) {
                    points.append(core::landmarks::facePoints(parts));
                }
                return points;
            });
        }));
        predict.push_back(millisecondsFor([&] {
            for (const QRect& box : boxes) {
                module.detectPointsInFace(rgb, box);
            }
        }));
        predictAtOnce.push_back(millisecondsFor([&] { module.detectPointsInFaces(rgb, boxes); }));
        allPoints.push_back(millisecondsFor([&] {
            for (const QRect& box : foundBoxes) {
                module.detectPointsInFace(rgb, box);
            }
        }));
        render.push_back(millisecondsFor([&] { mask.renderFaces(rgb, faces); }));
    }
    std::printf("%-18s %2d of %2d faces: to RGB888 %5.1f ms; face search with landmarks %6.1f ms, the landmarks of "
                "all found one by one %5.1f ms; face search alone %6.1f ms, with the landmarks of the %d kept %6.1f ms "
                "(ratio %.2f to all); %d predictions at once %5.1f ms, one by one %5.1f ms; render %5.1f ms\n",
                name, int(boxes.size()), found, median(convert), median(search), median(allPoints), median(boxesOnly),
                int(boxes.size()), median(keptOnly), median(keptOnly) / median(search), int(boxes.size()),
                median(predictAtOnce), median(predict), median(render));
}

} // namespace

void benchmarkCrowdPath()
{
    const QImage crowd = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/bald_guys.jpg"));
    const QImage single = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    const QImage maskPhoto = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
    std::unique_ptr<core::FaceDetectionModule> module = core::FaceDetectionModule::load();
    if (crowd.isNull() || single.isNull() || maskPhoto.isNull() || !module) {
        std::printf("crowd path: test photos or shape_predictor.dat missing; skipped\n");
        return;
    }
    preview::MaskRenderer mask;
    mask.setPicture(maskPhoto);
    mask.setPoints(core::runLandmarkPipeline(*module, maskPhoto).points);

    const QVector<QImage> one = noisyFrames(single, QSize(640, 480), 30);
    const QVector<QImage> crowd480 = noisyFrames(crowd, QSize(640, 480), 30);
    const QVector<QImage> crowd720 = noisyFrames(crowd, QSize(1280, 720), 30);

    std::printf("\nCamera path with a crowd, frames every 33 ms for 8 s, detection every 6th frame "
                "(ratio: shown/s to the one face's):\n");
    const LiveFigures reference = runLive(one, mask, 8.0);
    const double referenceRate = reference.shown / reference.seconds;
    printLive("640x480, one face", reference, referenceRate);
    printLive("640x480, crowd", runLive(crowd480, mask, 8.0), referenceRate);
    printLive("1280x720, crowd", runLive(crowd720, mask, 8.0), referenceRate);
    std::printf("Each stage alone on the window's worker (median of 7):\n");
    printStages("640x480, one face", *module, mask, one[0]);
    printStages("640x480, crowd", *module, mask, crowd480[0]);
    printStages("1280x720, crowd", *module, mask, crowd720[0]);
}
