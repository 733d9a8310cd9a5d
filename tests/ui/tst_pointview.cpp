#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/meanface.h"
#include "preview/facetriangles.h"
#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/detectorwait.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/mousedrags.h"
#include "ui/pictureintake.h"
#include "ui/pointview.h"
#include "tests/support/testimages.h"

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QGuiApplication>
#include <QMimeData>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QUrl>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>

#include <memory>

Q_DECLARE_METATYPE(QList<QUrl>)

// A view with a model and a real detection service, as the main window wires them.
struct DetectingView {
    DetectingView() { view.setFacialPoints(&model); }
    core::FacialPointsDetector detector;
    core::FacialPoints model;
    ui::PointView view{&detector};
};

using DetectionWatcher = QFutureWatcher<core::FacialPointsDetector::DetectionResult>;

namespace {

const QString loadingLine = QStringLiteral("Loading the landmark model\u2026");
const QString findingLine = QStringLiteral("Finding faces\u2026");

// Runs a test body in a fresh, empty working directory, where no landmark model is found.
class EmptyWorkingDirectory
{
public:
    EmptyWorkingDirectory()
        : m_previous(QDir::currentPath())
    {
        m_valid = m_dir.isValid() && QDir::setCurrent(m_dir.path());
    }
    ~EmptyWorkingDirectory() { QDir::setCurrent(m_previous); }
    bool isValid() const { return m_valid; }

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_valid = false;
};

QStringList linesOf(const QSignalSpy& spy)
{
    QStringList lines;
    for (const QList<QVariant>& arguments : spy) {
        lines.append(arguments.at(0).toString());
    }
    return lines;
}

// The result the service gives for picture, waited on directly.
core::DetectionResult detectNow(core::FacialPointsDetector& detector, const QImage& picture)
{
    const auto watcher = detector.detect(picture);
    if (!watcher) {
        return {};
    }
    watcher->waitForFinished();
    return watcher->result();
}

// Shows the test photo at half size (so that the view's and the picture's pixels differ) in the
// fixture's view, with stack as its history, and waits for the points detection places there.
// *expected is the detection's own result for the photo; false when no points came.
bool showDetected(DetectingView& fixture, QUndoStack& stack, const char* photo,
                  core::DetectionResult* expected)
{
    fixture.view.setUndoStack(&stack);
    const QImage picture(testimages::testPicture(photo));
    fixture.view.resize(picture.width() / 2, picture.height() / 2);
    *expected = detectNow(fixture.detector, picture);
    QSignalSpy pointsUpdated(&fixture.model, &core::FacialPoints::pointsUpdated);
    fixture.view.setImage(picture);
    return pointsUpdated.wait(60000);
}

using testsupport::drag;
using testsupport::waitForDetectorIdle;

} // namespace

class tst_PointView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void setImageNeedsModelAndPicture();
    void mimeDataIntake_data();
    void mimeDataIntake();
    void mimeDataWithoutModelTakesNothing();
    void dropFileComesInUpright();
    void dragEnterAcceptsImagesAndUrls_data();
    void dragEnterAcceptsImagesAndUrls();
    void dropWithoutModelIsIgnored();
    void pasteWithControlV_data();
    void pasteWithControlV();
    void dragMovesPoint();
    void dialogOpeningMidDragEndsTheDrag_data();
    void dialogOpeningMidDragEndsTheDrag();
    void releaseTakenByAPopupEndsTheDragAtTheNextMove_data();
    void releaseTakenByAPopupEndsTheDragAtTheNextMove();
    void wheelZoomsAboutCursor_data();
    void wheelZoomsAboutCursor();
    void wheelScrollsZoomedPicture_data();
    void wheelScrollsZoomedPicture();
    void dragPans_data();
    void dragPans();
    void secondButtonDoesNotTakeOverADrag_data();
    void secondButtonDoesNotTakeOverADrag();
    void keysEditSelection_data();
    void keysEditSelection();
    void escapeTakesADragBack_data();
    void escapeTakesADragBack();
    void pictureArrivingMidDragEndsTheDragFirst_data();
    void pictureArrivingMidDragEndsTheDragFirst();
    void pointInfoFollowsSelection();
    void leftOutTrianglesAreToldByWhy_data();
    void leftOutTrianglesAreToldByWhy();

    void firstPictureIsDetectedWithoutQuestion();
    void questionDefaultFollowsLastAnswer();
    void eachSessionKeepsItsAnswer();
    void supersededDetectionNeverReachesModel();
    void pictureReplacedDuringDetectionKeepsItsPoints();

    void footerLines_data();
    void footerLines();
    void failedModelPutsPreviousPointsBack();
    void agreedReplacementHidesOldPoints();
    void dragAfterUndoDuringDetectionIsKept();
    void editDuringDetectionIsNotOverwritten();
    void pictureWithoutFaceSavesPackageThatReloads();
    void placingPointsOnSecondFace();
    void placingPointsOnEveryFaceFromTheKeyboard();
    void shiftF10OpensTheFaceMenu();
    void nextFaceOfAOneFacePictureGivesItsPointsBack();
    void placingPointsOnAFaceMidDragKeepsTheDragAsItsOwnStep();

private:
    QString writeFile(const QString& name, const QByteArray& bytes);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakePrompts> prompts;
    QImage red;
    QImage blue;
};

void tst_PointView::initTestCase()
{
    core::registerFacialPointVector();
    red = testimages::filled(30, 20, Qt::red);
    blue = testimages::filled(40, 10, Qt::blue);
}

void tst_PointView::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    prompts = std::make_unique<FakePrompts>();
}

void tst_PointView::cleanup()
{
    prompts.reset();
    dir.reset();
}

QString tst_PointView::writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        return QString();
    }
    return path;
}

void tst_PointView::setImageNeedsModelAndPicture()
{
    ui::PointView view(nullptr);
    view.setImage(red); // no model: nothing to store it in
    QVERIFY(!view.acceptDrops());

    core::FacialPoints model;
    view.setFacialPoints(&model);
    QVERIFY(view.acceptDrops());
    QSignalSpy imageChanged(&model, &core::FacialPoints::imageChanged);
    view.setImage(QImage());
    QCOMPARE(imageChanged.count(), 0);
    view.setImage(red);
    QCOMPARE(imageChanged.count(), 1);
    QCOMPARE(model.image(), red);

    view.setFacialPoints(nullptr);
    QVERIFY(!view.acceptDrops());
}

void tst_PointView::mimeDataIntake_data()
{
    QTest::addColumn<bool>("withImage");
    QTest::addColumn<bool>("imageIsNull");
    QTest::addColumn<QStringList>("files"); // "name:kind" with kind png, text or missing
    QTest::addColumn<bool>("webUrl");
    QTest::addColumn<bool>("tried"); // the data held a picture to try
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QSize>("expectedSize");
    QTest::addColumn<bool>("told"); // a warning: the web address not fetched, the other file not opened

    QTest::newRow("image-data-is-taken") << true << false << QStringList() << false << true << true << QSize(30, 20) << false;
    QTest::newRow("image-wins-over-urls") << true << false << QStringList{"b.png:png"} << false << true << true << QSize(30, 20) << false;
    QTest::newRow("null-image-falls-back-to-urls") << true << true << QStringList{"b.png:png"} << false << true << true << QSize(40, 10) << false;
    QTest::newRow("text-file-before-png-takes-png") << false << false << QStringList{"a.png:text", "b.png:png"} << false << true << true << QSize(40, 10) << true;
    QTest::newRow("png-under-text-name-is-read-by-content") << false << false << QStringList{"notes.txt:png"} << false << true << true << QSize(40, 10) << false;
    QTest::newRow("only-unloadable-files-take-nothing") << false << false << QStringList{"a.png:text", "gone.png:missing"} << false << true << false << QSize(0, 0) << false;
    QTest::newRow("missing-file-is-not-tried") << false << false << QStringList{"gone.png:missing"} << false << false << false << QSize(0, 0) << false;
    // Not fetched, but told: the user meant a picture.
    QTest::newRow("web-url-is-told-not-taken") << false << false << QStringList() << true << true << false << QSize(0, 0) << true;
    QTest::newRow("no-image-no-urls-takes-nothing") << false << false << QStringList() << false << false << false << QSize(0, 0) << false;
}

