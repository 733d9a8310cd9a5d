// The window's navigation and the editing helpers on it, driven through the real widgets:
// scroll bars and the overview, the cursor's coordinates, mirror editing, the mesh's folded
// message, and landmark files in and out through the prompts. Runs without the landmark model,
// so no detection changes the points.
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/landmarkfiles.h"
#include "tests/support/fakeprompts.h"
#include "face_detection_module/landmarkgeometry.h"
#include "app/mainwindow.h"
#include "core/meanface.h"
#include "ui/meshoverlay.h"
#include "core/mirroring.h"
#include "tests/support/mousedrags.h"
#include "tests/support/fromoutside.h"
#include "ui/footerlabel.h"
#include "ui/pictureoverview.h"
#include "ui/pointview.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest>

#include <cmath>

namespace {

const QSize pictureSize(640, 480);

ui::PointView* pointView(ui::MainWindow& window)
{
    return dynamic_cast<ui::PointView*>(window.findChild<QWidget*>(QStringLiteral("pointView")));
}

// A menu entry by object name or text.
QAction* action(ui::MainWindow& window, const QString& name)
{
    for (QAction* candidate : window.findChildren<QAction*>()) {
        if (candidate->objectName() == name || candidate->text() == name) {
            return candidate;
        }
    }
    return nullptr;
}

QPointF pixelOf(const core::FacialPointVector& points, int index)
{
    const FacialPoint& p = points.at(size_t(index));
    return QPointF(p.x() * pictureSize.width(), p.y() * pictureSize.height());
}

// The view's centre in picture fractions.
QPointF centreFraction(ui::PointView* view)
{
    const QPointF pixel = view->viewToPicturePixels(QPoint(view->width() / 2, view->height() / 2));
    return QPointF(pixel.x() / pictureSize.width(), pixel.y() / pictureSize.height());
}

// View pixels per picture pixel along x.
double viewScale(ui::PointView* view)
{
    return 100.0 / (view->viewToPicturePixels(QPoint(100, 0)).x() - view->viewToPicturePixels(QPoint(0, 0)).x());
}

QPoint viewOf(ui::PointView* view, int index)
{
    // The inverse of viewToPicturePixels along each axis, which is affine.
    const QPointF origin = view->viewToPicturePixels(QPoint(0, 0));
    const QPointF unit = view->viewToPicturePixels(QPoint(1000, 1000)) - origin;
    const QPointF pixel = pixelOf(view->facialPoints()->points(), index);
    return QPoint(qRound((pixel.x() - origin.x()) * 1000.0 / unit.x()),
                  qRound((pixel.y() - origin.y()) * 1000.0 / unit.y()));
}

// Clicks the view at a point, on whatever child lies there; what kept the click from the view
// itself (the point outside it, or the child above it), empty when nothing did.
QString clickInView(ui::PointView* view, QPoint at)
{
    if (!view->rect().contains(at)) {
        return QStringLiteral("click at %1, %2 is outside the view").arg(at.x()).arg(at.y());
    }
    QWidget* const child = view->childAt(at);
    QWidget* const pressed = child ? child : view;
    QTest::mouseClick(pressed, Qt::LeftButton, Qt::NoModifier, pressed->mapFrom(view, at));
    return child ? QStringLiteral("the marker is beneath %1").arg(child->objectName()) : QString();
}

} // namespace

class tst_MainWindowNavigation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scrollBarsPanAndHideAtFit();
    void edgeMarkerCanBeClickedScrolledToItsEdge_data();
    void edgeMarkerCanBeClickedScrolledToItsEdge();
    void edgeMarkerBesideTheOnlyBarCanBeClicked();
    void cornerMarkerBesideTheOverviewCanBeClicked_data();
    void cornerMarkerBesideTheOverviewCanBeClicked();
    void pointWalkedToIsNotBeneathTheBarsOrOverview_data();
    void pointWalkedToIsNotBeneathTheBarsOrOverview();
    void barClickMovesTheViewTowardsIt_data();
    void barClickMovesTheViewTowardsIt();
    void overviewClickCentres();
    void overviewFollowsToggle();
    void cursorCoordinatesInStatusBar();
    void statusBarTextsAreWholeOrEndInEllipsis_data();
    void statusBarTextsAreWholeOrEndInEllipsis();
    void mirrorDragMovesPartner();
    void mirrorSelectionIsOneStep();
    void selectionTurnsAndScalesByKeys();
    void selectAllAfterAMenuWasClosed();
    void pointKeysAfterAMenuWasClosed_data();
    void pointKeysAfterAMenuWasClosed();
    void selectAllIsInTheEditMenu();
    void heldKeyActsOnce_data();
    void heldKeyActsOnce();
    void foldedMessageSelectsCorners();
    void pointsRoundTrip_data();
    void pointsRoundTrip();
    void unreadablePointsFileIsReported();
    void exportWithoutPointsSaysSoBeforeAskingForAFile_data();
    void exportWithoutPointsSaysSoBeforeAskingForAFile();
    void importSaysWhichOfSeveralFacesItTook();
    void togglesAreRemembered();

private:
    // A shown window with a picture and the template face on it.
    void prepare(ui::MainWindow& window);

    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_MainWindowNavigation::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindowNavigation::init()
{
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(workspace->isValid() && dir->isValid());
}

void tst_MainWindowNavigation::cleanup()
{
    dir.reset();
    workspace.reset();
    prompts.reset();
}

