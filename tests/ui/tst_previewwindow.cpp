#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/fromoutside.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/injectedfault.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/pictureintake.h"
#include "ui/previewcanvas.h"
#include "ui/previewwindow.h"
#include "ui/videosource.h"
#include "ui/workspace.h"
#include "tests/support/replayframesource.h"
#include "tests/support/testclips.h"
#include "tests/support/testimages.h"
#include "tests/support/threadlimit.h"

#include <QAction>
#include <QClipboard>
#include <QCameraInfo>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QSlider>
#include <QStyleOptionSlider>
#include <QDialog>
#include <QDropEvent>
#include <QTimer>
#include <QToolButton>
#include <QMimeData>
#include <QPointer>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

double meanAbsoluteDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int j = 0; j < x.height(); ++j) {
        for (int i = 0; i < x.width(); ++i) {
            sum += std::abs(qGray(x.pixel(i, j)) - qGray(y.pixel(i, j)));
        }
    }
    return sum / (double(x.width()) * x.height());
}

// 4 KB of one byte, named as a video: no player can play it.
bool writeBrokenVideo(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, '\x42')) == 4096;
}

QString footerOf(const ui::PreviewWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("previewFooter"))->text();
}

// A camera that sends one picture and then goes away (unplugged) while that picture is worked on.
class VanishingCamera : public ui::FrameSource
{
public:
    explicit VanishingCamera(QImage frame)
        : frame(std::move(frame))
    {
    }
    bool start() override
    {
        QTimer::singleShot(50, this, [this] {
            emit frameReady(frame);
            emit failed(QStringLiteral("The camera cannot be used: it went away."));
        });
        return true;
    }
    void stop() override {}

private:
    QImage frame;
};

// A video whose frames the test hands over itself: its file is never played.
class HandFedVideo : public ui::VideoFrameSource
{
public:
    using ui::VideoFrameSource::VideoFrameSource;
    bool start() override { return true; }
    void stop() override {}
};

// A hand-fed video of the file at path, made window's frame source; the window owns it.
HandFedVideo* feedVideo(ui::PreviewWindow& window, const QString& path)
{
    auto source = std::make_unique<HandFedVideo>(path);
    HandFedVideo* video = source.get();
    window.setFrameSource(std::move(source));
    return video;
}

// The slider's handle where it is now, in the slider's pixels.
QRect sliderHandle(QSlider* slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider);
}

// The x, in the slider's pixels, of the handle's middle at value.
int sliderX(QSlider* slider, int value)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    const QRect groove = slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, slider);
    const int handle = sliderHandle(slider).width();
    return groove.x() + handle / 2
           + QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(), value, groove.width() - handle);
}

// The time the label shows first ("1:05.3 / …"), in milliseconds.
qint64 labelTime(const QLabel* time)
{
    const QString shown = time->text().section(QLatin1Char(' '), 0, 0);
    return qint64(std::llround((shown.section(QLatin1Char(':'), 0, 0).toInt() * 60
                                + shown.section(QLatin1Char(':'), 1, 1).toDouble()) * 1000));
}

} // namespace

class tst_PreviewWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void photoShowsTheMaskOnItsFace();
    void followsPointEditsLive();
    void editDoesNotWaitForTheMaskOnALargePhoto();
    void lastEditWinsOnALargePhoto_data();
    void lastEditWinsOnALargePhoto();
    void photoDrawnWhenNoThreadCanBeStarted();
    void closedWindowDrawsItsPhotoWhenShownAgain();
    void reopenedWindowShowsNoEarlierMask_data();
    void reopenedWindowShowsNoEarlierMask();
    void followsAnotherMaskPicture();
    void maskThatDrawsNothingSaysSo();
    void photoIntake_data();
    void photoIntake();
    void unreadablePhotoIsReported();
    void photoWithoutFaceSaysSo();
    void savesThePreviewAsPng();
    void saveFailureIsReported();
    void saveOnAFullDiskKeepsTheEarlierPicture();
    void saveDoesNotWaitForTheDisk();
    void cameraMenuListsCameras();
    void menuBarWorksFromTheKeyboard_data();
    void menuBarWorksFromTheKeyboard();
    void frameSourceReplacesThePhoto();
    void frameSourceThatCannotStartIsReported();
    void anotherPhotoReplacesOneWithoutItsFace_data();
    void anotherPhotoReplacesOneWithoutItsFace();
    void closingTheWindowStopsTheCamera();
    void photoComesBackWithoutTheCamerasLastFrame_data();
    void photoComesBackWithoutTheCamerasLastFrame();
    void switchingCameraDoesNotWaitForTheModel();
    void faceVideoMasksEveryFace();
    void playbackMenuNamesTheVideoKeys();
    void pausedWhileTheVideoOpensStaysPaused_data();
    void pausedWhileTheVideoOpensStaysPaused();
    void steadyToggledWhilePausedWorksTheFrameAgain();
    void pausedOnADroppedFrameShowsIt();
    void sliderHeldWhenInterruptedFollowsTheVideoAgain_data();
    void sliderHeldWhenInterruptedFollowsTheVideoAgain();
    void pausedDragShowsTheTimeAskedFor_data();
    void pausedDragShowsTheTimeAskedFor();
    void pressBesideTheHandleJumpsOnce_data();
    void pressBesideTheHandleJumpsOnce();
    void heldKeyTogglesOnce_data();
    void heldKeyTogglesOnce();
    void damagedVideoSaysSoInTheWindow();
    void videoFilePastedPlays_data();
    void videoFilePastedPlays();
    void videoNamedOtherwisePlays_data();
    void videoNamedOtherwisePlays();
    void packageDroppedOrPastedSaysWhereItOpens_data();
    void packageDroppedOrPastedSaysWhereItOpens();
    void pasteOfNothingSaysSo_data();
    void pasteOfNothingSaysSo();
    void videoCutShortSaysSoWhileItPlays();
    void photoFoundLateLeavesTheVideosFailureShown();
    void cameraFailureOutlastsTheFrameInWork();
    void stoppedSourceLeavesNoFrame_data();
    void stoppedSourceLeavesNoFrame();
    void sourceChosenWhileAPictureIsReadWins();
    void gifChosenAsAVideoIsAFacePicture();
    void pipeChosenAsAVideoDoesNotBlock();
    void videoOnAnUnansweringDiskLetsTheWindowGo_data();
    void videoOnAnUnansweringDiskLetsTheWindowGo();
    void videoWhoseDiskStopsAnsweringSaysSo();
    void videoOpenedAsItsDiskStopsAnsweringLetsTheProgramEnd();
    void pausedStepAnsweredLateTakesItsNoteBack();
    void seekBackFromPastTheCutTakesItsNoteBack();
    void videoChosenOnAnUnansweringDiskIsWaitedFor_data();
    void videoChosenOnAnUnansweringDiskIsWaitedFor();
    void videoWaitedForCanBeLeft_data();
    void videoWaitedForCanBeLeft();
    void steadyIsOnByDefaultAndRemembered();
    void steadyDoesNotWaitForTheSettingsDisk();
    void cameraPathUsesTheServicesModel();
    void photoOfTwoMasksBoth();
    void photoOfACrowdMasksTheLargest_data();
    void photoOfACrowdMasksTheLargest();
    void asksThroughTheSessionItIsGiven();

private:
    void waitForFace(const ui::PreviewWindow& window);
    // The mask of each effect type on largeFacePhoto, drawn by a window of their own.
    void drawLargeMasks();
    // Shows window with the mask on largeFacePhoto once its face is found; its canvas.
    const ui::PreviewCanvas* showLargePhoto(ui::PreviewWindow& window);

    QImage largeFacePhoto;
    QVector<QImage> largeMasks;

    core::FacialPointVector maskPoints;
    QImage maskPicture;
    QImage facePhoto;
    std::unique_ptr<core::FaceMaskProject> project;
    std::unique_ptr<core::FacialPointsDetector> detector;
    std::unique_ptr<FakePrompts> prompts;
};

void tst_PreviewWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings(QStringLiteral("facemask"), QStringLiteral("facemask")).clear();
    core::registerFacialPointVector();
    auto module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
    maskPicture = core::readImageFile(testimages::testPicture("astronaut.png"));
    maskPoints = core::runLandmarkPipeline(*module, maskPicture).points;
    QCOMPARE(int(maskPoints.size()), 75);
    facePhoto = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    // 2260 x 3200: the mask takes a while to draw on it.
    largeFacePhoto = facePhoto.scaled(facePhoto.size() * 4, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void tst_PreviewWindow::drawLargeMasks()
{
    if (!largeMasks.isEmpty()) {
        return;
    }
    ui::PreviewWindow reference(project.get(), detector.get());
    reference.setFacePicture(largeFacePhoto);
    waitForFace(reference);
    for (int type : {core::FaceOnly, core::WholeImage, core::FullFrame}) {
        project->setEffectType(type);
        const QString effect = type == core::FaceOnly ? QStringLiteral("Effect: Face only.")
                             : type == core::WholeImage ? QStringLiteral("Effect: Whole image.")
                                                        : QStringLiteral("Effect: Full frame effect.");
        QTRY_VERIFY2(footerOf(reference).startsWith(effect), qPrintable(footerOf(reference)));
        largeMasks.append(reference.previewImage());
    }
    project->setEffectType(core::FaceOnly);
    QCOMPARE(largeMasks.size(), 3);
    QVERIFY(largeMasks[0] != largeMasks[1] && largeMasks[1] != largeMasks[2] && largeMasks[0] != largeMasks[2]);
}

const ui::PreviewCanvas* tst_PreviewWindow::showLargePhoto(ui::PreviewWindow& window)
{
    window.show();
    window.setFacePicture(largeFacePhoto);
    waitForFace(window);
    return window.findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
}

void tst_PreviewWindow::init()
{
    prompts = std::make_unique<FakePrompts>();
    detector = std::make_unique<core::FacialPointsDetector>();
    project = std::make_unique<core::FaceMaskProject>();
    project->facialPoints()->setImage(maskPicture);
    project->facialPoints()->setPoints(maskPoints);
}

void tst_PreviewWindow::cleanup()
{
    project.reset();
    detector.reset();
    prompts.reset();
}

void tst_PreviewWindow::waitForFace(const ui::PreviewWindow& window)
{
    // Files and pasted bytes are read on a worker first.
    QTRY_VERIFY_WITH_TIMEOUT(!window.pictureIntake()->isReading(), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!footerOf(window).contains(QStringLiteral("Looking")), 60000);
}

void tst_PreviewWindow::photoShowsTheMaskOnItsFace()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QCOMPARE(window.previewImage().size(), facePhoto.size());
    QVERIFY(meanAbsoluteDifference(window.previewImage(), facePhoto) > 1.0);
    QVERIFY2(footerOf(window).contains(QStringLiteral("Face only")), qPrintable(footerOf(window)));
    QVERIFY(prompts->records.isEmpty());
}

void tst_PreviewWindow::followsPointEditsLive()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage before = window.previewImage();
    // A nose point dragged a long way, as the main window's view does it.
    const FacialPoint moved = maskPoints[30] + QPointF(0.0, 0.06);
    project->facialPoints()->setPoint(moved, 30);
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage() != before, 5000);
    const QImage afterMove = window.previewImage();
    // Undone: the first picture comes back exactly.
    project->facialPoints()->setPoints(maskPoints);
    QTRY_COMPARE_WITH_TIMEOUT(window.previewImage(), before, 5000);
    QVERIFY(afterMove != before);
}

