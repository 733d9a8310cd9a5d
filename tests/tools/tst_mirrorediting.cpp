// Mirror editing through the point tool: with mirroring on, every gesture moves the partners of
// the points it moves by the reflection of their change about the face's midline, in the same
// undo step; Mirror Selection sets the partners to the reflections of the selected points.
// The face is tilted, so that a reflection about a vertical line would be caught.

#include "core/facialpoints.h"
#include "tools/facialpointscontroller.h"
#include "core/meanface.h"
#include "core/mirroring.h"
#include "tools/selectionbox.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QImage>
#include <QTransform>
#include <QUndoStack>
#include <QtTest>

#include <cmath>

namespace {

using tools::SelectionBox;

const QSize pictureSize(400, 300);

// The template face turned by 12 degrees about the picture's centre (the view shows the
// picture 1:1, so view pixels are picture pixels).
core::FacialPointVector tiltedFace()
{
    QTransform turn;
    turn.translate(200, 150).rotate(12).translate(-200, -150);
    core::FacialPointVector points = core::templateFace(pictureSize);
    for (FacialPoint& p : points) {
        const QPointF pixel = turn.map(QPointF(p.x() * pictureSize.width(), p.y() * pictureSize.height()));
        p = FacialPoint(pixel.x() / pictureSize.width(), pixel.y() / pictureSize.height());
    }
    return points;
}

QPointF pixelOf(const core::FacialPointVector& points, int index)
{
    const FacialPoint& p = points.at(size_t(index));
    return QPointF(p.x() * pictureSize.width(), p.y() * pictureSize.height());
}

struct Scene
{
    Scene()
    {
        QImage picture(pictureSize, QImage::Format_RGB32);
        picture.fill(Qt::gray);
        viewport.setViewSize(pictureSize);
        model.setImage(picture);
        viewport.showPicture(pictureSize);
        model.setPoints(tiltedFace());
        controller.setFacialPoints(&model);
        controller.setUndoStack(&stack);
        controller.setMirrorEdits(true);
    }

    QPoint viewOf(int index) const
    {
        return viewport.transform().toView(model.points().at(size_t(index))).toPoint();
    }

    SelectionBox box() const
    {
        std::vector<QPointF> selected;
        for (int index : controller.selection()) {
            selected.push_back(viewport.transform().toView(model.points().at(size_t(index))));
        }
        return tools::SelectionBox::around(selected, QRectF(QPointF(0, 0), QSizeF(pictureSize)));
    }

    void drag(QPoint from, QPoint to)
    {
        controller.mousePress(from, Qt::NoModifier);
        controller.mouseMove((from + to) / 2, Qt::NoModifier);
        controller.mouseMove(to, Qt::NoModifier);
        controller.mouseRelease(to);
    }

    core::FacialPoints model;
    QUndoStack stack;
    tools::Viewport viewport;
    tools::FacialPointsController controller{viewport};
};

enum class Gesture { DragPoint, GroupMove, Nudge, Scale, Turn };

QVector<int> leftBrow()
{
    return {17, 18, 19, 20, 21};
}

} // namespace

Q_DECLARE_METATYPE(Gesture)

class tst_MirrorEditing : public QObject
{
    Q_OBJECT

private slots:
    void partnersFollowReflected_data();
    void partnersFollowReflected();
    void partnersFollowDuringDrag();
    void offLeavesPartners();
    void toggledDuringADrag_data();
    void toggledDuringADrag();
    void cancelledGestureTakesPartnersBack_data();
    void cancelledGestureTakesPartnersBack();
    void mirrorSelectionIsOneStep();
};

void tst_MirrorEditing::partnersFollowReflected_data()
{
    QTest::addColumn<Gesture>("gesture");
    QTest::addColumn<QVector<int>>("selection");
    QTest::newRow("drag brow point 19") << Gesture::DragPoint << QVector<int>{19};
    QTest::newRow("drag jaw end 0") << Gesture::DragPoint << QVector<int>{0};
    QTest::newRow("group move of the left brow") << Gesture::GroupMove << leftBrow();
    QTest::newRow("nudge of the left brow") << Gesture::Nudge << leftBrow();
    QTest::newRow("scale of the left brow") << Gesture::Scale << leftBrow();
    QTest::newRow("turn of the left brow") << Gesture::Turn << leftBrow();
}