void tst_PointView::mimeDataIntake()
{
    QFETCH(bool, withImage);
    QFETCH(bool, imageIsNull);
    QFETCH(QStringList, files);
    QFETCH(bool, webUrl);
    QFETCH(bool, tried);
    QFETCH(bool, taken);
    QFETCH(QSize, expectedSize);
    QFETCH(bool, told);

    QMimeData data;
    if (withImage) {
        data.setImageData(imageIsNull ? QImage() : red);
    }
    QList<QUrl> urls;
    if (webUrl) {
        urls.append(QUrl(QStringLiteral("https://example.org/face.png")));
    }
    for (const QString& entry : files) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0);
        const QString kind = entry.section(QLatin1Char(':'), 1, 1);
        QString path = dir->filePath(name);
        if (kind == QLatin1String("png")) {
            path = writeFile(name, testimages::encoded(blue, "png"));
        } else if (kind == QLatin1String("text")) {
            path = writeFile(name, "this is not a picture\n");
        }
        QVERIFY2(!path.isEmpty(), qPrintable(QStringLiteral("cannot write %1").arg(name)));
        urls.append(QUrl::fromLocalFile(path));
    }
    if (!urls.isEmpty()) {
        data.setUrls(urls);
    }

    core::FacialPoints model;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    QSignalSpy imageChanged(&model, &core::FacialPoints::imageChanged);

    QCOMPARE(view.insertFromMimeData(&data), tried);
    // Files are read on a worker.
    QTRY_VERIFY(!view.pictureIntake()->isReading());
    QCOMPARE(imageChanged.count(), taken ? 1 : 0);
    QCOMPARE(model.image().size(), expectedSize);
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), told ? 1 : 0);
    QCOMPARE(prompts->records.size(), told ? 1 : 0);
}

void tst_PointView::mimeDataWithoutModelTakesNothing()
{
    QMimeData data;
    data.setImageData(red);
    ui::PointView view(nullptr);
    QVERIFY(!view.insertFromMimeData(&data));
}

void tst_PointView::dropFileComesInUpright()
{
    // Stored 40 x 20 with orientation 6: shown upright it is 20 x 40.
    const QString path = writeFile(QStringLiteral("portrait.jpg"),
                                   testimages::jpegWithExifOrientation(testimages::filled(40, 20, Qt::green), 6));
    QVERIFY(!path.isEmpty());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});

    core::FacialPoints model;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    QVERIFY(view.insertFromMimeData(&data));
    QTRY_COMPARE(model.image().size(), QSize(20, 40));
}

void tst_PointView::dragEnterAcceptsImagesAndUrls_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("image") << "image" << true;
    QTest::newRow("web-url") << "url" << true;
    QTest::newRow("plain-text") << "text" << false;
}

void tst_PointView::dragEnterAcceptsImagesAndUrls()
{
    QFETCH(QString, content);
    QFETCH(bool, accepted);

    QMimeData data;
    if (content == QLatin1String("image")) {
        data.setImageData(red);
    } else if (content == QLatin1String("url")) {
        data.setUrls({QUrl(QStringLiteral("https://example.org/x.png"))});
    } else {
        data.setText(QStringLiteral("hello"));
    }
    core::FacialPoints model;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    QDragEnterEvent event(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    QApplication::sendEvent(&view, &event);
    QCOMPARE(event.isAccepted(), accepted);
}

// Drop events are only delivered inside a real drag; the handler is called directly.
class DropTarget : public ui::PointView
{
public:
    DropTarget() : ui::PointView(nullptr) {}
    using ui::PointView::dropEvent;
};

void tst_PointView::dropWithoutModelIsIgnored()
{
    QMimeData data;
    data.setImageData(red);
    DropTarget view;
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(true);
    view.dropEvent(&event);
    QVERIFY(!event.isAccepted());

    core::FacialPoints model;
    view.setFacialPoints(&model);
    QDropEvent accepted(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    accepted.setAccepted(false);
    view.dropEvent(&accepted);
    QVERIFY(accepted.isAccepted());
    QCOMPARE(model.image().size(), red.size());

    QMimeData nothing;
    nothing.setText(QStringLiteral("no picture here"));
    QDropEvent refused(QPointF(5, 5), Qt::CopyAction, &nothing, Qt::LeftButton, Qt::NoModifier);
    refused.setAccepted(false);
    view.dropEvent(&refused);
    QVERIFY(!refused.isAccepted());
}

void tst_PointView::pasteWithControlV_data()
{
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("pasted");
    QTest::newRow("ctrl-v") << int(Qt::ControlModifier) << int(Qt::Key_V) << true;
    QTest::newRow("ctrl-shift-v") << int(Qt::ControlModifier | Qt::ShiftModifier) << int(Qt::Key_V) << true;
    QTest::newRow("plain-v") << int(Qt::NoModifier) << int(Qt::Key_V) << false;
    QTest::newRow("ctrl-c") << int(Qt::ControlModifier) << int(Qt::Key_C) << false;
}

void tst_PointView::pasteWithControlV()
{
    QFETCH(int, modifiers);
    QFETCH(int, key);
    QFETCH(bool, pasted);

    QGuiApplication::clipboard()->setImage(blue);
    // Without a model the paste has nowhere to go, so the key press is not taken.
    ui::PointView detached(nullptr);
    QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers));
    press.setAccepted(false);
    QApplication::sendEvent(&detached, &press);
    QVERIFY(!press.isAccepted());
    core::FacialPoints model;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    QTest::keyClick(&view, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(model.image().size(), pasted ? blue.size() : QSize(0, 0));
}

void tst_PointView::dragMovesPoint()
{
    core::FacialPoints model;
    model.setImage(red);
    model.setPoints({FacialPoint(0.25, 0.5)});
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    view.resize(200, 100);

    // Grab 2 px right of the point; the point keeps that offset to the cursor.
    drag(&view, QPoint(52, 50), QPoint(72, 60));

    QCOMPARE(model.points().at(0), FacialPoint(70.0 / 200.0, 60.0 / 100.0));
}

void tst_PointView::dialogOpeningMidDragEndsTheDrag_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::addColumn<int>("eventType");
    QTest::newRow("dragging a point") << int(Qt::LeftButton) << int(QEvent::WindowBlocked);
    QTest::newRow("panning") << int(Qt::MiddleButton) << int(QEvent::WindowBlocked);
    QTest::newRow("another window activated, dragging a point") << int(Qt::LeftButton) << int(QEvent::WindowDeactivate);
    QTest::newRow("another window activated, panning") << int(Qt::MiddleButton) << int(QEvent::WindowDeactivate);
}

