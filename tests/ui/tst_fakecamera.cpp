// The real Preview window with a camera that only pretends to be one: a device node answered by
// a preloaded shim (fakecamerashim.c) for Qt's listing, and frames from a clip made here through
// QT_GSTREAMER_CAMERABIN_VIDEOSRC. Everything after the listing is the product's code.
#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/fakeprompts.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/camerasource.h"
#include "ui/previewwindow.h"
#include "tests/support/testclips.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QCameraInfo>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// As the shim names the device; a menu would take its '&' for the mark of a key unless the entry
// doubles it (an entry's iconText() is its text as shown).
static const QString cameraName = QStringLiteral("Facemask & Test Camera");

class tst_FakeCamera : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void chosenCameraShowsMaskedFrames();
    void cameraIsTickedWhileItRuns_data();
    void cameraIsTickedWhileItRuns();
    void cameraThatFallsSilentSaysSo_data();
    void cameraThatFallsSilentSaysSo();
    void frameTakenInSlowlyDoesNotEndTheCamera();
    void cameraMenuFollowsCamerasPluggedInAndOut_data();
    void cameraMenuFollowsCamerasPluggedInAndOut();

private:
    QByteArray node;
    QTemporaryDir folder;
    QImage face;
};

void tst_FakeCamera::initTestCase()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the camera's clip (apt-get install ffmpeg)");
    }
    if (qEnvironmentVariableIsEmpty("LD_PRELOAD")) {
        QSKIP("run through ctest: the listing shim must be preloaded (LD_PRELOAD)");
    }
    node = "/dev/video-facemask-test-" + QByteArray::number(qint64(::getpid()));
    if (::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
        const QByteArray reason = "the fake camera's device node " + node + " cannot be made ("
                                  + QByteArray(std::strerror(errno)) + "): it needs root and a writable /dev";
        node.clear();
        QSKIP(reason.constData());
    }
    const QImage photo = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    face = QImage(640, 480, QImage::Format_RGB32);
    face.fill(QColor(80, 90, 100));
    {
        QPainter painter(&face);
        const QImage scaled = photo.scaledToHeight(480, Qt::SmoothTransformation);
        painter.drawImage((640 - scaled.width()) / 2, 0, scaled);
    }
    // Qt splits the variable at ',' and '=': the folder must hold neither.
    const QString clip = folder.filePath(QStringLiteral("camera.mp4"));
    QVERIFY2(!clip.contains(QLatin1Char(',')) && !clip.contains(QLatin1Char('=')), qPrintable(clip));
    const QString error = testclips::encode(QVector<QImage>(150, face), 30, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // A space in the path would end the pipeline's first element: the address is percent-encoded.
    qputenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC",
            QByteArray(QUrl::fromLocalFile(clip).toEncoded() + " ! decodebin ! videoconvert ! clocksync"));
    core::registerFacialPointVector();
}

void tst_FakeCamera::cleanupTestCase()
{
    if (!node.isEmpty()) {
        ::unlink(node.constData());
    }
}

void tst_FakeCamera::chosenCameraShowsMaskedFrames()
{
    bool listed = false;
    for (const QCameraInfo& camera : QCameraInfo::availableCameras()) {
        listed = listed || camera.description() == cameraName;
    }
    QVERIFY2(listed, "Qt Multimedia does not list the fake camera");

    auto module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
    const QImage maskPicture = core::readImageFile(testimages::testPicture("astronaut.png"));
    core::FaceMaskProject project;
    project.facialPoints()->setImage(maskPicture);
    project.facialPoints()->setPoints(core::runLandmarkPipeline(*module, maskPicture).points);
    module.reset();
    core::FacialPointsDetector detector;
    FakePrompts prompts;

    ui::PreviewWindow window(&project, &detector);
    window.show();
    auto* menu = window.findChild<QMenu*>(QStringLiteral("cameraMenu"));
    QVERIFY(menu);
    QAction* choice = nullptr;
    for (QAction* action : menu->actions()) {
        if (action->iconText() == cameraName) {
            choice = action;
        }
    }
    QVERIFY2(choice, "the Camera menu does not offer the fake camera");
    choice->trigger();
    // Masked frames arrive: the camera's size, and the face no longer the clip's.
    const QRect faceArea(260, 180, 120, 120);
    auto masked = [&] {
        const QImage shown = window.previewImage();
        if (shown.size() != face.size()) {
            return false;
        }
        const QImage a = shown.copy(faceArea).convertToFormat(QImage::Format_Grayscale8);
        const QImage b = face.copy(faceArea).convertToFormat(QImage::Format_Grayscale8);
        double sum = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 0; x < a.width(); ++x) {
                sum += std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]);
            }
        }
        return sum / (a.width() * a.height()) > 8.0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(masked(), 60000);
    const QString footer = window.findChild<QLabel*>(QStringLiteral("previewFooter"))->text();
    QVERIFY2(!footer.contains(QStringLiteral("No face")), qPrintable(footer));
    QVERIFY(prompts.records.isEmpty());
}

