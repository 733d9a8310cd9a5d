// Editing through the facial points controller beyond single drags: zoomed views, the
// selection, nudges, group moves, the scale and rotate handles, and the undo steps they push.

#include "core/facialpoints.h"
#include "tools/facialpointscontroller.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QImage>
#include <QUndoStack>
#include <QtTest>

#include <cmath>

namespace {

// Large enough that the rotation handle above a square in the middle stays inside.
const QSize viewSize(400, 300);

FacialPoint atPixel(double u, double v)
{
    return FacialPoint(u / viewSize.width(), v / viewSize.height());
}

// A square of four points, 80 view pixels wide, centred at (200, 170). Its box (with the
// 10-pixel margin) runs from (150, 120) to (250, 220); the rotation handle is at (200, 96).
core::FacialPointVector square()
{
    return {atPixel(160, 130), atPixel(240, 130), atPixel(240, 210), atPixel(160, 210)};
}

struct Scene
{
    explicit Scene(const core::FacialPointVector& points)
    {
        model.setPoints(points);
        viewport.setViewSize(viewSize);
        // As the view does: a new picture is laid out whole.
        QObject::connect(&model, &core::FacialPoints::imageChanged, &viewport,
                         [this] { viewport.showPicture(model.image().size()); });
        controller.setFacialPoints(&model);
        controller.setUndoStack(&stack);
    }

    void drag(QPoint from, QPoint to, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        controller.mousePress(from, modifiers);
        controller.mouseMove((from + to) / 2, modifiers);
        controller.mouseMove(to, modifiers);
        controller.mouseRelease(to);
    }

    QPointF viewPosition(int index) const
    {
        return viewport.transform().toView(model.points().at(size_t(index)));
    }

    core::FacialPoints model;
    QUndoStack stack;
    tools::Viewport viewport;
    tools::FacialPointsController controller{viewport};
};

bool near(QPointF a, QPointF b, double tolerance = 1e-6)
{
    return std::abs(a.x() - b.x()) <= tolerance && std::abs(a.y() - b.y()) <= tolerance;
}

QString show(QPointF p)
{
    return QStringLiteral("(%1, %2)").arg(p.x(), 0, 'f', 4).arg(p.y(), 0, 'f', 4);
}

// The texts of the steps on stack, oldest first.
QStringList stepTexts(const QUndoStack& stack)
{
    QStringList texts;
    for (int i = 0; i < stack.count(); ++i) {
        texts << stack.text(i);
    }
    return texts;
}

// The first of the points that is not exactly (FacialPoint's == is fuzzy) where it started, and
// by how much; empty when all are.
QString offStart(const core::FacialPointVector& now, const core::FacialPointVector& start)
{
    for (std::size_t i = 0; i < start.size() && i < now.size(); ++i) {
        if (now[i].x() != start[i].x() || now[i].y() != start[i].y()) {
            return QStringLiteral("point %1 off by %2, %3").arg(i).arg(now[i].x() - start[i].x()).arg(now[i].y() - start[i].y());
        }
    }
    return QString();
}

enum class Script {
    SingleDrag,
    PressWithoutMove,
    NudgeRun,
    NudgeThenOtherSelection,
    GroupDrag,
    RubberBandOnly
};

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(QVector<QPointF>)
Q_DECLARE_METATYPE(QVector<QPoint>)

class tst_PointEditing : public QObject
{
    Q_OBJECT

private slots:
    void zoomedDragMovesByDragOverZoom_data();
    void zoomedDragMovesByDragOverZoom();
    void zoomedPaintShowsVisiblePart_data();
    void zoomedPaintShowsVisiblePart();
    void zoomedPickUsesScreenDistance();

    void pressSelectsAndSelectionStays();
    void shiftPressToggles();
    void pressOnASelectedMarker_data();
    void pressOnASelectedMarker();
    void clickOnAHandleOverAMarker_data();
    void clickOnAHandleOverAMarker();
    void rubberBandSelects_data();
    void rubberBandSelects();
    void rubberBandShowsInEveryDirection_data();
    void rubberBandShowsInEveryDirection();
    void tabWalksThroughPoints_data();
    void tabWalksThroughPoints();

    void groupMovesClamped_data();
    void groupMovesClamped();
    void scaleHandles_data();
    void scaleHandles();
    void rotateHandle_data();
    void rotateHandle();
    void handlesBesideCoveredEdges_data();
    void handlesBesideCoveredEdges();
    void gestureBackToItsStartChangesNothing_data();
    void gestureBackToItsStartChangesNothing();
    void viewMovedMidGestureKeepsItOnThePicture_data();
    void viewMovedMidGestureKeepsItOnThePicture();
    void cancelledGestureLeavesNoTrace_data();
    void cancelledGestureLeavesNoTrace();
    void turnAndScaleByKeys_data();
    void turnAndScaleByKeys();