void tst_MainWindowNavigation::prepare(ui::MainWindow& window)
{
    window.resize(800, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ui::PointView* view = pointView(window);
    view->setImage(testimages::filled(pictureSize.width(), pictureSize.height(), Qt::darkGray));
    view->facialPoints()->setPoints(core::templateFace(pictureSize));
    // This folder has no landmark model: the picture's detection says so when it ends, at a
    // moment of its own. The tests count the dialogs that come after.
    QTRY_COMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).at(0).text, QStringLiteral("Face detection module was not load"));
    prompts->records.clear();
}

void tst_MainWindowNavigation::scrollBarsPanAndHideAtFit()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* horizontal = view->findChild<QScrollBar*>(QStringLiteral("horizontalScrollBar"));
    auto* vertical = view->findChild<QScrollBar*>(QStringLiteral("verticalScrollBar"));
    QVERIFY(horizontal && vertical);
    QVERIFY(!horizontal->isVisible() && !vertical->isVisible());

    for (int i = 0; i < 4; ++i) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    QVERIFY(horizontal->isVisible() && vertical->isVisible());
    const double scale = viewScale(view);
    const QPointF before = view->viewToPicturePixels(QPoint(0, 0));
    horizontal->setValue(horizontal->value() + 50);
    vertical->setValue(vertical->value() - 30);
    const QPointF after = view->viewToPicturePixels(QPoint(0, 0));
    QVERIFY2(std::abs((after.x() - before.x()) * scale - 50) < 1.0,
             qPrintable(QString::number((after.x() - before.x()) * scale)));
    QVERIFY2(std::abs((after.y() - before.y()) * scale + 30) < 1.0,
             qPrintable(QString::number((after.y() - before.y()) * scale)));
    // The wheel keeps panning, and the bars follow it.
    const int value = vertical->value();
    QWheelEvent wheel(QPointF(100, 100), QPointF(view->mapToGlobal(QPoint(100, 100))), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    QVERIFY(vertical->value() > value);

    action(window, QStringLiteral("Fit to Window"))->trigger();
    QVERIFY(!horizontal->isVisible() && !vertical->isVisible());
}

void tst_MainWindowNavigation::edgeMarkerCanBeClickedScrolledToItsEdge_data()
{
    QTest::addColumn<QPointF>("fraction");
    QTest::newRow("right-edge") << QPointF(1.0, 0.5);
    QTest::newRow("bottom-edge") << QPointF(0.5, 1.0);
    QTest::newRow("bottom-right-corner") << QPointF(1.0, 1.0);
}

// A point on the picture's right or bottom edge (a face the picture cuts) can be clicked while
// zoomed: scrolled to that edge, its marker is not beneath a scroll bar.
void tst_MainWindowNavigation::edgeMarkerCanBeClickedScrolledToItsEdge()
{
    QFETCH(QPointF, fraction);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const int index = 8;
    view->facialPoints()->setPoint(fraction, index);
    for (int i = 0; i < 4; ++i) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    auto* horizontal = view->findChild<QScrollBar*>(QStringLiteral("horizontalScrollBar"));
    auto* vertical = view->findChild<QScrollBar*>(QStringLiteral("verticalScrollBar"));
    QVERIFY(horizontal && vertical && horizontal->isVisible() && vertical->isVisible());
    // Zoomed about the middle; scrolled as far as the bars go towards the point's edges.
    if (fraction.x() == 1.0) {
        horizontal->setValue(horizontal->maximum());
    }
    if (fraction.y() == 1.0) {
        vertical->setValue(vertical->maximum());
    }

    // As at fit, where the view's own edge cuts it, the half of the marker inside the picture is
    // there to be grabbed.
    const QPoint at = viewOf(view, index) - QPoint(fraction.x() == 1.0 ? 3 : 0, fraction.y() == 1.0 ? 3 : 0);
    const QString beneath = clickInView(view, at);
    QVERIFY2(beneath.isEmpty(), qPrintable(beneath));
    QCOMPARE(view->selection(), (QVector<int>{index}));
}

void tst_MainWindowNavigation::cornerMarkerBesideTheOverviewCanBeClicked_data()
{
    QTest::addColumn<QPointF>("fraction");
    QTest::addColumn<int>("zoomSteps");
    // Beyond 4x (1.25^7), the overview covers about 30 x 22 of the picture's pixels in its
    // top right corner; at 16x (1.25^13), about 8 x 6.
    QTest::newRow("near the right edge") << QPointF(0.99, 0.03) << 7;
    QTest::newRow("near the top edge") << QPointF(0.96, 0.01) << 7;
    QTest::newRow("inside the corner") << QPointF(0.985, 0.02) << 7;
    QTest::newRow("inside the corner at 16x") << QPointF(0.996, 0.006) << 13;
}

// A point in the picture's top right corner (a face the picture cuts) can be clicked while
// zoomed beyond 4x: scrolled to that corner, its marker is not beneath the overview.
void tst_MainWindowNavigation::cornerMarkerBesideTheOverviewCanBeClicked()
{
    QFETCH(QPointF, fraction);
    QFETCH(int, zoomSteps);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const int index = 24;
    view->facialPoints()->setPoint(fraction, index);
    for (int i = 0; i < zoomSteps; ++i) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    auto* overview = view->findChild<ui::PictureOverview*>(QStringLiteral("pictureOverview"));
    auto* horizontal = view->findChild<QScrollBar*>(QStringLiteral("horizontalScrollBar"));
    auto* vertical = view->findChild<QScrollBar*>(QStringLiteral("verticalScrollBar"));
    QVERIFY(overview && horizontal && vertical);
    QVERIFY(overview->isVisible() && horizontal->isVisible() && vertical->isVisible());
    horizontal->setValue(horizontal->maximum());
    vertical->setValue(vertical->minimum());

    const QString beneath = clickInView(view, viewOf(view, index));
    QVERIFY2(beneath.isEmpty(), qPrintable(beneath));
    QCOMPARE(view->selection(), (QVector<int>{index}));
    // The overview is still there, and its frame still ends at the picture's right edge.
    QVERIFY(overview->isVisible());
    QCOMPARE(overview->visibleRect().right(), 1.0);
    QCOMPARE(overview->visibleRect().top(), 0.0);
}