void tst_FakeCamera::cameraIsTickedWhileItRuns_data()
{
    QTest::addColumn<QString>("next"); // what is chosen after the camera
    QTest::newRow("face video") << QStringLiteral("video");
    QTest::newRow("face picture") << QStringLiteral("picture");
    QTest::newRow("Stop Camera") << QStringLiteral("stop");
}

// The Camera menu ticks the camera that runs, and Stop Camera is there to stop it; a face video
// chosen after the camera left it ticked, with Stop Camera greyed out.
void tst_FakeCamera::cameraIsTickedWhileItRuns()
{
    QFETCH(QString, next);
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    FakePrompts prompts;
    ui::PreviewWindow window(&project, &detector);
    window.show();
    QAction* choice = nullptr;
    QAction* stop = nullptr;
    for (QAction* action : window.findChild<QMenu*>(QStringLiteral("cameraMenu"))->actions()) {
        if (action->iconText() == cameraName) {
            choice = action;
        } else if (action->text() == QLatin1String("Stop Camera")) {
            stop = action;
        }
    }
    QVERIFY(choice && stop);
    choice->trigger();
    QVERIFY(choice->isChecked());
    QVERIFY(stop->isEnabled());
    if (next == QLatin1String("video")) {
        const QString clip = folder.filePath(QStringLiteral("chosen-after.mp4"));
        const QString error = testclips::encode(QVector<QImage>(10, face), 10, clip);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(window.openFaceVideo(clip));
    } else if (next == QLatin1String("picture")) {
        window.setFacePicture(face);
    } else {
        stop->trigger();
    }
    QVERIFY(!choice->isChecked());
    QVERIFY(!stop->isEnabled());
    QVERIFY(prompts.records.isEmpty());
}

void tst_FakeCamera::cameraThatFallsSilentSaysSo_data()
{
    QTest::addColumn<QString>("content");
    // A clip of a second with no loop: its end is the end of stream of a camera unplugged.
    QTest::newRow("stream ends") << QStringLiteral("short.mp4");
    // Not a video: the camera's pipeline stops at once, with no error the camera reports.
    QTest::newRow("pipeline fails") << QStringLiteral("notes.mp4");
}

// A camera whose pictures stop, with no error from Qt Multimedia, is reported as gone: the
// footer does not keep saying "Waiting for the camera..." or show a frozen picture as live.
void tst_FakeCamera::cameraThatFallsSilentSaysSo()
{
    QFETCH(QString, content);
    const QString clip = folder.filePath(content);
    if (content == QLatin1String("short.mp4")) {
        const QString error = testclips::encode(QVector<QImage>(30, face), 30, clip);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    } else {
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("no video") > 0);
    }
    const QByteArray previous = qgetenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC");
    // A space in the path would end the pipeline's first element: the address is percent-encoded.
    qputenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC",
            QByteArray(QUrl::fromLocalFile(clip).toEncoded() + " ! decodebin ! videoconvert ! clocksync"));
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    FakePrompts prompts;
    ui::PreviewWindow window(&project, &detector);
    window.show();
    QAction* choice = nullptr;
    for (QAction* action : window.findChild<QMenu*>(QStringLiteral("cameraMenu"))->actions()) {
        if (action->iconText() == cameraName) {
            choice = action;
        }
    }
    QVERIFY(choice);
    choice->trigger();
    auto* footer = window.findChild<QLabel*>(QStringLiteral("previewFooter"));
    QTRY_VERIFY2_WITH_TIMEOUT(footer->text().contains(QStringLiteral("The camera cannot be used")),
                              qPrintable(footer->text()), 40000);
    qputenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC", previous);
    QVERIFY(prompts.records.isEmpty());
}