// An edit in the main window does not wait for the mask to be drawn on a large photo: the footer
// follows it at once, the picture when it is drawn.
void tst_PreviewWindow::editDoesNotWaitForTheMaskOnALargePhoto()
{
    drawLargeMasks();
    ui::PreviewWindow window(project.get(), detector.get());
    const ui::PreviewCanvas* canvas = showLargePhoto(window);
    const QImage before = window.previewImage();
    QCOMPARE(before, largeMasks[core::FaceOnly]);
    project->setEffectType(core::WholeImage);
    QElapsedTimer clock;
    clock.start();
    // One turn of the event loop at a time, as a drag's mouse events come.
    while (!footerOf(window).startsWith(QStringLiteral("Effect: Whole image.")) && clock.elapsed() < 10000) {
        QCoreApplication::processEvents();
    }
    QVERIFY2(footerOf(window).startsWith(QStringLiteral("Effect: Whole image.")), qPrintable(footerOf(window)));
    QCOMPARE(canvas->picture().cacheKey(), before.cacheKey());
    QTRY_VERIFY_WITH_TIMEOUT(canvas->picture().cacheKey() != before.cacheKey(), 30000);
    QCOMPARE(canvas->picture(), largeMasks[core::WholeImage]);
}

// Two edits in quick succession on a large photo, the second while the first one's mask may still
// be drawn, then something else meanwhile: the pictures shown follow the edits' order, none comes
// back after a newer one or after another photo or camera, and the last edit's mask stays.
void tst_PreviewWindow::lastEditWinsOnALargePhoto_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("nothing") << QStringLiteral("nothing");
    QTest::newRow("the picture asked for") << QStringLiteral("asked");
    QTest::newRow("another photo") << QStringLiteral("photo");
    QTest::newRow("a camera") << QStringLiteral("camera");
}

void tst_PreviewWindow::lastEditWinsOnALargePhoto()
{
    QFETCH(QString, meanwhile);
    drawLargeMasks();
    ui::PreviewWindow window(project.get(), detector.get());
    const ui::PreviewCanvas* canvas = showLargePhoto(window);
    QCOMPARE(window.previewImage(), largeMasks[core::FaceOnly]);
    QVector<QImage> shown{canvas->picture()};
    const auto spin = [&](const std::function<bool()>& done, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < timeoutMs) {
            QCoreApplication::processEvents();
            if (canvas->picture().cacheKey() != shown.back().cacheKey()) {
                shown.append(canvas->picture());
            }
        }
    };
    QElapsedTimer drawing;
    drawing.start();
    QCOMPARE(window.previewImage(), largeMasks[core::FaceOnly]);
    const int drawMs = int(drawing.elapsed());

    project->setEffectType(core::WholeImage);
    spin([&] { return footerOf(window).startsWith(QStringLiteral("Effect: Whole image.")); }, 10000);
    project->setEffectType(core::FullFrame);
    spin([&] { return footerOf(window).startsWith(QStringLiteral("Effect: Full frame effect.")); }, 10000);
    QVERIFY2(footerOf(window).startsWith(QStringLiteral("Effect: Full frame effect.")), qPrintable(footerOf(window)));
    const int switched = shown.size();
    if (meanwhile == QLatin1String("asked")) {
        QCOMPARE(window.previewImage(), largeMasks[core::FullFrame]);
    } else if (meanwhile == QLatin1String("photo")) {
        window.setFacePicture(facePhoto);
    } else if (meanwhile == QLatin1String("camera")) {
        window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20));
    }
    // Long enough for every mask still in work to be drawn.
    spin([] { return false; }, 3 * drawMs + 1000);

    if (meanwhile == QLatin1String("photo") || meanwhile == QLatin1String("camera")) {
        for (int i = switched; i < shown.size(); ++i) {
            QVERIFY2(shown[i].size() != largeFacePhoto.size(), qPrintable(QString::number(i)));
        }
        QCOMPARE(canvas->picture().size(), facePhoto.size());
        return;
    }
    int last = core::FaceOnly;
    for (const QImage& picture : shown) {
        const int type = largeMasks.indexOf(picture);
        QVERIFY2(type >= last, qPrintable(QStringLiteral("effect %1 shown after %2").arg(type).arg(last)));
        last = type;
    }
    QCOMPARE(last, int(core::FullFrame));
    QCOMPARE(canvas->picture(), largeMasks[core::FullFrame]);
}

// No thread to be had (the process's thread limit reached) when the window opens: the mask is
// drawn on the photo all the same, at every edit, and the window can be destroyed.
void tst_PreviewWindow::photoDrawnWhenNoThreadCanBeStarted()
{
    QImage expected;
    {
        ui::PreviewWindow reference(project.get(), detector.get());
        reference.setFacePicture(facePhoto);
        waitForFace(reference);
        expected = reference.previewImage();
    }
    QVERIFY(expected != facePhoto.convertToFormat(expected.format()));
    threadlimit::fail = true;
    // Left alive when it fails: a pool whose thread never started is waited for for ever.
    auto* window = new ui::PreviewWindow(project.get(), detector.get());
    window->setFacePicture(facePhoto);
    const auto* canvas = window->findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
    const bool drawn = QTest::qWaitFor([&] { return canvas->picture() == expected; }, 10000);
    project->facialPoints()->setPoint(maskPoints[30] + QPointF(0.0, 0.05), 30);
    const bool edited = drawn && QTest::qWaitFor([&] { return canvas->picture() != expected; }, 10000);
    threadlimit::fail = false;
    QVERIFY2(drawn, "the mask was never drawn on the photo");
    QVERIFY2(edited, "the edit was never drawn");
    delete window;
}

// A closed window does not draw the mask on its photo at every edit (a drag in the main window
// would wait for it, for a large photo); shown again, or asked for its picture, it shows the mask
// as it is then.
void tst_PreviewWindow::closedWindowDrawsItsPhotoWhenShownAgain()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage before = window.previewImage();
    QVERIFY(window.close());
    auto* canvas = window.findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
    const qint64 drawn = canvas->picture().cacheKey();
    for (int step = 1; step <= 5; ++step) {
        project->facialPoints()->setPoint(maskPoints[30] + QPointF(0.0, 0.012 * step), 30);
        QTest::qWait(60);
    }
    QTest::qWait(200);
    QCOMPARE(canvas->picture().cacheKey(), drawn);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(canvas->picture().cacheKey() != drawn);
    const QImage edited = canvas->picture();
    QVERIFY(edited != before);
    // Asked while closed, the window draws it then: the points as they are, none moved since.
    QVERIFY(window.close());
    project->facialPoints()->setPoints(maskPoints);
    QTest::qWait(200);
    QCOMPARE(canvas->picture().cacheKey(), edited.cacheKey());
    QCOMPARE(window.previewImage(), before);
    // A new main picture while closed: drawn when asked for, and when shown again.
    const QImage maskPicture = project->facialPoints()->image();
    QImage inverted = maskPicture.convertToFormat(QImage::Format_RGB32);
    inverted.invertPixels();
    QVERIFY(window.close());
    project->facialPoints()->setImage(inverted);
    QTest::qWait(200);
    const QImage ofInverted = window.previewImage();
    QVERIFY(ofInverted != before);
    project->facialPoints()->setImage(maskPicture);
    QTest::qWait(200);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(canvas->picture(), before);
    QVERIFY(window.close());
    project->facialPoints()->setImage(inverted);
    QTest::qWait(200);
    window.show();
    QTRY_COMPARE(canvas->picture(), ofInverted);
    project->facialPoints()->setImage(maskPicture);

    // A window never shown, as one embedded or grabbed, keeps its canvas drawn.
    ui::PreviewWindow unshown(project.get(), detector.get());
    unshown.setFacePicture(facePhoto);
    waitForFace(unshown);
    auto* unshownCanvas = unshown.findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
    const qint64 unshownDrawn = unshownCanvas->picture().cacheKey();
    project->facialPoints()->setPoint(maskPoints[30] + QPointF(0.0, 0.05), 30);
    QTRY_VERIFY(unshownCanvas->picture().cacheKey() != unshownDrawn);
}

// The mask changed while the window was closed: the first picture it shows again is of the
// mask as it is then, not the one drawn before it was closed, later replaced.
void tst_PreviewWindow::reopenedWindowShowsNoEarlierMask_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("a point moved") << QStringLiteral("point");
    QTest::newRow("another mask picture") << QStringLiteral("picture");
    QTest::newRow("another effect type") << QStringLiteral("effect");
    QTest::newRow("the points cleared") << QStringLiteral("cleared");
}

void tst_PreviewWindow::reopenedWindowShowsNoEarlierMask()
{
    QFETCH(QString, change);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage before = window.previewImage();
    QVERIFY(window.close());
    if (change == QLatin1String("point")) {
        project->facialPoints()->setPoint(maskPoints[30] + QPointF(0.0, 0.05), 30);
    } else if (change == QLatin1String("picture")) {
        QImage inverted = maskPicture.convertToFormat(QImage::Format_RGB32);
        inverted.invertPixels();
        project->facialPoints()->setImage(inverted);
    } else if (change == QLatin1String("effect")) {
        project->setEffectType(core::FullFrame);
    } else {
        project->facialPoints()->setPoints({});
    }
    QTest::qWait(200);
    auto* canvas = window.findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
    // No event is handled between the show and the look: what the canvas holds is what the
    // window's first paint shows.
    window.show();
    const QImage first = canvas->picture();
    QVERIFY(first != before);
    QCOMPARE(first, window.previewImage());
    if (change == QLatin1String("cleared")) {
        QCOMPARE(first, facePhoto.convertToFormat(QImage::Format_RGB32));
    }
}

// Every point piled up in one place: the face shows as it is, and the footer says why.
void tst_PreviewWindow::maskThatDrawsNothingSaysSo()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QString drawsNothing = QStringLiteral("The mask has no triangle to draw");
    QVERIFY2(!footerOf(window).contains(drawsNothing), qPrintable(footerOf(window)));
    project->facialPoints()->setPoints(core::FacialPointVector(maskPoints.size(), FacialPoint(0.5, 0.5)));
    QTRY_VERIFY2(footerOf(window).startsWith(QStringLiteral("Effect: Face only. ") + drawsNothing),
                 qPrintable(footerOf(window)));
    QCOMPARE(window.previewImage().convertToFormat(QImage::Format_RGB32), facePhoto.convertToFormat(QImage::Format_RGB32));
    project->facialPoints()->setPoints(maskPoints);
    QTRY_VERIFY2(!footerOf(window).contains(drawsNothing), qPrintable(footerOf(window)));
}

void tst_PreviewWindow::followsAnotherMaskPicture()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage before = window.previewImage();
    project->facialPoints()->setImage(testimages::filled(maskPicture.width(), maskPicture.height(), Qt::green));
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage() != before, 5000);
    // The nose is green now.
    const QImage now = window.previewImage();
    int green = 0;
    for (int y = 0; y < now.height(); ++y) {
        for (int x = 0; x < now.width(); ++x) {
            green += now.pixel(x, y) == qRgb(0, 255, 0) ? 1 : 0;
        }
    }
    QVERIFY2(green > 10000, qPrintable(QString::number(green)));
}