void tst_MirrorEditing::partnersFollowReflected()
{
    QFETCH(Gesture, gesture);
    QFETCH(QVector<int>, selection);
    Scene scene;
    const core::FacialPointVector before = scene.model.points();
    scene.controller.setSelection(selection);
    const SelectionBox box = scene.box();
    switch (gesture) {
    case Gesture::DragPoint:
        scene.drag(scene.viewOf(selection.front()), scene.viewOf(selection.front()) + QPoint(9, -14));
        break;
    case Gesture::GroupMove:
        scene.drag(scene.viewOf(19), scene.viewOf(19) + QPoint(-7, 11));
        break;
    case Gesture::Nudge:
        scene.controller.nudgeSelection(QPointF(0, -10));
        break;
    case Gesture::Scale: {
        const QPointF corner = box.corners()[2];
        scene.drag(corner.toPoint(), (corner + QPointF(12, 8)).toPoint());
        break;
    }
    case Gesture::Turn: {
        const QPointF handle = box.turnHandle();
        scene.drag(handle.toPoint(), (handle + QPointF(25, 0)).toPoint());
        break;
    }
    }

    const core::FacialPointVector after = scene.model.points();
    const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
    QVERIFY(midline);
    int followed = 0;
    for (int index : selection) {
        const int partner = core::mirror::partner(index);
        QVERIFY(partner >= 0 && partner != index && !selection.contains(partner));
        const QPointF moved = pixelOf(after, index) - pixelOf(before, index);
        QVERIFY2(std::hypot(moved.x(), moved.y()) > 0.5, "the gesture moved nothing");
        const QPointF expected = pixelOf(before, partner) + midline->reflectVector(moved);
        const QPointF actual = pixelOf(after, partner);
        QVERIFY2(std::abs(actual.x() - expected.x()) < 1e-9 && std::abs(actual.y() - expected.y()) < 1e-9,
                 qPrintable(QStringLiteral("partner %1 of %2 at %3, %4; expected %5, %6")
                                .arg(partner).arg(index).arg(actual.x(), 0, 'f', 6).arg(actual.y(), 0, 'f', 6)
                                .arg(expected.x(), 0, 'f', 6).arg(expected.y(), 0, 'f', 6)));
        ++followed;
    }
    QCOMPARE(followed, selection.size());
    // Nothing else moved.
    for (int i = 0; i < int(after.size()); ++i) {
        if (!selection.contains(i) && !selection.contains(core::mirror::partner(i))) {
            QCOMPARE(after[size_t(i)], before[size_t(i)]);
        }
    }
    // Both sides are one step.
    QCOMPARE(scene.stack.count(), 1);
    scene.stack.undo();
    QCOMPARE(scene.model.points(), before);
    scene.stack.redo();
    QCOMPARE(scene.model.points(), after);
}

void tst_MirrorEditing::partnersFollowDuringDrag()
{
    Scene scene;
    const core::FacialPointVector before = scene.model.points();
    const QPoint from = scene.viewOf(19);
    scene.controller.mousePress(from, Qt::NoModifier);
    scene.controller.mouseMove(from + QPoint(0, -12), Qt::NoModifier);
    // Before the release, the partner has moved already.
    QVERIFY(scene.model.points()[24] != before[24]);
    // Back where it started: the partner is back too.
    scene.controller.mouseMove(from + QPoint(0, 0), Qt::NoModifier);
    const QPointF partnerShift = pixelOf(scene.model.points(), 24) - pixelOf(before, 24);
    const QPointF pointShift = pixelOf(scene.model.points(), 19) - pixelOf(before, 19);
    const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
    QVERIFY(midline);
    const QPointF expected = midline->reflectVector(pointShift);
    QVERIFY(std::abs(partnerShift.x() - expected.x()) < 1e-9);
    QVERIFY(std::abs(partnerShift.y() - expected.y()) < 1e-9);
    scene.controller.mouseRelease(from);
}

void tst_MirrorEditing::offLeavesPartners()
{
    Scene scene;
    scene.controller.setMirrorEdits(false);
    const core::FacialPointVector before = scene.model.points();
    scene.drag(scene.viewOf(19), scene.viewOf(19) + QPoint(9, -14));
    QVERIFY(scene.model.points()[19] != before[19]);
    QCOMPARE(scene.model.points()[24], before[24]);
}

void tst_MirrorEditing::toggledDuringADrag_data()
{
    QTest::addColumn<bool>("onAtRelease");
    QTest::newRow("turned-off") << false;
    QTest::newRow("turned-on") << true;
}