// A modal dialog that opens in the middle of a drag (a detection question, a warning) takes the
// button's release; another window activated (Alt+Tab, a program's window popping up) may take it
// too. The drag ends where it was: a point moved becomes an undo step, and moving the mouse
// afterwards, over the other window or with no button held, moves nothing.
void tst_PointView::dialogOpeningMidDragEndsTheDrag()
{
    QFETCH(int, buttonValue);
    QFETCH(int, eventType);
    const auto button = Qt::MouseButton(buttonValue);
    core::FacialPoints model;
    model.setImage(red);
    model.setPoints({FacialPoint(0.25, 0.5)});
    QUndoStack stack;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    view.setUndoStack(&stack);
    view.resize(200, 100);
    for (int i = 0; button == Qt::MiddleButton && i < 6; ++i) {
        view.zoomIn(); // something to pan
    }

    QTest::mousePress(&view, button, Qt::NoModifier, QPoint(50, 50));
    testsupport::moveHeld(&view, QPoint(70, 60), button);
    const FacialPoint point = model.points().at(0);
    const QPointF centre = view.viewToPicturePixels(QPoint(100, 50));
    QEvent keysTaken{QEvent::Type(eventType)};
    QApplication::sendEvent(&view, &keysTaken);
    QCOMPARE(stack.count(), button == Qt::LeftButton ? 1 : 0);

    // The button is still held over the other window, then let go there; the mouse moves on.
    testsupport::moveHeld(&view, QPoint(120, 40), button);
    testsupport::moveHeld(&view, QPoint(150, 20), Qt::NoButton);
    QCOMPARE(model.points().at(0), point);
    QCOMPARE(view.viewToPicturePixels(QPoint(100, 50)), centre);
}

void tst_PointView::releaseTakenByAPopupEndsTheDragAtTheNextMove_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::addColumn<bool>("spaceHeld");
    QTest::newRow("dragging a point") << int(Qt::LeftButton) << false;
    QTest::newRow("panning with the middle button") << int(Qt::MiddleButton) << false;
    QTest::newRow("panning with Space and the left button") << int(Qt::LeftButton) << true;
}

// A menu that pops up in the middle of a drag (the Edit menu opened by its key, a context menu)
// takes the button's release, and no WindowBlocked comes. The first move without the button ends
// the drag where the last move left it: a point moved becomes an undo step, and the point, or the
// picture, does not follow a cursor with no button held.
void tst_PointView::releaseTakenByAPopupEndsTheDragAtTheNextMove()
{
    QFETCH(int, buttonValue);
    QFETCH(bool, spaceHeld);
    const auto button = Qt::MouseButton(buttonValue);
    const bool panning = button == Qt::MiddleButton || spaceHeld;
    core::FacialPoints model;
    model.setImage(red);
    model.setPoints({FacialPoint(0.25, 0.5)});
    QUndoStack stack;
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    view.setUndoStack(&stack);
    view.resize(200, 100);
    for (int i = 0; panning && i < 6; ++i) {
        view.zoomIn(); // something to pan
    }
    if (spaceHeld) {
        QTest::keyPress(&view, Qt::Key_Space);
    }

    QTest::mousePress(&view, button, Qt::NoModifier, QPoint(50, 50));
    testsupport::moveHeld(&view, QPoint(70, 60), button);
    const FacialPoint point = model.points().at(0);
    const QPointF centre = view.viewToPicturePixels(QPoint(100, 50));

    // The release went to the popup; the mouse now moves with no button held.
    testsupport::moveHeld(&view, QPoint(150, 20), Qt::NoButton);
    testsupport::moveHeld(&view, QPoint(30, 80), Qt::NoButton);
    QCOMPARE(model.points().at(0), point);
    QCOMPARE(view.viewToPicturePixels(QPoint(100, 50)), centre);
    QCOMPARE(stack.count(), panning ? 0 : 1);
    if (!panning) {
        QVERIFY(point != FacialPoint(0.25, 0.5));
        stack.undo();
        QCOMPARE(model.points().at(0), FacialPoint(0.25, 0.5));
    }
    if (spaceHeld) {
        QTest::keyRelease(&view, Qt::Key_Space);
    }
}

namespace {

// A 30 x 20 picture in a 300 x 200 view: ten view pixels per picture pixel at zoom 1.
struct EditingView {
    EditingView(const core::FacialPointVector& points = {})
    {
        model.setImage(testimages::filled(30, 20, Qt::darkGreen));
        model.setPoints(points);
        view.setFacialPoints(&model);
        view.resize(300, 200);
    }

    void wheel(QPoint at, QPoint angle, Qt::KeyboardModifiers modifiers)
    {
        QWheelEvent event(QPointF(at), QPointF(view.mapToGlobal(at)), QPoint(), angle,
                          Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &event);
    }

    void drag(Qt::MouseButton button, QPoint from, QPoint to)
    {
        testsupport::drag(&view, from, to, button);
    }

    core::FacialPoints model;
    ui::PointView view{nullptr};
};

bool samePosition(QPointF a, QPointF b)
{
    return std::abs(a.x() - b.x()) < 1e-6 && std::abs(a.y() - b.y()) < 1e-6;
}

QString show(QPointF p)
{
    return QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y());
}

} // namespace

void tst_PointView::wheelZoomsAboutCursor_data()
{
    QTest::addColumn<QPoint>("angle");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<double>("expectedZoom");
    QTest::newRow("ctrl-one-notch") << QPoint(0, 120) << int(Qt::ControlModifier) << 1.25;
    QTest::newRow("ctrl-two-notches") << QPoint(0, 240) << int(Qt::ControlModifier) << 1.5625;
    QTest::newRow("ctrl-touchpad-half-notch") << QPoint(0, 60) << int(Qt::ControlModifier) << std::sqrt(1.25);
    QTest::newRow("ctrl-out-at-fit-stays") << QPoint(0, -120) << int(Qt::ControlModifier) << 1.0;
    QTest::newRow("ctrl-far-in-stops-at-64") << QPoint(0, 120 * 40) << int(Qt::ControlModifier) << 64.0;
    QTest::newRow("plain-wheel-does-not-zoom") << QPoint(0, 120) << int(Qt::NoModifier) << 1.0;
}

void tst_PointView::wheelZoomsAboutCursor()
{
    QFETCH(QPoint, angle);
    QFETCH(int, modifiers);
    QFETCH(double, expectedZoom);
    EditingView fixture;
    const QPoint cursor(70, 130);
    const QPointF underCursor = fixture.view.viewToPicturePixels(cursor);
    fixture.wheel(cursor, angle, Qt::KeyboardModifiers(modifiers));
    QVERIFY(std::abs(fixture.view.zoom() - expectedZoom) < 1e-9);
    const QPointF after = fixture.view.viewToPicturePixels(cursor);
    QVERIFY2(samePosition(after, underCursor), qPrintable(show(after) + " vs " + show(underCursor)));
}

void tst_PointView::wheelScrollsZoomedPicture_data()
{
    QTest::addColumn<QPoint>("angle");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QPointF>("expectedShift");
    // At zoom 2 a picture pixel spans 20 view pixels; a notch scrolls 40 view pixels.
    QTest::newRow("wheel-up-shows-above") << QPoint(0, 120) << int(Qt::NoModifier) << QPointF(0, -2);
    QTest::newRow("wheel-down-shows-below") << QPoint(0, -120) << int(Qt::NoModifier) << QPointF(0, 2);
    QTest::newRow("shift-wheel-scrolls-across") << QPoint(0, 120) << int(Qt::ShiftModifier) << QPointF(-2, 0);
    QTest::newRow("horizontal-wheel") << QPoint(-120, 0) << int(Qt::NoModifier) << QPointF(2, 0);
    QTest::newRow("far-up-stops-at-top") << QPoint(0, 120 * 50) << int(Qt::NoModifier) << QPointF(0, -5);
}