void tst_MainWindowNavigation::pointWalkedToIsNotBeneathTheBarsOrOverview_data()
{
    QTest::addColumn<QPointF>("fraction");
    // Zoomed beyond 4x about the middle, each point lies far outside the view until Tab reaches it.
    QTest::newRow("top-right-where-the-overview-lies") << QPointF(0.9, 0.1);
    QTest::newRow("right-below-the-overview") << QPointF(0.9, 0.5);
    QTest::newRow("bottom-right-by-the-bars") << QPointF(0.9, 0.9);
    QTest::newRow("top-left") << QPointF(0.1, 0.1);
}

// Tab scrolls a zoomed view to the point it selects: its marker lands where it can be seen and
// clicked, not beneath the overview or a scroll bar.
void tst_MainWindowNavigation::pointWalkedToIsNotBeneathTheBarsOrOverview()
{
    QFETCH(QPointF, fraction);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const int index = 24;
    view->facialPoints()->setPoint(fraction, index);
    for (int i = 0; i < 7; ++i) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    auto* overview = view->findChild<ui::PictureOverview*>(QStringLiteral("pictureOverview"));
    QVERIFY(overview && overview->isVisible());
    for (int i = 0; i <= index; ++i) {
        QTest::keyClick(view, Qt::Key_Tab);
    }
    QCOMPARE(view->selection(), (QVector<int>{index}));

    const QString beneath = clickInView(view, viewOf(view, index));
    QVERIFY2(beneath.isEmpty(), qPrintable(beneath));
    QCOMPARE(view->selection(), (QVector<int>{index}));
}

// Zoomed until the picture is taller than the view but, letter-boxed, just narrower: the
// vertical bar alone would lie over its right edge, where nothing could scroll it out.
void tst_MainWindowNavigation::edgeMarkerBesideTheOnlyBarCanBeClicked()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const int index = 8;
    view->facialPoints()->setPoint(QPointF(1.0, 0.5), index);
    auto* horizontal = view->findChild<QScrollBar*>(QStringLiteral("horizontalScrollBar"));
    auto* vertical = view->findChild<QScrollBar*>(QStringLiteral("verticalScrollBar"));
    QVERIFY(horizontal && vertical);
    action(window, QStringLiteral("Zoom In"))->trigger(); // 1.25x
    // Fitted by its height, the 4:3 picture is then 5/3 of the view's height wide: the view is
    // made half a bar wider than that.
    const int wanted = int(std::lround(view->height() * 5.0 / 3.0 + vertical->sizeHint().width() / 2.0));
    window.resize(window.width() + wanted - view->width(), window.height());
    QTRY_COMPARE(view->width(), wanted);
    QVERIFY(vertical->isVisible());
    QVERIFY2(horizontal->isVisible(), "the picture's right edge lies beneath the vertical bar");
    horizontal->setValue(horizontal->maximum());

    const QPoint at = viewOf(view, index) - QPoint(3, 0);
    const QString beneath = clickInView(view, at);
    QVERIFY2(beneath.isEmpty(), qPrintable(beneath));
    QCOMPARE(view->selection(), (QVector<int>{index}));
}

void tst_MainWindowNavigation::barClickMovesTheViewTowardsIt_data()
{
    QTest::addColumn<Qt::LayoutDirection>("direction");
    QTest::addColumn<bool>("towardsRight");
    QTest::newRow("left-to-right, right end") << Qt::LeftToRight << true;
    QTest::newRow("left-to-right, left end") << Qt::LeftToRight << false;
    // The picture is not mirrored for a right-to-left language, nor is the bar that pans it.
    QTest::newRow("right-to-left, right end") << Qt::RightToLeft << true;
    QTest::newRow("right-to-left, left end") << Qt::RightToLeft << false;
}

void tst_MainWindowNavigation::barClickMovesTheViewTowardsIt()
{
    QFETCH(Qt::LayoutDirection, direction);
    QFETCH(bool, towardsRight);
    ui::MainWindow window;
    window.setLayoutDirection(direction);
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* horizontal = view->findChild<QScrollBar*>(QStringLiteral("horizontalScrollBar"));
    QVERIFY(horizontal);
    for (int i = 0; i < 4; ++i) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    QVERIFY(horizontal->isVisible());
    const double before = view->viewToPicturePixels(QPoint(0, 0)).x();
    // Beside the handle, inside the arrow buttons: a page towards that end.
    const int inset = horizontal->height() + 4;
    const QPoint click(towardsRight ? horizontal->width() - inset : inset, horizontal->height() / 2);
    QTest::mousePress(horizontal, Qt::LeftButton, Qt::NoModifier, click);
    QTest::mouseRelease(horizontal, Qt::LeftButton, Qt::NoModifier, click);
    const double after = view->viewToPicturePixels(QPoint(0, 0)).x();
    QVERIFY2(towardsRight ? after > before + 1 : after < before - 1,
             qPrintable(QStringLiteral("the view's left edge went from x %1 to %2 px").arg(before).arg(after)));
}