// Qt's camera pipeline stops for good, without an error it reports, when a frame is taken in
// later than 0.3 s (a busy machine, a window held up). A camera that had been running is started
// again instead of being given up after a hiccup of the machine's.
void tst_FakeCamera::frameTakenInSlowlyDoesNotEndTheCamera()
{
    const QString clip = folder.filePath(QStringLiteral("running.mp4"));
    const QString error = testclips::encode(QVector<QImage>(240, face), 30, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QByteArray previous = qgetenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC");
    qputenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC",
            QStringLiteral("file://%1 ! decodebin ! videoconvert ! clocksync").arg(clip).toLocal8Bit());
    QCameraInfo fake;
    for (const QCameraInfo& camera : QCameraInfo::availableCameras()) {
        if (camera.description() == cameraName) {
            fake = camera;
        }
    }
    QVERIFY(!fake.isNull());
    ui::CameraFrameSource camera(fake);
    QSignalSpy failed(&camera, &ui::FrameSource::failed);
    int frames = 0;
    connect(&camera, &ui::FrameSource::frameReady, this, [&frames] {
        if (++frames == 180) {
            QThread::msleep(450);
        }
    });
    QVERIFY(camera.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames >= 250 || !failed.isEmpty(), 60000);
    qputenv("QT_GSTREAMER_CAMERABIN_VIDEOSRC", previous);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    camera.stop();
}

void tst_FakeCamera::cameraMenuFollowsCamerasPluggedInAndOut_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("plugged in after the window was made") << QStringLiteral("plug in");
    QTest::newRow("unplugged") << QStringLiteral("unplug");
    QTest::newRow("unplugged while it runs") << QStringLiteral("unplug running");
}

// The window is made once and kept while closed: the Camera menu lists the cameras there are when
// it opens, not those there were when the window was made.
void tst_FakeCamera::cameraMenuFollowsCamerasPluggedInAndOut()
{
    QFETCH(QString, change);
    // The device node is this test's camera: gone, it is unplugged. Back for the tests after.
    struct Replug {
        const QByteArray& node;
        ~Replug() { ::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)); }
    } replug{node};
    if (change == QLatin1String("plug in")) {
        QCOMPARE(::unlink(node.constData()), 0);
    }
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    FakePrompts prompts;
    ui::PreviewWindow window(&project, &detector);
    window.show();
    auto* menu = window.findChild<QMenu*>(QStringLiteral("cameraMenu"));
    QVERIFY(menu);
    const auto entry = [menu](const QString& text) -> QAction* {
        for (QAction* action : menu->actions()) {
            if (action->iconText() == text) {
                return action;
            }
        }
        return nullptr;
    };
    // Qt Multimedia keeps the list it read for half a second: the menu is opened until it shows
    // what is expected.
    const auto opensWith = [&](const QString& text, bool listed) {
        menu->popup(window.mapToGlobal(QPoint(0, 0)));
        menu->hide();
        return (entry(text) != nullptr) == listed;
    };
    if (change == QLatin1String("plug in")) {
        QTRY_VERIFY(opensWith(QStringLiteral("No camera found"), true));
        QVERIFY(!entry(cameraName));
        QCOMPARE(::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)), 0);
        QTRY_VERIFY2(opensWith(cameraName, true), "the camera plugged in is not offered");
        QAction* camera = entry(cameraName);
        QVERIFY(!entry(QStringLiteral("No camera found")));
        camera->trigger();
        QVERIFY(camera->isChecked());
        QVERIFY(entry(QStringLiteral("Stop Camera")) && entry(QStringLiteral("Stop Camera"))->isEnabled());
    } else {
        QTRY_VERIFY(opensWith(cameraName, true));
        QAction* camera = entry(cameraName);
        const bool running = change == QLatin1String("unplug running");
        if (running) {
            camera->trigger();
            QVERIFY(camera->isChecked());
        }
        QCOMPARE(::unlink(node.constData()), 0);
        QTRY_VERIFY2(opensWith(cameraName, false), "the camera unplugged is still offered");
        QVERIFY(entry(QStringLiteral("No camera found")));
        QAction* stop = entry(QStringLiteral("Stop Camera"));
        // The camera that runs can still be stopped; with none running there is nothing to stop.
        QCOMPARE(stop != nullptr, running);
        if (running) {
            QVERIFY(stop->isEnabled());
            // Plugged in again, it is the camera that runs, ticked.
            QCOMPARE(::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)), 0);
            QTRY_VERIFY(opensWith(cameraName, true));
            QVERIFY(entry(cameraName)->isChecked());
            stop->trigger();
            QVERIFY(!entry(cameraName)->isChecked());
            QVERIFY(!stop->isEnabled());
            // Unplugged once more with none running: nothing to stop.
            QCOMPARE(::unlink(node.constData()), 0);
            QTRY_VERIFY(opensWith(cameraName, false));
            QVERIFY(!entry(QStringLiteral("Stop Camera")));
        }
    }
    QVERIFY(prompts.records.isEmpty());
}

QTEST_MAIN(tst_FakeCamera)
#include "tst_fakecamera.moc"