    void undoSteps_data();
    void undoSteps();
};

void tst_PointEditing::zoomedDragMovesByDragOverZoom_data()
{
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QPoint>("drag");
    QTest::newRow("fit") << 1.0 << QPointF(200, 150) << QPoint(20, -12);
    QTest::newRow("4x") << 4.0 << QPointF(140, 100) << QPoint(20, -12);
    QTest::newRow("8x") << 8.0 << QPointF(130, 100) << QPoint(-33, 17);
    QTest::newRow("64x-over-point") << 64.0 << QPointF(120, 90) << QPoint(5, 3);
}

void tst_PointEditing::zoomedDragMovesByDragOverZoom()
{
    QFETCH(double, zoom);
    QFETCH(QPointF, anchor);
    QFETCH(QPoint, drag);
    Scene scene({atPixel(120, 90), atPixel(300, 200)});
    scene.viewport.zoomBy(zoom, anchor);
    QCOMPARE(scene.viewport.transform().zoom(), zoom);
    const FacialPoint before = scene.model.points().at(0);
    const QPoint grab = scene.viewPosition(0).toPoint();
    QVERIFY2(QRect(QPoint(0, 0), viewSize).contains(grab), qPrintable(show(grab)));

    scene.drag(grab, grab + drag);
    const FacialPoint after = scene.model.points().at(0);
    // The grab offset is kept, so the point moves by exactly the drag, in view pixels.
    const QPointF expected(before.x() + drag.x() / (viewSize.width() * zoom),
                           before.y() + drag.y() / (viewSize.height() * zoom));
    QVERIFY2(near(after, expected, 1e-9), qPrintable(show(after) + " expected " + show(expected)));
    QCOMPARE(scene.model.points().at(1), atPixel(300, 200));
}

void tst_PointEditing::zoomedPaintShowsVisiblePart_data()
{
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QPoint>("viewPixel");
    QTest::addColumn<QPoint>("picturePixel");
    // A 4 x 3 picture in a 400 x 300 view: 100 view pixels per picture pixel at zoom 1, 200 at
    // zoom 2. Zoomed about a corner, the picture's corner stays in the view's corner.
    QTest::newRow("top-left-corner") << false << QPointF(0, 0) << QPoint(10, 10) << QPoint(0, 0);
    QTest::newRow("top-left-inner") << false << QPointF(0, 0) << QPoint(390, 290) << QPoint(1, 1);
    QTest::newRow("bottom-right-corner") << false << QPointF(400, 300) << QPoint(399, 299) << QPoint(3, 2);
    QTest::newRow("bottom-right-inner") << false << QPointF(400, 300) << QPoint(10, 10) << QPoint(2, 1);
    QTest::newRow("centre") << false << QPointF(200, 150) << QPoint(199, 149) << QPoint(1, 1);
    QTest::newRow("centre-right-of-middle") << false << QPointF(200, 150) << QPoint(201, 151) << QPoint(2, 1);
    QTest::newRow("letter-box-same-aspect") << true << QPointF(0, 0) << QPoint(250, 10) << QPoint(1, 0);
}

void tst_PointEditing::zoomedPaintShowsVisiblePart()
{
    QFETCH(bool, keepAspect);
    QFETCH(QPointF, anchor);
    QFETCH(QPoint, viewPixel);
    QFETCH(QPoint, picturePixel);
    QImage picture(4, 3, QImage::Format_RGB32);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            picture.setPixel(x, y, qRgb(40 * x + 20, 60 * y + 30, 90));
        }
    }
    Scene scene({});
    scene.model.setImage(picture);
    scene.viewport.setKeepAspectRatio(keepAspect);
    scene.viewport.zoomBy(2.0, anchor);
    QImage target(viewSize, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::black);
    scene.controller.paint(&target, QRect(QPoint(0, 0), viewSize));
    QCOMPARE(QColor(target.pixel(viewPixel)), QColor(picture.pixel(picturePixel)));
}

void tst_PointEditing::zoomedPickUsesScreenDistance()
{
    // Two points 4 view pixels apart at zoom 1 and 16 apart at zoom 4: a press 3 pixels right
    // of the first is nearer the second at zoom 1, and only in the first's square at zoom 4.
    Scene scene({atPixel(200, 150), atPixel(204, 150)});
    scene.controller.mousePress(QPoint(203, 150));
    QCOMPARE(scene.controller.draggedIndex(), 1);
    scene.controller.mouseRelease(QPoint(203, 150));

    scene.viewport.zoomBy(4.0, QPointF(200, 150));
    const QPointF first = scene.viewPosition(0);
    QVERIFY(near(first, QPointF(200, 150)));
    QVERIFY(near(scene.viewPosition(1) - first, QPointF(16, 0)));
    scene.controller.mousePress(QPoint(203, 150));
    QCOMPARE(scene.controller.draggedIndex(), 0);
}

void tst_PointEditing::pressSelectsAndSelectionStays()
{
    Scene scene(square());
    scene.controller.mousePress(QPoint(240, 130));
    scene.controller.mouseRelease(QPoint(240, 130));
    QCOMPARE(scene.controller.selection(), QVector<int>{1});
    QCOMPARE(scene.stack.count(), 0);
    scene.controller.clearSelection();
    QVERIFY(scene.controller.selection().isEmpty());
}

void tst_PointEditing::shiftPressToggles()
{
    Scene scene(square());
    scene.controller.mousePress(QPoint(160, 130));
    scene.controller.mouseRelease(QPoint(160, 130));
    scene.controller.mousePress(QPoint(240, 210), Qt::ShiftModifier);
    QCOMPARE(scene.controller.draggedIndex(), -1);
    scene.controller.mouseMove(QPoint(260, 230), Qt::ShiftModifier);
    scene.controller.mouseRelease(QPoint(260, 230));
    QCOMPARE(scene.controller.selection(), (QVector<int>{0, 2}));
    QCOMPARE(scene.model.points(), square());

    scene.controller.mousePress(QPoint(160, 130), Qt::ShiftModifier);
    scene.controller.mouseRelease(QPoint(160, 130));
    QCOMPARE(scene.controller.selection(), QVector<int>{2});
}