void tst_PreviewWindow::photoIntake_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("open-dialog") << QStringLiteral("open");
    QTest::newRow("dropped-file") << QStringLiteral("file");
    QTest::newRow("pasted-picture") << QStringLiteral("image");
}

void tst_PreviewWindow::photoIntake()
{
    QFETCH(QString, how);
    ui::PreviewWindow window(project.get(), detector.get());
    const QString path = testimages::testPicture("Tom_Cruise_avp_2014_4.jpg");
    if (how == QLatin1String("open")) {
        prompts->fileNames.enqueue(path);
        auto* action = window.findChild<QAction*>(QStringLiteral("openFacePictureAction"));
        QVERIFY(action);
        action->trigger();
        QCOMPARE(prompts->ofKind(QStringLiteral("open")).size(), 1);
    } else {
        QMimeData data;
        if (how == QLatin1String("file")) {
            data.setUrls({QUrl::fromLocalFile(path)});
        } else {
            data.setImageData(facePhoto);
        }
        QVERIFY(window.insertFromMimeData(&data));
    }
    waitForFace(window);
    QCOMPARE(window.previewImage().size(), facePhoto.size());
    QVERIFY(meanAbsoluteDifference(window.previewImage(), facePhoto) > 1.0);
}

void tst_PreviewWindow::unreadablePhotoIsReported()
{
    ui::PreviewWindow window(project.get(), detector.get());
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("broken.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    prompts->fileNames.enqueue(path);
    window.findChild<QAction*>(QStringLiteral("openFacePictureAction"))->trigger();
    QTRY_VERIFY(!window.pictureIntake()->isReading());
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("File \"%1\" was not load.\npicture: not in a format that can be read").arg(path));
    QVERIFY(window.previewImage().isNull());
    QMimeData nothing;
    nothing.setText(QStringLiteral("text"));
    QVERIFY(!window.insertFromMimeData(&nothing));
}

void tst_PreviewWindow::photoWithoutFaceSaysSo()
{
    ui::PreviewWindow window(project.get(), detector.get());
    const QImage cat = core::readImageFile(testimages::testPicture("chelsea.png"));
    window.setFacePicture(cat);
    waitForFace(window);
    QVERIFY2(footerOf(window).contains(QStringLiteral("No face found")), qPrintable(footerOf(window)));
    QCOMPARE(window.previewImage().convertToFormat(QImage::Format_RGB32), cat.convertToFormat(QImage::Format_RGB32));
}

void tst_PreviewWindow::savesThePreviewAsPng()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QTemporaryDir folder;
    // No suffix given: the file gets ".png".
    prompts->fileNames.enqueue(folder.filePath(QStringLiteral("preview")));
    window.findChild<QAction*>(QStringLiteral("savePreviewPictureAction"))->trigger();
    QTRY_VERIFY(!window.isSavingPicture());
    const QString written = folder.filePath(QStringLiteral("preview.png"));
    QFile file(written);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.read(8).startsWith("\x89PNG"));
    QCOMPARE(QImage(written).convertToFormat(QImage::Format_RGB32),
             window.previewImage().convertToFormat(QImage::Format_RGB32));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
    // The dialog is told the suffix, so that its question about replacing a file is asked about
    // preview.png, the file written, not about "preview".
    QCOMPARE(prompts->ofKind(QStringLiteral("save")).value(0).defaultSuffix, QStringLiteral("png"));
}

void tst_PreviewWindow::saveFailureIsReported()
{
    ui::PreviewWindow window(project.get(), detector.get());
    // Nothing to save yet.
    QVERIFY(!window.savePreviewPicture());
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QTemporaryDir folder;
    QFile blocker(folder.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // The parent is a regular file: the write fails even as root.
    prompts->fileNames.enqueue(folder.filePath(QStringLiteral("file/preview.png")));
    QVERIFY(window.savePreviewPicture());
    QTRY_VERIFY(!window.isSavingPicture());
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings[1].text.contains(QStringLiteral("was not saved")));
}

// A disk that fills up while the picture is written: the save fails and says so, and the picture
// saved there before is as it was, with nothing beside it.
void tst_PreviewWindow::saveOnAFullDiskKeepsTheEarlierPicture()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("preview.png"));
    prompts->fileNames.enqueue(path);
    QVERIFY(window.savePreviewPicture());
    QTRY_VERIFY(!window.isSavingPicture());
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    const QByteArray before = earlier.readAll();
    earlier.close();
    QVERIFY(!before.isEmpty());

    prompts->fileNames.enqueue(path);
    {
        const FileSizeLimit full(rlim_t(before.size() / 2));
        QVERIFY(full.isActive());
        QVERIFY(window.savePreviewPicture());
        QTRY_VERIFY(!window.isSavingPicture());
    }
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].text.contains(QStringLiteral("was not saved")));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QVERIFY(earlier.readAll() == before);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("preview.png")});
}

// A folder on a share that stopped answering: the window goes on while the picture is written,
// which it is once the share answers again.
void tst_PreviewWindow::saveDoesNotWaitForTheDisk()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("unanswering.png"));
    prompts->fileNames.enqueue(path);
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 8000);
        QVERIFY(stalled.isArmed());
        window.findChild<QAction*>(QStringLiteral("savePreviewPictureAction"))->trigger();
        // Back while the disk still holds the write.
        QVERIFY(window.isSavingPicture());
        // A second save meanwhile, which could end first, is refused before a name is asked for.
        QVERIFY(!window.savePreviewPicture());
        QCOMPARE(prompts->ofKind(QStringLiteral("save")).size(), 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!window.isSavingPicture(), 10000);
    QCOMPARE(QImage(path).convertToFormat(QImage::Format_RGB32),
             window.previewImage().convertToFormat(QImage::Format_RGB32));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].text.contains(QStringLiteral("still being saved")), qPrintable(warnings[0].text));
}

// The main window hands its session in: every picker and warning of the window and of its
// picture intake goes through it, never through the installed prompts.
void tst_PreviewWindow::asksThroughTheSessionItIsGiven()
{
    FakePrompts windowPrompts(FakePrompts::NotInstalled);
    ui::PromptSession session(&windowPrompts);
    ui::PreviewWindow window(project.get(), detector.get(), &session);

    QVERIFY(!window.savePreviewPicture());
    auto source = std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20);
    source->startable = false;
    window.setFrameSource(std::move(source));
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("warning")).size(), 2);

    QTemporaryDir folder;
    const QString notAPicture = folder.filePath(QStringLiteral("notes.png"));
    QFile file(notAPicture);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("no picture") > 0);
    file.close();
    windowPrompts.fileNames.enqueue(notAPicture);
    window.findChild<QAction*>(QStringLiteral("openFacePictureAction"))->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.pictureIntake()->isReading(), 60000);
    window.findChild<QAction*>(QStringLiteral("openFaceVideoAction"))->trigger();
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("open")).size(), 2);
    const QList<PromptRecord> warnings = windowPrompts.ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 3);
    QVERIFY2(warnings[2].text.startsWith(QStringLiteral("File \"%1\" was not load.").arg(notAPicture)),
             qPrintable(warnings[2].text));
    QVERIFY2(prompts->records.isEmpty(), qPrintable(prompts->records.value(0).text));
}

void tst_PreviewWindow::cameraMenuListsCameras()
{
    ui::PreviewWindow window(project.get(), detector.get());
    auto* menu = window.findChild<QMenu*>(QStringLiteral("cameraMenu"));
    QVERIFY(menu);
    const QList<QCameraInfo> cameras = QCameraInfo::availableCameras();
    const QList<QAction*> actions = menu->actions();
    if (cameras.isEmpty()) {
        QCOMPARE(actions.size(), 1);
        QCOMPARE(actions[0]->text(), QStringLiteral("No camera found"));
        QVERIFY(!actions[0]->isEnabled());
    } else {
        // One entry per camera, a separator and "Stop Camera".
        QCOMPARE(actions.size(), cameras.size() + 2);
        for (int i = 0; i < cameras.size(); ++i) {
            QCOMPARE(actions[i]->text(), cameras[i].description());
        }
    }
}

void tst_PreviewWindow::menuBarWorksFromTheKeyboard_data()
{
    QTest::addColumn<int>("arrowModifiers");
    QTest::newRow("arrows") << int(Qt::NoModifier);
    // The keypad's arrows with Num Lock off.
    QTest::newRow("keypad-arrows") << int(Qt::KeypadModifier);
}

void tst_PreviewWindow::menuBarWorksFromTheKeyboard()
{
    QFETCH(int, arrowModifiers);
    const auto arrow = Qt::KeyboardModifiers(arrowModifiers);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("previewMenuBar"));
    QVERIFY(menuBar);
    // Alt alone gives the menu bar the keys, File current; Right goes on to View and Camera,
    // Left back to View; Down opens it.
    QTest::keyClick(&window, Qt::Key_Alt);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(menuBar));
    QTest::keyClick(menuBar, Qt::Key_Right, arrow);
    QTest::keyClick(menuBar, Qt::Key_Right, arrow);
    QTest::keyClick(menuBar, Qt::Key_Left, arrow);
    QTest::keyClick(menuBar, Qt::Key_Down, arrow);
    QTRY_VERIFY(QApplication::activePopupWidget());
    auto* opened = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(opened);
    QCOMPARE(opened->title().remove(QLatin1Char('&')), QStringLiteral("View"));
    opened->close();
    QTRY_VERIFY(!QApplication::activePopupWidget());
    // Each menu opens with Alt and its letter, as in the main window.
    const std::pair<Qt::Key, QString> letters[] = {
        {Qt::Key_F, QStringLiteral("File")}, {Qt::Key_V, QStringLiteral("View")},
        {Qt::Key_C, QStringLiteral("Camera")}};
    for (const auto& [letter, title] : letters) {
        // A closed menu hands the activation back only through a window manager.
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, letter, Qt::AltModifier);
        QTRY_VERIFY2(QApplication::activePopupWidget(), qPrintable(title));
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QCOMPARE(menu->title().remove(QLatin1Char('&')), title);
        QTest::keyClick(menu, Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QTest::keyClick(menuBar, Qt::Key_Escape);
    }
}

void tst_PreviewWindow::frameSourceReplacesThePhoto()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(maskPicture);
    waitForFace(window);
    const QImage frame = facePhoto.scaled(480, 680, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    auto source = std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20);
    ReplayFrameSource* replay = source.get();
    window.setFrameSource(std::move(source));
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == frame.size(), 60000);
    QVERIFY(replay->offered > 0);
    QTRY_VERIFY_WITH_TIMEOUT(meanAbsoluteDifference(window.previewImage(), frame) > 1.0, 30000);
    // Back to the photo.
    window.setFrameSource(nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(window.previewImage().size(), maskPicture.size(), 30000);
}

void tst_PreviewWindow::frameSourceThatCannotStartIsReported()
{
    ui::PreviewWindow window(project.get(), detector.get());
    auto source = std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20);
    source->startable = false;
    window.setFrameSource(std::move(source));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("The camera could not be started."));
}

