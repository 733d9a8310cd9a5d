// Times one full repaint of a 1920 x 1080 view that shows a 4000 x 3000 picture with 75 point
// markers, painted through the facial points controller, and compares it with a bare
// QPainter::drawPixmap of the same picture into the same target in the same run.
//
// Columns: the first paint (which converts the picture and renders the markers), a repaint of
// the same picture without points, the full repaint with 75 markers, the bare draw, and the
// ratio of the two medians; "paired" is the median of the ratios of back-to-back runs, which
// load from other processes disturbs less. Usage: bench_paint [repetitions]   (default 15; medians are printed)

#include "facialpoints.h"
#include "facialpointscontroller.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QSize viewSize(1920, 1080);
const QSize pictureSize(4000, 3000);
const int pointCount = 75;

// A picture with detail everywhere, so that no drawing path can take a shortcut.
// A translucent picture keeps an alpha channel in its pixmap; an opaque one loses it.
QImage makePicture(QImage::Format format, bool translucent)
{
    QImage picture(pictureSize, QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            line[x] = qRgba((x * 3 + y) & 0xff, (x ^ y) & 0xff, (y * 5) & 0xff,
                            translucent ? (x + y) & 0xff : 255);
        }
    }
    return picture.convertToFormat(format);
}

// Points spread over the whole view, as a face's landmarks never are: the worst case for the
// number of markers that overlap a partial repaint, and the same cost for a full one.
core::FacialPointVector makePoints()
{
    core::FacialPointVector points;
    for (int i = 0; i < pointCount; ++i) {
        points.emplace_back(0.05 + 0.9 * (i % 15) / 14.0, 0.1 + 0.8 * (i / 15) / 4.0);
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

const char* formatName(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
        return "RGB32";
    case QImage::Format_ARGB32:
        return "ARGB32";
    case QImage::Format_ARGB32_Premultiplied:
        return "ARGB32_Premultiplied";
    default:
        return "other";
    }
}

struct Picture
{
    const char* name;
    QImage::Format format;
    bool translucent;
};

struct Row
{
    double firstPaintMs;
    double withoutMarkersMs;
    double controllerMs;
    double bareMs;
    double pairedRatio;
    QImage::Format cacheFormat;
};

Row measure(const Picture& picture, QImage::Format targetFormat, int repetitions)
{
    core::FacialPoints model;
    model.setImage(makePicture(picture.format, picture.translucent));
    model.setPoints(makePoints());
    tools::FacialPointsController controller;
    controller.setFacialPoints(&model);

    QImage target(viewSize, targetFormat);
    target.fill(Qt::black);
    const QRect exposed(QPoint(0, 0), viewSize);

    // The first paint makes the picture cache and the markers: timed once, apart.
    const double firstPaintMs =
        millisecondsFor([&] { controller.paint(&target, exposed, viewSize); });

    // Where the difference to the bare draw goes: the same repaint without points.
    core::FacialPoints pictureOnly;
    pictureOnly.setImage(model.image());
    tools::FacialPointsController pictureOnlyController;
    pictureOnlyController.setFacialPoints(&pictureOnly);
    pictureOnlyController.paint(&target, exposed, viewSize);
    auto withoutMarkers = [&] { pictureOnlyController.paint(&target, exposed, viewSize); };

    // The reference draws the same picture, converted to a pixmap the same way, with the same
    // target and source rectangles.
    const QPixmap pixmap = QPixmap::fromImage(model.image());
    const QRect source(QPoint(0, 0), pixmap.size());
    auto bare = [&] {
        QPainter painter(&target);
        painter.drawPixmap(exposed, pixmap, source);
    };
    auto throughController = [&] { controller.paint(&target, exposed, viewSize); };
    bare();

    std::vector<double> controllerTimes;
    std::vector<double> withoutMarkersTimes;
    std::vector<double> bareTimes;
    std::vector<double> pairedRatios;
    // Interleaved, so that both see the same machine load, and in alternating order, so that
    // neither always finds the caches left by the other.
    for (int i = 0; i < repetitions; ++i) {
        double controllerMs = 0.0;
        double bareMs = 0.0;
        if (i % 2 == 0) {
            controllerMs = millisecondsFor(throughController);
            bareMs = millisecondsFor(bare);
        } else {
            bareMs = millisecondsFor(bare);
            controllerMs = millisecondsFor(throughController);
        }
        controllerTimes.push_back(controllerMs);
        bareTimes.push_back(bareMs);
        pairedRatios.push_back(controllerMs / bareMs);
        withoutMarkersTimes.push_back(millisecondsFor(withoutMarkers));
    }
    return {firstPaintMs,
            median(withoutMarkersTimes),
            median(controllerTimes),
            median(bareTimes),
            median(pairedRatios),
            pixmap.toImage().format()};
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 15;

    std::printf("Full repaint of a %dx%d view, %dx%d picture, %d markers; median of %d runs\n\n",
                viewSize.width(), viewSize.height(), pictureSize.width(), pictureSize.height(),
                pointCount, repetitions);
    std::printf("%-12s %-21s %-21s %11s %11s %11s %11s %7s %9s\n", "picture", "target",
                "pixmap cache", "first paint", "no markers", "repaint", "bare draw", "ratio",
                "paired");

    // The formats pictures arrive in: JPEG (RGB32), PNG (ARGB32, RGB888, Grayscale8).
    const Picture pictures[] = {{"RGB32", QImage::Format_RGB32, false},
                                {"ARGB32", QImage::Format_ARGB32, false},
                                {"ARGB32+alpha", QImage::Format_ARGB32, true},
                                {"RGB888", QImage::Format_RGB888, false},
                                {"Grayscale8", QImage::Format_Grayscale8, false}};
    const QImage::Format targets[] = {QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB32};
    for (QImage::Format target : targets) {
        for (const Picture& picture : pictures) {
            const Row row = measure(picture, target, repetitions);
            std::printf("%-12s %-21s %-21s %8.2f ms %8.2f ms %8.2f ms %8.2f ms %6.2fx %8.2fx\n",
                        picture.name, formatName(target), formatName(row.cacheFormat),
                        row.firstPaintMs, row.withoutMarkersMs, row.controllerMs, row.bareMs,
                        row.controllerMs / row.bareMs, row.pairedRatio);
        }
    }
    return 0;
}
