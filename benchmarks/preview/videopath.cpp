// The camera and video paths as the Preview window runs them, with the detection service's model
// loaded first (as after the main window has detected once): a 640 x 480, 30 fps face video
// played by Qt Multimedia, and camera-like frames offered every 33 ms. Prints the frames
// offered, shown and dropped, the frames shown per second against the 30 offered, and the time
// from the first decoded frame to the first masked one.

#include "benchmarks/support/benchtiming.h"
#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "face_detection_module/facialpointsdetector.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/livepreview.h"
#include "preview/maskrenderer.h"
#include "tests/support/replayframesource.h"
#include "tests/support/testclips.h"
#include "ui/videosource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

struct PathFigures {
    int offered = 0;
    int shown = 0;
    int masked = 0;
    double seconds = 0;
    double firstMaskedMs = -1; // from the first frame offered
    double cpuSeconds = 0;     // the process's processor time over the run
    int searched = 0;          // frames the face detector ran on
};

double processorSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

PathFigures runPath(ui::FrameSource& source, core::FacialPointsDetector& detector,
                    const preview::MaskRenderer& mask, double seconds)
{
    PathFigures figures;
    ui::LivePreview live(6, [&detector] { return detector.makeSiblingModule(); });
    live.setRenderer(mask);
    live.prepareModel();
    bench::runEventsUntil([&] { return live.isModelReady(); }, 60000);
    QElapsedTimer clock;
    QObject::connect(&source, &ui::FrameSource::frameReady, &live, [&](const QImage& frame) {
        if (figures.offered++ == 0) {
            clock.start();
        }
        live.takeFrame(frame);
    });
    QObject::connect(&live, &ui::LivePreview::frameRendered, &live, [&](const QImage&, int faces) {
        ++figures.shown;
        if (faces > 0 && figures.masked++ == 0) {
            figures.firstMaskedMs = clock.nsecsElapsed() / 1e6;
        }
    });
    source.start();
    bench::runEventsUntil([&] { return figures.offered > 0; }, 30000);
    const double cpuBefore = processorSeconds();
    bench::runEventsUntil([] { return false; }, int(seconds * 1000));
    figures.cpuSeconds = processorSeconds() - cpuBefore;
    figures.seconds = clock.nsecsElapsed() / 1e9;
    figures.searched = live.detectedFrames();
    source.stop();
    return figures;
}

// Runs the path without a mask for bareSeconds, then sets mask: the time from then to the first
// masked frame shown, in ms.
double maskSetLate(ui::FrameSource& source, core::FacialPointsDetector& detector, const preview::MaskRenderer& mask,
                   double bareSeconds)
{
    ui::LivePreview live(6, [&detector] { return detector.makeSiblingModule(); });
    live.prepareModel();
    bench::runEventsUntil([&] { return live.isModelReady(); }, 60000);
    QObject::connect(&source, &ui::FrameSource::frameReady, &live, &ui::LivePreview::takeFrame);
    QElapsedTimer sinceMask;
    double firstMaskedMs = -1;
    QObject::connect(&live, &ui::LivePreview::frameRendered, &live, [&](const QImage&, int faces) {
        if (faces > 0 && sinceMask.isValid() && firstMaskedMs < 0) {
            firstMaskedMs = sinceMask.nsecsElapsed() / 1e6;
        }
    });
    source.start();
    bench::runEventsUntil([] { return false; }, int(bareSeconds * 1000));
    live.setRenderer(mask);
    sinceMask.start();
    bench::runEventsUntil([&] { return firstMaskedMs >= 0; }, 30000);
    source.stop();
    return firstMaskedMs;
}

void print(const char* name, const PathFigures& f)
{
    std::printf("%-34s %5d offered %5d shown %5d dropped  %5.1f shown/s of %5.1f offered/s;  "
                "first masked frame %6.0f ms after the first frame\n",
                name, f.offered, f.shown, f.offered - f.shown, f.shown / f.seconds, f.offered / f.seconds,
                f.firstMaskedMs);
}

void printLoad(const char* name, const PathFigures& f, double reference)
{
    std::printf("%-34s %5.1f shown/s, faces searched on %4d frames, %5.1f %% of a core (ratio %.2f)\n", name,
                f.shown / f.seconds, f.searched, 100 * f.cpuSeconds / f.seconds, f.cpuSeconds / reference);
}

} // namespace

void benchmarkVideoPath()
{
    const QImage photo = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    const QImage maskPhoto = core::readImageFile(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
    if (photo.isNull() || maskPhoto.isNull() || !testclips::haveFfmpeg()) {
        std::printf("video path: test photos or ffmpeg missing; skipped\n");
        return;
    }
    core::FacialPointsDetector detector;
    auto watcher = detector.detect(maskPhoto);
    watcher->waitForFinished();
    if (detector.state() != core::FacialPointsDetector::Initialized) {
        std::printf("video path: shape_predictor.dat missing; skipped\n");
        return;
    }
    preview::MaskRenderer mask;
    mask.setPicture(maskPhoto);
    mask.setPoints(watcher->result().points);

    // The face swaying 40 px either side of the middle, a full sway every 2 pi slowness frames.
    const QImage scaled = photo.scaledToHeight(480, Qt::SmoothTransformation);
    const auto swaying = [&scaled](int count, double slowness) {
        QVector<QImage> frames;
        for (int i = 0; i < count; ++i) {
            QImage frame(640, 480, QImage::Format_RGB32);
            frame.fill(qRgb(90, 90, 90));
            QPainter painter(&frame);
            painter.drawImage(QPoint((640 - scaled.width()) / 2 + int(40 * std::sin(i / slowness)), 0), scaled);
            frames.append(frame);
        }
        return frames;
    };
    const QVector<QImage> frames = swaying(240, 20.0);
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("face.mp4"));
    const QString error = testclips::encode(frames, 30, clip);
    if (!error.isEmpty()) {
        std::printf("video path: %s\n", qPrintable(error));
        return;
    }
    std::printf("\nCamera and video paths, 640x480 at 30 fps, the service's model loaded first, 8 s each:\n");
    ui::VideoFrameSource video(clip);
    print("face video (Qt Multimedia)", runPath(video, detector, mask, 8.0));
    ReplayFrameSource camera(frames.mid(0, 60), 33);
    print("camera-like frames every 33 ms", runPath(camera, detector, mask, 8.0));
    // A brisk head: up to 8 px a frame (240 px/s), where the frames the worker drops while it
    // detects leave the most change between the frames it takes.
    ReplayFrameSource briskCamera(swaying(63, 5.0), 33);
    print("the same, a brisk head (8 px/frame)", runPath(briskCamera, detector, mask, 8.0));

    // The Preview open with no mask set in the main window: the frames are shown as they come,
    // and faces are looked for only to say when there is none.
    std::printf("\nCamera-like frames every 33 ms, processor time over 8 s, against the same with a mask:\n");
    ReplayFrameSource maskedCamera(frames.mid(0, 60), 33);
    const PathFigures masked = runPath(maskedCamera, detector, mask, 8.0);
    printLoad("with a mask", masked, masked.cpuSeconds);
    ReplayFrameSource bareCamera(frames.mid(0, 60), 33);
    printLoad("no mask set", runPath(bareCamera, detector, preview::MaskRenderer(), 8.0), masked.cpuSeconds);
    for (double bare : {1.0, 1.5, 2.0}) {
        ReplayFrameSource lateCamera(frames.mid(0, 60), 33);
        std::printf("mask set after %.1f s without one: first masked frame %5.0f ms after it\n", bare,
                    maskSetLate(lateCamera, detector, mask, bare));
    }
}