void tst_PointView::wheelScrollsZoomedPicture()
{
    QFETCH(QPoint, angle);
    QFETCH(int, modifiers);
    QFETCH(QPointF, expectedShift);
    EditingView fixture;
    fixture.wheel(QPoint(150, 100), QPoint(0, qRound(120 * std::log(2.0) / std::log(1.25))),
                  Qt::ControlModifier);
    QVERIFY(std::abs(fixture.view.zoom() - 2.0) < 0.01);
    const QPoint centre(150, 100);
    const QPointF before = fixture.view.viewToPicturePixels(centre);
    fixture.wheel(centre, angle, Qt::KeyboardModifiers(modifiers));
    const QPointF shift = fixture.view.viewToPicturePixels(centre) - before;
    QVERIFY2(std::abs(shift.x() - expectedShift.x()) < 0.05 && std::abs(shift.y() - expectedShift.y()) < 0.05,
             qPrintable(show(shift)));
}

void tst_PointView::dragPans_data()
{
    QTest::addColumn<bool>("withSpace");
    QTest::newRow("middle-button") << false;
    QTest::newRow("space-and-left-button") << true;
}

void tst_PointView::dragPans()
{
    QFETCH(bool, withSpace);
    // A point right under the press: panning must not grab it.
    EditingView fixture({FacialPoint(0.5, 0.5)});
    fixture.view.zoomIn();
    fixture.view.zoomIn();
    const QPoint from(150, 100);
    const QPoint to(120, 80);
    const QPointF grabbed = fixture.view.viewToPicturePixels(from);
    if (withSpace) {
        QTest::keyPress(&fixture.view, Qt::Key_Space);
    }
    fixture.drag(withSpace ? Qt::LeftButton : Qt::MiddleButton, from, to);
    if (withSpace) {
        QTest::keyRelease(&fixture.view, Qt::Key_Space);
    }
    const QPointF nowUnderTo = fixture.view.viewToPicturePixels(to);
    QVERIFY2(samePosition(nowUnderTo, grabbed), qPrintable(show(nowUnderTo) + " vs " + show(grabbed)));
    QCOMPARE(fixture.model.points().at(0), FacialPoint(0.5, 0.5));
}

void tst_PointView::secondButtonDoesNotTakeOverADrag_data()
{
    QTest::addColumn<int>("held");   // the button the drag began with
    QTest::addColumn<int>("second"); // pressed and let go in the middle of it
    QTest::newRow("left-click-while-panning") << int(Qt::MiddleButton) << int(Qt::LeftButton);
    QTest::newRow("middle-click-while-moving-a-point") << int(Qt::LeftButton) << int(Qt::MiddleButton);
}

// A second button pressed and let go in the middle of a pan or of a point's move leaves the drag
// to the first: it ends as the same drag without the second button does, the selection kept.
void tst_PointView::secondButtonDoesNotTakeOverADrag()
{
    QFETCH(int, held);
    QFETCH(int, second);
    const auto first = Qt::MouseButton(held);
    struct Outcome {
        core::FacialPointVector points;
        QPointF underCentre; // picture pixels under the view's centre
        QVector<int> selection;
        int steps = 0;
    };
    const auto dragWith = [first](Qt::MouseButtons other) {
        EditingView fixture({FacialPoint(0.5, 0.5), FacialPoint(0.04, 0.5)});
        QUndoStack stack;
        fixture.view.setUndoStack(&stack);
        fixture.view.zoomIn();
        fixture.view.zoomIn();
        QTest::keyClick(&fixture.view, Qt::Key_Tab); // the first point selected
        QTest::mousePress(&fixture.view, first, Qt::NoModifier, QPoint(150, 100));
        testsupport::moveHeld(&fixture.view, QPoint(140, 95), first);
        // As the window system sends them: the first button still held in buttons().
        const auto send = [&fixture, first, other](QEvent::Type type, QPoint at) {
            const Qt::MouseButtons down = type == QEvent::MouseButtonPress ? first | other : Qt::MouseButtons(first);
            QMouseEvent event(type, QPointF(at), QPointF(fixture.view.mapToGlobal(at)), Qt::MouseButton(int(other)),
                              down, Qt::NoModifier);
            QApplication::sendEvent(&fixture.view, &event);
        };
        if (other != Qt::NoButton) {
            send(QEvent::MouseButtonPress, QPoint(140, 95));
        }
        testsupport::moveHeld(&fixture.view, QPoint(130, 90), first | other);
        if (other != Qt::NoButton) {
            send(QEvent::MouseButtonRelease, QPoint(130, 90));
        }
        testsupport::moveHeld(&fixture.view, QPoint(120, 80), first);
        QTest::mouseRelease(&fixture.view, first, Qt::NoModifier, QPoint(120, 80));
        return Outcome{fixture.model.points(), fixture.view.viewToPicturePixels(QPoint(150, 100)),
                       fixture.view.selection(), stack.count()};
    };
    const Outcome alone = dragWith(Qt::NoButton);
    const Outcome interrupted = dragWith(Qt::MouseButton(second));
    QCOMPARE(alone.selection, QVector<int>{0});
    QCOMPARE(alone.steps, first == Qt::LeftButton ? 1 : 0);
    QCOMPARE(interrupted.points, alone.points);
    QVERIFY2(samePosition(interrupted.underCentre, alone.underCentre),
             qPrintable(show(interrupted.underCentre) + " vs " + show(alone.underCentre)));
    QCOMPARE(interrupted.selection, alone.selection);
    QCOMPARE(interrupted.steps, alone.steps);
}

void tst_PointView::keysEditSelection_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QList<int>>("modifiers");
    QTest::addColumn<QPointF>("expectedFirst");
    QTest::addColumn<QPointF>("expectedSecond");
    // The points sit at view pixels (150, 100) and (12, 100) of the 300 x 200 view.
    const int none = int(Qt::NoModifier);
    const int shift = int(Qt::ShiftModifier);
    QTest::newRow("tab-then-right") << QList<int>{Qt::Key_Tab, Qt::Key_Right} << QList<int>{none, none}
                                    << QPointF(151, 100) << QPointF(12, 100);
    QTest::newRow("tab-then-shift-down") << QList<int>{Qt::Key_Tab, Qt::Key_Down} << QList<int>{none, shift}
                                         << QPointF(150, 110) << QPointF(12, 100);
    QTest::newRow("backtab-selects-last") << QList<int>{Qt::Key_Backtab, Qt::Key_Left} << QList<int>{shift, none}
                                          << QPointF(150, 100) << QPointF(11, 100);
    QTest::newRow("tab-tab-selects-second") << QList<int>{Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Up}
                                            << QList<int>{none, none, none} << QPointF(150, 100) << QPointF(12, 99);
    QTest::newRow("escape-then-arrow-moves-nothing") << QList<int>{Qt::Key_Tab, Qt::Key_Escape, Qt::Key_Up}
                                                     << QList<int>{none, none, none} << QPointF(150, 100) << QPointF(12, 100);
    QTest::newRow("ctrl-a-moves-all") << QList<int>{Qt::Key_A, Qt::Key_Up} << QList<int>{int(Qt::ControlModifier), none}
                                      << QPointF(150, 99) << QPointF(12, 99);
    QTest::newRow("shift-left-stops-at-edge") << QList<int>{Qt::Key_Backtab, Qt::Key_Left, Qt::Key_Left, Qt::Key_Left}
                                              << QList<int>{shift, shift, shift, shift} << QPointF(150, 100) << QPointF(0, 100);
}

void tst_PointView::keysEditSelection()
{
    QFETCH(QList<int>, keys);
    QFETCH(QList<int>, modifiers);
    QFETCH(QPointF, expectedFirst);
    QFETCH(QPointF, expectedSecond);
    EditingView fixture({FacialPoint(0.5, 0.5), FacialPoint(0.04, 0.5)});
    for (int i = 0; i < keys.size(); ++i) {
        QTest::keyClick(&fixture.view, Qt::Key(keys[i]), Qt::KeyboardModifiers(modifiers[i]));
    }
    const QPointF expected[] = {expectedFirst, expectedSecond};
    for (int i = 0; i < 2; ++i) {
        const FacialPoint point = fixture.model.points().at(size_t(i));
        const QPointF inView(point.x() * 300, point.y() * 200);
        QVERIFY2(samePosition(inView, expected[i]),
                 qPrintable(QStringLiteral("point %1 at %2, expected %3")
                                .arg(i).arg(show(inView), show(expected[i]))));
    }
}

