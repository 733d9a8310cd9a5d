// Times one full repaint of a 1920 x 1080 view that shows a 4000 x 3000 picture with 75 point
// markers, painted through the facial points controller, and compares it with a bare
// QPainter::drawPixmap of the same picture into the same target in the same run.
//
// Columns: the first paint (which converts the picture and renders the markers), a repaint of
// the same picture without points, the full repaint with 75 markers, the bare draw, and the
// ratio of the two medians; "paired" is the median of the ratios of back-to-back runs, which
// load from other processes disturbs less.
//
// Then the zoomed view: a full repaint at 8x and 64x with 75 markers laid out like a
// face and its outline, all in view, against a bare drawPixmap of the same visible part of the picture; one zoom step
// (zoom and repaint, which scales the picture anew) against a repaint of an unchanged view
// (which copies the picture as scaled at its second paint); the repaint with the view's scroll bars and overview
// drawn over it (paired with the bare draw); and the first paint of a million points, with the
// memory it took.
// Usage: bench_paint [repetitions]   (default 15; medians are printed)

#include "benchmarks/support/benchtiming.h"
#include "core/facialpoints.h"
#include "tools/facialpointscontroller.h"
#include "ui/pictureoverview.h"
#include "ui/viewnavigation.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QFile>

#include <QElapsedTimer>
#include <QApplication>
#include <QScrollBar>
#include <QWidget>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>
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

using bench::median;
using bench::millisecondsFor;

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
    tools::Viewport controllerViewport;
    controllerViewport.setViewSize(viewSize);
    controllerViewport.showPicture(model.image().size());
    tools::FacialPointsController controller(controllerViewport);
    controller.setFacialPoints(&model);

    QImage target(viewSize, targetFormat);
    target.fill(Qt::black);
    const QRect exposed(QPoint(0, 0), viewSize);

    // The first paint makes the picture cache and the markers: timed once, apart.
    const double firstPaintMs =
        millisecondsFor([&] { controller.paint(&target, exposed); });

    // Where the difference to the bare draw goes: the same repaint without points.
    core::FacialPoints pictureOnly;
    pictureOnly.setImage(model.image());
    tools::Viewport pictureOnlyControllerViewport;
    pictureOnlyControllerViewport.setViewSize(viewSize);
    pictureOnlyControllerViewport.showPicture(pictureOnly.image().size());
    tools::FacialPointsController pictureOnlyController(pictureOnlyControllerViewport);
    pictureOnlyController.setFacialPoints(&pictureOnly);
    pictureOnlyController.paint(&target, exposed);
    auto withoutMarkers = [&] { pictureOnlyController.paint(&target, exposed); };

    // The reference draws the same picture, converted to a pixmap the same way, with the same
    // target and source rectangles.
    const QPixmap pixmap = QPixmap::fromImage(model.image());
    const QRect source(QPoint(0, 0), pixmap.size());
    auto bare = [&] {
        QPainter painter(&target);
        painter.drawPixmap(exposed, pixmap, source);
    };
    auto throughController = [&] { controller.paint(&target, exposed); };
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

// 75 points laid out like a face (jaw, brows, nose, eyes, lips, forehead) that fills most of
// the part of the picture a view zoomed by zoom about the centre shows, so that every marker
// and every outline line is drawn.
core::FacialPointVector makeFacePoints(double zoom)
{
    struct Feature
    {
        int count;
        double centreX, centreY, radiusX, radiusY, fromAngle, toAngle;
    };
    // In units of the face's half size; angles in turns, 0 pointing right, y growing downwards.
    const Feature features[] = {
        {17, 0.0, -0.1, 0.85, 0.95, 0.5, 0.0},     // jaw, left ear round the chin to the right
        {5, -0.4, -0.45, 0.25, 0.08, 0.5, 1.0},    // brows
        {5, 0.4, -0.45, 0.25, 0.08, 0.5, 1.0},
        {4, 0.0, -0.15, 0.0, 0.25, 0.75, 1.25},    // nose bridge
        {5, 0.0, 0.15, 0.15, 0.05, 0.5, 0.0},      // nose base
        {6, -0.35, -0.28, 0.14, 0.05, 0.5, 1.5},   // eyes
        {6, 0.35, -0.28, 0.14, 0.05, 0.5, 1.5},
        {12, 0.0, 0.45, 0.35, 0.13, 0.5, 1.5},     // outer lips
        {8, 0.0, 0.45, 0.22, 0.05, 0.5, 1.5},      // inner lips
        {7, 0.0, -0.6, 0.8, 0.25, 0.5, 1.0},       // forehead
    };
    core::FacialPointVector points;
    const double half = 0.4 / zoom;
    for (const Feature& f : features) {
        for (int i = 0; i < f.count; ++i) {
            const double t = f.fromAngle + (f.toAngle - f.fromAngle) * i / std::max(1, f.count - 1);
            const double angle = 2 * M_PI * t;
            points.emplace_back(0.5 + half * (f.centreX + f.radiusX * std::cos(angle)),
                                0.5 + half * (f.centreY + f.radiusY * std::sin(angle)));
        }
    }
    return points;
}

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0.0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return 0.0;
}

