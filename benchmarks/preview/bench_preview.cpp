// Times the preview renderer: one 1280 x 720 frame with a 12-megapixel mask, for each effect
// type, against a bare QPainter::drawImage of the same frame into a frame-sized picture in the
// same run. Then the camera path end to end: 640 x 480 frames replayed as fast as they are taken,
// each detected or tracked, then rendered, as frames per second, with the face detector's own
// rate as the reference. Run in a folder holding "shape_predictor.dat".
// Then the camera and video paths with the shared model, steady landmarks, and a point dragged
// in the main window while the Preview window shows a face photo.
// Then a new mask picture's working copies, against Qt's premultiplied copy of the picture alone.
// Then the camera path with a crowd of faces, against one face.
// Usage: bench_preview [repetitions [steady|video|crowd|edit|setup]]   (default 30; medians are printed)

#include "benchmarks/support/benchtiming.h"
#include "core/facemaskproject.h"
#include "preview/facetriangles.h"
#include "preview/maskrenderer.h"

#include "face_detection_module/facedetectionmodule.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/livepreview.h"
#include "tests/support/replayframesource.h"

#include <QElapsedTimer>
#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QSize frameSize(1280, 720);
const QSize maskSize(4000, 3000);

// Detail everywhere, so that no path can take a shortcut.
QImage pattern(QSize size, int seed)
{
    QImage picture(size, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            line[x] = qRgb((x * 3 + y + seed) & 0xff, (x ^ y) & 0xff, (y * 5 + seed) & 0xff);
        }
    }
    return picture;
}

core::FacialPointVector faceIn(const QRectF& box, QSize picture)
{
    core::FacialPointVector points;
    for (const QPointF& p : preview::meanFaceShape()) {
        points.emplace_back((box.left() + p.x() * box.width()) / picture.width(),
                            (box.top() + p.y() * box.height()) / picture.height());
    }
    return points;
}

using bench::median;
using bench::millisecondsFor;

void benchmarkRender(int repetitions)
{
    const QImage frame = pattern(frameSize, 0);
    const QImage mask = pattern(maskSize, 77);
    preview::MaskRenderer renderer;
    const double setupMs = millisecondsFor([&] { renderer.setPicture(mask); });
    renderer.setPoints(faceIn(QRectF(1200, 700, 1600, 1800), maskSize));
    // A face as large as a webcam shows one at arm's length.
    const core::FacialPointVector face = faceIn(QRectF(480, 150, 320, 380), frameSize);

    QImage target(frameSize, QImage::Format_RGB32);
    auto bare = [&] {
        QPainter painter(&target);
        painter.drawImage(0, 0, frame);
    };
    bare();
    std::printf("Mask %dx%d (%.1f MP) on a %dx%d frame, face %dx%d; median of %d runs\n",
                maskSize.width(), maskSize.height(), maskSize.width() * maskSize.height() / 1e6,
                frameSize.width(), frameSize.height(), 320, 380, repetitions);
    std::printf("mask working copies made once: %.2f ms\n\n", setupMs);
    std::printf("%-18s %10s %11s %8s %8s\n", "effect", "render", "bare draw", "ratio", "paired");
    const char* const names[] = {"Face only", "Whole image", "Full frame effect"};
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        renderer.setEffectType(type);
        renderer.render(frame, face);
        std::vector<double> renderTimes;
        std::vector<double> bareTimes;
        std::vector<double> ratios;
        // Interleaved, in alternating order, so that both see the same load and caches.
        for (int i = 0; i < repetitions; ++i) {
            double renderMs = 0;
            double bareMs = 0;
            auto render = [&] { renderer.render(frame, face); };
            if (i % 2 == 0) {
                renderMs = millisecondsFor(render);
                bareMs = millisecondsFor(bare);
            } else {
                bareMs = millisecondsFor(bare);
                renderMs = millisecondsFor(render);
            }
            renderTimes.push_back(renderMs);
            bareTimes.push_back(bareMs);
            ratios.push_back(renderMs / bareMs);
        }
        std::printf("%-18s %7.2f ms %8.3f ms %7.1fx %7.1fx\n", names[type], median(renderTimes),
                    median(bareTimes), median(renderTimes) / median(bareTimes), median(ratios));
    }
}