void tst_MainWindowNavigation::overviewClickCentres()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* overview = view->findChild<ui::PictureOverview*>(QStringLiteral("pictureOverview"));
    QVERIFY(overview);
    while (view->zoom() <= 4.0) {
        QVERIFY(!overview->isVisible());
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    QVERIFY(overview->isVisible());
    const QRect area = overview->pictureArea();
    const QPoint click(area.left() + qRound(0.3 * area.width()), area.top() + qRound(0.7 * area.height()));
    const QPointF fraction((click.x() + 0.5 - area.left()) / area.width(),
                           (click.y() + 0.5 - area.top()) / area.height());
    QTest::mouseClick(overview, Qt::LeftButton, Qt::NoModifier, click);
    const QPointF centre = centreFraction(view);
    // Within a pixel of the small picture.
    QVERIFY2(std::abs(centre.x() - fraction.x()) <= 1.0 / area.width()
                 && std::abs(centre.y() - fraction.y()) <= 1.0 / area.height(),
             qPrintable(QStringLiteral("%1, %2").arg(centre.x()).arg(centre.y())));
    // The frame shows the new place.
    QVERIFY(overview->visibleRect().contains(centre));
}

void tst_MainWindowNavigation::overviewFollowsToggle()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* overview = view->findChild<ui::PictureOverview*>(QStringLiteral("pictureOverview"));
    QAction* toggle = action(window, QStringLiteral("Show Overview"));
    QVERIFY(overview && toggle);
    QVERIFY(toggle->isCheckable() && toggle->isChecked());
    while (view->zoom() <= 4.0) {
        action(window, QStringLiteral("Zoom In"))->trigger();
    }
    QVERIFY(overview->isVisible());
    toggle->trigger();
    QVERIFY(!overview->isVisible());
    toggle->trigger();
    QVERIFY(overview->isVisible());
}

void tst_MainWindowNavigation::cursorCoordinatesInStatusBar()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* cursor = window.findChild<QLabel*>(QStringLiteral("cursorLabel"));
    auto* selection = window.findChild<QLabel*>(QStringLiteral("selectionLabel"));
    QVERIFY(cursor && selection);
    const QPoint at(view->width() / 3, view->height() / 4);
    const QPointF pixel = view->viewToPicturePixels(at);
    QTest::mouseMove(view, at);
    QCOMPARE(cursor->text(), QStringLiteral("x %1, y %2 px").arg(pixel.x(), 0, 'f', 1).arg(pixel.y(), 0, 'f', 1));
    QCOMPARE(selection->text(), QString());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(view, &leave);
    QCOMPARE(cursor->text(), QString());
}

void tst_MainWindowNavigation::statusBarTextsAreWholeOrEndInEllipsis_data()
{
    QTest::addColumn<int>("width");
    QTest::newRow("start-size") << 640;
    QTest::newRow("narrow") << 420;
    QTest::newRow("wide") << 1600;
}

// With a point selected while zoomed, the cursor over the picture and a folded triangle, the
// status bar's texts share one line: each is shown whole or cut with "…", never mid-letter.
void tst_MainWindowNavigation::statusBarTextsAreWholeOrEndInEllipsis()
{
    QFETCH(int, width);
    ui::MainWindow window;
    prepare(window);
    window.resize(width, 600);
    ui::PointView* view = pointView(window);
    core::FacialPointVector points = view->facialPoints()->points();
    std::swap(points[30], points[4]);
    view->facialPoints()->setPoints(points);
    action(window, QStringLiteral("Zoom In"))->trigger();
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, viewOf(view, 30));
    QTest::mouseMove(view, viewOf(view, 30) + QPoint(7, 9));

    auto* cursor = qobject_cast<ui::FooterLabel*>(window.findChild<QLabel*>(QStringLiteral("cursorLabel")));
    auto* folded = qobject_cast<ui::FooterButton*>(window.findChild<QPushButton*>(QStringLiteral("foldedButton")));
    auto* selection = window.findChild<QLabel*>(QStringLiteral("selectionLabel"));
    QVERIFY2(cursor && folded, "the cursor's position and the fold message cut what does not fit");
    QVERIFY(selection && selection->text().startsWith(QStringLiteral("Point 30: ")));
    QTRY_VERIFY(folded->isVisible() && cursor->text().startsWith(QStringLiteral("x ")));
    QApplication::processEvents(); // the status bar's layout

    const QFontMetrics metrics = cursor->fontMetrics();
    for (const auto& [shown, whole, room] :
         {std::make_tuple(cursor->shownText(), cursor->text(), std::max(0, cursor->contentsRect().width())),
          std::make_tuple(folded->shownText(), folded->text(), folded->width())}) {
        const bool noRoom = shown.isEmpty() && room < metrics.horizontalAdvance(QChar(0x2026));
        QVERIFY2(shown == whole || noRoom || (shown.endsWith(QChar(0x2026)) && whole.startsWith(shown.chopped(1))),
                 qPrintable(QStringLiteral("\"%1\" in %2 px").arg(shown).arg(room)));
        QVERIFY2(metrics.horizontalAdvance(shown) <= room,
                 qPrintable(QStringLiteral("\"%1\" is wider than %2 px").arg(shown).arg(room)));
    }
    QCOMPARE(selection->width() >= selection->fontMetrics().horizontalAdvance(selection->text()), true);
    if (width >= 1600) {
        QCOMPARE(cursor->shownText(), cursor->text());
        QCOMPARE(folded->shownText(), folded->text());
    }
}

