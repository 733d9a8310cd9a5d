#include "core/facemaskproject.h"
#include "face_detection_module/facedetectionmodule.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/livepreview.h"
#include "preview/maskrenderer.h"
#include "tests/support/replayframesource.h"
#include "tests/support/testimages.h"

#include <QPainter>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// A 640 x 480 frame with the photo's face, moved by (dx, dy) pixels as a head moves in a video.
QImage cameraFrame(const QImage& photo, int dx, int dy)
{
    QImage frame(640, 480, QImage::Format_RGB32);
    frame.fill(qRgb(90, 90, 90));
    QPainter painter(&frame);
    const QImage scaled = photo.scaledToHeight(480, Qt::SmoothTransformation);
    painter.drawImage(QPoint((640 - scaled.width()) / 2 + dx, dy), scaled);
    return frame;
}

double meanAbsoluteDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            sum += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y)));
        }
    }
    return sum / (double(a.width()) * a.height());
}

} // namespace

// Passes a LivePreview's signals on through the test thread's event loop. The preview emits them
// on its worker thread, and a QSignalSpy on the preview itself would append to its list there,
// while the test reads the list on its own thread.
class TestThreadRelay : public QObject
{
    Q_OBJECT
public:
    explicit TestThreadRelay(ui::LivePreview* live)
    {
        connect(live, &ui::LivePreview::frameRendered, this, &TestThreadRelay::frameRendered,
                Qt::QueuedConnection);
        connect(live, &ui::LivePreview::modelFailed, this, &TestThreadRelay::modelFailed,
                Qt::QueuedConnection);
    }

signals:
    void frameRendered(const QImage& preview, int faceCount);
    void modelFailed();
};

class tst_LivePreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replayedFramesCarryTheMask_data();
    void replayedFramesCarryTheMask();
    void trackedFramesMatchDetectedOnes();
    void frameSizeChangeFindsTheFacesAnew();
    void lateFramesAreDroppedNotQueued();
    void missingModelShowsFramesUnmasked();
    void destroyedWhileWorking();
    void bothFacesOfTwoAreMasked();
    void stillThatComesWhileBusyIsShownNext();
    void restartAppliesToTheFramesTakenAfterIt();
    void withoutAMaskFacesAreCountedSeldom_data();
    void withoutAMaskFacesAreCountedSeldom();

private:
    preview::MaskRenderer mask;
    QVector<QImage> frames;
};

void tst_LivePreview::initTestCase()
{
    core::registerFacialPointVector();
    auto module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
    const QImage maskPhoto = core::readImageFile(testimages::testPicture("astronaut.png"));
    const core::DetectionResult found = core::runLandmarkPipeline(*module, maskPhoto);
    QCOMPARE(int(found.points.size()), 75);
    mask.setPicture(maskPhoto);
    mask.setPoints(found.points);
    mask.setEffectType(core::FaceOnly);

    const QImage face = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    for (int i = 0; i < 8; ++i) {
        frames.append(cameraFrame(face, 3 * i - 12, i % 3 - 1));
    }
}

void tst_LivePreview::replayedFramesCarryTheMask_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("detect-every-frame") << 1;
    QTest::newRow("detect-every-sixth-frame") << 6;
}

void tst_LivePreview::replayedFramesCarryTheMask()
{
    QFETCH(int, interval);
    ui::LivePreview live(interval);
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    ReplayFrameSource source(frames, 15);
    connect(&source, &ui::FrameSource::frameReady, &live, &ui::LivePreview::takeFrame);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    QVERIFY(rendered.isValid());
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(rendered.count() >= 12, 60000);
    source.stop();

    for (const QList<QVariant>& arguments : rendered) {
        const QImage preview = arguments.at(0).value<QImage>();
        QCOMPARE(preview.size(), QSize(640, 480));
        QVERIFY(arguments.at(1).toBool());
    }
    // The mask changes the face: no preview equals an offered frame.
    const QImage last = rendered.last().at(0).value<QImage>();
    double nearest = 1e9;
    for (const QImage& frame : frames) {
        nearest = std::min(nearest, meanAbsoluteDifference(last, frame.convertToFormat(QImage::Format_RGB32)));
    }
    QVERIFY2(nearest > 1.0, qPrintable(QString::number(nearest)));
    // The detector ran on the first frame and then once per interval, never more.
    const int renderedFrames = live.renderedFrames();
    QVERIFY(renderedFrames >= 12);
    QVERIFY2(live.detectedFrames() <= (renderedFrames + interval - 1) / interval + 1,
             qPrintable(QStringLiteral("%1 detections in %2 frames").arg(live.detectedFrames()).arg(renderedFrames)));
    QVERIFY(live.detectedFrames() >= renderedFrames / interval);
}