void tst_PointView::escapeTakesADragBack_data()
{
    QTest::addColumn<int>("selectKey"); // pressed before the drag: Tab (the first point), A (Ctrl+A) or none
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QVector<int>>("selectionAfter");
    // The points sit at view pixels (150, 100) and (12, 100) of the 300 x 200 view; the box of
    // both runs from (2, 90) to (160, 110).
    QTest::newRow("a-point") << int(Qt::Key_Tab) << QPoint(12, 100) << QVector<int>{0};
    QTest::newRow("a-point-nothing-selected") << 0 << QPoint(150, 100) << QVector<int>{};
    QTest::newRow("the-selection") << int(Qt::Key_A) << QPoint(150, 100) << QVector<int>{0, 1};
    QTest::newRow("a-corner-of-the-box") << int(Qt::Key_A) << QPoint(160, 110) << QVector<int>{0, 1};
    QTest::newRow("a-rubber-band") << int(Qt::Key_Tab) << QPoint(100, 40) << QVector<int>{0};
    // Outside a drag Escape clears the selection, as before.
    QTest::newRow("no-drag") << int(Qt::Key_A) << QPoint() << QVector<int>{};
}

// Escape in the middle of a drag puts the points and the selection back as they were before it
// and adds no step; the moves and the release that follow do nothing.
void tst_PointView::escapeTakesADragBack()
{
    QFETCH(int, selectKey);
    QFETCH(QPoint, press);
    QFETCH(QVector<int>, selectionAfter);
    EditingView fixture({FacialPoint(0.5, 0.5), FacialPoint(0.04, 0.5)});
    QUndoStack stack;
    fixture.view.setUndoStack(&stack);
    const core::FacialPointVector start = fixture.model.points();
    if (selectKey == Qt::Key_A) {
        QTest::keyClick(&fixture.view, Qt::Key_A, Qt::ControlModifier);
    } else if (selectKey == Qt::Key_Tab) {
        QTest::keyClick(&fixture.view, Qt::Key_Tab);
    }
    if (!press.isNull()) {
        QTest::mousePress(&fixture.view, Qt::LeftButton, Qt::NoModifier, press);
        testsupport::moveHeld(&fixture.view, press + QPoint(30, 40));
        // Every gesture but the band has moved points by now.
        QCOMPARE(fixture.model.points() != start, press != QPoint(100, 40));
    }
    QTest::keyClick(&fixture.view, Qt::Key_Escape);
    QCOMPARE(fixture.model.points(), start);
    QCOMPARE(fixture.view.selection(), selectionAfter);
    if (!press.isNull()) {
        testsupport::moveHeld(&fixture.view, press + QPoint(60, 70));
        QTest::mouseRelease(&fixture.view, Qt::LeftButton, Qt::NoModifier, press + QPoint(60, 70));
    }
    QCOMPARE(fixture.model.points(), start);
    QCOMPARE(fixture.view.selection(), selectionAfter);
    QCOMPARE(stack.count(), 0);
}

void tst_PointView::pictureArrivingMidDragEndsTheDragFirst_data()
{
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("a-point") << false << QPoint(150, 100) << QStringList{"Move Point 0", "Replace Picture"};
    QTest::newRow("the-selection") << true << QPoint(150, 100) << QStringList{"Move 2 Points", "Replace Picture"};
    QTest::newRow("a-rubber-band") << false << QPoint(100, 40) << QStringList{"Replace Picture"};
}

// A picture pasted or dropped while the button is held: the drag so far is a step of its own
// before the picture's, and what the mouse does until the release moves nothing.
void tst_PointView::pictureArrivingMidDragEndsTheDragFirst()
{
    QFETCH(bool, selectAll);
    QFETCH(QPoint, press);
    QFETCH(QStringList, steps);
    EditingView fixture({FacialPoint(0.5, 0.5), FacialPoint(0.04, 0.5)});
    QUndoStack stack;
    fixture.view.setUndoStack(&stack);
    const core::FacialPointVector start = fixture.model.points();
    if (selectAll) {
        QTest::keyClick(&fixture.view, Qt::Key_A, Qt::ControlModifier);
    }
    QTest::mousePress(&fixture.view, Qt::LeftButton, Qt::NoModifier, press);
    testsupport::moveHeld(&fixture.view, press + QPoint(-30, 40));
    const core::FacialPointVector held = fixture.model.points();
    fixture.view.setImage(blue);
    QCOMPARE(fixture.model.image().size(), blue.size());
    testsupport::moveHeld(&fixture.view, press + QPoint(-60, 70));
    QTest::mouseRelease(&fixture.view, Qt::LeftButton, Qt::NoModifier, press + QPoint(-60, 70));
    QCOMPARE(fixture.model.points(), held);
    QStringList texts;
    for (int i = 0; i < stack.count(); ++i) {
        texts << stack.text(i);
    }
    QCOMPARE(texts, steps);
    while (stack.canUndo()) {
        stack.undo();
    }
    QCOMPARE(fixture.model.points(), start);
}

void tst_PointView::pointInfoFollowsSelection()
{
    EditingView fixture({FacialPoint(0.25, 0.5), FacialPoint(0.75, 0.125)});
    QSignalSpy info(&fixture.view, &ui::PointView::pointInfoChanged);
    QTest::keyClick(&fixture.view, Qt::Key_Tab);
    QCOMPARE(info.count(), 1);
    QCOMPARE(info.last().at(0).toString(), QStringLiteral("Point 0: 7.5, 10.0 px of 30 \u00d7 20"));
    fixture.view.zoomIn();
    QCOMPARE(info.last().at(0).toString(), QStringLiteral("Point 0: 7.5, 10.0 px of 30 \u00d7 20 \u2014 125 %"));
    QTest::keyClick(&fixture.view, Qt::Key_Tab);
    QCOMPARE(info.last().at(0).toString(), QStringLiteral("Point 1: 22.5, 2.5 px of 30 \u00d7 20 \u2014 125 %"));
    QTest::keyClick(&fixture.view, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(info.last().at(0).toString(), QStringLiteral("2 points selected \u2014 125 %"));
    QTest::keyClick(&fixture.view, Qt::Key_Escape);
    QCOMPARE(info.last().at(0).toString(), QStringLiteral("125 %"));
    fixture.view.fitToWindow();
    QCOMPARE(info.last().at(0).toString(), QString());
    const int emitted = info.count();
    QTest::keyClick(&fixture.view, Qt::Key_Escape);
    QCOMPARE(info.count(), emitted);
}

void tst_PointView::leftOutTrianglesAreToldByWhy_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<bool>("swapJawEnds");
    QTest::addColumn<QString>("messageStart");
    QTest::addColumn<QString>("messageEnd");
    const QString leaves = QStringLiteral("the preview leaves them out");
    QTest::newRow("template-on-16x16") << QSize(16, 16) << false << QString()
                                       << QStringLiteral("triangles too small in this 16 \u00d7 16 picture: ") + leaves;
    QTest::newRow("template-on-1x1") << QSize(1, 1) << false << QStringLiteral("124 triangles too small")
                                     << QStringLiteral("in this 1 \u00d7 1 picture: ") + leaves;
    QTest::newRow("template-on-400x300") << QSize(400, 300) << false << QString() << QString();
    QTest::newRow("swapped-on-400x300") << QSize(400, 300) << true << QString()
                                        << QStringLiteral("triangles folded: ") + leaves;
    QTest::newRow("swapped-on-16x16") << QSize(16, 16) << true << QString()
                                      << QStringLiteral("too small in this 16 \u00d7 16 picture: ") + leaves;
}