void tst_MainWindowNavigation::mirrorDragMovesPartner()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    QAction* mirror = action(window, QStringLiteral("mirrorEditsAction"));
    QVERIFY(mirror && mirror->isCheckable() && !mirror->isChecked());
    QCOMPARE(mirror->shortcut(), QKeySequence(Qt::Key_M));
    QTest::keyClick(window.windowHandle(), Qt::Key_M);
    QVERIFY(mirror->isChecked());

    const core::FacialPointVector before = view->facialPoints()->points();
    auto* undo = window.findChild<QAction*>(QStringLiteral("undoAction"));
    QVERIFY(undo);
    const QString stepBefore = undo->text();
    testsupport::drag(view, viewOf(view, 19), viewOf(view, 19) + QPoint(12, -20));
    const core::FacialPointVector after = view->facialPoints()->points();
    QVERIFY(after[19] != before[19]);

    const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
    QVERIFY(midline);
    const QPointF expected = pixelOf(before, 24) + midline->reflectVector(pixelOf(after, 19) - pixelOf(before, 19));
    const QPointF actual = pixelOf(after, 24);
    QVERIFY2(std::abs(actual.x() - expected.x()) < 1e-9 && std::abs(actual.y() - expected.y()) < 1e-9,
             qPrintable(QStringLiteral("%1, %2 instead of %3, %4")
                            .arg(actual.x()).arg(actual.y()).arg(expected.x()).arg(expected.y())));

    // One Ctrl+Z takes both back.
    QTest::keyClick(window.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view->facialPoints()->points(), before);
    QCOMPARE(undo->text(), stepBefore);
}

// The keys of the Edit menu turn and scale the selection: ']' and '[' a degree each way, '+' and
// '-' by a fiftieth, and a run of one key is one step.
void tst_MainWindowNavigation::selectionTurnsAndScalesByKeys()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const core::FacialPointVector start = view->facialPoints()->points();
    QTest::keyClick(window.windowHandle(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(view->selection().size(), 75);
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(window.windowHandle(), Qt::Key_BracketRight);
    }
    QAction* undo = action(window, QStringLiteral("undoAction"));
    QCOMPARE(undo->text(), QStringLiteral("Undo Rotate 75 Points"));
    QTest::keyClick(window.windowHandle(), Qt::Key_BracketLeft);
    QTest::keyClick(window.windowHandle(), Qt::Key_BracketLeft);
    QTest::keyClick(window.windowHandle(), Qt::Key_BracketLeft);
    for (size_t i = 0; i < start.size(); ++i) {
        const QPointF at = pixelOf(view->facialPoints()->points(), int(i));
        QVERIFY2(QLineF(at, pixelOf(start, int(i))).length() < 1e-6, qPrintable(QString::number(i)));
    }
    const double width = pixelOf(start, 16).x() - pixelOf(start, 0).x();
    QTest::keyClick(window.windowHandle(), Qt::Key_Plus);
    const core::FacialPointVector larger = view->facialPoints()->points();
    QVERIFY(std::abs(pixelOf(larger, 16).x() - pixelOf(larger, 0).x() - width * 1.02) < 1e-6);
    QCOMPARE(undo->text(), QStringLiteral("Undo Scale 75 Points"));
    QTest::keyClick(window.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(window.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view->facialPoints()->points(), start);
    // One point is not turned: the footer says what to select.
    QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
    QTest::keyClick(window.windowHandle(), Qt::Key_Minus);
    QCOMPARE(view->facialPoints()->points(), start);
    auto* message = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    QVERIFY(message);
    QVERIFY2(message->text().startsWith(QStringLiteral("Select two points or more")), qPrintable(message->text()));
}

// Ctrl+A selects every point also while the menu bar holds the keys (a menu closed with Escape),
// and the arrows that follow nudge them rather than move through the menus.
void tst_MainWindowNavigation::selectAllAfterAMenuWasClosed()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    QWindow* handle = window.windowHandle();
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    QVERIFY(menuBar);
    QTest::keyClick(handle, Qt::Key_E, Qt::AltModifier);
    QTRY_VERIFY(QApplication::activePopupWidget());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(menuBar));

    QTest::keyClick(handle, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(view->selection().size(), 75);
    const core::FacialPointVector before = view->facialPoints()->points();
    QTest::keyClick(handle, Qt::Key_Down);
    QVERIFY(!QApplication::activePopupWidget());
    const core::FacialPointVector after = view->facialPoints()->points();
    for (size_t i = 0; i < before.size(); ++i) {
        QVERIFY2(pixelOf(after, int(i)).y() > pixelOf(before, int(i)).y(), qPrintable(QString::number(i)));
    }
}

void tst_MainWindowNavigation::pointKeysAfterAMenuWasClosed_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("selected"); // the point selected after the key; -1: the selection stays
    QTest::addColumn<QString>("footer"); // how the footer starts after the key; empty: unchanged
    const QString noFaces = QStringLiteral("The faces of this picture cannot be looked for");
    QTest::newRow("Tab") << "Tab" << 2 << QString();
    QTest::newRow("Shift+Tab") << "Shift+Tab" << 0 << QString();
    QTest::newRow("Backtab") << "Backtab" << 0 << QString();
    QTest::newRow("Shift+F10") << "Shift+F10" << -1 << noFaces;
    QTest::newRow("Menu key") << "Menu" << -1 << noFaces;
}

