// The window's detection commands with the landmark model: undo and redo while a detection
// runs, Detect Points Again, Save during a detection, and the template after a picture without
// a face.
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "app/mainwindow.h"
#include "ui/pointview.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

ui::PointView* pointView(ui::MainWindow& window)
{
    return window.findChild<ui::PointView*>(QStringLiteral("pointView"));
}

QAction* findAction(QWidget& window, const QString& wanted)
{
    const QList<QAction*> actions = window.findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (candidate->objectName() == wanted || candidate->text() == wanted) {
            return candidate;
        }
    }
    return nullptr;
}

QString footer(ui::MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("footerLabel"))->text();
}

constexpr int detectionTimeoutMs = 120000;

} // namespace

class tst_MainWindowDetection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void footerSaysWhereTheSettingsCannotBeKeptOnceTheModelIsLoaded();

    void undoReplacementDuringDetectionThenRedo();
    void redoOfAPictureWhosePointsCanBeRedone();
    void saveDuringDetectionSaysSo();
    void detectPointsAgain();
    void commandsOnFacesWithoutAPictureSaySo_data();
    void commandsOnFacesWithoutAPictureSaySo();
    void nextFaceSaysWhyThereIsNone_data();
    void nextFaceSaysWhyThereIsNone();
    void facesOfAPictureComeBackWithItsUndo();
    void noFaceThenSelectAllAndACornerScales();

private:
    void prepare(ui::MainWindow& window);
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindowDetection::initTestCase()
{
    core::registerFacialPointVector();
    QVERIFY2(QFile::exists(QStringLiteral("shape_predictor.dat")), "this test needs the landmark model");
}

void tst_MainWindowDetection::init()
{
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
}

void tst_MainWindowDetection::cleanup()
{
    workspace.reset();
    prompts.reset();
}

void tst_MainWindowDetection::prepare(ui::MainWindow& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

// The footer says "Loading the landmark model…" first, then where the settings cannot be kept.
void tst_MainWindowDetection::footerSaysWhereTheSettingsCannotBeKeptOnceTheModelIsLoaded()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("file/config"))));
    ui::MainWindow window(prompts.get());
    prepare(window);
    QTRY_VERIFY_WITH_TIMEOUT(footer(window).startsWith(QStringLiteral("Settings cannot be kept in ")),
                             detectionTimeoutMs);
    QVERIFY2(footer(window).contains(QStringLiteral(": %1 is not a folder.").arg(file.fileName())),
             qPrintable(footer(window)));
}

void tst_MainWindowDetection::undoReplacementDuringDetectionThenRedo()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    QAction* undo = findAction(window, QStringLiteral("undoAction"));
    QAction* redo = findAction(window, QStringLiteral("redoAction"));

    view->setImage(QImage(testimages::testPicture("astronaut.png")));
    QVERIFY(view->isDetecting());
    undo->trigger();
    // The detection is dropped with the picture it was for.
    QVERIFY(model->image().isNull());
    QVERIFY(!view->isDetecting());
    QCOMPARE(footer(window), QStringLiteral("Undone: Replace Picture."));

    redo->trigger();
    QVERIFY(!model->image().isNull());
    QVERIFY2(view->isDetecting(), "the picture that came back is detected again");
    QTRY_COMPARE_WITH_TIMEOUT(model->count(), 75, detectionTimeoutMs);
    QCOMPARE(undo->text(), QStringLiteral("Undo Detect Points"));
    QCOMPARE(footer(window), QStringLiteral("1 face found: 75 points placed."));
}