void tst_PointEditing::pressOnASelectedMarker_data()
{
    QTest::addColumn<QVector<int>>("selected");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QVector<QPoint>>("moves"); // between the press on marker 1 at (240, 130) and the release
    QTest::addColumn<QVector<int>>("expected");
    QTest::addColumn<QStringList>("steps");
    const QVector<int> all{0, 1, 2, 3};
    const int none = int(Qt::NoModifier);
    const int ctrl = int(Qt::ControlModifier);
    QTest::newRow("click-in-the-selection") << all << none << QVector<QPoint>{} << QVector<int>{1} << QStringList{};
    QTest::newRow("click-with-a-move-to-the-same-place")
        << all << none << QVector<QPoint>{{240, 130}} << QVector<int>{1} << QStringList{};
    QTest::newRow("ctrl-click-in-the-selection") << all << ctrl << QVector<QPoint>{} << QVector<int>{1} << QStringList{};
    QTest::newRow("drag-in-the-selection") << all << none << QVector<QPoint>{{250, 140}} << all
                                           << QStringList{"Move 4 Points"};
    QTest::newRow("drag-away-and-back") << all << none << QVector<QPoint>{{250, 140}, {240, 130}} << all
                                        << QStringList{};
    QTest::newRow("ctrl-drag-in-the-selection") << all << ctrl << QVector<QPoint>{{250, 140}} << QVector<int>{1}
                                                << QStringList{"Move Point 1"};
    QTest::newRow("shift-click-in-the-selection")
        << all << int(Qt::ShiftModifier) << QVector<QPoint>{} << QVector<int>{0, 2, 3} << QStringList{};
    QTest::newRow("click-on-the-one-selected") << QVector<int>{1} << none << QVector<QPoint>{} << QVector<int>{1}
                                               << QStringList{};
}

// A press on a marker of a larger selection moves the selection; a click there, the mouse not
// moved between press and release, selects that marker alone, as Ctrl+click always does, and
// Ctrl drags it alone.
void tst_PointEditing::pressOnASelectedMarker()
{
    QFETCH(QVector<int>, selected);
    QFETCH(int, modifiers);
    QFETCH(QVector<QPoint>, moves);
    QFETCH(QVector<int>, expected);
    QFETCH(QStringList, steps);
    Scene scene(square());
    scene.controller.setSelection(selected);
    const auto held = Qt::KeyboardModifiers(modifiers);
    scene.controller.mousePress(QPoint(240, 130), held);
    QPoint at(240, 130);
    for (const QPoint& to : moves) {
        scene.controller.mouseMove(to, held);
        at = to;
    }
    scene.controller.mouseRelease(at);
    QCOMPARE(scene.controller.selection(), expected);
    QCOMPARE(stepTexts(scene.stack), steps);
    for (int i = 0; i < 4; ++i) {
        const bool moved = !steps.isEmpty() && expected.contains(i);
        QCOMPARE(scene.model.points().at(size_t(i)) != square().at(size_t(i)), moved);
    }
}

void tst_PointEditing::clickOnAHandleOverAMarker_data()
{
    QTest::addColumn<QPointF>("extra"); // a fifth marker, beneath a handle or away from them
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QPoint>("release");
    QTest::addColumn<QVector<int>>("expected");
    QTest::addColumn<QStringList>("steps");
    // The square's top row (160, 130), (240, 130) selected: its box runs from (150, 120) to
    // (250, 140), the round handle stands at (200, 96).
    const int none = int(Qt::NoModifier);
    QTest::newRow("click-on-the-round-handle-over-a-marker")
        << QPointF(202, 97) << QPoint(200, 96) << none << QPoint(200, 96) << QVector<int>{4} << QStringList{};
    QTest::newRow("shift-click-on-it-adds-the-marker")
        << QPointF(202, 97) << QPoint(200, 96) << int(Qt::ShiftModifier) << QPoint(200, 96)
        << QVector<int>{0, 1, 4} << QStringList{};
    QTest::newRow("click-on-a-corner-over-a-marker")
        << QPointF(247, 143) << QPoint(250, 140) << none << QPoint(250, 140) << QVector<int>{4} << QStringList{};
    QTest::newRow("drag-from-the-round-handle-over-a-marker")
        << QPointF(202, 97) << QPoint(200, 96) << none << QPoint(260, 130) << QVector<int>{0, 1}
        << QStringList{"Rotate 2 Points"};
    QTest::newRow("click-on-the-round-handle-over-nothing")
        << QPointF(300, 250) << QPoint(200, 96) << none << QPoint(200, 96) << QVector<int>{0, 1} << QStringList{};
}

// A handle of the selection's box drawn over a marker keeps its drag, and a click on it, the
// mouse not moved, acts on the marker as a click on the marker would.
void tst_PointEditing::clickOnAHandleOverAMarker()
{
    QFETCH(QPointF, extra);
    QFETCH(QPoint, press);
    QFETCH(int, modifiers);
    QFETCH(QPoint, release);
    QFETCH(QVector<int>, expected);
    QFETCH(QStringList, steps);
    core::FacialPointVector points = square();
    points.push_back(atPixel(extra.x(), extra.y()));
    Scene scene(points);
    scene.controller.setSelection({0, 1});
    const auto held = Qt::KeyboardModifiers(modifiers);
    QVERIFY(scene.controller.mousePress(press, held));
    QCOMPARE(scene.controller.draggedIndex(), -1); // a handle, not the marker, was taken
    if (release != press) {
        scene.controller.mouseMove(release, held);
    }
    scene.controller.mouseRelease(release);
    QCOMPARE(scene.controller.selection(), expected);
    QCOMPARE(stepTexts(scene.stack), steps);
    QCOMPARE(scene.model.points().at(4), points.at(4));
}