void tst_LivePreview::trackedFramesMatchDetectedOnes()
{
    // A still head: landmarks predicted from the previous frame's box land where a fresh
    // detection puts them, so the previews agree.
    QVector<QImage> still{frames[2]};
    QImage detected;
    QImage tracked;
    for (int interval : {1, 50}) {
        ui::LivePreview live(interval);
        TestThreadRelay relay(&live);
        live.setRenderer(mask);
        QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
        for (int i = 0; i < 4; ++i) {
            live.takeFrame(still[0]);
            QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), i + 1, 30000);
        }
        (interval == 1 ? detected : tracked) = rendered.last().at(0).value<QImage>();
        if (interval == 50) {
            QCOMPARE(live.detectedFrames(), 1);
        }
    }
    const double difference = meanAbsoluteDifference(detected, tracked);
    QVERIFY2(difference < 1.0, qPrintable(QString::number(difference)));
}

void tst_LivePreview::frameSizeChangeFindsTheFacesAnew()
{
    // A video whose frames grow midway: the boxes followed on the small frames are in their
    // pixels, so the first large frame is detected anew and masked as a fresh start masks it.
    const QImage small = frames[2].scaled(320, 240, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage large = frames[2];
    QImage fresh;
    {
        ui::LivePreview live(50);
        live.setSteady(false);
        TestThreadRelay relay(&live);
        live.setRenderer(mask);
        QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
        live.takeFrame(large);
        QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 1, 30000);
        QCOMPARE(rendered.last().at(1).toInt(), 1);
        fresh = rendered.last().at(0).value<QImage>();
    }
    ui::LivePreview live(50);
    live.setSteady(false);
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    for (int i = 0; i < 3; ++i) {
        live.takeFrame(i < 2 ? small : large);
        QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), i + 1, 30000);
        QCOMPARE(rendered.last().at(1).toInt(), 1);
    }
    QCOMPARE(live.detectedFrames(), 2);
    const QImage grown = rendered.last().at(0).value<QImage>();
    QCOMPARE(grown.size(), large.size());
    const double difference = meanAbsoluteDifference(fresh, grown);
    QVERIFY2(difference < 1.0, qPrintable(QString::number(difference)));
}

void tst_LivePreview::lateFramesAreDroppedNotQueued()
{
    ui::LivePreview live(6);
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    // Frames offered back to back while the first one is in work.
    for (int i = 0; i < 20; ++i) {
        live.takeFrame(frames[i % frames.size()]);
    }
    QVERIFY(live.droppedFrames() >= 19 - 1);
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 20 - live.droppedFrames(), 30000);
    // Nothing was kept for later.
    QTest::qWait(300);
    QCOMPARE(rendered.count(), 20 - live.droppedFrames());
    QCOMPARE(live.renderedFrames(), rendered.count());
}

void tst_LivePreview::missingModelShowsFramesUnmasked()
{
    ui::LivePreview live(6, "no-such-model.dat");
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy failed(&relay, &TestThreadRelay::modelFailed);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    live.takeFrame(frames[0]);
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 1, 30000);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(rendered.first().at(1).toBool(), false);
    QCOMPARE(rendered.first().at(0).value<QImage>().convertToFormat(QImage::Format_RGB32),
             frames[0].convertToFormat(QImage::Format_RGB32));
    live.takeFrame(frames[1]);
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 2, 30000);
    QCOMPARE(failed.count(), 1);
}

void tst_LivePreview::destroyedWhileWorking()
{
    QSignalSpy* spy = nullptr;
    // Outlives the preview, so that a signal queued before the preview went still arrives.
    std::unique_ptr<TestThreadRelay> relay;
    {
        ui::LivePreview live(6);
        relay = std::make_unique<TestThreadRelay>(&live);
        live.setRenderer(mask);
        spy = new QSignalSpy(relay.get(), &TestThreadRelay::frameRendered);
        live.takeFrame(frames[0]);
    }
    // The frame in work when the pipeline went is not delivered afterwards.
    QCoreApplication::processEvents();
    QCOMPARE(spy->count(), 0);
    delete spy;
}

void tst_LivePreview::bothFacesOfTwoAreMasked()
{
    const QImage two = core::readImageFile(testimages::testPicture("2008_001009.jpg"));
    ui::LivePreview live(6);
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    for (int i = 0; i < 8; ++i) {
        live.takeStill(cameraFrame(two, 2 * i, 0));
        QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), i + 1, 30000);
        QCOMPARE(rendered.last().at(1).toInt(), 2);
    }
    QCOMPARE(live.droppedFrames(), 0);
}