void tst_MainWindowDetection::redoOfAPictureWhosePointsCanBeRedone()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    QAction* undo = findAction(window, QStringLiteral("undoAction"));
    QAction* redo = findAction(window, QStringLiteral("redoAction"));
    view->setImage(QImage(testimages::testPicture("astronaut.png")));
    QTRY_COMPARE_WITH_TIMEOUT(model->count(), 75, detectionTimeoutMs);
    const core::FacialPointVector detected = model->points();

    undo->trigger();
    QCOMPARE(model->count(), 0);
    QCOMPARE(footer(window), QStringLiteral("Undone: Detect Points. The picture has no points: press "
                                            "Ctrl+D to detect them, or Ctrl+T for a template."));
    undo->trigger();
    redo->trigger();
    // Redo Detect Points would bring the points back: nothing is detected meanwhile, and the
    // footer says what the picture lacks.
    QVERIFY(!view->isDetecting());
    QCOMPARE(footer(window), QStringLiteral("Redone: Replace Picture. The picture has no points: press "
                                            "Ctrl+D to detect them, or Ctrl+T for a template."));
    redo->trigger();
    QCOMPARE(model->points(), detected);
    QCOMPARE(footer(window), QStringLiteral("Redone: Detect Points."));
}

void tst_MainWindowDetection::saveDuringDetectionSaysSo()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    view->setImage(QImage(testimages::testPicture("astronaut.png")));
    QVERIFY(view->isDetecting());
    QTest::keyClick(window.windowHandle(), Qt::Key_S, Qt::ControlModifier);
    QTRY_COMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).first().text,
             QStringLiteral("Points are still being detected. Save again once they are placed."));
    QVERIFY(prompts->ofKind(QStringLiteral("save")).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(view->facialPoints()->count(), 75, detectionTimeoutMs);
}

void tst_MainWindowDetection::commandsOnFacesWithoutAPictureSaySo_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("detect again") << "detectAgainAction";
    QTest::newRow("place template") << "placeTemplateAction";
    QTest::newRow("next face") << "nextFaceAction";
}

// Before any picture came in, these tell the user to bring one, not of faces in none.
void tst_MainWindowDetection::commandsOnFacesWithoutAPictureSaySo()
{
    QFETCH(QString, action);
    ui::MainWindow window;
    prepare(window);
    QAction* command = findAction(window, action);
    QVERIFY(command);
    command->trigger();
    QVERIFY2(footer(window).startsWith(QStringLiteral("Open, drop or paste a picture first")), qPrintable(footer(window)));
    QVERIFY(pointView(window)->facialPoints()->image().isNull());
}

void tst_MainWindowDetection::nextFaceSaysWhyThereIsNone_data()
{
    QTest::addColumn<QString>("picture"); // empty: none
    QTest::addColumn<bool>("skipDetection"); // points are shown, and the question is answered No
    QTest::addColumn<bool>("waitForDetection");
    QTest::addColumn<QString>("key"); // "N", "Menu" (the Menu key) or "Shift+F10"
    QTest::addColumn<QString>("expected");
    const QString alone = QStringLiteral("No other face was found in this picture.");
    const QString notLooked = QStringLiteral("The faces of this picture were not looked for: Edit \u2192 Detect Points "
                                             "Again (Ctrl+D) finds them and places the points on the largest.");
    const QString stillFinding =
        QStringLiteral("The faces are still being found: press N again once the points are placed.");
    QTest::newRow("N: searched, one face") << "astronaut.png" << false << true << "N" << alone;
    QTest::newRow("N: detection skipped on a crowd") << "bald_guys.jpg" << true << true << "N" << notLooked;
    QTest::newRow("N: still detecting") << "astronaut.png" << false << false << "N" << stillFinding;
    QTest::newRow("Menu: searched, one face") << "astronaut.png" << false << true << "Menu" << alone;
    QTest::newRow("Shift+F10: detection skipped on a crowd")
        << "bald_guys.jpg" << true << true << "Shift+F10" << notLooked;
    QTest::newRow("Menu: still detecting") << "astronaut.png" << false << false << "Menu" << stillFinding;
    QTest::newRow("Shift+F10: no picture")
        << QString() << false << true << "Shift+F10"
        << "Open, drop or paste a picture first: its faces are found when it comes in.";
}