void tst_PointEditing::rubberBandSelects_data()
{
    QTest::addColumn<QVector<int>>("before");
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<bool>("shift");
    QTest::addColumn<QVector<int>>("expected");
    QTest::newRow("top-row") << QVector<int>{} << QPoint(140, 110) << QPoint(260, 150) << false << QVector<int>{0, 1};
    QTest::newRow("drawn-backwards") << QVector<int>{} << QPoint(260, 230) << QPoint(200, 110) << false << QVector<int>{1, 2};
    QTest::newRow("all") << QVector<int>{} << QPoint(20, 20) << QPoint(380, 280) << false << QVector<int>{0, 1, 2, 3};
    QTest::newRow("replaces-selection") << QVector<int>{3} << QPoint(140, 110) << QPoint(260, 150) << false << QVector<int>{0, 1};
    QTest::newRow("shift-adds") << QVector<int>{3} << QPoint(140, 110) << QPoint(260, 150) << true << QVector<int>{0, 1, 3};
    QTest::newRow("click-on-empty-clears") << QVector<int>{1, 2} << QPoint(30, 30) << QPoint(30, 30) << false << QVector<int>{};
    QTest::newRow("empty-band-with-shift-keeps") << QVector<int>{1, 2} << QPoint(30, 30) << QPoint(40, 40) << true << QVector<int>{1, 2};
}

void tst_PointEditing::rubberBandSelects()
{
    QFETCH(QVector<int>, before);
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(bool, shift);
    QFETCH(QVector<int>, expected);
    Scene scene(square());
    scene.controller.setSelection(before);
    scene.drag(from, to, shift ? Qt::ShiftModifier : Qt::NoModifier);
    QCOMPARE(scene.controller.selection(), expected);
    QCOMPARE(scene.model.points(), square());
    QCOMPARE(scene.stack.count(), 0);
}

void tst_PointEditing::rubberBandShowsInEveryDirection_data()
{
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::newRow("down-right") << QPoint(100, 100) << QPoint(200, 200);
    QTest::newRow("up-left") << QPoint(200, 200) << QPoint(100, 100);
    QTest::newRow("up-right") << QPoint(100, 200) << QPoint(200, 100);
    QTest::newRow("down-left") << QPoint(200, 100) << QPoint(100, 200);
}

void tst_PointEditing::rubberBandShowsInEveryDirection()
{
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    // One point far from the band; no picture, so the band is drawn on black.
    Scene scene({atPixel(20, 20)});
    QVERIFY(scene.controller.mousePress(from));
    QVERIFY(scene.controller.mouseMove(to));
    QImage target(viewSize, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::black);
    scene.controller.paint(&target, QRect(QPoint(0, 0), viewSize));
    QVERIFY2(target.pixel(150, 150) != qRgb(0, 0, 0), "no band inside the dragged rectangle");
    QCOMPARE(target.pixel(300, 250), qRgb(0, 0, 0));
}

void tst_PointEditing::tabWalksThroughPoints_data()
{
    QTest::addColumn<QVector<int>>("before");
    QTest::addColumn<bool>("forward");
    QTest::addColumn<int>("expected");
    QTest::newRow("nothing-next-is-first") << QVector<int>{} << true << 0;
    QTest::newRow("nothing-previous-is-last") << QVector<int>{} << false << 3;
    QTest::newRow("next") << QVector<int>{1} << true << 2;
    QTest::newRow("next-wraps") << QVector<int>{3} << true << 0;
    QTest::newRow("previous-wraps") << QVector<int>{0} << false << 3;
    QTest::newRow("group-next-is-first") << QVector<int>{1, 2} << true << 0;
}

void tst_PointEditing::tabWalksThroughPoints()
{
    QFETCH(QVector<int>, before);
    QFETCH(bool, forward);
    QFETCH(int, expected);
    Scene scene(square());
    scene.controller.setSelection(before);
    forward ? scene.controller.selectNext() : scene.controller.selectPrevious();
    QCOMPARE(scene.controller.selection(), QVector<int>{expected});
}

void tst_PointEditing::groupMovesClamped_data()
{
    QTest::addColumn<bool>("byKeys");
    QTest::addColumn<QPoint>("delta");
    QTest::addColumn<QPointF>("expectedShift");
    // The two selected points span x from 8 to 388 and y from 9 to 288 of the 400 x 300 view:
    // 8 pixels of room to the left, 12 to the right, 9 above and 12 below. The third point
    // stays where it is.
    for (bool byKeys : {false, true}) {
        const char* how = byKeys ? "keys" : "drag";
        QTest::newRow(qPrintable(QStringLiteral("%1-inside").arg(how))) << byKeys << QPoint(3, -2) << QPointF(3, -2);
        QTest::newRow(qPrintable(QStringLiteral("%1-left-edge").arg(how))) << byKeys << QPoint(-30, 0) << QPointF(-8, 0);
        QTest::newRow(qPrintable(QStringLiteral("%1-right-edge").arg(how))) << byKeys << QPoint(30, 0) << QPointF(12, 0);
        QTest::newRow(qPrintable(QStringLiteral("%1-top-edge").arg(how))) << byKeys << QPoint(0, -30) << QPointF(0, -9);
        QTest::newRow(qPrintable(QStringLiteral("%1-bottom-edge").arg(how))) << byKeys << QPoint(0, 30) << QPointF(0, 12);
        QTest::newRow(qPrintable(QStringLiteral("%1-corner").arg(how))) << byKeys << QPoint(-50, 50) << QPointF(-8, 12);
    }
}