// With the menu bar holding the keys after a menu was closed with Escape (which the menu bar
// does not show), the keys of the points that it has no use for still reach the points: Tab and
// Shift+Tab go through them, Shift+F10 and the Menu key open the face menu or say why not.
void tst_MainWindowNavigation::pointKeysAfterAMenuWasClosed()
{
    QFETCH(QString, key);
    QFETCH(int, selected);
    QFETCH(QString, footer);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    QWindow* handle = window.windowHandle();
    QTest::keyClick(handle, Qt::Key_Tab);
    QTest::keyClick(handle, Qt::Key_Tab);
    QCOMPARE(view->selection(), QVector<int>{1});
    auto* footerLabel = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    QVERIFY(footerLabel);
    const QString footerBefore = footerLabel->text();
    QVERIFY(!footerBefore.startsWith(footer) || footer.isEmpty());

    QTest::keyClick(handle, Qt::Key_E, Qt::AltModifier);
    QTRY_VERIFY(QApplication::activePopupWidget());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget*>(QStringLiteral("menuBar")));

    if (key == QLatin1String("Tab")) {
        QTest::keyClick(handle, Qt::Key_Tab);
    } else if (key == QLatin1String("Shift+Tab")) {
        QTest::keyClick(handle, Qt::Key_Tab, Qt::ShiftModifier);
    } else if (key == QLatin1String("Backtab")) {
        QTest::keyClick(handle, Qt::Key_Backtab, Qt::ShiftModifier);
    } else if (key == QLatin1String("Shift+F10")) {
        QTest::keyClick(handle, Qt::Key_F10, Qt::ShiftModifier);
    } else {
        // What the platform makes of the Menu key: an event for the widget with the keys.
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(1, 1));
        QApplication::sendEvent(QApplication::focusWidget(), &menuKey);
    }
    QVERIFY(!QApplication::activePopupWidget());
    QCOMPARE(view->selection(), selected < 0 ? QVector<int>{1} : QVector<int>{selected});
    if (footer.isEmpty()) {
        QCOMPARE(footerLabel->text(), footerBefore);
    } else {
        QVERIFY2(footerLabel->text().startsWith(footer), qPrintable(footerLabel->text()));
    }
    // The keys that follow go to the points too.
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(view));
}

// Ctrl+A has its entry in the Edit menu, which names the key and selects every point.
void tst_MainWindowNavigation::selectAllIsInTheEditMenu()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    QVERIFY(menuBar);
    QMenu* edit = menuBar->actions().at(1)->menu();
    QVERIFY(edit);
    QAction* entry = nullptr;
    for (QAction* action : edit->actions()) {
        if (action->objectName() == QLatin1String("selectAllAction")) {
            entry = action;
        }
    }
    QVERIFY(entry);
    QCOMPARE(entry->text(), QStringLiteral("Select All\tCtrl+A"));
    QVERIFY(view->selection().isEmpty());
    entry->trigger();
    QCOMPARE(view->selection().size(), 75);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(view));
}

void tst_MainWindowNavigation::heldKeyActsOnce_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("mirror-edits") << int(Qt::Key_M) << int(Qt::NoModifier);
    QTest::newRow("mirror-selection") << int(Qt::Key_M) << int(Qt::ShiftModifier);
    QTest::newRow("place-template") << int(Qt::Key_T) << int(Qt::ControlModifier);
}

// A key of a toggle or of a one-time step held down, as the keyboard repeats it: the toggle
// turns once and stays, the step is taken once (one Ctrl+Z takes it back) and is reported as done.
void tst_MainWindowNavigation::heldKeyActsOnce()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    QWindow* handle = window.windowHandle();
    // Point 0 out of its place, so that the template and the mirror image change something.
    QTest::keyClick(handle, Qt::Key_Tab);
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(handle, Qt::Key_Right);
    }
    const core::FacialPointVector nudged = view->facialPoints()->points();
    QCOMPARE(view->selection(), QVector<int>{0});
    QAction* mirror = action(window, QStringLiteral("mirrorEditsAction"));
    const bool mirroring = mirror->isChecked();

    const auto mods = Qt::KeyboardModifiers(modifiers);
    testsupport::holdKey(handle, key, mods);

    if (key == Qt::Key_M && mods == Qt::NoModifier) {
        QCOMPARE(mirror->isChecked(), !mirroring);
        return;
    }
    QVERIFY(view->facialPoints()->points() != nudged);
    const QString footer = window.findChild<QLabel*>(QStringLiteral("footerLabel"))->text();
    QVERIFY2(!footer.startsWith(QStringLiteral("Select points on one side")), qPrintable(footer));
    QTest::keyClick(handle, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view->facialPoints()->points(), nudged);
}

void tst_MainWindowNavigation::mirrorSelectionIsOneStep()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    // The left brow bent first, without mirroring.
    testsupport::drag(view, viewOf(view, 19), viewOf(view, 19) + QPoint(0, -25));
    const core::FacialPointVector before = view->facialPoints()->points();
    QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
    // A rubber band around the left brow (17 to 21).
    QRect band;
    for (int index = 17; index <= 21; ++index) {
        band |= QRect(viewOf(view, index), QSize(1, 1));
    }
    band.adjust(-4, -4, 4, 4);
    testsupport::drag(view, band.topLeft(), band.bottomRight());
    QCOMPARE(view->selection(), (QVector<int>{17, 18, 19, 20, 21}));

    QAction* mirrorSelection = action(window, QStringLiteral("Mirror Selection to Other Side"));
    QVERIFY(mirrorSelection);
    mirrorSelection->trigger();
    const core::FacialPointVector after = view->facialPoints()->points();
    const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
    QVERIFY(midline);
    const QPointF expected = midline->reflectPoint(pixelOf(before, 19));
    QVERIFY(std::abs(pixelOf(after, 24).x() - expected.x()) < 1e-9);
    QVERIFY(std::abs(pixelOf(after, 24).y() - expected.y()) < 1e-9);

    action(window, QStringLiteral("undoAction"))->trigger();
    QCOMPARE(view->facialPoints()->points(), before);
    // The brow's own bend is the step before.
    action(window, QStringLiteral("undoAction"))->trigger();
    QCOMPARE(view->facialPoints()->points(), core::templateFace(pictureSize));
}