struct ZoomRow
{
    double repaintMs;
    double bareMs;
    double pairedRatio;
    double zoomStepMs;
    double zoomStepRatio;
    // The repaint with the view's scroll bars and overview drawn over it, as the window shows it.
    double chromeMs;
    double chromePairedRatio;
};

// The source and target rectangles the controller draws the picture with, rebuilt from the
// same view transform: the visible picture pixels, widened to whole pixels.
void visiblePart(const tools::ViewTransform& transform, QSize picture, QRect* source, QRectF* target)
{
    const QRectF visible = transform.visiblePictureRect();
    const QPointF from = transform.toPicturePixels(visible.topLeft());
    const QPointF to = transform.toPicturePixels(visible.bottomRight());
    *source = QRect(QPoint(int(std::floor(from.x())), int(std::floor(from.y()))),
                    QPoint(int(std::ceil(to.x())) - 1, int(std::ceil(to.y())) - 1))
                  .intersected(QRect(QPoint(0, 0), picture));
    const QPointF topLeft = transform.toView(
        QPointF(source->left() / double(picture.width()), source->top() / double(picture.height())));
    const QPointF bottomRight = transform.toView(QPointF((source->right() + 1) / double(picture.width()),
                                                         (source->bottom() + 1) / double(picture.height())));
    *target = QRectF(topLeft, bottomRight);
}

ZoomRow measureZoomed(double zoom, int repetitions)
{
    core::FacialPoints model;
    model.setImage(makePicture(QImage::Format_RGB32, false));
    model.setPoints(makeFacePoints(zoom));
    tools::Viewport controllerViewport;
    controllerViewport.setViewSize(viewSize);
    controllerViewport.showPicture(model.image().size());
    tools::FacialPointsController controller(controllerViewport);
    controller.setFacialPoints(&model);
    const QPointF centre(viewSize.width() / 2.0, viewSize.height() / 2.0);
    controllerViewport.zoomBy(zoom, centre);

    QImage target(viewSize, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::black);
    const QRect exposed(QPoint(0, 0), viewSize);
    controller.paint(&target, exposed);

    const QPixmap pixmap = QPixmap::fromImage(model.image());
    QRect source;
    QRectF targetRect;
    visiblePart(controllerViewport.transform(), pixmap.size(), &source, &targetRect);
    auto bare = [&] {
        QPainter painter(&target);
        painter.setClipRect(exposed);
        painter.drawPixmap(targetRect, pixmap, QRectF(source));
    };
    auto repaint = [&] { controller.paint(&target, exposed); };
    // The scroll bars and the overview, children of a view of the same size, drawn after the
    // picture as the widget's children are.
    QWidget host;
    host.resize(viewSize);
    ui::ViewNavigation navigation(&host, &controllerViewport);
    navigation.setPicture(model.image());
    QObject::connect(&controllerViewport, &tools::Viewport::changed, &navigation,
                     &ui::ViewNavigation::sync);
    navigation.sync();
    const std::vector<QWidget*> chrome = {navigation.horizontalBar(), navigation.verticalBar(),
                                          navigation.corner(), navigation.overview()};
    auto withChrome = [&] {
        controller.paint(&target, exposed);
        QPainter painter(&target);
        for (QWidget* child : chrome) {
            if (child->isVisibleTo(&host)) {
                child->render(&painter, child->pos(), QRegion(), QWidget::DrawChildren);
            }
        }
    };
    withChrome();
    // In and out by one step in turn, so that the zoom comes back to where it was measured.
    bool in = true;
    auto zoomStep = [&] {
        controllerViewport.zoomBy(in ? tools::Viewport::zoomStep : 1.0 / tools::Viewport::zoomStep,
                                  centre);
        in = !in;
        controller.paint(&target, exposed);
    };
    bare();

    std::vector<double> repaintTimes, bareTimes, paired, stepTimes, stepRatios, chromeTimes,
        chromePaired;
    for (int i = 0; i < repetitions; ++i) {
        double repaintMs = 0.0;
        double bareMs = 0.0;
        if (i % 2 == 0) {
            repaintMs = millisecondsFor(repaint);
            bareMs = millisecondsFor(bare);
        } else {
            bareMs = millisecondsFor(bare);
            repaintMs = millisecondsFor(repaint);
        }
        repaintTimes.push_back(repaintMs);
        bareTimes.push_back(bareMs);
        paired.push_back(repaintMs / bareMs);
        // The view unchanged since the last paint, as while a marker is dragged: the bars and
        // the overview have nothing new to show.
        double chromeMs = 0.0;
        double bareAgainMs = 0.0;
        if (i % 2 == 0) {
            chromeMs = millisecondsFor(withChrome);
            bareAgainMs = millisecondsFor(bare);
        } else {
            bareAgainMs = millisecondsFor(bare);
            chromeMs = millisecondsFor(withChrome);
        }
        chromeTimes.push_back(chromeMs);
        chromePaired.push_back(chromeMs / bareAgainMs);
    }
    // The zoom steps after the repaints, so that none of them changes the view between a
    // repaint and the next.
    for (int i = 0; i < repetitions; ++i) {
        // In and back out, so that every round starts at the zoom measured.
        for (int step = 0; step < 2; ++step) {
            const double stepMs = millisecondsFor(zoomStep);
            repaint();  // the second paint of a view keeps its scaled picture
            const double againMs = millisecondsFor(repaint);
            stepTimes.push_back(stepMs);
            stepRatios.push_back(stepMs / againMs);
        }
    }
    return {median(repaintTimes), median(bareTimes), median(paired), median(stepTimes),
            median(stepRatios), median(chromeTimes), median(chromePaired)};
}