// N, the Menu key or Shift+F10 with no other face known tells which of three it is (searched
// and alone, not searched at all, or not searched yet), in the same words, and neither moves the
// points nor opens a menu.
void tst_MainWindowDetection::nextFaceSaysWhyThereIsNone()
{
    QFETCH(QString, picture);
    QFETCH(bool, skipDetection);
    QFETCH(bool, waitForDetection);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    ui::MainWindow window(prompts.get());
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    if (skipDetection) {
        view->setImage(QImage(testimages::testPicture("astronaut.png")));
        QTRY_COMPARE_WITH_TIMEOUT(model->count(), 75, detectionTimeoutMs);
        prompts->answers.enqueue(QMessageBox::No);
    }
    if (!picture.isEmpty()) {
        view->setImage(QImage(testimages::testPicture(picture.toUtf8().constData())));
    }
    if (waitForDetection) {
        QTRY_VERIFY_WITH_TIMEOUT(!view->isDetecting(), detectionTimeoutMs);
    }
    const core::FacialPointVector before = model->points();
    if (key == QLatin1String("N")) {
        QAction* next = findAction(window, QStringLiteral("nextFaceAction"));
        QVERIFY(next);
        next->trigger();
    } else if (key == QLatin1String("Shift+F10")) {
        view->setFocus();
        QTest::keyClick(view, Qt::Key_F10, Qt::ShiftModifier);
    } else {
        // What the platform makes of the Menu key.
        view->setFocus();
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(view->width() / 2, view->height() / 2));
        QApplication::sendEvent(view, &menuKey);
    }
    QCOMPARE(footer(window), QString(expected));
    QVERIFY(!QApplication::activePopupWidget());
    QCOMPARE(model->points(), before);
}

// A picture an undo brings back still has the faces found in it: N moves the points to its
// other face, as it did before the next picture came in.
void tst_MainWindowDetection::facesOfAPictureComeBackWithItsUndo()
{
    ui::MainWindow window(prompts.get());
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    QAction* undo = findAction(window, QStringLiteral("undoAction"));
    QAction* next = findAction(window, QStringLiteral("nextFaceAction"));
    view->setImage(QImage(testimages::testPicture("2008_001009.jpg")));
    QTRY_VERIFY_WITH_TIMEOUT(!view->isDetecting(), detectionTimeoutMs);
    QCOMPARE(footer(window), QStringLiteral("2 faces found: points placed on the largest. "
                                            "Right-click another face to move them there."));
    const core::FacialPointVector largest = model->points();

    prompts->answers.enqueue(QMessageBox::Yes);
    view->setImage(QImage(testimages::testPicture("astronaut.png")));
    QTRY_VERIFY_WITH_TIMEOUT(!view->isDetecting(), detectionTimeoutMs);
    QCOMPARE(model->count(), 75);
    undo->trigger(); // Detect Points
    undo->trigger(); // Replace Picture
    QCOMPARE(model->points(), largest);
    // Detect Points Again answered No leaves the picture, and its faces, as they were.
    prompts->answers.enqueue(QMessageBox::No);
    findAction(window, QStringLiteral("detectAgainAction"))->trigger();
    QVERIFY(!view->isDetecting());

    next->trigger();
    QCOMPARE(footer(window), QStringLiteral("Points placed on the chosen face. Right-click another face to move them there."));
    QCOMPARE(model->count(), 75);
    QVERIFY(model->points() != largest);
    QCOMPARE(undo->text(), QStringLiteral("Undo Place Points on Face"));
}