// The footer's message names folded triangles apart from those a small picture makes too small
// for the preview, and Select Folded Points takes only the corners of the folded ones.
void tst_PointView::leftOutTrianglesAreToldByWhy()
{
    QFETCH(QSize, picture);
    QFETCH(bool, swapJawEnds);
    QFETCH(QString, messageStart);
    QFETCH(QString, messageEnd);
    core::FacialPointVector points = core::templateFace(picture);
    if (swapJawEnds) {
        std::swap(points[0], points[16]);
    }
    core::FacialPoints model;
    model.setImage(testimages::filled(picture.width(), picture.height(), Qt::gray));
    model.setPoints(points);
    ui::PointView view(nullptr);
    view.setFacialPoints(&model);
    const QString message = view.foldedMessage();
    QVERIFY2(message.startsWith(messageStart) && message.endsWith(messageEnd), qPrintable(message));
    QCOMPARE(message.isEmpty(), messageEnd.isEmpty());
    QCOMPARE(message.contains(QStringLiteral("folded")), swapJawEnds);
    QCOMPARE(view.selectFoldedPoints(), swapJawEnds);
    for (int index : view.selection()) {
        const bool inFold = index == 0 || index == 16;
        QVERIFY2(inFold || std::any_of(preview::faceTriangles().begin(), preview::faceTriangles().end(),
                                       [index](const preview::FaceTriangle& t) {
                                           const bool has = t.a == index || t.b == index || t.c == index;
                                           const bool hasEnd = t.a == 0 || t.b == 0 || t.c == 0 || t.a == 16
                                               || t.b == 16 || t.c == 16;
                                           return has && hasEnd;
                                       }),
                 qPrintable(QStringLiteral("point %1 selected, of no folded triangle").arg(index)));
    }
}

void tst_PointView::firstPictureIsDetectedWithoutQuestion()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QSignalSpy pointsUpdated(&model, &core::FacialPoints::pointsUpdated);

    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    QVERIFY(pointsUpdated.wait(60000));
    QCOMPARE(detector.state(), core::FacialPointsDetector::Initialized);
    QCOMPARE(model.count(), 75);
    QVERIFY(prompts->ofKind(QStringLiteral("question")).isEmpty());
}

void tst_PointView::questionDefaultFollowsLastAnswer()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    const core::FacialPointVector edited{FacialPoint(0.1, 0.2), FacialPoint(0.3, 0.4)};
    model.setPoints(edited);
    QSignalSpy pointsUpdated(&model, &core::FacialPoints::pointsUpdated);

    // A fresh process offers Yes; answering No keeps the points on the new picture.
    prompts->answers.enqueue(QMessageBox::No);
    view.setImage(red);
    QList<PromptRecord> questions = prompts->ofKind(QStringLiteral("question"));
    QCOMPARE(questions.size(), 1);
    QCOMPARE(questions.at(0).title, QStringLiteral("Facial points"));
    QCOMPARE(questions.at(0).text,
             QStringLiteral("Do you want to repeat facial points detection?\nExisting points will be replaced."));
    QCOMPARE(questions.at(0).defaultButton, QMessageBox::Yes);
    waitForDetectorIdle(detector);
    QCOMPARE(model.points(), edited);
    QCOMPARE(pointsUpdated.count(), 0);
    QCOMPARE(model.image(), red);

    // No is now the default; answering Yes detects and replaces the points.
    prompts->answers.enqueue(QMessageBox::Yes);
    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    questions = prompts->ofKind(QStringLiteral("question"));
    QCOMPARE(questions.size(), 2);
    QCOMPARE(questions.at(1).defaultButton, QMessageBox::No);
    QVERIFY(pointsUpdated.wait(60000));
    QCOMPARE(model.count(), 75);

    // And Yes is the default again.
    prompts->answers.enqueue(QMessageBox::No);
    view.setImage(blue);
    questions = prompts->ofKind(QStringLiteral("question"));
    QCOMPARE(questions.size(), 3);
    QCOMPARE(questions.at(2).defaultButton, QMessageBox::Yes);
}

void tst_PointView::eachSessionKeepsItsAnswer()
{
    // Every answer is No, so the detector never loads its model.
    core::FacialPointsDetector detector;
    FakePrompts sessionPrompts(FakePrompts::NotInstalled);
    ui::PromptSession session(&sessionPrompts);
    const core::FacialPointVector edited{FacialPoint(0.1, 0.2), FacialPoint(0.3, 0.4)};
    core::FacialPoints firstModel;
    core::FacialPoints secondModel;
    firstModel.setPoints(edited);
    secondModel.setPoints(edited);
    ui::PointView first(&detector, &session);
    ui::PointView second(&detector);
    first.setFacialPoints(&firstModel);
    second.setFacialPoints(&secondModel);

    // The session's prompts are asked, not the installed ones.
    sessionPrompts.answers.enqueue(QMessageBox::No);
    first.setImage(red);
    QCOMPARE(sessionPrompts.ofKind(QStringLiteral("question")).size(), 1);
    QVERIFY(prompts->ofKind(QStringLiteral("question")).isEmpty());
    QCOMPARE(session.lastDetectionAnswer(), QMessageBox::No);

    // The other view keeps a session of its own: its first question still offers Yes.
    prompts->answers.enqueue(QMessageBox::No);
    second.setImage(red);
    const QList<PromptRecord> asked = prompts->ofKind(QStringLiteral("question"));
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.at(0).defaultButton, QMessageBox::Yes);

    // While the first one offers the No it was given.
    sessionPrompts.answers.enqueue(QMessageBox::No);
    first.setImage(blue);
    const QList<PromptRecord> again = sessionPrompts.ofKind(QStringLiteral("question"));
    QCOMPARE(again.size(), 2);
    QCOMPARE(again.at(1).defaultButton, QMessageBox::No);
    QCOMPARE(prompts->ofKind(QStringLiteral("question")).size(), 1);
    QCOMPARE(firstModel.points(), edited);
    QCOMPARE(secondModel.points(), edited);
}

void tst_PointView::supersededDetectionNeverReachesModel()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QSignalSpy pointsUpdated(&model, &core::FacialPoints::pointsUpdated);

    // The second picture arrives before the first detection has finished, so only its result
    // may land.
    const QImage chelsea(testimages::testPicture("chelsea.png"));
    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    view.setImage(chelsea);
    QVERIFY(prompts->ofKind(QStringLiteral("question")).isEmpty());
    waitForDetectorIdle(detector);

    QCOMPARE(pointsUpdated.count(), 1);
    const auto expected = detector.detect(chelsea);
    QVERIFY(expected);
    expected->waitForFinished();
    QCOMPARE(int(expected->result().points.size()), 75);
    QCOMPARE(model.points(), expected->result().points);
}

void tst_PointView::pictureReplacedDuringDetectionKeepsItsPoints()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;

    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    // A package is opened meanwhile: picture first, then its own points.
    const core::FacialPointVector packagePoints(75, FacialPoint(0.5, 0.5));
    model.setImage(blue);
    model.setPoints(packagePoints);
    waitForDetectorIdle(detector);

    QCOMPARE(model.image(), blue);
    QCOMPARE(model.points(), packagePoints);
}

