// A point dragged in the main window while the Preview window shows the mask on a face photo:
// 120 drag steps, one every 16 ms (a mouse at 60 Hz), each a change of the project's point model
// followed by the event loop until the step's time is up. For each step the longest turn of the
// event loop is what the next mouse event waits for; printed as the 90th percentile and the worst
// over the drag, with the time the whole drag took (ideally 120 x 16 ms) and its ratio to the
// same drag with no Preview window (the reference, measured in the same run); the Preview shows
// the test face as it is (0.45 MP) and scaled to 12 MP. Last, the time from the last step to the
// Preview's last change of picture. Run in a folder holding "shape_predictor.dat".

#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/imagefiles.h"
#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/facialpointsdetector.h"
#include "face_detection_module/landmarkpipeline.h"
#include "benchmarks/support/benchtiming.h"
#include "ui/previewcanvas.h"
#include "ui/previewwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int dragSteps = 120;
constexpr double stepMs = 16.0;

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

struct DragFigures {
    double dragMs = 0;
    double slowStallMs = 0; // the 90th percentile
    double worstStallMs = 0;
    double settledMs = -1; // from the last step to the Preview showing its mask; -1: no Preview
};

// Drags point 30 of the project down and back, step by step; window, when given, is the Preview.
DragFigures drag(core::FaceMaskProject& project, const core::FacialPointVector& start,
                 ui::PreviewWindow* window)
{
    core::FacialPoints* model = project.facialPoints();
    model->setPoints(start);
    if (window) {
        const ui::PreviewCanvas* canvas = window->findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
        const qint64 shown = canvas->picture().cacheKey();
        waitFor([&] { return canvas->picture().cacheKey() != shown; }, 10000);
    }
    waitFor([] { return false; }, 200); // whatever the reset started is over
    std::vector<double> stalls;
    QElapsedTimer whole;
    whole.start();
    QElapsedTimer clock;
    for (int step = 0; step < dragSteps; ++step) {
        clock.start();
        double longest = 0;
        const double along = std::sin(step * M_PI / dragSteps) * 0.05;
        const qint64 before = clock.nsecsElapsed();
        model->setPoint(start[30] + QPointF(0.0, along + 0.001), 30);
        longest = (clock.nsecsElapsed() - before) / 1e6;
        do {
            const qint64 turnStart = clock.nsecsElapsed();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            longest = std::max(longest, (clock.nsecsElapsed() - turnStart) / 1e6);
        } while (clock.nsecsElapsed() / 1e6 < stepMs);
        stalls.push_back(longest);
    }
    DragFigures figures;
    figures.dragMs = whole.nsecsElapsed() / 1e6;
    std::sort(stalls.begin(), stalls.end());
    figures.slowStallMs = stalls[stalls.size() * 9 / 10];
    figures.worstStallMs = *std::max_element(stalls.begin(), stalls.end());
    if (window) {
        // Settled when the window draws the same picture as one asked for anew.
        const ui::PreviewCanvas* canvas = window->findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
        QElapsedTimer settle;
        settle.start();
        const qint64 atStop = canvas->picture().cacheKey();
        qint64 last = atStop;
        qint64 lastChangeNs = 0;
        // The last change of the canvas within a second of the stop.
        while (settle.elapsed() < 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (canvas->picture().cacheKey() != last) {
                last = canvas->picture().cacheKey();
                lastChangeNs = settle.nsecsElapsed();
            }
        }
        figures.settledMs = lastChangeNs / 1e6;
    }
    return figures;
}

} // namespace

void benchmarkEditWhilePreviewing()
{
    const QImage face = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    const QImage maskPhoto = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
    auto module = core::FaceDetectionModule::load();
    if (face.isNull() || maskPhoto.isNull() || !module) {
        std::printf("edit while previewing: test photos or shape_predictor.dat missing; skipped\n");
        return;
    }
    const core::FacialPointVector maskPoints = core::runLandmarkPipeline(*module, maskPhoto).points;
    core::FaceMaskProject project;
    project.facialPoints()->setImage(maskPhoto);
    project.facialPoints()->setPoints(maskPoints);
    core::FacialPointsDetector detector;

    std::printf("\nA point dragged in the main window, %d steps every %.0f ms; longest event-loop turn per step:\n",
                dragSteps, stepMs);
    std::printf("%-22s %10s %10s %10s %7s %10s\n", "Preview", "90%", "worst", "drag", "ratio", "settled");
    const DragFigures reference = drag(project, maskPoints, nullptr);
    std::printf("%-22s %7.2f ms %7.2f ms %7.0f ms %6.2fx %10s\n", "none (reference)", reference.slowStallMs,
                reference.worstStallMs, reference.dragMs, 1.0, "-");
    const double scale = std::sqrt(12e6 / (double(face.width()) * face.height()));
    for (const QImage& photo : {face, face.scaled(face.size() * scale, Qt::KeepAspectRatio, Qt::SmoothTransformation)}) {
        ui::PreviewWindow window(&project, &detector);
        window.show();
        window.setFacePicture(photo);
        const QLabel* footer = window.findChild<QLabel*>(QStringLiteral("previewFooter"));
        if (!waitFor([&] { return !footer->text().contains(QStringLiteral("Looking")); }, 60000)) {
            std::printf("no face found in the preview photo in time; skipped\n");
            return;
        }
        const DragFigures figures = drag(project, maskPoints, &window);
        const QString name = QStringLiteral("%1x%2 (%3 MP)").arg(photo.width()).arg(photo.height())
                                 .arg(photo.width() * double(photo.height()) / 1e6, 0, 'f', 1);
        std::printf("%-22s %7.2f ms %7.2f ms %7.0f ms %6.2fx %7.0f ms\n", qPrintable(name), figures.slowStallMs,
                    figures.worstStallMs, figures.dragMs, figures.dragMs / reference.dragMs, figures.settledMs);
    }
}