void tst_PointEditing::groupMovesClamped()
{
    QFETCH(bool, byKeys);
    QFETCH(QPoint, delta);
    QFETCH(QPointF, expectedShift);
    const core::FacialPointVector start{atPixel(8, 150), atPixel(388, 288), atPixel(200, 9),
                                        atPixel(100, 100)};
    Scene scene(start);
    scene.controller.setSelection({0, 1, 2});
    if (byKeys) {
        // Nudges of one pixel, as the arrow keys send them.
        const int steps = std::max(std::abs(delta.x()), std::abs(delta.y()));
        for (int i = 0; i < steps; ++i) {
            scene.controller.nudgeSelection(QPointF(delta) / steps);
        }
    } else {
        scene.drag(QPoint(8, 150), QPoint(8, 150) + delta);
    }
    for (int i = 0; i < 3; ++i) {
        const QPointF moved = scene.viewPosition(i);
        const QPointF expected = QPointF(start[size_t(i)].x() * 400, start[size_t(i)].y() * 300)
            + expectedShift;
        QVERIFY2(near(moved, expected, 1e-6),
                 qPrintable(QStringLiteral("point %1 at %2, expected %3")
                                .arg(i).arg(show(moved), show(expected))));
    }
    QCOMPARE(scene.model.points().at(3), start[3]);
    // Drags and runs of nudges are each one step.
    QCOMPARE(scene.stack.count(), 1);
    scene.stack.undo();
    QCOMPARE(scene.model.points(), start);
}

void tst_PointEditing::scaleHandles_data()
{
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<bool>("shift");
    QTest::addColumn<QVector<QPointF>>("expected");
    // Dragging the bottom-right corner (250, 220) scales about the top-left one (150, 120).
    QTest::newRow("bottom-right-grows") << QPoint(250, 220) << QPoint(300, 245) << false
        << QVector<QPointF>{{165, 132.5}, {285, 132.5}, {285, 232.5}, {165, 232.5}};
    QTest::newRow("bottom-right-shift-proportional") << QPoint(250, 220) << QPoint(300, 245) << true
        << QVector<QPointF>{{165, 135}, {285, 135}, {285, 255}, {165, 255}};
    // The top-left corner scales about the bottom-right one: half the size.
    QTest::newRow("top-left-shrinks") << QPoint(150, 120) << QPoint(200, 170) << false
        << QVector<QPointF>{{205, 175}, {245, 175}, {245, 215}, {205, 215}};
    // Grabbed 2 pixels off the corner: the corner keeps that offset.
    QTest::newRow("top-right-with-offset") << QPoint(248, 122) << QPoint(298, 122) << false
        << QVector<QPointF>{{165, 130}, {285, 130}, {285, 210}, {165, 210}};
    // Scaled beyond the view, the points stop at the picture's edge.
    QTest::newRow("bottom-right-clamped") << QPoint(250, 220) << QPoint(450, 320) << false
        << QVector<QPointF>{{180, 140}, {400, 140}, {400, 300}, {180, 300}};
}

void tst_PointEditing::scaleHandles()
{
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(bool, shift);
    QFETCH(QVector<QPointF>, expected);
    Scene scene(square());
    scene.controller.selectAll();
    scene.drag(from, to, shift ? Qt::ShiftModifier : Qt::NoModifier);
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(near(scene.viewPosition(i), expected[i], 1e-6),
                 qPrintable(QStringLiteral("point %1 at %2, expected %3")
                                .arg(i).arg(show(scene.viewPosition(i)), show(expected[i]))));
    }
    QCOMPARE(scene.stack.count(), 1);
    QCOMPARE(scene.stack.text(0), QStringLiteral("Scale 4 Points"));
    scene.stack.undo();
    QCOMPARE(scene.model.points(), square());
}

void tst_PointEditing::rotateHandle_data()
{
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QVector<int>>("takesPlaceOf");
    // The handle at (200, 96) is pulled around the box's centre (200, 170).
    QTest::newRow("quarter-clockwise") << QPoint(274, 170) << QVector<int>{1, 2, 3, 0};
    QTest::newRow("quarter-counter-clockwise") << QPoint(126, 170) << QVector<int>{3, 0, 1, 2};
    QTest::newRow("half-turn") << QPoint(200, 244) << QVector<int>{2, 3, 0, 1};
    QTest::newRow("full-turn-back") << QPoint(200, 96) << QVector<int>{0, 1, 2, 3};
}

void tst_PointEditing::rotateHandle()
{
    QFETCH(QPoint, to);
    QFETCH(QVector<int>, takesPlaceOf);
    Scene scene(square());
    scene.controller.selectAll();
    scene.controller.mousePress(QPoint(200, 96));
    QVERIFY(scene.controller.isGestureActive());
    QCOMPARE(scene.controller.draggedIndex(), -1);
    // Round the far side, so that a half turn passes through a quarter first.
    scene.controller.mouseMove(QPoint(280, 100));
    scene.controller.mouseMove(to);
    scene.controller.mouseRelease(to);
    const core::FacialPointVector start = square();
    for (int i = 0; i < 4; ++i) {
        const QPointF expected = scene.viewport.transform().toView(start[size_t(takesPlaceOf[i])]);
        QVERIFY2(near(scene.viewPosition(i), expected, 1e-6),
                 qPrintable(QStringLiteral("point %1 at %2, expected %3")
                                .arg(i).arg(show(scene.viewPosition(i)), show(expected))));
    }
    const bool moved = takesPlaceOf != QVector<int>{0, 1, 2, 3};
    QCOMPARE(scene.stack.count(), moved ? 1 : 0);
    if (moved) {
        QCOMPARE(scene.stack.text(0), QStringLiteral("Rotate 4 Points"));
    }
}

void tst_PointEditing::handlesBesideCoveredEdges_data()
{
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QString>("step");
    // Zoomed 6x, the square's box reaches past every edge of the 400 x 300 view, of which a
    // 30-pixel strip on the right and a 20-pixel strip at the bottom lie beneath scroll bars:
    // the box is cut back to the 370 x 280 left uncovered, less half a handle, and the turn
    // handle stands inside it, below the middle of its top edge.
    QTest::newRow("top-left") << QPoint(5, 5) << QPoint(25, 25) << QStringLiteral("Scale 4 Points");
    QTest::newRow("top-right-beside-the-bar") << QPoint(365, 5) << QPoint(345, 25) << QStringLiteral("Scale 4 Points");
    QTest::newRow("bottom-right-above-the-bars") << QPoint(365, 275) << QPoint(345, 255) << QStringLiteral("Scale 4 Points");
    QTest::newRow("bottom-left-above-the-bar") << QPoint(5, 275) << QPoint(25, 255) << QStringLiteral("Scale 4 Points");
    QTest::newRow("turn-handle-over-what-shows") << QPoint(185, 29) << QPoint(230, 40) << QStringLiteral("Rotate 4 Points");
}