// A photo whose face is not known (none found, or not found yet) then another photo, or a camera
// started and stopped: the window must take the new picture and find its face.
void tst_PreviewWindow::anotherPhotoReplacesOneWithoutItsFace_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<bool>("waitForTheFirst");
    QTest::addColumn<bool>("cameraBetween");
    QTest::newRow("a photo without a face, then a photo") << "chelsea.png" << true << false;
    QTest::newRow("a photo still being searched, then a photo") << "astronaut.png" << false << false;
    QTest::newRow("a photo without a face, a camera, then a photo") << "chelsea.png" << true << true;
    QTest::newRow("a photo still being searched, a camera, then a photo") << "astronaut.png" << false << true;
}

void tst_PreviewWindow::anotherPhotoReplacesOneWithoutItsFace()
{
    QFETCH(QString, first);
    QFETCH(bool, waitForTheFirst);
    QFETCH(bool, cameraBetween);
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(core::readImageFile(testimages::testPicture(qPrintable(first))));
    if (waitForTheFirst) {
        waitForFace(window);
    }
    if (cameraBetween) {
        window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20));
        QTest::qWait(100);
        window.setFrameSource(nullptr);
    }
    window.setFacePicture(facePhoto);
    waitForFace(window);
    QCOMPARE(window.previewImage().size(), facePhoto.size());
    QVERIFY2(footerOf(window).startsWith(QStringLiteral("Effect:")), qPrintable(footerOf(window)));
    QVERIFY2(meanAbsoluteDifference(window.previewImage(), facePhoto) > 1.0, "the new photo has the mask");
}

// Closing the window switches its camera off: the source is stopped and let go.
void tst_PreviewWindow::closingTheWindowStopsTheCamera()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    auto source = std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20);
    QPointer<ReplayFrameSource> camera = source.get();
    window.setFrameSource(std::move(source));
    QTRY_VERIFY_WITH_TIMEOUT(camera && camera->offered > 2, 30000);
    QVERIFY(window.close());
    QVERIFY2(camera.isNull(), "the camera is still taken after the window closed");
}

// Back to the photo from a camera, by Stop Camera or by closing the window and opening it again:
// the first picture shown is the photo with the mask, not the camera's last frame left on show
// until the mask is drawn.
void tst_PreviewWindow::photoComesBackWithoutTheCamerasLastFrame_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("camera stopped") << false;
    QTest::newRow("window closed and opened again") << true;
}

void tst_PreviewWindow::photoComesBackWithoutTheCamerasLastFrame()
{
    QFETCH(bool, closeWindow);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage masked = window.previewImage();
    QVERIFY(masked != facePhoto.convertToFormat(masked.format()));
    const QImage frame = facePhoto.scaled(240, 340, Qt::KeepAspectRatio);
    window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20));
    auto* canvas = window.findChild<ui::PreviewCanvas*>(QStringLiteral("previewCanvas"));
    QTRY_VERIFY_WITH_TIMEOUT(canvas->picture().size() == frame.size(), 60000);
    // No event is handled between the switch and the look: what the canvas holds is what the
    // window paints next.
    if (closeWindow) {
        QVERIFY(window.close());
        window.show();
    } else {
        window.setFrameSource(nullptr);
    }
    QCOMPARE(canvas->picture(), masked);
}

// A camera given up while the detection service still reads the landmark model (here a read
// that waits until the test lets it end, in failure) is let go of at once: the window waits
// neither for that read nor for the worker of the camera chosen after it, which waits behind it.
void tst_PreviewWindow::switchingCameraDoesNotWaitForTheModel()
{
    // The read ends when asked, or after 5 s at the latest.
    std::promise<void> release;
    std::shared_future<void> asked = release.get_future().share();
    std::atomic<bool> released{false};
    core::FacialPointsDetector loading([asked, &released]() -> std::unique_ptr<core::FaceDetectionModule> {
        asked.wait_for(std::chrono::seconds(5));
        released = true;
        return nullptr;
    });
    {
        ui::PreviewWindow window(project.get(), &loading);
        window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20));
        QTRY_COMPARE(loading.state(), core::FacialPointsDetector::Initializing);
        window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20));
        QVERIFY2(!released, "choosing another camera waited for the landmark model");
        QVERIFY(footerOf(window).endsWith(QStringLiteral("Loading the landmark model\u2026")));
        release.set_value();
        QTRY_COMPARE_WITH_TIMEOUT(loading.state(), core::FacialPointsDetector::Failed, 30000);
        QTRY_VERIFY2(footerOf(window).endsWith(
                         QStringLiteral("No face can be found: the landmark model could not be loaded.")),
                     qPrintable(footerOf(window)));
        window.setFrameSource(nullptr);
    }
}

// A still video of two people: both faces get the mask, and the controls work.
void tst_PreviewWindow::faceVideoMasksEveryFace()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    const QImage two = core::readImageFile(testimages::testPicture("2008_001009.jpg"))
                           .convertToFormat(QImage::Format_RGB32);
    QCOMPARE(two.size(), QSize(360, 480));
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("two.mp4"));
    const QString error = testclips::encode(QVector<QImage>(20, two), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(window.openFaceVideo(clip));
    auto* controls = window.findChild<QWidget*>(QStringLiteral("videoControls"));
    QVERIFY(controls && controls->isVisible());
    // The faces the detector finds on the picture, as the main window does (left, top, right, bottom).
    const QRect faces[] = {QRect(QPoint(121, 208), QPoint(208, 294)), QRect(QPoint(149, 85), QPoint(221, 157))};
    auto maskedIn = [&](const QRect& face) {
        const QImage shown = window.previewImage();
        return shown.size() == two.size() && meanAbsoluteDifference(shown.copy(face), two.copy(face)) > 8.0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(maskedIn(faces[0]) && maskedIn(faces[1]), 60000);
    // Far from both faces the picture is the video's.
    const QRect corner(0, 400, 80, 80);
    QVERIFY(meanAbsoluteDifference(window.previewImage().copy(corner), two.copy(corner)) < 4.0);

    auto* slider = window.findChild<QSlider*>(QStringLiteral("positionSlider"));
    QTRY_VERIFY_WITH_TIMEOUT(slider->maximum() >= 1800 && slider->maximum() <= 2100, 10000);
    auto* play = window.findChild<QToolButton*>(QStringLiteral("playButton"));
    QCOMPARE(play->text(), QStringLiteral("Pause"));
    QTest::keyClick(&window, Qt::Key_Space);
    QCOMPARE(play->text(), QStringLiteral("Play"));
    QTest::keyClick(&window, Qt::Key_Space);
    QCOMPARE(play->text(), QStringLiteral("Pause"));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QVERIFY2(time->text().endsWith(QStringLiteral(" / 0:02.0")), qPrintable(time->text()));
    // Paused, the frame shown follows the mask: another effect type draws it again at once.
    QTest::keyClick(&window, Qt::Key_Space);
    QCOMPARE(play->text(), QStringLiteral("Play"));
    // A click on the track beside the handle moves a second (a page), from the start to 0:01.0.
    const auto shownSeconds = [time] { return time->text().section(QLatin1Char(':'), 1, 1).section(QLatin1Char(' '), 0, 0).toDouble(); };
    slider->triggerAction(QAbstractSlider::SliderToMinimum);
    QTRY_VERIFY2_WITH_TIMEOUT(time->text().startsWith(QStringLiteral("0:00.0 ")), qPrintable(time->text()), 10000);
    slider->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QTRY_VERIFY2_WITH_TIMEOUT(std::abs(shownSeconds() - 1.0) < 0.15, qPrintable(time->text()), 10000);
    QTest::qWait(300); // the frame in work, if any, arrives
    const QImage before = window.previewImage();
    project->setEffectType(2);
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage() != before, 10000);
    QCOMPARE(window.previewImage().size(), two.size());
    // On a slow machine the frame in work may come after the wait above, drawn with the old
    // effect type; the frame drawn again with the new one follows it.
    QTRY_VERIFY_WITH_TIMEOUT(meanAbsoluteDifference(window.previewImage().copy(corner), two.copy(corner)) > 8.0, 10000);
    // A picture takes the video's place and hides its controls.
    window.setFacePicture(facePhoto);
    QVERIFY(!controls->isVisible());
}

// The Playback menu's entries do what the keys they name do, and are greyed out without a video.
void tst_PreviewWindow::playbackMenuNamesTheVideoKeys()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* playPause = window.findChild<QAction*>(QStringLiteral("playPauseAction"));
    auto* next = window.findChild<QAction*>(QStringLiteral("nextFrameAction"));
    auto* previous = window.findChild<QAction*>(QStringLiteral("previousFrameAction"));
    QVERIFY(playPause && next && previous);
    QVERIFY(!playPause->isEnabled() && !next->isEnabled() && !previous->isEnabled());
    // The key an entry names, pressed in the window.
    const auto pressKeyOf = [&window](QAction* action) {
        const QKeySequence key = QKeySequence::fromString(action->text().section(QLatin1Char('\t'), 1),
                                                          QKeySequence::NativeText);
        QTest::keyClick(&window, Qt::Key(key[0] & ~Qt::KeyboardModifierMask));
    };

    QVERIFY(window.openFaceVideo(clip));
    auto* play = window.findChild<QToolButton*>(QStringLiteral("playButton"));
    QVERIFY(playPause->isEnabled() && next->isEnabled() && previous->isEnabled());
    playPause->trigger();
    QCOMPARE(play->text(), QStringLiteral("Play"));
    pressKeyOf(playPause);
    QCOMPARE(play->text(), QStringLiteral("Pause"));
    pressKeyOf(playPause);
    QCOMPARE(play->text(), QStringLiteral("Play"));
    const auto frameShown = [&] { return std::lround(testclips::meanGrey(window.previewImage()) / 20.0); };
    QTRY_VERIFY_WITH_TIMEOUT(!window.previewImage().isNull(), 30000);
    QTest::qWait(500); // a frame decoded before the pause may still come
    const long paused = frameShown();
    QVERIFY2(paused < 8, qPrintable(QString::number(paused)));
    next->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), paused + 1, 10000);
    pressKeyOf(next);
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), paused + 2, 10000);
    previous->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), paused + 1, 10000);
    pressKeyOf(previous);
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), paused, 10000);
    QCOMPARE(play->text(), QStringLiteral("Play"));

    window.setFacePicture(facePhoto);
    QVERIFY(!playPause->isEnabled() && !next->isEnabled() && !previous->isEnabled());
}

void tst_PreviewWindow::pausedWhileTheVideoOpensStaysPaused_data()
{
    QTest::addColumn<bool>("spaceKey");
    QTest::newRow("play button") << false;
    QTest::newRow("space key") << true;
}