// A paused video's frame must be shown even when the worker is busy with the one before.
void tst_LivePreview::stillThatComesWhileBusyIsShownNext()
{
    ui::LivePreview live(6);
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    live.takeFrame(frames[0]);
    live.takeStill(frames[1]); // replaced by the next still: dropped
    QImage last = frames[5];
    last.setPixel(0, 0, qRgb(250, 10, 10)); // a mark that the mask, far from the corner, keeps
    live.takeStill(last);
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 2, 30000);
    QCOMPARE(live.droppedFrames(), 1);
    QCOMPARE(rendered.last().at(0).value<QImage>().pixel(0, 0), qRgb(250, 10, 10));
    QTest::qWait(200);
    QCOMPARE(rendered.count(), 2);
}

// A seek while the worker has yet to reach the frame before it (here: waiting for its model):
// the frame taken after the seek has its faces found anew, not followed from the earlier frame.
void tst_LivePreview::restartAppliesToTheFramesTakenAfterIt()
{
    QSemaphore modelGate;
    ui::LivePreview live(6, [&modelGate] {
        modelGate.acquire();
        return core::FaceDetectionModule::load();
    });
    TestThreadRelay relay(&live);
    live.setRenderer(mask);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    live.takeStill(frames[0]);
    live.restartTracking();
    live.takeStill(frames[7]);
    modelGate.release();
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 2, 30000);
    QCOMPARE(live.droppedFrames(), 0);
    QCOMPARE(live.detectedFrames(), 2);
    // Without a restart between them, the next still is followed.
    live.takeStill(frames[6]);
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count(), 3, 30000);
    QCOMPARE(live.detectedFrames(), 2);
}

void tst_LivePreview::withoutAMaskFacesAreCountedSeldom_data()
{
    QTest::addColumn<int>("bareFrames");    // taken before anything else happens
    QTest::addColumn<QString>("then");      // "nothing", "restart", "mask" or "mask and redraw"
    QTest::addColumn<int>("searchedBefore"); // frames searched of the bare ones
    QTest::newRow("sixty frames: on the first and the thirty-first") << 60 << "nothing" << 2;
    QTest::newRow("a restart: on the next frame") << 10 << "restart" << 1;
    QTest::newRow("a mask set: on the next frame, with its points") << 45 << "mask" << 2;
    QTest::newRow("a mask set on a paused frame: that frame again, with its points") << 12 << "mask and redraw" << 1;
}

// With no mask to draw, the faces are looked for only to say when there is none: on every
// thirtieth frame (with a detection interval of 6) rather than every sixth with their points on
// every frame. A restart, or a mask set, looks at once.
void tst_LivePreview::withoutAMaskFacesAreCountedSeldom()
{
    QFETCH(int, bareFrames);
    QFETCH(QString, then);
    QFETCH(int, searchedBefore);
    ui::LivePreview live(6);
    TestThreadRelay relay(&live);
    QSignalSpy rendered(&relay, &TestThreadRelay::frameRendered);
    // Back and forth, 3 px a frame: no jump that the tracker would search anew for.
    const auto frameAt = [this](int i) { return frames[std::abs((i + 7) % 14 - 7)]; };
    int taken = 0;
    const auto take = [&](const QImage& frame) {
        live.takeStill(frame);
        ++taken;
        return QTest::qWaitFor([&] { return rendered.count() == taken; }, 30000);
    };
    for (int i = 0; i < bareFrames; ++i) {
        QVERIFY(take(frameAt(i)));
        QCOMPARE(rendered.last().at(1).toInt(), 1); // the face counted on every frame all the same
    }
    QCOMPARE(live.detectedFrames(), searchedBefore);
    const QImage next = frameAt(bareFrames);
    if (then == QLatin1String("nothing")) {
        return;
    }
    if (then == QLatin1String("restart")) {
        live.restartTracking();
        QVERIFY(take(next));
        QCOMPARE(live.detectedFrames(), searchedBefore + 1);
        return;
    }
    live.setRenderer(mask);
    QImage shown;
    QImage given;
    if (then == QLatin1String("mask")) {
        given = next;
        QVERIFY(take(given));
    } else {
        given = frameAt(bareFrames - 1);
        live.redrawLast();
        QVERIFY(QTest::qWaitFor([&] { return rendered.count() == taken + 1; }, 30000));
    }
    QCOMPARE(live.detectedFrames(), searchedBefore + 1);
    QCOMPARE(rendered.last().at(1).toInt(), 1);
    shown = rendered.last().at(0).value<QImage>().convertToFormat(QImage::Format_RGB32);
    QVERIFY2(meanAbsoluteDifference(shown, given.convertToFormat(QImage::Format_RGB32)) > 1.0, "the mask is drawn");
}

QTEST_MAIN(tst_LivePreview)
#include "tst_livepreview.moc"