// A box larger than the view keeps every handle where it can be grabbed: beside the strips
// that scroll bars or the overview lie over, not beneath them.
void tst_PointEditing::handlesBesideCoveredEdges()
{
    QFETCH(QPoint, press);
    QFETCH(QPoint, to);
    QFETCH(QString, step);
    Scene scene(square());
    scene.viewport.setCoveredEdges(QSizeF(30, 20));
    scene.viewport.zoomBy(6.0, QPointF(200, 170));
    scene.controller.selectAll();
    scene.controller.mousePress(press);
    scene.controller.mouseMove(to);
    scene.controller.mouseRelease(to);
    QCOMPARE(stepTexts(scene.stack), QStringList{step});
    scene.stack.undo();
    QCOMPARE(scene.model.points(), square());
}

void tst_PointEditing::turnAndScaleByKeys_data()
{
    QTest::addColumn<QVector<int>>("selected");
    QTest::addColumn<QVector<QPointF>>("steps"); // (degrees, factor) per key press
    QTest::addColumn<QVector<QPointF>>("expected"); // view positions of the four points
    QTest::addColumn<QStringList>("undoSteps");
    const QVector<int> all{0, 1, 2, 3};
    // The square (160, 130)-(240, 210) turns and scales about the mean of its corners (200, 170).
    QTest::newRow("a-quarter-clockwise-in-one-step")
        << all << QVector<QPointF>{{30, 1}, {30, 1}, {30, 1}}
        << QVector<QPointF>{{240, 130}, {240, 210}, {160, 210}, {160, 130}} << QStringList{"Rotate 4 Points"};
    QTest::newRow("a-quarter-counter-clockwise")
        << all << QVector<QPointF>{{-90, 1}}
        << QVector<QPointF>{{160, 210}, {160, 130}, {240, 130}, {240, 210}} << QStringList{"Rotate 4 Points"};
    QTest::newRow("enlarged-and-shrunk-in-one-step")
        << all << QVector<QPointF>{{0, 1.5}, {0, 1.5}, {0, 1.0 / 1.5}}
        << QVector<QPointF>{{140, 110}, {260, 110}, {260, 230}, {140, 230}} << QStringList{"Scale 4 Points"};
    QTest::newRow("turned-then-scaled-are-two-steps")
        << all << QVector<QPointF>{{90, 1}, {0, 1.5}}
        << QVector<QPointF>{{260, 110}, {260, 230}, {140, 230}, {140, 110}}
        << QStringList{"Rotate 4 Points", "Scale 4 Points"};
    // A step that would take a point off the picture (400 x 300) is refused, not clamped: the
    // last one here, while the ones before still fit.
    QTest::newRow("refused-at-the-picture's-edge")
        << all << QVector<QPointF>{{0, 3}, {0, 3}}
        << QVector<QPointF>{{80, 50}, {320, 50}, {320, 290}, {80, 290}} << QStringList{"Scale 4 Points"};
    QTest::newRow("a-turn-that-would-leave-it")
        << all << QVector<QPointF>{{0, 3}, {45, 1}}
        << QVector<QPointF>{{80, 50}, {320, 50}, {320, 290}, {80, 290}} << QStringList{"Scale 4 Points"};
    QTest::newRow("one-point-is-left-alone")
        << QVector<int>{2} << QVector<QPointF>{{45, 2}}
        << QVector<QPointF>{{160, 130}, {240, 130}, {240, 210}, {160, 210}} << QStringList{};
    // A key and its opposite are one step that leaves the points off in their last digits; its
    // undo gives back the very numbers it started from, not ones merely close to them.
    QTest::newRow("turned-left-and-right")
        << all << QVector<QPointF>{{1, 1}, {-1, 1}}
        << QVector<QPointF>{{160, 130}, {240, 130}, {240, 210}, {160, 210}} << QStringList{"Rotate 4 Points"};
}

// The keys for the round handle and the box's corners: a run of one key is one step.
void tst_PointEditing::turnAndScaleByKeys()
{
    QFETCH(QVector<int>, selected);
    QFETCH(QVector<QPointF>, steps);
    QFETCH(QVector<QPointF>, expected);
    QFETCH(QStringList, undoSteps);
    Scene scene(square());
    scene.controller.setSelection(selected);
    for (const QPointF& step : steps) {
        scene.controller.turnAndScaleSelection(step.x(), step.y());
    }
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(near(scene.viewPosition(i), expected[i], 1e-6),
                 qPrintable(QStringLiteral("point %1 at %2, expected %3")
                                .arg(i).arg(show(scene.viewPosition(i)), show(expected[i]))));
    }
    QCOMPARE(stepTexts(scene.stack), undoSteps);
    while (scene.stack.canUndo()) {
        scene.stack.undo();
    }
    // Undo gives back the very numbers.
    const QString off = offStart(scene.model.points(), square());
    QVERIFY2(off.isEmpty(), qPrintable(off + QStringLiteral(" after undo")));
}