// 640 x 480 frames of a real face moving a few pixels from frame to frame, replayed as fast as
// the event loop turns; the worker takes a frame whenever it is idle and drops the others.
void benchmarkCameraPath(double seconds, int interval)
{
    const QImage photo = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    const QImage maskPhoto = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
    auto module = core::FaceDetectionModule::load();
    if (photo.isNull() || maskPhoto.isNull() || !module) {
        std::printf("camera path: test photos or shape_predictor.dat missing; skipped\n");
        return;
    }
    QVector<QImage> frames;
    const QImage scaled = photo.scaledToHeight(480, Qt::SmoothTransformation);
    for (int i = 0; i < 16; ++i) {
        QImage frame(640, 480, QImage::Format_RGB32);
        frame.fill(qRgb(90, 90, 90));
        QPainter painter(&frame);
        painter.drawImage(QPoint((640 - scaled.width()) / 2 + 2 * (i % 8) - 8, i % 3), scaled);
        frames.append(frame);
    }
    preview::MaskRenderer mask;
    mask.setPicture(maskPhoto);
    mask.setPoints(core::runLandmarkPipeline(*module, maskPhoto).points);

    // Reference in the same run: the face detector alone on one such frame.
    std::vector<double> detectTimes;
    const QImage rgb = frames[0].convertToFormat(QImage::Format_RGB888);
    for (int i = 0; i < 5; ++i) {
        detectTimes.push_back(millisecondsFor([&] { module->detectFaces(rgb); }));
    }
    module.reset();

    ui::LivePreview live(interval);
    live.setRenderer(mask);
    ReplayFrameSource source(frames, 0);
    QObject::connect(&source, &ui::FrameSource::frameReady, &live, &ui::LivePreview::takeFrame);
    // The first frame reads the landmark model: started, and waited for, before timing.
    live.takeFrame(frames[0]);
    bench::runEventsUntil([&] { return live.renderedFrames() >= 1; }, 60000);
    const int renderedBefore = live.renderedFrames();
    const int detectedBefore = live.detectedFrames();
    QElapsedTimer timer;
    timer.start();
    source.start();
    bench::runEventsUntil([] { return false; }, int(seconds * 1000));
    source.stop();
    const double elapsed = timer.nsecsElapsed() / 1e9;
    const int rendered = live.renderedFrames() - renderedBefore;
    std::printf("detect every %2d frames: %6.1f frames/s (%d rendered, %d detections, %d offered frames "
                "dropped in %.1f s); detector alone %.1f ms a frame = %.1f frames/s\n",
                interval, rendered / elapsed, rendered, live.detectedFrames() - detectedBefore,
                live.droppedFrames(), elapsed, median(detectTimes), 1000.0 / median(detectTimes));
}

} // namespace

void benchmarkSteady();
void benchmarkVideoPath();
void benchmarkEditWhilePreviewing();
void benchmarkCrowdPath();

// What the window's thread spends when the main window's picture changes while the Preview is
// open, for a camera's picture and a very large one.
void benchmarkMaskSetup()
{
    std::printf("\nA new mask picture's working copies, against Qt's premultiplied copy of it (median of 5):\n");
    for (const QSize size : {QSize(4000, 3000), QSize(12000, 9000)}) {
        const QImage mask = pattern(size, 77);
        std::vector<double> setup;
        std::vector<double> copy;
        for (int i = 0; i < 5; ++i) {
            {
                preview::MaskRenderer renderer;
                setup.push_back(millisecondsFor([&] { renderer.setPicture(mask); }));
            }
            QImage copied;
            copy.push_back(millisecondsFor([&] { copied = mask.convertToFormat(QImage::Format_ARGB32_Premultiplied); }));
        }
        std::printf("%5dx%-5d setPicture %7.1f ms, Qt's copy %7.1f ms, ratio %.2f\n", size.width(),
                    size.height(), median(setup), median(copy), median(setup) / median(copy));
    }
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    if (argc > 2 && qstrcmp(argv[2], "steady") == 0) {
        benchmarkSteady(); // the steady figures alone
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "video") == 0) {
        benchmarkVideoPath(); // the camera and video paths alone
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "crowd") == 0) {
        benchmarkCrowdPath(); // the camera path with a crowd alone
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "setup") == 0) {
        benchmarkMaskSetup();
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "edit") == 0) {
        benchmarkEditWhilePreviewing(); // the drag while previewing alone
        return 0;
    }
    benchmarkRender(repetitions);
    benchmarkMaskSetup();
    std::printf("\nCamera path, 640x480 replayed frames, end to end (track or detect, render):\n");
    for (int interval : {1, 6}) {
        benchmarkCameraPath(8.0, interval);
    }
    benchmarkVideoPath();
    benchmarkCrowdPath();
    benchmarkSteady();
    benchmarkEditWhilePreviewing();
    return 0;
}
