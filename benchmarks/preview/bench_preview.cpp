// Times the preview renderer: one 1280 x 720 frame with a 12-megapixel mask, for each effect
// type, against a bare QPainter::drawImage of the same frame into a frame-sized picture in the
// same run. Then the camera path end to end: 640 x 480 frames replayed as fast as they are taken,
// each detected or tracked, then rendered, as frames per second.
// Usage: bench_preview [repetitions]   (default 30; medians are printed)

#include "facemaskproject.h"
#include "facetriangles.h"
#include "maskrenderer.h"

#ifdef FACEMASK_BENCH_CAMERA
#include "framesource.h"
#include "livepreview.h"
#endif

#include <QElapsedTimer>
#include <QGuiApplication>
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double millisecondsFor(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

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

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    benchmarkRender(repetitions);
    return 0;
}