void tst_PointEditing::gestureBackToItsStartChangesNothing_data()
{
    QTest::addColumn<QPoint>("handle");
    QTest::addColumn<QPoint>("away");
    QTest::addColumn<int>("marker"); // -1: all selected, the handle pressed; else this marker alone
    QTest::addColumn<double>("zoom"); // about the marker
    // The round handle above the box, and the bottom-right corner, pulled away and brought back.
    QTest::newRow("turn-and-back") << QPoint(200, 96) << QPoint(263, 131) << -1 << 1.0;
    QTest::newRow("scale-and-back") << QPoint(390, 220) << QPoint(357, 241) << -1 << 1.0;
    // One marker dragged off and back onto the pixel it was grabbed at, in a zoomed view.
    QTest::newRow("point-and-back-zoomed") << QPoint() << QPoint(6, 3) << 1 << 3.0;
    QTest::newRow("other-point-and-back-zoomed") << QPoint() << QPoint(-4, 7) << 2 << 3.0;
}

// A turn, scale or drag that ends where it began is no step, and leaves the points exactly as
// they were, not off in their last digits by the rounding of the gesture and its return.
void tst_PointEditing::gestureBackToItsStartChangesNothing()
{
    QFETCH(QPoint, handle);
    QFETCH(QPoint, away);
    QFETCH(int, marker);
    QFETCH(double, zoom);
    // Far from the box's middle in both directions, where a coordinate taken from it and added
    // back does not come out exact.
    const core::FacialPointVector start{atPixel(20.1, 130.3), atPixel(379.7, 130.9),
                                        atPixel(380.3, 209.6), atPixel(19.8, 210.2)};
    Scene scene(start);
    if (marker < 0) {
        scene.controller.selectAll();
    } else {
        scene.viewport.zoomBy(zoom, scene.viewPosition(marker));
        handle = scene.viewPosition(marker).toPoint();
        away += handle;
    }
    scene.controller.mousePress(handle);
    QVERIFY(scene.controller.isGestureActive());
    QCOMPARE(scene.controller.draggedIndex(), marker);
    scene.controller.mouseMove(away);
    scene.controller.mouseMove(handle);
    scene.controller.mouseRelease(handle);
    QCOMPARE(scene.stack.count(), 0);
    const QString off = offStart(scene.model.points(), start);
    QVERIFY2(off.isEmpty(), qPrintable(off));
}

void tst_PointEditing::viewMovedMidGestureKeepsItOnThePicture_data()
{
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QPoint>("cursor");
    QTest::addColumn<bool>("scroll"); // after zooming in about the view's centre
    // A marker alone, the group by one of its markers, the bottom-right corner, the round handle,
    // and a rubber band round points 0 and 3; the view zooms (Ctrl+=) or zooms and scrolls (the
    // wheel) while the button is held.
    const struct {
        const char* name;
        bool selectAll;
        QPoint press;
        QPoint cursor;
    } gestures[] = {
        {"point", false, QPoint(160, 130), QPoint(175, 150)},
        {"group", true, QPoint(160, 130), QPoint(175, 150)},
        {"scale", true, QPoint(250, 220), QPoint(270, 235)},
        {"turn", true, QPoint(200, 96), QPoint(230, 100)},
        {"band", false, QPoint(140, 110), QPoint(180, 220)},
    };
    for (const auto& gesture : gestures) {
        for (const bool scroll : {false, true}) {
            QTest::newRow(qPrintable(QStringLiteral("%1-%2").arg(QLatin1String(gesture.name),
                                                                 scroll ? QStringLiteral("zoom-and-scroll")
                                                                        : QStringLiteral("zoom"))))
                << gesture.selectAll << gesture.press << gesture.cursor << scroll;
        }
    }
}

// The view zooms or scrolls while a gesture runs (the wheel, a zoom key): what is held stays on
// the picture. A move to where the picture under the cursor went changes nothing, the release
// there makes the step the gesture made before, and a rubber band takes the points it enclosed.
void tst_PointEditing::viewMovedMidGestureKeepsItOnThePicture()
{
    QFETCH(bool, selectAll);
    QFETCH(QPoint, press);
    QFETCH(QPoint, cursor);
    QFETCH(bool, scroll);
    Scene scene(square());
    if (selectAll) {
        scene.controller.selectAll();
    }
    scene.controller.mousePress(press);
    QVERIFY(scene.controller.isGestureActive());
    scene.controller.mouseMove(cursor);
    const core::FacialPointVector before = scene.model.points();
    const QPointF underCursor = scene.viewport.transform().toFraction(QPointF(cursor));

    scene.viewport.zoomBy(2.0, QPointF(200, 150));
    if (scroll) {
        scene.viewport.pan(QPointF(0, 40));
    }
    const QPointF moved = scene.viewport.transform().toView(underCursor);
    QVERIFY2(near(moved, moved.toPoint()), qPrintable(show(moved)));
    scene.controller.mouseMove(moved.toPoint());
    scene.controller.mouseRelease(moved.toPoint());

    const core::FacialPointVector after = scene.model.points();
    for (std::size_t i = 0; i < before.size(); ++i) {
        QVERIFY2(near(after[i], before[i], 1e-9),
                 qPrintable(QStringLiteral("point %1 at %2, held at %3")
                                .arg(i).arg(show(after[i]), show(before[i]))));
    }
    if (press == QPoint(140, 110)) {
        QCOMPARE(scene.controller.selection(), (QVector<int>{0, 3}));
        QCOMPARE(scene.stack.count(), 0);
    } else {
        QCOMPARE(scene.stack.count(), 1);
        scene.stack.undo();
        QCOMPARE(scene.model.points(), square());
    }
}