void tst_MainWindowNavigation::foldedMessageSelectsCorners()
{
    // A package whose points have the nose tip and a jaw point swapped.
    core::FaceMaskProject project;
    project.facialPoints()->setImage(testimages::filled(pictureSize.width(), pictureSize.height(), Qt::gray));
    core::FacialPointVector points = core::templateFace(pictureSize);
    std::swap(points[30], points[4]);
    project.facialPoints()->setPoints(points);
    const QString path = dir->filePath(QStringLiteral("swapped.pmk"));
    QVERIFY(project.save(path));
    const auto folded = ui::mesh::foldedTriangles(points, QSizeF(pictureSize));
    QVERIFY(!folded.empty());

    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* message = window.findChild<QPushButton*>(QStringLiteral("foldedButton"));
    QVERIFY(message);
    QVERIFY(!message->isVisible());
    window.openFile(path);
    QTRY_COMPARE(pointView(window)->facialPoints()->points().size(), size_t(75));
    QTRY_VERIFY(message->isVisible());
    QCOMPARE(message->text(), ui::mesh::foldedMessage(int(folded.size())));
    QVERIFY(message->text().endsWith(QStringLiteral("folded: the preview leaves them out")));

    QTest::mouseClick(message, Qt::LeftButton);
    QVector<int> expected;
    for (int corner : ui::mesh::cornersOf(folded)) {
        expected.push_back(corner);
    }
    QCOMPARE(pointView(window)->selection(), expected);
    QVERIFY(expected.contains(4) && expected.contains(30));
    // Edit → Select Folded Points does the same from the keyboard.
    QTest::keyClick(pointView(window), Qt::Key_Escape);
    QVERIFY(pointView(window)->selection().isEmpty());
    action(window, QStringLiteral("selectFoldedAction"))->trigger();
    QCOMPARE(pointView(window)->selection(), expected);

    // Undone by hand: the message goes.
    core::FacialPointVector mended = pointView(window)->facialPoints()->points();
    std::swap(mended[30], mended[4]);
    pointView(window)->facialPoints()->setPoints(mended);
    QVERIFY(!message->isVisible());
}

void tst_MainWindowNavigation::pointsRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    // pixel precision of the format: .pts keeps 17 digits, dlib XML whole pixels.
    QTest::addColumn<double>("tolerance");
    QTest::newRow("pts") << "face.pts" << 1e-9;
    QTest::newRow("dlib xml") << "face.xml" << 0.5;
}

void tst_MainWindowNavigation::pointsRoundTrip()
{
    QFETCH(QString, name);
    QFETCH(double, tolerance);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const core::FacialPointVector original = view->facialPoints()->points();
    const QString path = dir->filePath(name);

    prompts->fileNames.enqueue(path);
    action(window, QStringLiteral("exportPointsAction"))->trigger();
    QTRY_VERIFY(QFile::exists(path));
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 0);

    // Other points, then the file's back.
    core::FacialPointVector moved = original;
    for (FacialPoint& p : moved) {
        p += QPointF(0.05, -0.03);
    }
    view->facialPoints()->setPoints(moved);
    auto* undo = window.findChild<QAction*>(QStringLiteral("undoAction"));
    const QString stepBefore = undo->text();
    prompts->fileNames.enqueue(path);
    action(window, QStringLiteral("importPointsAction"))->trigger();
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 0);

    const core::FacialPointVector imported = view->facialPoints()->points();
    QCOMPARE(imported.size(), size_t(75));
    for (int i = 0; i < 68; ++i) {
        const QPointF difference = pixelOf(imported, i) - pixelOf(original, i);
        QVERIFY2(std::abs(difference.x()) <= tolerance && std::abs(difference.y()) <= tolerance,
                 qPrintable(QStringLiteral("point %1 off by %2, %3").arg(i).arg(difference.x()).arg(difference.y())));
    }
    // The 7 derived points as detection derives them from the 68.
    core::FacialPointVector derived;
    for (int i = 0; i < 68; ++i) {
        derived.push_back(pixelOf(imported, i));
    }
    QVERIFY(core::landmarks::appendForeheadPoints(derived));
    core::landmarks::normalizePoints(derived, pictureSize.width(), pictureSize.height());
    QCOMPARE(derived.size(), size_t(75));
    for (int i = 68; i < 75; ++i) {
        QVERIFY(std::abs(derived[size_t(i)].x() - imported[size_t(i)].x()) < 1e-12);
        QVERIFY(std::abs(derived[size_t(i)].y() - imported[size_t(i)].y()) < 1e-12);
    }

    // One step.
    QCOMPARE(undo->text(), QStringLiteral("Undo Import Points"));
    undo->trigger();
    QCOMPARE(view->facialPoints()->points(), moved);
    QCOMPARE(undo->text(), stepBefore);
}