// Pause pressed at once, while the file's headers are still read on a worker, holds: the video
// shows its first frame and waits there.
void tst_PreviewWindow::pausedWhileTheVideoOpensStaysPaused()
{
    QFETCH(bool, spaceKey);
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openFaceVideo(clip));
    auto* play = window.findChild<QToolButton*>(QStringLiteral("playButton"));
    QCOMPARE(play->text(), QStringLiteral("Pause"));
    if (spaceKey) {
        QTest::keyClick(&window, Qt::Key_Space);
    } else {
        play->click();
    }
    QCOMPARE(play->text(), QStringLiteral("Play"));
    QTRY_VERIFY_WITH_TIMEOUT(!window.previewImage().isNull() || footerOf(window).contains(QStringLiteral("cannot be played")),
                             30000);
    QVERIFY2(!footerOf(window).contains(QStringLiteral("cannot be played")), qPrintable(footerOf(window)));
    QCOMPARE(play->text(), QStringLiteral("Play"));
    QCOMPARE(int(std::lround(testclips::meanGrey(window.previewImage()) / 20.0)), 0);
    QVERIFY2(window.findChild<QLabel*>(QStringLiteral("videoTime"))->text().startsWith(QStringLiteral("0:00.0 ")),
             qPrintable(window.findChild<QLabel*>(QStringLiteral("videoTime"))->text()));
    // No frame has played yet, and Right moves on by one all the same.
    QTest::keyClick(&window, Qt::Key_Right);
    QTRY_VERIFY_WITH_TIMEOUT(std::lround(testclips::meanGrey(window.previewImage()) / 20.0) == 1, 10000);
    QCOMPARE(play->text(), QStringLiteral("Play"));
}

// Paused while playing, a video shows a frame from its start, which at 7 frames a second is no
// whole millisecond: toggling Steady works that same frame again (the mask was drawn with the
// filter as it was), and Right moves on to the next one.
void tst_PreviewWindow::steadyToggledWhilePausedWorksTheFrameAgain()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 7, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openFaceVideo(clip));
    const auto frameShown = [&] { return std::lround(testclips::meanGrey(window.previewImage()) / 20.0); };
    QTRY_VERIFY_WITH_TIMEOUT(!window.previewImage().isNull() && frameShown() >= 2 && frameShown() <= 8, 30000);
    QTest::keyClick(&window, Qt::Key_Space);
    QTest::qWait(500); // a frame decoded before the pause may still come
    const long paused = frameShown();
    auto* steady = window.findChild<QAction*>(QStringLiteral("steadyAction"));
    for (int toggle = 0; toggle < 2; ++toggle) {
        const qint64 shown = window.previewImage().cacheKey();
        steady->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().cacheKey() != shown, 10000);
        QCOMPARE(frameShown(), paused);
    }
    QTest::keyClick(&window, Qt::Key_Right);
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), paused + 1, 10000);
    QCOMPARE(window.findChild<QToolButton*>(QStringLiteral("playButton"))->text(), QStringLiteral("Play"));
}

void tst_PreviewWindow::sliderHeldWhenInterruptedFollowsTheVideoAgain_data()
{
    QTest::addColumn<bool>("byDialog"); // else another video replaces the one held
    QTest::newRow("dialog-opens") << true;
    QTest::newRow("another-video") << false;
}

// The position slider held when a dialog opens (which takes the button's release) or when
// another video comes: the slider is let go, and shows where the video is from then on.
void tst_PreviewWindow::sliderHeldWhenInterruptedFollowsTheVideoAgain()
{
    QFETCH(bool, byDialog);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("hand-fed.mp4"));
    QVERIFY(writeBrokenVideo(path));
    HandFedVideo* video = feedVideo(window, path);
    emit video->durationChanged(10000);
    emit video->positionChanged(1000);
    auto* slider = window.findChild<QSlider*>(QStringLiteral("positionSlider"));
    QCOMPARE(slider->value(), 1000);
    QStyleOptionSlider handle;
    handle.initFrom(slider);
    handle.orientation = slider->orientation();
    handle.minimum = slider->minimum();
    handle.maximum = slider->maximum();
    handle.sliderPosition = slider->sliderPosition();
    handle.sliderValue = slider->value();
    const QRect grip = slider->style()->subControlRect(QStyle::CC_Slider, &handle, QStyle::SC_SliderHandle, slider);
    QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, grip.center());
    QVERIFY(slider->isSliderDown());

    if (byDialog) {
        QDialog dialog(&window);
        QTimer::singleShot(50, &dialog, &QDialog::reject);
        dialog.exec();
    } else {
        video = feedVideo(window, path);
        emit video->durationChanged(10000);
    }
    emit video->positionChanged(4000);
    QCOMPARE(slider->value(), 4000);
    QVERIFY(!slider->isSliderDown());
}

void tst_PreviewWindow::pausedDragShowsTheTimeAskedFor_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("frameStart"); // of the frame that comes for the seek, before "to"
    QTest::addColumn<int>("key"); // pressed on the slider instead of a drag; 0: a drag
    QTest::newRow("forward") << 1000 << 6000 << 4200 << 0;
    QTest::newRow("back") << 7000 << 2500 << 2000 << 0;
    QTest::newRow("Page Up") << 1000 << 2000 << 1900 << int(Qt::Key_PageUp);
    QTest::newRow("Page Down") << 7000 << 6000 << 5900 << int(Qt::Key_PageDown);
}

// Paused, the handle dragged: the label shows the time the handle asks for while no frame has
// come from there, and the frame's own start once it comes.
void tst_PreviewWindow::pausedDragShowsTheTimeAskedFor()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, frameStart);
    QFETCH(int, key);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("hand-fed.mp4"));
    QVERIFY(writeBrokenVideo(path));
    HandFedVideo* video = feedVideo(window, path);
    emit video->durationChanged(10000);
    video->pause();
    emit video->positionChanged(from);
    auto* slider = window.findChild<QSlider*>(QStringLiteral("positionSlider"));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QCOMPARE(labelTime(time), qint64(from));

    if (key != 0) {
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key(key));
        QCOMPARE(slider->sliderPosition(), to);
        QVERIFY2(std::abs(labelTime(time) - to) < 100, qPrintable(time->text()));
        emit video->positionChanged(frameStart);
        QCOMPARE(labelTime(time), qint64(frameStart));
        return;
    }
    const QPoint grip = sliderHandle(slider).center();
    QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, grip);
    QVERIFY(slider->isSliderDown());
    const QPoint there(sliderX(slider, to), grip.y());
    QMouseEvent move(QEvent::MouseMove, there, slider->mapToGlobal(there), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(slider, &move);
    const int asked = slider->sliderPosition();
    // One pixel of the slider is some 25 ms of this video.
    QVERIFY2(std::abs(asked - to) < 100, qPrintable(QString::number(asked)));
    QVERIFY2(std::abs(labelTime(time) - asked) < 100, qPrintable(time->text()));

    emit video->positionChanged(frameStart);
    QCOMPARE(labelTime(time), qint64(frameStart));
    QCOMPARE(slider->sliderPosition(), asked); // still held where the user holds it
    QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier, there);
}

void tst_PreviewWindow::pressBesideTheHandleJumpsOnce_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("after the handle") << 1000 << 7500;
    QTest::newRow("before the handle") << 8000 << 3000;
}

// A video playing, the left button pressed and held on the slider beside the handle: the handle
// comes under the cursor with one jump, held there, and no page step repeats while the button
// is held, so that the frames that come from there play on and are timed. The keys still work.
void tst_PreviewWindow::pressBesideTheHandleJumpsOnce()
{
    QFETCH(int, from);
    QFETCH(int, to);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("hand-fed.mp4"));
    QVERIFY(writeBrokenVideo(path));
    HandFedVideo* video = feedVideo(window, path);
    emit video->durationChanged(10000);
    video->play();
    emit video->positionChanged(from);
    auto* slider = window.findChild<QSlider*>(QStringLiteral("positionSlider"));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QCOMPARE(slider->value(), from);
    QSignalSpy actions(slider, &QAbstractSlider::actionTriggered);
    QVERIFY(actions.isValid());

    const QPoint there(sliderX(slider, to), sliderHandle(slider).center().y());
    QVERIFY(!sliderHandle(slider).contains(there));
    QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, there);
    QVERIFY(slider->isSliderDown());
    QVERIFY2(std::abs(slider->sliderPosition() - to) < 100, qPrintable(QString::number(slider->sliderPosition())));
    // Past Qt's delay before a held press repeats (half a second).
    QTest::qWait(800);
    QCOMPARE(actions.count(), 1);
    QCOMPARE(actions.first().first().toInt(), int(QAbstractSlider::SliderMove));
    const int jumped = slider->sliderPosition();
    emit video->positionChanged(jumped + 100);
    emit video->positionChanged(jumped + 200);
    QCOMPARE(labelTime(time), qint64(jumped + 200) / 100 * 100); // in tenths of a second
    QCOMPARE(slider->sliderPosition(), jumped);
    QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier, there);
    QVERIFY(!slider->isSliderDown());
    emit video->positionChanged(jumped + 300);
    QCOMPARE(slider->value(), jumped + 300);

    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_PageUp);
    QCOMPARE(slider->sliderPosition(), jumped + 1300);
    QCOMPARE(actions.last().first().toInt(), int(QAbstractSlider::SliderPageStepAdd));
}

void tst_PreviewWindow::heldKeyTogglesOnce_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("play-pause") << int(Qt::Key_Space) << int(Qt::NoModifier);
    QTest::newRow("steady") << int(Qt::Key_T) << int(Qt::ControlModifier);
}

// Space (play or pause) or Ctrl+T (Steady) held down, as the keyboard repeats it: it toggles
// once and stays.
void tst_PreviewWindow::heldKeyTogglesOnce()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("hand-fed.mp4"));
    QVERIFY(writeBrokenVideo(path));
    HandFedVideo* video = feedVideo(window, path);
    auto* steady = window.findChild<QAction*>(QStringLiteral("steadyAction"));
    const auto state = [&] { return key == Qt::Key_Space ? video->isPlaying() : steady->isChecked(); };
    const bool before = state();

    QWindow* handle = window.windowHandle();
    const auto mods = Qt::KeyboardModifiers(modifiers);
    testsupport::holdKey(handle, key, mods);
    QCOMPARE(state(), !before);
}

// A frame that comes while the worker is busy is dropped; when the video is paused on it, no frame
// follows, and it is the one the time names: it is shown, not the one worked on last. Here the
// worker is held by a landmark model that loads until the video is paused.
void tst_PreviewWindow::pausedOnADroppedFrameShowsIt()
{
    std::promise<void> release;
    std::shared_future<void> asked = release.get_future().share();
    core::FacialPointsDetector loading([asked]() -> std::unique_ptr<core::FaceDetectionModule> {
        asked.wait_for(std::chrono::seconds(20));
        return nullptr;
    });
    ui::PreviewWindow window(project.get(), &loading);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("hand-fed.mp4"));
    QVERIFY(writeBrokenVideo(path));
    HandFedVideo* video = feedVideo(window, path);
    video->play();
    const QVector<QImage> frames = testclips::greySteps(6);
    for (const QImage& frame : frames) {
        emit video->frameReady(frame);
    }
    QTest::keyClick(&window, Qt::Key_Space);
    QVERIFY(!video->isPlaying());
    release.set_value();
    QTRY_COMPARE_WITH_TIMEOUT(loading.state(), core::FacialPointsDetector::Failed, 30000);
    const auto frameShown = [&] { return std::lround(testclips::meanGrey(window.previewImage()) / 20.0); };
    QTRY_COMPARE_WITH_TIMEOUT(frameShown(), 5L, 10000);
    // A mask edited meanwhile is drawn on that frame too.
    project->facialPoints()->setPoint(maskPoints[30] + QPointF(0.0, 0.02), 30);
    QTest::qWait(300);
    QCOMPARE(frameShown(), 5L);
}