void measureManyPoints()
{
    const int count = 1000000;
    core::FacialPoints model;
    model.setImage(makePicture(QImage::Format_RGB32, false));
    tools::Viewport controllerViewport;
    controllerViewport.setViewSize(viewSize);
    controllerViewport.showPicture(model.image().size());
    tools::FacialPointsController controller(controllerViewport);
    controller.setFacialPoints(&model);
    QImage target(viewSize, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::black);
    const QRect exposed(QPoint(0, 0), viewSize);
    // The picture's own cost first, so that what follows is the points' share.
    controller.paint(&target, exposed);
    const double pictureOnlyMs = millisecondsFor([&] { controller.paint(&target, exposed); });

    for (const char* layout : {"all at one place", "spread over the picture"}) {
        const bool spread = layout[0] == 's';
        core::FacialPointVector points;
        points.reserve(count);
        for (int i = 0; i < count; ++i) {
            points.emplace_back(spread ? (i % 1000) / 999.0 : 1.0, spread ? (i / 1000) / 999.0 : 0.0);
        }
        const double before = residentMegabytes();
        double firstMs = 0.0;
        {
            core::FacialPoints many;
            many.setImage(model.image());
            many.setPoints(points);
            tools::Viewport manyControllerViewport;
            manyControllerViewport.setViewSize(viewSize);
            manyControllerViewport.showPicture(many.image().size());
            tools::FacialPointsController manyController(manyControllerViewport);
            manyController.setFacialPoints(&many);
            firstMs = millisecondsFor([&] { manyController.paint(&target, exposed); });
            const double after = residentMegabytes();
            std::printf("%-26s first paint %8.1f ms (%.1fx a repaint of the picture alone), "
                        "%+7.1f MB resident\n",
                        layout, firstMs, firstMs / pictureOnlyMs, after - before);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
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

    std::printf("\nZoomed %dx%d view of the %dx%d RGB32 picture, %d markers and outline in view; "
                "median of %d runs\n\n",
                viewSize.width(), viewSize.height(), pictureSize.width(), pictureSize.height(),
                pointCount, repetitions);
    std::printf("%-6s %11s %11s %7s %9s %11s %12s %14s %9s\n", "zoom", "repaint", "bare draw",
                "ratio", "paired", "zoom step", "step/repaint", "+bars,overview", "paired");
    for (double zoom : {8.0, 64.0}) {
        const ZoomRow row = measureZoomed(zoom, repetitions);
        std::printf("%4.0fx  %8.2f ms %8.2f ms %6.2fx %8.2fx %8.2f ms %11.2fx %11.2f ms %8.2fx\n",
                    zoom, row.repaintMs, row.bareMs, row.repaintMs / row.bareMs, row.pairedRatio,
                    row.zoomStepMs, row.zoomStepRatio, row.chromeMs, row.chromePairedRatio);
    }

    std::printf("\nA million points at zoom 1 (numbers are left out above %s markers in view)\n\n",
                "4096");
    measureManyPoints();
    return 0;
}