void tst_MainWindowNavigation::unreadablePointsFileIsReported()
{
    ui::MainWindow window;
    prepare(window);
    const core::FacialPointVector before = pointView(window)->facialPoints()->points();
    const QString stepBefore = action(window, QStringLiteral("undoAction"))->text();
    const QString path = dir->filePath(QStringLiteral("broken.pts"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("version: 1\nn_points: 68\n{\n1 2\n}\n");
    file.close();
    prompts->fileNames.enqueue(path);
    action(window, QStringLiteral("importPointsAction"))->trigger();
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.at(0).text.contains(QStringLiteral("broken.pts")), qPrintable(warnings.at(0).text));
    QCOMPARE(pointView(window)->facialPoints()->points(), before);
    QCOMPARE(action(window, QStringLiteral("undoAction"))->text(), stepBefore);

    // A file that cannot be written: its parent is a regular file.
    prompts->fileNames.enqueue(path + QStringLiteral("/out.pts"));
    action(window, QStringLiteral("exportPointsAction"))->trigger();
    QTRY_COMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 2);
}

void tst_MainWindowNavigation::exportWithoutPointsSaysSoBeforeAskingForAFile_data()
{
    QTest::addColumn<bool>("picture");
    QTest::addColumn<QString>("message");
    QTest::newRow("no picture") << false << "There are no points to export: open a picture first.";
    QTest::newRow("points being detected") << true << "The picture has no points to export";
}

// Nothing to export: the user is told at once, not after choosing a file's name for nothing.
void tst_MainWindowNavigation::exportWithoutPointsSaysSoBeforeAskingForAFile()
{
    QFETCH(bool, picture);
    QFETCH(QString, message);
    ui::MainWindow window;
    if (picture) {
        prepare(window);
        pointView(window)->facialPoints()->setPoints(core::FacialPointVector());
    } else {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("nothing.pts")));
    action(window, QStringLiteral("exportPointsAction"))->trigger();
    QCOMPARE(prompts->ofKind(QStringLiteral("save")).size(), 0);
    // The missing model's warning may come too, at a moment of its own.
    QList<PromptRecord> warnings;
    for (const PromptRecord& warning : prompts->ofKind(QStringLiteral("warning"))) {
        if (warning.title == QLatin1String("Export Points")) {
            warnings.append(warning);
        }
    }
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().text.startsWith(message), qPrintable(warnings.first().text));
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("nothing.pts"))));
}

// A dlib XML of a training set holds many faces; the first with landmarks is taken, and the
// footer says so and which picture it was marked on.
void tst_MainWindowNavigation::importSaysWhichOfSeveralFacesItTook()
{
    ui::MainWindow window;
    prepare(window);
    const core::FacialPointVector first = core::templateFace(pictureSize);
    const QByteArray one = core::landmarkfiles::writeDlibXml(
        {QStringLiteral("a.jpg"), QRect(10, 10, 300, 300), first}, pictureSize);
    QByteArray other = core::landmarkfiles::writeDlibXml(
        {QStringLiteral("b.jpg"), QRect(0, 0, 90, 90), core::templateFace(QSize(200, 150))}, pictureSize);
    const auto boxOf = [](const QByteArray& xml) {
        const int start = xml.indexOf("    <box");
        return xml.mid(start, xml.indexOf("</box>") + 7 - start);
    };
    const auto imageOf = [](const QByteArray& xml) {
        const int start = xml.indexOf("  <image");
        return xml.mid(start, xml.indexOf("</image>") + 9 - start);
    };
    // a.jpg with two faces, then b.jpg with one.
    QByteArray text = one;
    text.replace("</box>\n", "</box>\n" + boxOf(other));
    text.replace("</images>", imageOf(other) + "</images>");
    QCOMPARE(text.count("<part name='00'"), 3);
    const QString path = dir->filePath(QStringLiteral("training.xml"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();

    prompts->fileNames.enqueue(path);
    action(window, QStringLiteral("importPointsAction"))->trigger();
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 0);
    const core::FacialPointVector imported = pointView(window)->facialPoints()->points();
    for (int i = 0; i < 68; ++i) {
        const QPointF difference = pixelOf(imported, i) - pixelOf(first, i);
        QVERIFY(std::abs(difference.x()) <= 0.5 && std::abs(difference.y()) <= 0.5);
    }
    auto* message = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    QVERIFY(message);
    QVERIFY2(message->text().startsWith(QStringLiteral("Points imported from training.xml")), qPrintable(message->text()));
    QVERIFY2(message->text().contains(QStringLiteral("the first of its 3 faces")), qPrintable(message->text()));
    QVERIFY2(message->text().contains(QStringLiteral("a.jpg")), qPrintable(message->text()));
}

void tst_MainWindowNavigation::togglesAreRemembered()
{
    {
        ui::MainWindow window;
        QVERIFY(!action(window, QStringLiteral("Show Mesh"))->isChecked());
        QVERIFY(action(window, QStringLiteral("Show Overview"))->isChecked());
        action(window, QStringLiteral("Show Mesh"))->trigger();
        action(window, QStringLiteral("Show Overview"))->trigger();
        action(window, QStringLiteral("mirrorEditsAction"))->trigger();
    }
    ui::MainWindow next;
    QVERIFY(action(next, QStringLiteral("Show Mesh"))->isChecked());
    QVERIFY(pointView(next)->showMesh());
    QVERIFY(!action(next, QStringLiteral("Show Overview"))->isChecked());
    QVERIFY(!pointView(next)->showOverview());
    QVERIFY(action(next, QStringLiteral("mirrorEditsAction"))->isChecked());
}

QTEST_MAIN(tst_MainWindowNavigation)
#include "tst_mainwindow_navigation.moc"