// Mirror Edits (M) pressed while a point is held: the partner ends as if the drag had been made
// with the setting it had at the release, never where the setting caught it half-way.
void tst_MirrorEditing::toggledDuringADrag()
{
    QFETCH(bool, onAtRelease);
    Scene scene;
    scene.controller.setMirrorEdits(!onAtRelease);
    const core::FacialPointVector before = scene.model.points();
    const QPoint from = scene.viewOf(19);
    scene.controller.mousePress(from, Qt::NoModifier);
    scene.controller.mouseMove(from + QPoint(6, -9), Qt::NoModifier);
    scene.controller.setMirrorEdits(onAtRelease);
    scene.controller.mouseMove(from + QPoint(11, -16), Qt::NoModifier);
    scene.controller.mouseRelease(from + QPoint(11, -16));

    const core::FacialPointVector after = scene.model.points();
    QVERIFY(after[19] != before[19]);
    if (onAtRelease) {
        const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
        QVERIFY(midline);
        const QPointF expected = midline->reflectVector(pixelOf(after, 19) - pixelOf(before, 19));
        const QPointF partnerShift = pixelOf(after, 24) - pixelOf(before, 24);
        QVERIFY(std::abs(partnerShift.x() - expected.x()) < 1e-9);
        QVERIFY(std::abs(partnerShift.y() - expected.y()) < 1e-9);
    } else {
        QCOMPARE(after[24], before[24]);
    }
    QCOMPARE(scene.stack.count(), 1);
    scene.stack.undo();
    QCOMPARE(scene.model.points(), before);
}

void tst_MirrorEditing::cancelledGestureTakesPartnersBack_data()
{
    QTest::addColumn<Gesture>("gesture");
    QTest::newRow("drag") << Gesture::DragPoint;
    QTest::newRow("group move") << Gesture::GroupMove;
    QTest::newRow("scale") << Gesture::Scale;
    QTest::newRow("turn") << Gesture::Turn;
}

// A mirrored gesture taken back (Escape) puts the partners that followed it back too, to the
// very numbers they had, and is no step.
void tst_MirrorEditing::cancelledGestureTakesPartnersBack()
{
    QFETCH(Gesture, gesture);
    Scene scene;
    const core::FacialPointVector before = scene.model.points();
    QPoint press = scene.viewOf(19);
    if (gesture == Gesture::DragPoint) {
        scene.controller.setSelection({19});
    } else {
        scene.controller.setSelection(leftBrow());
        if (gesture == Gesture::Scale) {
            press = scene.box().corners()[2].toPoint();
        } else if (gesture == Gesture::Turn) {
            press = scene.box().turnHandle().toPoint();
        }
    }
    scene.controller.mousePress(press, Qt::NoModifier);
    scene.controller.mouseMove(press + QPoint(13, -8), Qt::NoModifier);
    QVERIFY(scene.model.points()[24] != before[24]);
    QVERIFY(scene.controller.cancelGesture());
    const core::FacialPointVector after = scene.model.points();
    for (int i = 0; i < int(before.size()); ++i) {
        QVERIFY2(after[size_t(i)].x() == before[size_t(i)].x() && after[size_t(i)].y() == before[size_t(i)].y(),
                 qPrintable(QStringLiteral("point %1 not back").arg(i)));
    }
    QVERIFY(!scene.controller.mouseRelease(press + QPoint(13, -8)));
    QCOMPARE(scene.stack.count(), 0);
}

void tst_MirrorEditing::mirrorSelectionIsOneStep()
{
    Scene scene;
    scene.controller.setMirrorEdits(false);
    // The right brow out of shape first.
    scene.drag(scene.viewOf(24), scene.viewOf(24) + QPoint(5, 17));
    const core::FacialPointVector before = scene.model.points();
    const int steps = scene.stack.count();
    scene.controller.setSelection(leftBrow());
    QVERIFY(scene.controller.mirrorSelection());
    QCOMPARE(scene.stack.count(), steps + 1);
    const core::FacialPointVector after = scene.model.points();
    const auto midline = core::mirror::fitMidline(core::mirror::toPixels(before, QSizeF(pictureSize)));
    QVERIFY(midline);
    for (int index : leftBrow()) {
        const QPointF expected = midline->reflectPoint(pixelOf(before, index));
        const QPointF actual = pixelOf(after, core::mirror::partner(index));
        QVERIFY(std::abs(actual.x() - expected.x()) < 1e-9 && std::abs(actual.y() - expected.y()) < 1e-9);
        QCOMPARE(after[size_t(index)], before[size_t(index)]);
    }
    scene.stack.undo();
    QCOMPARE(scene.model.points(), before);
}

QTEST_MAIN(tst_MirrorEditing)
#include "tst_mirrorediting.moc"