void tst_MainWindowDetection::detectPointsAgain()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    QAction* detectAgain = findAction(window, QStringLiteral("detectAgainAction"));
    QVERIFY(detectAgain);
    QCOMPARE(detectAgain->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_D));

    // Without a picture there is nothing to detect.
    detectAgain->trigger();
    QVERIFY(!view->isDetecting());
    QVERIFY(footer(window).startsWith(QStringLiteral("Open, drop or paste a picture first")));

    view->setImage(QImage(testimages::testPicture("astronaut.png")));
    QTRY_COMPARE_WITH_TIMEOUT(model->count(), 75, detectionTimeoutMs);
    const core::FacialPointVector detected = model->points();
    model->setPoint(FacialPoint(0.5, 0.5), 30);
    const core::FacialPointVector edited = model->points();

    // No keeps the points; the question is the usual one.
    prompts->answers.enqueue(QMessageBox::No);
    QTest::keyClick(window.windowHandle(), Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(prompts->ofKind(QStringLiteral("question")).size(), 1);
    QCOMPARE(prompts->ofKind(QStringLiteral("question")).first().title, QStringLiteral("Facial points"));
    QVERIFY(!view->isDetecting());
    QCOMPARE(model->points(), edited);

    // Yes detects; the points stay in view until the result replaces them, as one step.
    prompts->answers.enqueue(QMessageBox::Yes);
    QTest::keyClick(window.windowHandle(), Qt::Key_D, Qt::ControlModifier);
    QVERIFY(view->isDetecting());
    QCOMPARE(model->points(), edited);
    QTRY_VERIFY_WITH_TIMEOUT(!view->isDetecting(), detectionTimeoutMs);
    QCOMPARE(model->points(), detected);
    QCOMPARE(findAction(window, QStringLiteral("undoAction"))->text(), QStringLiteral("Undo Detect Points"));
    findAction(window, QStringLiteral("undoAction"))->trigger();
    QCOMPARE(model->points(), edited);
}

void tst_MainWindowDetection::noFaceThenSelectAllAndACornerScales()
{
    // The fallback of a picture without a face reaches the picture's edges; with square pixels
    // a square picture fills the view's height.
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    view->setImage(testimages::filled(300, 300, Qt::darkBlue));
    QTRY_COMPARE_WITH_TIMEOUT(model->count(), 75, detectionTimeoutMs);
    QCOMPARE(footer(window), QStringLiteral("No face found: points spread over the picture. Press Ctrl+T "
                                            "for a template to move, scale and turn onto the face."));
    const auto extent = [model] {
        double low = 1, high = 0;
        for (const FacialPoint& p : model->points()) {
            low = std::min(low, p.y());
            high = std::max(high, p.y());
        }
        return high - low;
    };
    const double before = extent();
    QVERIFY2(before > 0.9, qPrintable(QString::number(before)));
    QTest::keyClick(window.windowHandle(), Qt::Key_A, Qt::ControlModifier);
    // The box stands 10 view pixels off the outermost markers, but never closer than half a
    // handle (5) to the view's edges: its bottom-right handle is inside the view.
    double right = 0, bottom = 0;
    const double side = std::min(view->width(), view->height());
    for (const FacialPoint& p : model->points()) {
        right = std::max(right, (view->width() - side) / 2 + p.x() * side);
        bottom = std::max(bottom, (view->height() - side) / 2 + p.y() * side);
    }
    QVERIFY2(bottom + 10 > view->height() - 5, "the points reach the view's bottom edge");
    const QPoint corner(qRound(std::min(right + 10, view->width() - 5.0)),
                        qRound(std::min(bottom + 10, view->height() - 5.0)));
    const QPoint end = corner - QPoint(view->height() / 4, view->height() / 4);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, corner);
    QMouseEvent move(QEvent::MouseMove, QPointF(end), QPointF(view->mapToGlobal(end)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, end);
    QVERIFY2(extent() < before * 0.85, qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(extent())));
    QCOMPARE(findAction(window, QStringLiteral("undoAction"))->text(), QStringLiteral("Undo Scale 75 Points"));
}

QTEST_MAIN(tst_MainWindowDetection)
#include "tst_mainwindow_detection.moc"