void tst_PointEditing::cancelledGestureLeavesNoTrace_data()
{
    QTest::addColumn<QVector<int>>("selected"); // before the press
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<bool>("shift");
    QTest::addColumn<double>("zoom"); // about the first marker
    const QVector<int> all{0, 1, 2, 3};
    // The square's markers at (160, 130) ... (160, 210), its box's bottom-right corner at
    // (250, 220), the round handle at (200, 96); empty picture at (140, 110) and (300, 250).
    QTest::newRow("point") << QVector<int>{2} << QPoint(160, 130) << false << 1.0;
    QTest::newRow("point-zoomed") << QVector<int>{} << QPoint(160, 130) << false << 3.0;
    QTest::newRow("group") << all << QPoint(160, 130) << false << 1.0;
    QTest::newRow("scale") << all << QPoint(250, 220) << false << 1.0;
    QTest::newRow("scale-proportional") << all << QPoint(250, 220) << true << 1.0;
    QTest::newRow("turn") << all << QPoint(200, 96) << false << 1.0;
    QTest::newRow("band") << QVector<int>{3} << QPoint(140, 110) << false << 1.0;
    QTest::newRow("band-adding") << QVector<int>{3} << QPoint(140, 110) << true << 1.0;
    QTest::newRow("band-up-left") << QVector<int>{0, 2} << QPoint(300, 250) << false << 1.0;
}

// A gesture taken back (Escape) leaves the points with their very numbers, the selection as it
// was before the press and no step; the moves and the release that follow do nothing.
void tst_PointEditing::cancelledGestureLeavesNoTrace()
{
    QFETCH(QVector<int>, selected);
    QFETCH(QPoint, press);
    QFETCH(bool, shift);
    QFETCH(double, zoom);
    const Qt::KeyboardModifiers modifiers = shift ? Qt::ShiftModifier : Qt::NoModifier;
    const core::FacialPointVector start = square();
    Scene scene(start);
    scene.viewport.zoomBy(zoom, scene.viewPosition(0));
    scene.controller.setSelection(selected);
    const auto painted = [&scene] {
        QImage target(viewSize, QImage::Format_ARGB32_Premultiplied);
        target.fill(Qt::black);
        scene.controller.paint(&target, QRect(QPoint(0, 0), viewSize));
        return target;
    };
    const QImage before = painted();
    QVERIFY(scene.controller.mousePress(press, modifiers));
    QVERIFY(scene.controller.isGestureActive());
    scene.controller.mouseMove(press + QPoint(23, 17), modifiers);
    scene.controller.mouseMove(press + QPoint(41, 36), modifiers);

    QVERIFY(scene.controller.cancelGesture());
    QVERIFY(!scene.controller.isGestureActive());
    QCOMPARE(scene.controller.draggedIndex(), -1);
    QString off = offStart(scene.model.points(), start);
    QVERIFY2(off.isEmpty(), qPrintable(off));
    QCOMPARE(scene.controller.selection(), selected);
    QCOMPARE(scene.stack.count(), 0);
    // Nor a band: the view shows what it showed before the press.
    QVERIFY(painted() == before);

    // The button is still held: what follows until its release does nothing.
    QVERIFY(!scene.controller.mouseMove(press + QPoint(60, 50), modifiers));
    QVERIFY(!scene.controller.mouseRelease(press + QPoint(60, 50)));
    QVERIFY(!scene.controller.cancelGesture());
    off = offStart(scene.model.points(), start);
    QVERIFY2(off.isEmpty(), qPrintable(off));
    QCOMPARE(scene.controller.selection(), selected);
    QCOMPARE(scene.stack.count(), 0);
}

void tst_PointEditing::undoSteps_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("single-drag") << Script::SingleDrag << QStringList{"Move Point 1"};
    QTest::newRow("press-without-move") << Script::PressWithoutMove << QStringList{};
    QTest::newRow("nudge-run-merges") << Script::NudgeRun << QStringList{"Move 2 Points"};
    QTest::newRow("nudges-of-two-selections")
        << Script::NudgeThenOtherSelection << QStringList{"Move 2 Points", "Move Point 3"};
    QTest::newRow("group-drag") << Script::GroupDrag << QStringList{"Move 2 Points"};
    QTest::newRow("rubber-band-is-no-step") << Script::RubberBandOnly << QStringList{};
}

void tst_PointEditing::undoSteps()
{
    QFETCH(Script, script);
    QFETCH(QStringList, steps);
    Scene scene(square());
    switch (script) {
    case Script::SingleDrag:
        scene.drag(QPoint(240, 130), QPoint(250, 140));
        break;
    case Script::PressWithoutMove:
        scene.drag(QPoint(240, 130), QPoint(240, 130));
        break;
    case Script::NudgeRun:
        scene.controller.setSelection({0, 1});
        for (int i = 0; i < 5; ++i) {
            QVERIFY(scene.controller.nudgeSelection(QPointF(1, 0)));
        }
        QVERIFY(scene.controller.nudgeSelection(QPointF(0, 10)));
        break;
    case Script::NudgeThenOtherSelection:
        scene.controller.setSelection({0, 1});
        scene.controller.nudgeSelection(QPointF(1, 0));
        scene.controller.setSelection({3});
        scene.controller.nudgeSelection(QPointF(1, 0));
        scene.controller.nudgeSelection(QPointF(1, 0));
        break;
    case Script::GroupDrag:
        scene.controller.setSelection({0, 1});
        scene.drag(QPoint(160, 130), QPoint(175, 120));
        break;
    case Script::RubberBandOnly:
        scene.drag(QPoint(20, 20), QPoint(300, 280));
        break;
    }
    QCOMPARE(stepTexts(scene.stack), steps);
    while (scene.stack.canUndo()) {
        scene.stack.undo();
    }
    // Undo gives back the very numbers.
    const QString off = offStart(scene.model.points(), square());
    QVERIFY2(off.isEmpty(), qPrintable(off + QStringLiteral(" after undo")));
}

QTEST_MAIN(tst_PointEditing)
#include "tst_pointediting.moc"