void tst_PreviewWindow::videoFilePastedPlays_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("WebM") << "broken.webm";
    QTest::newRow("camcorder, upper case") << "broken.MTS";
    QTest::newRow("phone") << "broken.3gp";
    QTest::newRow("MPEG") << "broken.mpg";
    QTest::newRow("transport stream") << "broken.ts";
}

// A video copied in a file manager and pasted plays, as one dropped does, whatever maker's
// ending its name has: it is not read as a picture.
void tst_PreviewWindow::videoFilePastedPlays()
{
    QFETCH(QString, name);
    QTemporaryDir folder;
    const QString path = folder.filePath(name);
    QVERIFY(writeBrokenVideo(path));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QVERIFY(window.insertFromMimeData(&data));
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(QStringLiteral("The video \"%1\" cannot be played").arg(name)), 30000);
    QVERIFY(prompts->records.isEmpty());
}

void tst_PreviewWindow::videoNamedOtherwisePlays_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<bool>("closedMeanwhile"); // the window closed before the file was read
    QTest::newRow("download without a suffix, pasted") << "clip" << false << false;
    QTest::newRow("download without a suffix, dropped") << "clip" << true << false;
    QTest::newRow("named as a picture, dropped") << "clip.jpg" << true << false;
    QTest::newRow("dropped, the window closed meanwhile") << "clip" << true << true;
}

// A video whose name does not say so is told by its content once it is found to hold no
// picture, and plays; the window does not call it a picture that cannot be read. Closed before
// then, the window plays nothing: closing stops its videos.
void tst_PreviewWindow::videoNamedOtherwisePlays()
{
    QFETCH(QString, name);
    QFETCH(bool, dropped);
    QFETCH(bool, closedMeanwhile);
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString encoded = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 10, encoded);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString path = folder.filePath(name);
    QVERIFY(QFile::rename(encoded, path));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(testsupport::handFileOver(&window, path, dropped));
    auto* controls = window.findChild<QWidget*>(QStringLiteral("videoControls"));
    if (closedMeanwhile) {
        window.close(); // before the read's answer comes through the event loop
        QTRY_VERIFY_WITH_TIMEOUT(!window.pictureIntake()->isReading(), 30000);
        QTest::qWait(200);
        QVERIFY(!controls->isVisibleTo(&window));
        QVERIFY(!window.isVisible());
        QVERIFY2(!footerOf(window).contains(QLatin1String("Opening the video")), qPrintable(footerOf(window)));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(controls->isVisible(), 30000);
    const auto frameShown = [&] { return !window.previewImage().isNull(); };
    QTRY_VERIFY_WITH_TIMEOUT(frameShown(), 30000);
    QVERIFY2(prompts->records.isEmpty(), qPrintable(prompts->records.value(0).text));
    QVERIFY2(!footerOf(window).contains(QLatin1String("cannot be played")), qPrintable(footerOf(window)));
}

// A package dropped, pasted or chosen as a face video here holds a mask, not a face: the footer
// says where it opens, and the face shown stays.
void tst_PreviewWindow::packageDroppedOrPastedSaysWhereItOpens_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("dropped") << "drop";
    QTest::newRow("pasted") << "paste";
    QTest::newRow("chosen as a face video") << "open face video";
}

void tst_PreviewWindow::packageDroppedOrPastedSaysWhereItOpens()
{
    QFETCH(QString, how);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("mask.PMK"));
    core::FaceMaskProject package;
    package.facialPoints()->setImage(maskPicture);
    package.facialPoints()->setPoints(maskPoints);
    QVERIFY(package.save(path));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.setFacePicture(facePhoto);
    waitForFace(window);
    const QImage shown = window.previewImage();
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(path)});
    if (how == QLatin1String("paste")) {
        QGuiApplication::clipboard()->setMimeData(data);
        QTest::keyClick(&window, Qt::Key_V, Qt::ControlModifier);
    } else if (how == QLatin1String("drop")) {
        QVERIFY(testsupport::dropFromOutside(&window, data, QPoint(10, 10)));
        delete data;
    } else {
        delete data;
        prompts->fileNames.enqueue(path);
        window.findChild<QAction*>(QStringLiteral("openFaceVideoAction"))->trigger();
        QCOMPARE(prompts->records.size(), 1);
        QCOMPARE(prompts->records.takeFirst().kind, QStringLiteral("open"));
    }
    const QString note = QStringLiteral("\"mask.PMK\" is a mask package: open it in the main window "
                                        "(File \u2192 Open PMK file) to preview its mask.");
    QVERIFY2(footerOf(window).endsWith(note), qPrintable(footerOf(window)));
    QVERIFY(!window.pictureIntake()->isReading());
    QVERIFY(!window.findChild<QWidget*>(QStringLiteral("videoControls"))->isVisible());
    QCOMPARE(window.previewImage(), shown);
    QVERIFY(prompts->records.isEmpty());
}

void tst_PreviewWindow::pasteOfNothingSaysSo_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("ctrl-v") << int(Qt::Key_V) << int(Qt::ControlModifier);
    // The desktop's other paste key, which Edit → Paste of the main window takes too.
    QTest::newRow("shift-insert") << int(Qt::Key_Insert) << int(Qt::ShiftModifier);
}

// Ctrl+V with no picture on the clipboard says so, as in the main window, until a picture comes.
void tst_PreviewWindow::pasteOfNothingSaysSo()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const QString nothing = QStringLiteral("Nothing to paste: the clipboard holds no picture or picture file.");
    QGuiApplication::clipboard()->setText(QStringLiteral("a face"));
    QTest::keyClick(&window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QVERIFY2(footerOf(window).endsWith(nothing), qPrintable(footerOf(window)));

    QGuiApplication::clipboard()->setImage(facePhoto);
    QTest::keyClick(&window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_VERIFY(!window.previewImage().isNull());
    QVERIFY2(!footerOf(window).contains(nothing), qPrintable(footerOf(window)));
    QVERIFY(prompts->records.isEmpty());
}

void tst_PreviewWindow::damagedVideoSaysSoInTheWindow()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("broken.webm"));
    QVERIFY(writeBrokenVideo(path));
    ui::PreviewWindow window(project.get(), detector.get());
    QVERIFY(window.openFaceVideo(path));
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(QStringLiteral("The video \"broken.webm\" cannot be played")), 30000);
    QVERIFY(prompts->records.isEmpty());
    // A file that is not there is refused at once, with a warning.
    QVERIFY(!window.openFaceVideo(folder.filePath(QStringLiteral("gone.mp4"))));
    QCOMPARE(prompts->records.size(), 1);
}

// A file cut short plays as far as it goes, in a loop; the footer says so beside what the
// preview found, until another source is chosen.
void tst_PreviewWindow::videoCutShortSaysSoWhileItPlays()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString whole = folder.filePath(QStringLiteral("whole.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut, QSize(96, 64));
    QVERIFY2(error.isEmpty(), qPrintable(error));

    ui::PreviewWindow window(project.get(), detector.get());
    QVERIFY(window.openFaceVideo(cut));
    const QString remark = QStringLiteral("of the 4.0 s its file declares: it may be cut short.");
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(remark), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(QStringLiteral("No face in the video picture.")), 30000);
    QVERIFY2(footerOf(window).contains(remark), qPrintable(footerOf(window)));
    QVERIFY(prompts->records.isEmpty());
    QVERIFY(window.openFaceVideo(whole));
    QVERIFY2(!footerOf(window).contains(remark), qPrintable(footerOf(window)));
}

// The photo's face is found after a video was chosen that cannot be played: the footer keeps
// saying why the video does not play, rather than reading as if all were well.
void tst_PreviewWindow::photoFoundLateLeavesTheVideosFailureShown()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("broken.webm"));
    QVERIFY(writeBrokenVideo(path));
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(facePhoto);
    QVERIFY(window.openFaceVideo(path));
    const QString failure = QStringLiteral("The video \"broken.webm\" cannot be played");
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(failure), 30000);
    // The service works in order: once a later request is done, so is the photo's, and its
    // result was handed to the window before this one's.
    const auto later = detector->detect(QImage(64, 64, QImage::Format_RGB32));
    QVERIFY(later);
    QTRY_VERIFY_WITH_TIMEOUT(later->isFinished(), 60000);
    QCoreApplication::processEvents();
    QVERIFY2(footerOf(window).contains(failure), qPrintable(footerOf(window)));
    // Back to the photo: what its detection found.
    window.setFrameSource(nullptr);
    QVERIFY2(!footerOf(window).contains(failure) && !footerOf(window).contains(QStringLiteral("Looking")),
             qPrintable(footerOf(window)));
    QCOMPARE(window.previewImage().size(), facePhoto.size());
}

// The camera fails while its last picture is being masked: that picture, drawn after the failure,
// does not take the failure's words out of the footer.
void tst_PreviewWindow::cameraFailureOutlastsTheFrameInWork()
{
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFrameSource(std::make_unique<VanishingCamera>(facePhoto));
    const QString failure = QStringLiteral("The camera cannot be used: it went away.");
    QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(failure), 30000);
    // The service works in order: once a later request is done, the worker has its model and
    // has had time to draw the picture it took.
    const auto later = detector->detect(QImage(64, 64, QImage::Format_RGB32));
    QVERIFY(later);
    QTRY_VERIFY_WITH_TIMEOUT(later->isFinished(), 60000);
    QTest::qWait(2000);
    QVERIFY2(footerOf(window).contains(failure), qPrintable(footerOf(window)));
}

void tst_PreviewWindow::stoppedSourceLeavesNoFrame_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("camera stopped") << false;
    QTest::newRow("window closed") << true;
}

// Without a photo to go back to, a stopped camera leaves an empty canvas, not its last frame,
// which Save Preview Picture would then write.
void tst_PreviewWindow::stoppedSourceLeavesNoFrame()
{
    QFETCH(bool, closeWindow);
    ui::PreviewWindow window(project.get(), detector.get());
    const QImage frame = facePhoto.scaled(240, 340, Qt::KeepAspectRatio);
    window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20));
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == frame.size(), 60000);
    if (closeWindow) {
        window.close();
    } else {
        window.setFrameSource(nullptr);
    }
    QVERIFY(window.previewImage().isNull());
    QVERIFY(!window.savePreviewPicture());
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).value(0).text, QStringLiteral("There is no preview picture to save."));
}

// A camera chosen while a face picture is still being read is what the user chose last: the
// picture does not replace it when the read ends.
void tst_PreviewWindow::sourceChosenWhileAPictureIsReadWins()
{
    ui::PreviewWindow window(project.get(), detector.get());
    QTemporaryDir folder;
    const QString photoPath = folder.filePath(QStringLiteral("face.png"));
    QVERIFY(facePhoto.save(photoPath));
    window.pictureIntake()->openFile(photoPath);
    QVERIFY(window.pictureIntake()->isReading());
    const QImage frame = facePhoto.scaled(240, 340, Qt::KeepAspectRatio);
    auto source = std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20);
    QPointer<ReplayFrameSource> camera(source.get());
    window.setFrameSource(std::move(source));
    QTRY_VERIFY_WITH_TIMEOUT(!window.pictureIntake()->isReading(), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == frame.size(), 60000);
    QVERIFY(!camera.isNull());
}