void tst_PointView::footerLines_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("withPoints");
    QTest::addColumn<bool>("withModel");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("pointCount");

    const QStringList loaded{loadingLine, findingLine};
    QTest::newRow("one-face") << "astronaut.png" << false << true
                              << loaded + QStringList{"1 face found: 75 points placed."} << 75;
    QTest::newRow("several-faces")
        << "2008_001009.jpg" << false << true
        << loaded + QStringList{"2 faces found: points placed on the largest. Right-click another face to move them there."}
        << 75;
    QTest::newRow("no-face")
        << "chelsea.png" << false << true
        << loaded + QStringList{"No face found: points spread over the picture. Press Ctrl+T for a template to move, scale and turn onto the face."}
        << 75;
    QTest::newRow("failed-model")
        << "astronaut.png" << false << false
        << QStringList{loadingLine, "The landmark model could not be loaded: no points were placed."} << 0;
    QTest::newRow("skipped-after-no")
        << "astronaut.png" << true << true
        << QStringList{"Detection skipped: the previous points were kept. Drag them into place."} << 3;
}

void tst_PointView::footerLines()
{
    QFETCH(QString, file);
    QFETCH(bool, withPoints);
    QFETCH(bool, withModel);
    QFETCH(QStringList, lines);
    QFETCH(int, pointCount);

    // The model is read on the first request, from the working directory of that moment.
    std::unique_ptr<EmptyWorkingDirectory> noModel;
    if (!withModel) {
        noModel = std::make_unique<EmptyWorkingDirectory>();
        QVERIFY(noModel->isValid());
    }
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    if (withPoints) {
        model.setPoints(core::FacialPointVector(3, FacialPoint(0.5, 0.5)));
        prompts->answers.enqueue(QMessageBox::No);
    }
    QSignalSpy status(&view, &ui::PointView::statusMessageChanged);
    QVERIFY(status.isValid());

    view.setImage(QImage(testimages::testPicture(qPrintable(file))));
    QTRY_COMPARE_WITH_TIMEOUT(status.size(), lines.size(), 60000);
    waitForDetectorIdle(detector);
    QCOMPARE(linesOf(status), lines);
    QCOMPARE(model.count(), pointCount);
}

void tst_PointView::failedModelPutsPreviousPointsBack()
{
    EmptyWorkingDirectory noModel;
    QVERIFY(noModel.isValid());
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    view.setUndoStack(&stack);
    const core::FacialPointVector previous{FacialPoint(0.1, 0.2), FacialPoint(0.3, 0.4)};
    model.setImage(red);
    model.setPoints(previous);
    prompts->answers.enqueue(QMessageBox::Yes);
    QSignalSpy status(&view, &ui::PointView::statusMessageChanged);

    view.setImage(blue);
    QVERIFY2(model.points().empty(), "the points are hidden while the model loads");
    QTRY_COMPARE_WITH_TIMEOUT(status.size(), 2, 60000);
    QCOMPARE(status.at(1).at(0).toString(),
             QStringLiteral("The landmark model could not be loaded: the previous points were kept."));
    QCOMPARE(model.points(), previous);
    QCOMPARE(model.image(), blue);

    // Undoing the restoration and the picture leads back to where the user started.
    stack.undo();
    QVERIFY(model.points().empty());
    stack.undo();
    QCOMPARE(model.image(), red);
    QCOMPARE(model.points(), previous);

    // A later picture is not detected at all, and says why.
    stack.redo();
    stack.redo();
    view.setImage(red);
    QCOMPARE(status.last().at(0).toString(),
             QStringLiteral("The landmark model could not be loaded: the previous points were kept."));
    QCOMPARE(model.points(), previous);
}

void tst_PointView::agreedReplacementHidesOldPoints()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    view.resize(200, 100);
    model.setImage(red);
    model.setPoints({FacialPoint(0.25, 0.5)});
    prompts->answers.enqueue(QMessageBox::Yes);
    QSignalSpy pointsUpdated(&model, &core::FacialPoints::pointsUpdated);

    const QImage astronaut(testimages::testPicture("astronaut.png"));
    view.setImage(astronaut);
    QVERIFY2(model.points().empty(), "the old points must not stay over the new picture");
    // Where the old point was drawn there is nothing left to grab.
    drag(&view, QPoint(50, 50), QPoint(90, 70));
    QVERIFY(model.points().empty());
    QVERIFY(pointsUpdated.wait(60000) || model.count() == 75);
    waitForDetectorIdle(detector);
    QCOMPARE(model.points(), detectNow(detector, astronaut).points);
}

void tst_PointView::dragAfterUndoDuringDetectionIsKept()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    view.setUndoStack(&stack);
    view.resize(200, 100);
    model.setImage(red);
    model.setPoints({FacialPoint(0.25, 0.5), FacialPoint(0.75, 0.5)});
    prompts->answers.enqueue(QMessageBox::Yes);

    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    QCOMPARE(stack.undoText(), QStringLiteral("Replace Picture"));
    // The user takes the picture back while the model still loads, and drags a point.
    stack.undo();
    QCOMPARE(model.image(), red);
    QCOMPARE(model.count(), 2);
    drag(&view, QPoint(50, 50), QPoint(80, 30));
    const core::FacialPointVector dragged{FacialPoint(80.0 / 200, 30.0 / 100), FacialPoint(0.75, 0.5)};
    QCOMPARE(model.points(), dragged);

    waitForDetectorIdle(detector);
    QCOMPARE(model.image(), red);
    QCOMPARE(model.points(), dragged);
    QCOMPARE(stack.undoText(), QStringLiteral("Move Point 0"));
}

void tst_PointView::editDuringDetectionIsNotOverwritten()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    view.resize(200, 100);
    QSignalSpy status(&view, &ui::PointView::statusMessageChanged);

    view.setImage(QImage(testimages::testPicture("astronaut.png")));
    // Points arrive while the model loads (an undone step, say), and one of them is dragged.
    model.setPoints({FacialPoint(0.25, 0.5), FacialPoint(0.75, 0.5)});
    drag(&view, QPoint(150, 50), QPoint(160, 20));
    const core::FacialPointVector edited{FacialPoint(0.25, 0.5), FacialPoint(160.0 / 200, 20.0 / 100)};
    QCOMPARE(model.points(), edited);

    QTRY_COMPARE_WITH_TIMEOUT(status.size(), 3, 60000);
    waitForDetectorIdle(detector);
    QCOMPARE(model.points(), edited);
    QCOMPARE(status.last().at(0).toString(),
             QStringLiteral("1 face found: your edited points were kept. Right-click a face to place the points there."));
    // The face found is still offered.
    const core::DetectionResult found = detectNow(detector, model.image());
    QCOMPARE(found.faces.size(), 1);
    const QPoint centre = found.faces[0].rect.center();
    const std::unique_ptr<QMenu> menu = view.faceMenuAt(
        QPoint(centre.x() * 200 / model.image().width(), centre.y() * 100 / model.image().height()));
    QVERIFY2(menu, "the face found must be offered for the edited points");
}

void tst_PointView::pictureWithoutFaceSavesPackageThatReloads()
{
    core::FacialPointsDetector detector;
    core::FaceMaskProject project;
    ui::PointView view(&detector);
    view.setFacialPoints(project.facialPoints());
    QSignalSpy pointsUpdated(project.facialPoints(), &core::FacialPoints::pointsUpdated);

    view.setImage(QImage(testimages::testPicture("chelsea.png")));
    QVERIFY(pointsUpdated.wait(60000));
    QCOMPARE(project.facialPoints()->count(), 75);

    const QString path = dir->filePath(QStringLiteral("cat.pmk"));
    QVERIFY(project.save(path));
    core::FaceMaskProject reopened;
    QVERIFY2(reopened.load(path), "a package saved from a picture without a face must reopen");
    QCOMPARE(reopened.facialPoints()->count(), 75);
}