// Chosen as a face video, a GIF (named as a video even) is shown as the face picture it is.
void tst_PreviewWindow::gifChosenAsAVideoIsAFacePicture()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("face.mp4"));
    const QString error = testclips::encode({facePhoto.scaled(200, 280), facePhoto.scaled(200, 280).mirrored(true, false)}, 5,
                                            folder.filePath(QStringLiteral("face.gif")), QStringLiteral("gif"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(QFile::rename(folder.filePath(QStringLiteral("face.gif")), path));
    ui::PreviewWindow window(project.get(), detector.get());
    QVERIFY(!window.openFaceVideo(path));
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == QSize(200, 280), 30000);
    QVERIFY(!window.findChild<QWidget*>(QStringLiteral("videoControls"))->isVisibleTo(&window));
    QVERIFY(prompts->records.isEmpty());
}

// A named pipe named as a video is refused at once: reading it would wait for a writer that never
// comes. A stand-in writer comes after 5 s; it must find no reader waiting.
void tst_PreviewWindow::pipeChosenAsAVideoDoesNotBlock()
{
    QTemporaryDir folder;
    const QByteArray path = QFile::encodeName(folder.filePath(QStringLiteral("pipe.mp4")));
    QVERIFY(::mkfifo(path.constData(), 0600) == 0);
    std::atomic<bool> readerWasWaiting{false};
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const int descriptor = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
        if (descriptor >= 0) {  // only when a reader has it open
            readerWasWaiting = true;
            ::close(descriptor);
        }
    });
    ui::PreviewWindow window(project.get(), detector.get());
    const bool opened = window.openFaceVideo(QFile::decodeName(path));
    writer.join();
    QVERIFY(!readerWasWaiting);
    QVERIFY(!opened);
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
}

void tst_PreviewWindow::videoOnAnUnansweringDiskLetsTheWindowGo_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("window closed") << "close";
    QTest::newRow("another video opened") << "video";
    QTest::newRow("camera chosen") << "camera";
    QTest::newRow("photo opened") << "photo";
}

// The disk of a playing video stops answering (a share gone, a stick that hangs) and GStreamer's
// thread waits in a read: the Preview closes, or takes another source, while the disk still
// holds that read.
void tst_PreviewWindow::videoOnAnUnansweringDiskLetsTheWindowGo()
{
    QFETCH(QString, then);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("unanswering.mp4"));
    const QString other = folder.filePath(QStringLiteral("other.mp4"));
    QString error = testclips::encode(testclips::noise(60, QSize(320, 240)), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::encode(testclips::greySteps(6), 10, other);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto window = std::make_unique<ui::PreviewWindow>(project.get(), detector.get());
    window->show();
    QVERIFY(window->openFaceVideo(clip));
    auto* time = window->findChild<QLabel*>(QStringLiteral("videoTime"));
    QTRY_VERIFY_WITH_TIMEOUT(!time->text().startsWith(QStringLiteral("0:00.0 ")), 30000);
    const StalledDisk stalled(QStringLiteral("unanswering"), 20000);
    QVERIFY(stalled.isArmed());
    // Until the frames read before the stall have played and the player waits for more.
    QString shown;
    while (time->text() != shown) {
        shown = time->text();
        QTest::qWait(1500);
    }
    QVERIFY(stalled.isHolding());
    if (then == QLatin1String("close")) {
        window->close();
        window.reset();
    } else if (then == QLatin1String("video")) {
        QVERIFY(window->openFaceVideo(other));
    } else if (then == QLatin1String("camera")) {
        window->setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{facePhoto}, 20));
    } else {
        window->setFacePicture(facePhoto);
    }
    // Back while the disk still holds the read.
    QVERIFY(stalled.isHolding());
}

// The disk of a playing video stops answering: the picture stands still, and the footer says why
// until pictures come again.
void tst_PreviewWindow::videoWhoseDiskStopsAnsweringSaysSo()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("unanswering.mp4"));
    const QString error = testclips::encode(testclips::noise(60, QSize(320, 240)), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(window.openFaceVideo(clip));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QTRY_VERIFY_WITH_TIMEOUT(!time->text().startsWith(QStringLiteral("0:00.0 ")), 30000);
    const QString note = QStringLiteral("The video \"unanswering.mp4\" has sent no picture for 5 seconds: its disk may not be answering.");
    QVERIFY(!footerOf(window).contains(note));
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 30000);
        QVERIFY(stalled.isArmed());
        QTRY_VERIFY_WITH_TIMEOUT(footerOf(window).contains(note), 20000);
        QVERIFY(stalled.isHolding());
    }
    const QString shown = time->text();
    QTRY_VERIFY_WITH_TIMEOUT(time->text() != shown, 20000);
    QTRY_VERIFY2_WITH_TIMEOUT(!footerOf(window).contains(note), qPrintable(footerOf(window)), 20000);
}

// The disk stops answering as the video opens, while its headers are read: the footer says so,
// and once the window is closed nothing the program waits for as it ends (Qt's pool of
// workers) waits for that disk.
void tst_PreviewWindow::videoOpenedAsItsDiskStopsAnsweringLetsTheProgramEnd()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("unanswering.mp4"));
    const QString error = testclips::encode(testclips::noise(60, QSize(320, 240)), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto window = std::make_unique<ui::PreviewWindow>(project.get(), detector.get());
    window->show();
    QVERIFY(window->openFaceVideo(clip));
    const StalledDisk stalled(QStringLiteral("unanswering"), 30000);
    QVERIFY(stalled.isArmed());
    QTRY_VERIFY2_WITH_TIMEOUT(footerOf(*window).contains(QStringLiteral("The video \"unanswering.mp4\" has sent no picture for 5 seconds: its disk may not be answering.")),
                              qPrintable(footerOf(*window)), 20000);
    QVERIFY(window->previewImage().isNull());
    window.reset();
    QVERIFY(stalled.isHolding());
    QVERIFY(QThreadPool::globalInstance()->waitForDone(0));
}

// A paused step that shows nothing for seconds (its disk held still a while, a long group of
// pictures on a busy machine) is said to find no picture; its picture comes after all: the
// footer no longer says the file may be cut short.
void tst_PreviewWindow::pausedStepAnsweredLateTakesItsNoteBack()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clip (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("late.mp4"));
    const QString error = testclips::encode(testclips::noise(40, QSize(96, 64)), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openFaceVideo(clip));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QTRY_VERIFY_WITH_TIMEOUT(!time->text().startsWith(QStringLiteral("0:00.0 ")), 30000);
    QTest::keyClick(&window, Qt::Key_Space);
    QTRY_COMPARE(window.findChild<QToolButton*>(QStringLiteral("playButton"))->text(), QStringLiteral("Play"));
    QTest::qWait(500); // a frame decoded before the pause may still come
    const QString note = QStringLiteral("its file declares: it may be cut short.");
    const QImage paused = window.previewImage();
    {
        const StalledDisk stalled(QStringLiteral("late.mp4"), 30000);
        QVERIFY(stalled.isArmed());
        QTest::keyClick(&window, Qt::Key_Right);
        QTRY_VERIFY2_WITH_TIMEOUT(footerOf(window).contains(note), qPrintable(footerOf(window)), 20000);
        QVERIFY(stalled.isHolding());
    }
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage() != paused, 20000);
    QTRY_VERIFY2_WITH_TIMEOUT(!footerOf(window).contains(note), qPrintable(footerOf(window)), 10000);
}

// A paused move past the pictures of a file cut short says so in the footer; a move back to a
// picture takes that back, and a move past them again says so again.
void tst_PreviewWindow::seekBackFromPastTheCutTakesItsNoteBack()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString whole = folder.filePath(QStringLiteral("whole.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut, QSize(96, 64));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openFaceVideo(cut));
    auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
    QTRY_VERIFY_WITH_TIMEOUT(!time->text().startsWith(QStringLiteral("0:00.0 ")), 30000);
    QTest::keyClick(&window, Qt::Key_Space);
    QTRY_COMPARE(window.findChild<QToolButton*>(QStringLiteral("playButton"))->text(), QStringLiteral("Play"));
    auto* slider = window.findChild<QSlider*>(QStringLiteral("positionSlider"));
    const QString note = QStringLiteral("The video \"cut.mp4\" has no picture at 4.0 s of the 4.0 s its file declares: it may be cut short.");
    slider->triggerAction(QAbstractSlider::SliderToMaximum);
    QTRY_VERIFY2_WITH_TIMEOUT(footerOf(window).contains(note), qPrintable(footerOf(window)), 20000);
    slider->triggerAction(QAbstractSlider::SliderToMinimum);
    QTRY_VERIFY2_WITH_TIMEOUT(time->text().startsWith(QStringLiteral("0:00.0 ")), qPrintable(time->text()), 10000);
    QTRY_VERIFY2_WITH_TIMEOUT(!footerOf(window).contains(QStringLiteral("has no picture at")), qPrintable(footerOf(window)), 10000);
    slider->triggerAction(QAbstractSlider::SliderToMaximum);
    QTRY_VERIFY2_WITH_TIMEOUT(footerOf(window).contains(note), qPrintable(footerOf(window)), 20000);
}

void tst_PreviewWindow::videoChosenOnAnUnansweringDiskIsWaitedFor_data()
{
    QTest::addColumn<QString>("how");  // "dialog" (Open Face Video...), "drop" or "paste"
    QTest::addColumn<QString>("file"); // "video", "gif" or "missing"
    QTest::newRow("video chosen in Open Face Video") << "dialog" << "video";
    QTest::newRow("video dropped") << "drop" << "video";
    QTest::newRow("video pasted") << "paste" << "video";
    QTest::newRow("GIF named as a video chosen") << "dialog" << "gif";
    QTest::newRow("missing video chosen") << "dialog" << "missing";
}

// A video chosen on a disk that has stopped answering (a share gone, a stick that hangs): the
// window is not held while its file is looked at, and the footer says what it waits for. Once
// the disk answers, the file is taken as it would have been at once: a video plays, a GIF is a
// face picture, a missing file is refused with a warning.
void tst_PreviewWindow::videoChosenOnAnUnansweringDiskIsWaitedFor()
{
    QFETCH(QString, how);
    QFETCH(QString, file);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("unanswering.mp4"));
    if (file == QLatin1String("video")) {
        const QString error = testclips::encode(testclips::greySteps(30, QSize(96, 64)), 10, path);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    } else if (file == QLatin1String("gif")) {
        const QString gif = folder.filePath(QStringLiteral("face.gif"));
        const QString error = testclips::encode({facePhoto.scaled(200, 280), facePhoto.scaled(200, 280).mirrored(true, false)},
                                                5, gif, QStringLiteral("gif"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(QFile::rename(gif, path));
    }
    ui::PreviewWindow window(project.get(), detector.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* controls = window.findChild<QWidget*>(QStringLiteral("videoControls"));
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 20000);
        QVERIFY(stalled.isArmed());
        if (how == QLatin1String("dialog")) {
            prompts->fileNames.enqueue(path);
            window.findChild<QAction*>(QStringLiteral("openFaceVideoAction"))->trigger();
        } else {
            QVERIFY(testsupport::handFileOver(&window, path, how == QLatin1String("drop")));
        }
        // Back while the disk still holds the look at the file.
        QVERIFY(stalled.isHolding());
        QVERIFY2(footerOf(window).endsWith(QStringLiteral("Opening the video...")), qPrintable(footerOf(window)));
        QTRY_VERIFY2_WITH_TIMEOUT(footerOf(window).endsWith(ui::VideoFrameSource::silenceNote(path)),
                                  qPrintable(footerOf(window)), 15000);
        QVERIFY(stalled.isHolding());
        QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
    }
    if (file == QLatin1String("video")) {
        auto* time = window.findChild<QLabel*>(QStringLiteral("videoTime"));
        QTRY_VERIFY_WITH_TIMEOUT(controls->isVisible() && !time->text().startsWith(QStringLiteral("0:00.0 ")), 30000);
        QVERIFY2(time->text().endsWith(QStringLiteral(" / 0:03.0")), qPrintable(time->text()));
        QTRY_VERIFY2_WITH_TIMEOUT(!footerOf(window).contains(QStringLiteral("its disk may not be answering")),
                                  qPrintable(footerOf(window)), 10000);
        QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
    } else if (file == QLatin1String("gif")) {
        QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == QSize(200, 280), 30000);
        QVERIFY(!controls->isVisible());
        QVERIFY2(!footerOf(window).contains(QStringLiteral("Opening the video"))
                     && !footerOf(window).contains(QStringLiteral("unanswering.mp4")),
                 qPrintable(footerOf(window)));
        QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(prompts->ofKind(QStringLiteral("warning")).size(), 1, 10000);
        QCOMPARE(prompts->ofKind(QStringLiteral("warning")).first().text,
                 QStringLiteral("The video \"%1\" could not be opened.").arg(path));
        QVERIFY(!controls->isVisible());
        QVERIFY2(!footerOf(window).contains(QStringLiteral("Opening the video"))
                     && !footerOf(window).contains(QStringLiteral("unanswering.mp4")),
                 qPrintable(footerOf(window)));
    }
}