void tst_PointView::placingPointsOnSecondFace()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    core::DetectionResult expected;
    QVERIFY(showDetected(fixture, stack, "2008_001009.jpg", &expected));
    QCOMPARE(expected.faces.size(), 2);
    const int other = 1 - expected.placed;
    QCOMPARE(model.points(), expected.points);

    const QPoint placedCentre = expected.faces[expected.placed].rect.center() / 2;
    const QPoint otherCentre = expected.faces[other].rect.center() / 2;
    QVERIFY2(!view.faceMenuAt(placedCentre), "the face holding the points offers nothing");
    QVERIFY2(!view.faceMenuAt(QPoint(1, 1)), "outside every face there is nothing to offer");

    const QImage plain = view.grab().toImage();
    std::unique_ptr<QMenu> menu = view.faceMenuAt(otherCentre);
    QVERIFY(menu);
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions.at(0)->text(), QStringLiteral("Place Points on This Face"));
    const QImage outlined = view.grab().toImage();
    const QRect otherInView(expected.faces[other].rect.topLeft() / 2, expected.faces[other].rect.size() / 2);
    const QPoint outlineEdge(otherInView.left() + 1, otherInView.center().y());
    QVERIFY2(outlined.pixel(outlineEdge) != plain.pixel(outlineEdge), "the other face is outlined while the menu is open");
    QCOMPARE(outlined.pixel(1, 1), plain.pixel(1, 1));
    menu.reset();
    QCOMPARE(view.grab().toImage(), plain);
    QCOMPARE(model.points(), expected.points);

    menu = view.faceMenuAt(otherCentre);
    QVERIFY(menu);
    menu->actions().at(0)->trigger();
    menu.reset();
    QCOMPARE(model.points(), expected.faces[other].points);
    QCOMPARE(stack.undoText(), QStringLiteral("Place Points on Face"));
    QVERIFY2(view.faceMenuAt(placedCentre), "now the largest face is the other one");

    stack.undo();
    QCOMPARE(model.points(), expected.points);
    stack.redo();
    QCOMPARE(model.points(), expected.faces[other].points);

    // Corrected by hand on the largest face, the points are still on it: the next face is the other.
    stack.undo();
    FacialPoint nose = model.points().at(30);
    nose.setX(nose.x() + 0.01);
    model.setPoint(nose, 30);
    QVERIFY(view.placeOnNextFace());
    QCOMPARE(model.points(), expected.faces[other].points);
}

// Without the mouse: Place Points on Next Face goes through every face found, largest first and
// round again, and the Menu key opens the face menu on the next face.
void tst_PointView::placingPointsOnEveryFaceFromTheKeyboard()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    core::DetectionResult expected;
    QVERIFY(showDetected(fixture, stack, "bald_guys.jpg", &expected));
    QVERIFY(expected.faces.size() > 2);
    QCOMPARE(model.points(), expected.points);

    // Through fixture: C++17 lambdas cannot capture a structured binding (clang refuses it).
    const auto holding = [&] {
        for (int i = 0; i < expected.faces.size(); ++i) {
            if (expected.faces[i].points == fixture.model.points()) {
                return i;
            }
        }
        return -1;
    };
    const auto area = [&](int face) {
        return qint64(expected.faces[face].rect.width()) * expected.faces[face].rect.height();
    };
    QSet<int> visited{holding()};
    int previous = holding();
    const int stepsBefore = stack.count();
    for (int step = 1; step < expected.faces.size(); ++step) {
        QVERIFY(view.placeOnNextFace());
        const int now = holding();
        QVERIFY2(now >= 0 && !visited.contains(now), qPrintable(QStringLiteral("step %1").arg(step)));
        QVERIFY2(area(now) <= area(previous), "from the largest face to the smallest");
        visited.insert(now);
        previous = now;
    }
    QVERIFY(view.placeOnNextFace());
    QCOMPARE(model.points(), expected.points);
    QCOMPARE(stack.count() - stepsBefore, int(expected.faces.size()));
    stack.undo();
    QCOMPARE(holding(), previous);

    // The Menu key: the menu opens over the next face and places the points there.
    stack.redo();
    QVERIFY(view.placeOnNextFace());
    const int next = holding();
    stack.undo();
    const core::FacialPointVector before = model.points();
    QTimer::singleShot(0, this, [] {
        QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu && !menu->actions().isEmpty()) {
            menu->actions().at(0)->trigger();
        }
        if (menu) {
            menu->close();
        }
    });
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(view.width() / 2, view.height() / 2));
    QApplication::sendEvent(&view, &menuKey);
    QVERIFY2(menuKey.isAccepted(), "the Menu key must open the face menu");
    QVERIFY(model.points() != before);
    QCOMPARE(holding(), next);
}

// Shift+F10, the menu key of keyboards without a Menu key, opens the face menu on the next face
// as the Menu key does.
void tst_PointView::shiftF10OpensTheFaceMenu()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    core::DetectionResult expected;
    QVERIFY(showDetected(fixture, stack, "2008_001009.jpg", &expected));
    QCOMPARE(expected.faces.size(), 2);
    QCOMPARE(model.points(), expected.points);
    QTimer::singleShot(0, this, [] {
        QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu && !menu->actions().isEmpty()) {
            menu->actions().at(0)->trigger();
        }
        if (menu) {
            menu->close();
        }
    });
    QTest::keyClick(&view, Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(model.points(), expected.faces[1 - expected.placed].points);
}

// A right-click while a point is being dragged opens the face menu; placing the points from it
// first ends the drag as its own step, so that undoing the placement gives back the dragged
// point and undoing once more the point where it was before the drag.
void tst_PointView::placingPointsOnAFaceMidDragKeepsTheDragAsItsOwnStep()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    core::DetectionResult expected;
    QVERIFY(showDetected(fixture, stack, "2008_001009.jpg", &expected));
    QCOMPARE(expected.faces.size(), 2);
    const int other = 1 - expected.placed;
    QCOMPARE(model.points(), expected.points);

    // Point 30, the nose tip, dragged and still held.
    const FacialPoint nose = model.points().at(30);
    const QPoint grab(qRound(nose.x() * view.width()), qRound(nose.y() * view.height()));
    QTest::mousePress(&view, Qt::LeftButton, Qt::NoModifier, grab);
    testsupport::moveHeld(&view, grab + QPoint(6, 4));
    const core::FacialPointVector dragged = model.points();
    QVERIFY(dragged != expected.points);

    std::unique_ptr<QMenu> menu = view.faceMenuAt(expected.faces[other].rect.center() / 2);
    QVERIFY(menu);
    menu->actions().at(0)->trigger();
    menu.reset();
    QCOMPARE(model.points(), expected.faces[other].points);

    stack.undo();
    QCOMPARE(model.points(), dragged);
    QCOMPARE(stack.undoText(), QStringLiteral("Move Point 30"));
    stack.undo();
    QCOMPARE(model.points(), expected.points);
}

// With one face found, Place Points on Next Face has nothing to do while the points are that
// face's, and gives them back once they were moved or edited (a template dragged onto it, say).
void tst_PointView::nextFaceOfAOneFacePictureGivesItsPointsBack()
{
    DetectingView fixture;
    auto& [detector, model, view] = fixture;
    QUndoStack stack;
    core::DetectionResult expected;
    QVERIFY(showDetected(fixture, stack, "astronaut.png", &expected));
    const core::FacialPointVector detected = model.points();
    QVERIFY(!view.placeOnNextFace());
    core::FacialPointVector edited = detected;
    for (FacialPoint& point : edited) {
        point.setX(point.x() + 0.01);
    }
    model.setPoints(edited);
    QVERIFY(view.placeOnNextFace());
    QCOMPARE(model.points(), detected);
}

QTEST_MAIN(tst_PointView)
#include "tst_pointview.moc"