void tst_PreviewWindow::videoWaitedForCanBeLeft_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("window closed") << "close";
    QTest::newRow("window closed and gone") << "delete";
    QTest::newRow("another video opened") << "video";
    QTest::newRow("camera chosen") << "camera";
    QTest::newRow("photo opened") << "photo";
}

// A video chosen on a disk that does not answer is left for another source, or by closing the
// Preview, while that disk still does not answer; when it answers at last, the video left is
// not opened after all.
void tst_PreviewWindow::videoWaitedForCanBeLeft()
{
    QFETCH(QString, then);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QTemporaryDir folder;
    const QString clip = folder.filePath(QStringLiteral("unanswering.mp4"));
    const QString other = folder.filePath(QStringLiteral("other.mp4"));
    QString error = testclips::encode(testclips::greySteps(30, QSize(96, 64)), 10, clip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::encode(testclips::greySteps(6, QSize(96, 64)), 10, other);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QImage frame = facePhoto.scaled(240, 340, Qt::KeepAspectRatio);
    auto window = std::make_unique<ui::PreviewWindow>(project.get(), detector.get());
    window->show();
    auto* controls = window->findChild<QWidget*>(QStringLiteral("videoControls"));
    auto* time = window->findChild<QLabel*>(QStringLiteral("videoTime"));
    const QSize shownFirst = window->previewImage().size();
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 20000);
        QVERIFY(stalled.isArmed());
        QVERIFY(window->openFaceVideo(clip));
        QVERIFY(stalled.isHolding());
        QVERIFY2(footerOf(*window).endsWith(QStringLiteral("Opening the video...")), qPrintable(footerOf(*window)));
        if (then == QLatin1String("close") || then == QLatin1String("delete")) {
            QVERIFY(window->close());
            QVERIFY2(!footerOf(*window).contains(QStringLiteral("Opening the video")), qPrintable(footerOf(*window)));
            if (then == QLatin1String("delete")) {
                window.reset();
                // Nothing the program waits for as it ends (Qt's pool of workers) waits for that disk.
                QVERIFY(QThreadPool::globalInstance()->waitForDone(0));
            }
        } else if (then == QLatin1String("video")) {
            QVERIFY(window->openFaceVideo(other));
            QTRY_VERIFY_WITH_TIMEOUT(!time->text().startsWith(QStringLiteral("0:00.0 ")), 20000);
        } else if (then == QLatin1String("camera")) {
            window->setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20));
            QTRY_VERIFY_WITH_TIMEOUT(window->previewImage().size() == frame.size(), 20000);
        } else {
            window->setFacePicture(facePhoto);
            QVERIFY(!footerOf(*window).contains(QStringLiteral("Opening the video...")));
        }
        // Back while the disk still holds the look at the file left.
        QVERIFY(stalled.isHolding());
    }
    // The look answers now; its answer is dropped.
    QTest::qWait(1500);
    if (!window) {
        return;
    }
    QVERIFY2(!footerOf(*window).contains(QStringLiteral("unanswering.mp4")), qPrintable(footerOf(*window)));
    if (then == QLatin1String("video")) {
        QVERIFY2(time->text().endsWith(QStringLiteral(" / 0:00.6")), qPrintable(time->text()));
    } else if (then == QLatin1String("camera")) {
        QCOMPARE(window->previewImage().size(), frame.size());
        QVERIFY(!controls->isVisibleTo(window.get()));
    } else if (then == QLatin1String("photo")) {
        QCOMPARE(window->previewImage().size(), facePhoto.size());
        QVERIFY(!controls->isVisibleTo(window.get()));
    } else {
        QVERIFY(!window->isVisible());
        QVERIFY(!controls->isVisibleTo(window.get()));
        QCOMPARE(window->previewImage().size(), shownFirst);
    }
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_PreviewWindow::steadyIsOnByDefaultAndRemembered()
{
    QSettings(QStringLiteral("facemask"), QStringLiteral("facemask")).clear();
    {
        ui::PreviewWindow window(project.get(), detector.get());
        auto* steady = window.findChild<QAction*>(QStringLiteral("steadyAction"));
        QVERIFY(steady && steady->isCheckable());
        QVERIFY(steady->isChecked());
        steady->trigger();
        QVERIFY(!steady->isChecked());
    }
    {
        ui::PreviewWindow window(project.get(), detector.get());
        auto* steady = window.findChild<QAction*>(QStringLiteral("steadyAction"));
        QVERIFY(!steady->isChecked());
        steady->trigger();
    }
    ui::PreviewWindow window(project.get(), detector.get());
    QVERIFY(window.findChild<QAction*>(QStringLiteral("steadyAction"))->isChecked());
}

// Settings on a share that stopped answering: the toggle is taken at once, and remembered once
// the share answers again.
void tst_PreviewWindow::steadyDoesNotWaitForTheSettingsDisk()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    ui::PreviewWindow window(project.get(), detector.get());
    auto* steady = window.findChild<QAction*>(QStringLiteral("steadyAction"));
    const bool before = steady->isChecked();
    {
        const StalledDisk stalled(QStringLiteral("facemask.conf"), 8000);
        QVERIFY(stalled.isArmed());
        steady->trigger();
        // Back while the disk still holds the write.
        QVERIFY(!ui::Workspace::finishWrites(std::chrono::milliseconds(0)));
    }
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(ui::Workspace().previewToggle(QStringLiteral("steady"), before), !before);
}

// The frames are masked with the detection service's model: choosing a camera before any
// detection loads it in the service (which then needs no loading of its own), and says so.
void tst_PreviewWindow::cameraPathUsesTheServicesModel()
{
    QCOMPARE(detector->state(), core::FacialPointsDetector::NotInitialized);
    const QImage frame = facePhoto.scaled(480, 680, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    {
        ui::PreviewWindow window(project.get(), detector.get());
        window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20));
        QCOMPARE(footerOf(window).right(QStringLiteral("Loading the landmark model\u2026").size()),
                 QStringLiteral("Loading the landmark model\u2026"));
        QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == frame.size()
                                     && meanAbsoluteDifference(window.previewImage(), frame) > 1.0,
                                 60000);
        QCOMPARE(detector->state(), core::FacialPointsDetector::Initialized);
        QVERIFY2(!footerOf(window).contains(QStringLiteral("Loading")), qPrintable(footerOf(window)));
    }
    // With the model loaded, a camera chosen again waits only for the camera.
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFrameSource(std::make_unique<ReplayFrameSource>(QVector<QImage>{frame}, 20));
    QVERIFY2(footerOf(window).endsWith(QStringLiteral("Waiting for the camera...")), qPrintable(footerOf(window)));
    QTRY_VERIFY_WITH_TIMEOUT(window.previewImage().size() == frame.size()
                                 && meanAbsoluteDifference(window.previewImage(), frame) > 1.0,
                             60000);
}

void tst_PreviewWindow::photoOfTwoMasksBoth()
{
    const QImage two = core::readImageFile(testimages::testPicture("2008_001009.jpg"));
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(two);
    waitForFace(window);
    // The faces the detector finds on the picture (left, top, right, bottom).
    for (const QRect& face : {QRect(QPoint(121, 208), QPoint(208, 294)), QRect(QPoint(149, 85), QPoint(221, 157))}) {
        QVERIFY2(meanAbsoluteDifference(window.previewImage().copy(face), two.copy(face)) > 8.0,
                 qPrintable(QStringLiteral("face at %1, %2 has no mask").arg(face.x()).arg(face.y())));
    }
}

// A photo of 24 faces: the 8 largest get the mask, as on a video of it, whatever order the
// detector finds them in.
void tst_PreviewWindow::photoOfACrowdMasksTheLargest_data()
{
    QTest::addColumn<QRect>("face"); // as the detector finds it (left, top, right, bottom)
    QTest::addColumn<bool>("masked");
    QTest::newRow("215 px, bottom left") << QRect(QPoint(18, 1260), QPoint(233, 1475)) << true;
    QTest::newRow("215 px, middle") << QRect(QPoint(400, 830), QPoint(615, 1045)) << true;
    QTest::newRow("215 px, bottom") << QRect(QPoint(352, 1260), QPoint(567, 1475)) << true;
    QTest::newRow("180 px, bottom right") << QRect(QPoint(1786, 1289), QPoint(1966, 1468)) << true;
    QTest::newRow("149 px") << QRect(QPoint(327, 443), QPoint(476, 593)) << false;
    QTest::newRow("125 px") << QRect(QPoint(1461, 1351), QPoint(1586, 1475)) << false;
}

void tst_PreviewWindow::photoOfACrowdMasksTheLargest()
{
    QFETCH(QRect, face);
    QFETCH(bool, masked);
    const QImage crowd = core::readImageFile(testimages::testPicture("bald_guys.jpg"));
    QCOMPARE(crowd.size(), QSize(1986, 1545));
    ui::PreviewWindow window(project.get(), detector.get());
    window.setFacePicture(crowd);
    waitForFace(window);
    const QImage shown = window.previewImage();
    QCOMPARE(shown.size(), crowd.size());
    const double change = meanAbsoluteDifference(shown.copy(face), crowd.copy(face));
    QVERIFY2(masked ? change > 8.0 : change < 4.0, qPrintable(QStringLiteral("changed by %1").arg(change)));
}

QTEST_MAIN(tst_PreviewWindow)
#include "tst_previewwindow.moc"
