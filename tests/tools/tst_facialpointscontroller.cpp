#include "core/facialpoints.h"
#include "tools/facialpointscontroller.h"
#include "tools/viewport.h"

#include <QImage>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

namespace {

// Every test uses this view unless it is about the view size itself.
const QSize viewSize(200, 100);
const QRect wholeView(QPoint(0, 0), viewSize);
const QRgb background = qRgb(10, 200, 30);

// The model point shown at view pixel (u, v) in the 200 x 100 view.
FacialPoint atPixel(double u, double v)
{
    return FacialPoint(u / viewSize.width(), v / viewSize.height());
}

bool isMarkerRed(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) < 60;
}

// Dark enough to be marker text or outline on any of the test backgrounds.
bool isDark(QRgb pixel)
{
    return qRed(pixel) < 90 && qGreen(pixel) < 90 && qBlue(pixel) < 90;
}

QString describe(QRgb pixel)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(qRed(pixel))
        .arg(qGreen(pixel))
        .arg(qBlue(pixel))
        .arg(qAlpha(pixel));
}

QImage blankView(QSize size = viewSize)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    return image;
}

// A 2 x 2 picture; its four pixels become the four quadrants of the view. No red in it.
QImage quadrantPicture(QRgb topLeft, QRgb topRight, QRgb bottomLeft, QRgb bottomRight)
{
    QImage picture(2, 2, QImage::Format_RGB32);
    picture.setPixel(0, 0, topLeft);
    picture.setPixel(1, 0, topRight);
    picture.setPixel(0, 1, bottomLeft);
    picture.setPixel(1, 1, bottomRight);
    return picture;
}

const QRgb blue = qRgb(0, 0, 255);
const QRgb white = qRgb(255, 255, 255);
const QRgb cyan = qRgb(0, 255, 255);
const QRgb grey = qRgb(128, 128, 128);
const QRgb yellow = qRgb(255, 255, 0);

// A model with its controller attached; the controller goes first.
struct Scene
{
    explicit Scene(const core::FacialPointVector& points = {})
    {
        model.setPoints(points);
        viewport.setViewSize(viewSize);
        controller.setFacialPoints(&model);
    }

    QImage paint(QImage target = blankView(), const QRect& exposed = wholeView)
    {
        viewport.setViewSize(target.size());
        controller.paint(&target, exposed);
        return target;
    }

    core::FacialPoints model;
    tools::Viewport viewport;
    tools::FacialPointsController controller{viewport};
};

enum class ModelChange { NewImage, SameImageTwice, NewPoints, EqualPoints, MovedPoint, UnmovedPoint };

void change(core::FacialPoints& model, ModelChange what)
{
    const QImage picture = quadrantPicture(blue, white, cyan, grey);
    switch (what) {
    case ModelChange::NewImage:
        model.setImage(picture);
        break;
    case ModelChange::SameImageTwice:
        model.setImage(picture);
        model.setImage(picture);
        break;
    case ModelChange::NewPoints:
        model.setPoints({FacialPoint(0.1, 0.2), FacialPoint(0.3, 0.4)});
        break;
    case ModelChange::EqualPoints:
        model.setPoints(model.points());
        break;
    case ModelChange::MovedPoint:
        model.setPoint(FacialPoint(0.9, 0.9), 0);
        break;
    case ModelChange::UnmovedPoint:
        model.setPoint(model.points().at(0), 0);
        break;
    }
}

// Counts pixels that differ from the background outside the given rectangle.
int changedPixelsOutside(const QImage& image, const QRect& allowed)
{
    int changed = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!allowed.contains(x, y) && image.pixel(x, y) != background) {
                ++changed;
            }
        }
    }
    return changed;
}

// Whether every pixel of the square of the given half side around (x, y) is marker red.
bool redSquareAround(const QImage& image, int x, int y, int halfSide, QString* why)
{
    for (int v = y - halfSide; v <= y + halfSide; ++v) {
        for (int u = x - halfSide; u <= x + halfSide; ++u) {
            if (!isMarkerRed(image.pixel(u, v))) {
                *why = QStringLiteral("pixel (%1, %2) near the point (%3, %4) is %5, not marker red")
                           .arg(u).arg(v).arg(x).arg(y).arg(describe(image.pixel(u, v)));
                return false;
            }
        }
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(ModelChange)
Q_DECLARE_METATYPE(QVector<QPointF>)

class tst_FacialPointsController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Attaching models
    void startsWithoutModel();
    void attachedModelIsReported();
    void needUpdate_data();
    void needUpdate();
    void attachingSameModelAgainConnectsOnce();
    void reattachingIgnoresOldModel_data();
    void reattachingIgnoresOldModel();
    void detachedControllerDoesNothing();
    void destroyedModelReadsAsDetached();

    // Grabbing, dragging, letting go
    void hitSquare_data();
    void hitSquare();
    void overlapGrabsNearest_data();
    void overlapGrabsNearest();
    void pressOnEmptySpaceEndsDragAndClearsSelection();
    void secondPressSwitchesDrag();
    void dragKeepsOffsetToCursor();
    void dragClamps_data();
    void dragClamps();
    void dragPastEdgeAlreadyThereEmitsNothing();
    void releaseWithoutPressReturnsFalse();
    void releaseEndsDrag();
    void moveAfterPointsShrankIsIgnored();

    // Views of zero size and coordinates far outside the picture
    void emptyView_data();
    void emptyView();
    void wildCoordinates_data();
    void wildCoordinates();

    // Painting
    void paintShowsStretchedPictureAndMarkers();
    void markerNumberStandsAboveRight();
    void withoutPictureOnlyMarkersAreDrawn();
    void withoutPointsOnlyPictureIsDrawn();
    void replacedPictureShowsAtNextPaint();
    void attachingAnotherModelShowsItsPicture();
    void partialRepaintsMatchFullRepaint();
    void keptScalingPaintsAsAFreshOne_data();
    void keptScalingPaintsAsAFreshOne();
    void markersOutsideExposedAreaAreSkipped();
};

void tst_FacialPointsController::initTestCase()
{
    // Lets QSignalSpy record pointChanged, whose parameters are declared as FacialPoint.
    qRegisterMetaType<FacialPoint>("FacialPoint");
}

void tst_FacialPointsController::startsWithoutModel()
{
    tools::Viewport viewport;
    viewport.setViewSize(viewSize);
    tools::FacialPointsController controller(viewport);
    QCOMPARE(controller.facialPoints(), nullptr);
    QCOMPARE(controller.draggedIndex(), -1);
    QVERIFY(controller.selection().isEmpty());
    QVERIFY2(!controller.mousePress(QPoint(0, 0)), "a press without a model must not be handled");
    QVERIFY2(!controller.mouseMove(QPoint(0, 0)), "a move without a model must not be handled");
    QImage target = blankView();
    controller.paint(&target, wholeView);
    QCOMPARE(target, blankView());
}

void tst_FacialPointsController::attachedModelIsReported()
{
    core::FacialPoints model;
    tools::Viewport viewport;
    viewport.setViewSize(viewSize);
    tools::FacialPointsController controller(viewport);
    QSignalSpy repaints(&controller, &tools::IController::needUpdate);
    controller.setFacialPoints(&model);
    QCOMPARE(controller.facialPoints(), &model);
    controller.setFacialPoints(nullptr);
    QCOMPARE(controller.facialPoints(), nullptr);
    QVERIFY2(repaints.isEmpty(), "attaching or detaching a model must not ask for a repaint");
}

void tst_FacialPointsController::needUpdate_data()
{
    QTest::addColumn<ModelChange>("change");
    QTest::addColumn<int>("expectedRepaints");
    QTest::newRow("new-picture-asks-for-repaint") << ModelChange::NewImage << 1;
    QTest::newRow("same-picture-twice-asks-twice") << ModelChange::SameImageTwice << 2;
    QTest::newRow("new-points-ask-for-repaint") << ModelChange::NewPoints << 1;
    QTest::newRow("equal-point-list-still-asks") << ModelChange::EqualPoints << 1;
    QTest::newRow("moved-point-asks-for-repaint") << ModelChange::MovedPoint << 1;
    QTest::newRow("unmoved-point-asks-nothing") << ModelChange::UnmovedPoint << 0;
}

void tst_FacialPointsController::needUpdate()
{
    QFETCH(ModelChange, change);
    QFETCH(int, expectedRepaints);
    Scene scene({FacialPoint(0.5, 0.5)});
    QSignalSpy repaints(&scene.controller, &tools::IController::needUpdate);
    QVERIFY(repaints.isValid());
    ::change(scene.model, change);
    QCOMPARE(repaints.count(), expectedRepaints);
}

void tst_FacialPointsController::attachingSameModelAgainConnectsOnce()
{
    Scene scene({FacialPoint(0.5, 0.5)});
    QSignalSpy repaints(&scene.controller, &tools::IController::needUpdate);
    scene.controller.setFacialPoints(&scene.model);
    QCOMPARE(repaints.count(), 0);
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    scene.model.setPoints({FacialPoint(0.1, 0.1)});
    scene.model.setPoint(FacialPoint(0.2, 0.2), 0);
    QVERIFY2(repaints.count() == 3,
             qPrintable(QStringLiteral("three changes gave %1 repaint requests; a second attach "
                                       "of the same model must not connect again")
                            .arg(repaints.count())));
}

void tst_FacialPointsController::reattachingIgnoresOldModel_data()
{
    QTest::addColumn<ModelChange>("change");
    QTest::newRow("old-model-new-picture") << ModelChange::NewImage;
    QTest::newRow("old-model-new-points") << ModelChange::NewPoints;
    QTest::newRow("old-model-moved-point") << ModelChange::MovedPoint;
}

void tst_FacialPointsController::reattachingIgnoresOldModel()
{
    QFETCH(ModelChange, change);
    Scene scene({FacialPoint(0.5, 0.5)});
    core::FacialPoints other;
    other.setPoints({FacialPoint(0.5, 0.5)});
    scene.controller.setFacialPoints(&other);
    QSignalSpy repaints(&scene.controller, &tools::IController::needUpdate);

    ::change(scene.model, change);
    QVERIFY2(repaints.isEmpty(), "the previous model is still connected to the controller");

    ::change(other, change);
    QCOMPARE(repaints.count(), 1);
}

void tst_FacialPointsController::detachedControllerDoesNothing()
{
    Scene scene({atPixel(100, 50)});
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    scene.controller.setFacialPoints(nullptr);
    QSignalSpy repaints(&scene.controller, &tools::IController::needUpdate);

    ::change(scene.model, ModelChange::NewImage);
    ::change(scene.model, ModelChange::MovedPoint);
    QCOMPARE(repaints.count(), 0);
    QCOMPARE(scene.paint(), blankView());
    QVERIFY2(!scene.controller.mousePress(QPoint(100, 50)), "detached controller grabbed a point");
}

void tst_FacialPointsController::destroyedModelReadsAsDetached()
{
    auto model = std::make_unique<core::FacialPoints>();
    model->setPoints({atPixel(100, 50)});
    tools::Viewport viewport;
    viewport.setViewSize(viewSize);
    tools::FacialPointsController controller(viewport);
    controller.setFacialPoints(model.get());
    QVERIFY(controller.mousePress(QPoint(100, 50)));
    model.reset();

    QCOMPARE(controller.facialPoints(), nullptr);
    QVERIFY2(!controller.mouseMove(QPoint(120, 50)), "a move reached a destroyed model");
    QImage target = blankView();
    controller.paint(&target, wholeView);
    QCOMPARE(target, blankView());
}

void tst_FacialPointsController::hitSquare_data()
{
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<bool>("grabs");
    // The point sits at view pixel (100.0, 50.0); its square reaches 6 pixels to each side.
    QTest::newRow("centre") << QPoint(100, 50) << true;
    QTest::newRow("top-left-corner-inclusive") << QPoint(94, 44) << true;
    QTest::newRow("bottom-right-corner-inclusive") << QPoint(106, 56) << true;
    QTest::newRow("top-right-corner-inclusive") << QPoint(106, 44) << true;
    QTest::newRow("bottom-left-corner-inclusive") << QPoint(94, 56) << true;
    QTest::newRow("one-right-of-square") << QPoint(107, 50) << false;
    QTest::newRow("one-left-of-square") << QPoint(93, 50) << false;
    QTest::newRow("one-above-square") << QPoint(100, 43) << false;
    QTest::newRow("one-below-square") << QPoint(100, 57) << false;
    QTest::newRow("diagonal-outside-corner") << QPoint(107, 57) << false;
}

void tst_FacialPointsController::hitSquare()
{
    QFETCH(QPoint, press);
    QFETCH(bool, grabs);
    Scene scene({FacialPoint(0.9, 0.9), atPixel(100.0, 50.0)});
    QVERIFY(scene.controller.mousePress(press));
    QCOMPARE(scene.controller.draggedIndex(), grabs ? 1 : -1);
    QCOMPARE(scene.controller.selection(), grabs ? QVector<int>{1} : QVector<int>());
}

void tst_FacialPointsController::overlapGrabsNearest_data()
{
    QTest::addColumn<QVector<QPointF>>("markers");
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<int>("grabbed");
    // Rows marked "first-index" are where taking the first index whose square contains the
    // press grabbed another point than the one under the cursor.
    QTest::newRow("first-index:on-second-inside-first-grabs-second")
        << QVector<QPointF>{{100, 50}, {104, 50}} << QPoint(104, 50) << 1;
    QTest::newRow("first-index:on-lower-drawn-second-grabs-it")
        << QVector<QPointF>{{104, 50}, {100, 50}} << QPoint(100, 50) << 1;
    QTest::newRow("only-in-second-grabs-second")
        << QVector<QPointF>{{100, 50}, {104, 50}} << QPoint(108, 50) << 1;
    QTest::newRow("nearer-lower-index-beats-higher")
        << QVector<QPointF>{{100, 50}, {105, 50}} << QPoint(101, 50) << 0;
    QTest::newRow("same-place-grabs-the-one-on-top")
        << QVector<QPointF>{{60, 60}, {60, 60}} << QPoint(61, 59) << 1;
    QTest::newRow("equal-distance-grabs-higher-index")
        << QVector<QPointF>{{98, 50}, {102, 50}} << QPoint(100, 50) << 1;
    // Inner lips: five markers within a few pixels of each other.
    const QVector<QPointF> lips{{100, 50}, {102, 49}, {104, 50}, {102, 52}, {101, 50}};
    QTest::newRow("first-index:cluster-grabs-nearest") << lips << QPoint(104, 51) << 2;
    QTest::newRow("cluster-centre-grabs-last-exact") << lips << QPoint(101, 50) << 4;
    QTest::newRow("cluster-below-grabs-nearest") << lips << QPoint(102, 53) << 3;
    QTest::newRow("first-index:cluster-diagonal-tie-grabs-higher")
        << lips << QPoint(103, 51) << 3;
}

void tst_FacialPointsController::overlapGrabsNearest()
{
    QFETCH(QVector<QPointF>, markers);
    QFETCH(QPoint, press);
    QFETCH(int, grabbed);
    core::FacialPointVector points;
    for (const QPointF& at : markers) {
        points.push_back(atPixel(at.x(), at.y()));
    }
    Scene scene(points);
    QVERIFY(scene.controller.mousePress(press));
    QCOMPARE(scene.controller.draggedIndex(), grabbed);
}

void tst_FacialPointsController::pressOnEmptySpaceEndsDragAndClearsSelection()
{
    Scene scene({atPixel(100, 50), atPixel(20, 20)});
    QVERIFY(scene.controller.mousePress(QPoint(20, 20)));
    QCOMPARE(scene.controller.selection(), QVector<int>{1});
    QVERIFY2(scene.controller.mousePress(QPoint(150, 80)),
             "a press on empty picture starts a rubber band");
    QCOMPARE(scene.controller.draggedIndex(), -1);
    QVERIFY(scene.controller.selection().isEmpty());

    QVERIFY(scene.controller.mouseMove(QPoint(160, 90)));
    QVERIFY(scene.controller.mouseRelease(QPoint(160, 90)));
    QCOMPARE(scene.model.points().at(1), atPixel(20, 20));
    QCOMPARE(scene.model.points().at(0), atPixel(100, 50));
}

void tst_FacialPointsController::secondPressSwitchesDrag()
{
    Scene scene({atPixel(100, 50), atPixel(20, 20)});
    QVERIFY(scene.controller.mousePress(QPoint(20, 20)));
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    QCOMPARE(scene.controller.draggedIndex(), 0);
    QVERIFY(scene.controller.mouseMove(QPoint(110, 60)));
    QCOMPARE(scene.model.points().at(0), atPixel(110, 60));
    QCOMPARE(scene.model.points().at(1), atPixel(20, 20));
}

void tst_FacialPointsController::dragKeepsOffsetToCursor()
{
    Scene scene({atPixel(100, 50)});
    QSignalSpy moved(&scene.model, &core::FacialPoints::pointChanged);
    // Grab 3 pixels left of and 2 above the point: the point must not jump onto the cursor.
    QVERIFY(scene.controller.mousePress(QPoint(97, 48)));
    QCOMPARE(scene.model.points().at(0), atPixel(100, 50));

    QVERIFY(scene.controller.mouseMove(QPoint(127, 78)));
    QCOMPARE(moved.count(), 1);
    QCOMPARE(moved.at(0).at(0).toInt(), 0);
    QCOMPARE(moved.at(0).at(1).toPointF(), atPixel(100, 50));
    QCOMPARE(moved.at(0).at(2).toPointF(), atPixel(130, 80));
    QCOMPARE(scene.model.points().at(0), atPixel(130, 80));
}

void tst_FacialPointsController::dragClamps_data()
{
    QTest::addColumn<QPoint>("moveTo");
    QTest::addColumn<QPointF>("expected");
    QTest::newRow("inside-follows-cursor") << QPoint(150, 25) << QPointF(0.75, 0.25);
    QTest::newRow("x-beyond-left-edge-pins-0") << QPoint(-30, 70) << QPointF(0.0, 0.7);
    QTest::newRow("x-beyond-right-edge-pins-1") << QPoint(250, 20) << QPointF(1.0, 0.2);
    QTest::newRow("y-above-top-edge-pins-0") << QPoint(40, -5) << QPointF(0.2, 0.0);
    QTest::newRow("y-below-bottom-edge-pins-1") << QPoint(160, 180) << QPointF(0.8, 1.0);
    QTest::newRow("beyond-bottom-left-corner-pins-both") << QPoint(-10, 500) << QPointF(0.0, 1.0);
    QTest::newRow("exactly-on-right-edge-is-1") << QPoint(200, 50) << QPointF(1.0, 0.5);
    QTest::newRow("exactly-on-left-edge-is-0") << QPoint(0, 50) << QPointF(0.0, 0.5);
}

void tst_FacialPointsController::dragClamps()
{
    QFETCH(QPoint, moveTo);
    QFETCH(QPointF, expected);
    Scene scene({atPixel(100, 50)});
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    QVERIFY(scene.controller.mouseMove(moveTo));
    const FacialPoint stored = scene.model.points().at(0);
    QVERIFY2(stored == expected,
             qPrintable(QStringLiteral("moving to (%1, %2) stored (%3, %4), expected (%5, %6)")
                            .arg(moveTo.x()).arg(moveTo.y())
                            .arg(stored.x()).arg(stored.y())
                            .arg(expected.x()).arg(expected.y())));
}

void tst_FacialPointsController::dragPastEdgeAlreadyThereEmitsNothing()
{
    Scene scene({FacialPoint(1.0, 0.5)});
    QSignalSpy moved(&scene.model, &core::FacialPoints::pointChanged);
    QVERIFY(scene.controller.mousePress(QPoint(200, 50)));
    QVERIFY2(scene.controller.mouseMove(QPoint(260, 50)),
             "a move during a drag is handled even when the point does not change");
    QCOMPARE(moved.count(), 0);
    QCOMPARE(scene.model.points().at(0), FacialPoint(1.0, 0.5));
}

void tst_FacialPointsController::releaseWithoutPressReturnsFalse()
{
    Scene scene({atPixel(100, 50)});
    QVERIFY2(!scene.controller.mouseRelease(QPoint(100, 50)), "release without a grab was handled");
    QVERIFY2(scene.controller.mousePress(QPoint(10, 90)), "a press on empty picture starts a rubber band");
    QVERIFY(scene.controller.mouseRelease(QPoint(10, 90)));
    QVERIFY2(!scene.controller.mouseRelease(QPoint(10, 90)), "a second release was handled");
    QCOMPARE(scene.model.points().at(0), atPixel(100, 50));
}

void tst_FacialPointsController::releaseEndsDrag()
{
    Scene scene({atPixel(100, 50)});
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    QVERIFY(scene.controller.mouseRelease(QPoint(300, 300)));
    QCOMPARE(scene.controller.draggedIndex(), -1);
    QCOMPARE(scene.controller.selection(), QVector<int>{0});
    QVERIFY2(!scene.controller.mouseMove(QPoint(120, 60)), "a move after release was handled");
    QCOMPARE(scene.model.points().at(0), atPixel(100, 50));
    QVERIFY(!scene.controller.mouseRelease(QPoint(100, 50)));
}

void tst_FacialPointsController::moveAfterPointsShrankIsIgnored()
{
    Scene scene({atPixel(10, 10), atPixel(100, 50)});
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    scene.model.setPoints({atPixel(10, 10)});
    QSignalSpy moved(&scene.model, &core::FacialPoints::pointChanged);
    QVERIFY2(!scene.controller.mouseMove(QPoint(120, 60)), "moved a point that no longer exists");
    QCOMPARE(moved.count(), 0);
    QCOMPARE(scene.model.count(), 1);
}

void tst_FacialPointsController::emptyView_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("zero-width") << QSize(0, 100);
    QTest::newRow("zero-height") << QSize(200, 0);
    QTest::newRow("zero-both") << QSize(0, 0);
    QTest::newRow("negative-width") << QSize(-4, 100);
}

void tst_FacialPointsController::emptyView()
{
    QFETCH(QSize, size);
    Scene scene({FacialPoint(0.0, 0.0), atPixel(100, 50)});
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));

    QImage target = blankView();
    scene.viewport.setViewSize(size);
    scene.controller.paint(&target, QRect(QPoint(0, 0), size));
    QVERIFY2(target == blankView(), "an empty view must draw nothing");

    QVERIFY2(!scene.controller.mousePress(QPoint(0, 0)), "a press in an empty view grabbed a point");
    QCOMPARE(scene.controller.draggedIndex(), -1);

    // A drag that began in a real view and continues after the view collapsed.
    QSignalSpy moved(&scene.model, &core::FacialPoints::pointChanged);
    scene.viewport.setViewSize(viewSize);
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    scene.viewport.setViewSize(size);
    QVERIFY2(!scene.controller.mouseMove(QPoint(120, 60)), "a move in an empty view was handled");
    QCOMPARE(moved.count(), 0);
    const FacialPoint stored = scene.model.points().at(1);
    QVERIFY2(std::isfinite(stored.x()) && std::isfinite(stored.y()), "the point became NaN or infinite");
    QCOMPARE(stored, atPixel(100, 50));
    QCOMPARE(scene.controller.draggedIndex(), 1);
}

void tst_FacialPointsController::wildCoordinates_data()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::addColumn<QPointF>("wild");
    QTest::newRow("x-huge-positive") << QPointF(1e300, 0.5);
    QTest::newRow("x-huge-negative") << QPointF(-1e300, 0.5);
    QTest::newRow("y-huge-positive") << QPointF(0.5, 1e300);
    QTest::newRow("y-huge-negative") << QPointF(0.5, -1e300);
    QTest::newRow("pixel-product-overflows-to-infinity") << QPointF(1e308, 1e308);
    QTest::newRow("pixel-just-beyond-int-range") << QPointF(2e7, 0.5);
    QTest::newRow("pixel-far-outside-but-in-int-range") << QPointF(50.0, -40.0);
    QTest::newRow("x-nan") << QPointF(nan, 0.5);
    QTest::newRow("y-nan") << QPointF(0.5, nan);
    QTest::newRow("x-infinite") << QPointF(inf, 0.5);
    QTest::newRow("y-minus-infinite") << QPointF(0.5, -inf);
    QTest::newRow("both-nan") << QPointF(nan, nan);
}

void tst_FacialPointsController::wildCoordinates()
{
    QFETCH(QPointF, wild);
    // The wild point first, so that a fault in it would also hide the good one.
    Scene scene({wild, atPixel(100, 50)});

    const QImage painted = scene.paint();
    // Only the good point's marker may appear: its disc and its number above right of it.
    const int changed = changedPixelsOutside(painted, QRect(90, 20, 50, 40));
    QVERIFY2(changed == 0, qPrintable(QStringLiteral("%1 pixels drawn away from the only "
                                                     "visible point").arg(changed)));
    QString why;
    QVERIFY2(redSquareAround(painted, 100, 50, 3, &why), qPrintable(why));

    for (const QPoint press : {QPoint(0, 0), QPoint(199, 0), QPoint(0, 99), QPoint(199, 99),
                               QPoint(100, 0), QPoint(0, 50), QPoint(199, 50)}) {
        scene.controller.mousePress(press);
        QVERIFY2(scene.controller.draggedIndex() == -1,
                 qPrintable(QStringLiteral("press at (%1, %2) grabbed point %3")
                                .arg(press.x()).arg(press.y()).arg(scene.controller.draggedIndex())));
        scene.controller.mouseRelease(press);
    }
    QVERIFY(scene.controller.mousePress(QPoint(100, 50)));
    QCOMPARE(scene.controller.draggedIndex(), 1);
}

void tst_FacialPointsController::paintShowsStretchedPictureAndMarkers()
{
    Scene scene({FacialPoint(0.25, 0.25), FacialPoint(0.75, 0.75)});
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    const QImage painted = scene.paint();

    // Far from both markers each quadrant shows one picture pixel.
    QCOMPARE(describe(painted.pixel(5, 95)), describe(cyan));
    QCOMPARE(describe(painted.pixel(195, 5)), describe(white));
    QCOMPARE(describe(painted.pixel(5, 5)), describe(blue));
    QCOMPARE(describe(painted.pixel(195, 95)), describe(grey));
    QCOMPARE(describe(painted.pixel(99, 49)), describe(blue));
    QCOMPARE(describe(painted.pixel(100, 50)), describe(grey));

    QString why;
    QVERIFY2(redSquareAround(painted, 50, 25, 3, &why), qPrintable(why));
    QVERIFY2(redSquareAround(painted, 150, 75, 3, &why), qPrintable(why));
    // The disc has a radius of 6 pixels: 9 pixels away the picture shows again.
    QCOMPARE(describe(painted.pixel(41, 25)), describe(blue));
    QCOMPARE(describe(painted.pixel(50, 34)), describe(blue));
    QCOMPARE(describe(painted.pixel(150, 84)), describe(grey));
    // A dark outline surrounds the red disc: look along its left rim.
    int outline = 0;
    for (int y = 22; y <= 28; ++y) {
        for (int x = 42; x <= 47; ++x) {
            outline += isDark(painted.pixel(x, y)) ? 1 : 0;
        }
    }
    QVERIFY2(outline >= 3, qPrintable(QStringLiteral("only %1 dark pixels on the left rim of the "
                                                     "first marker").arg(outline)));
}

void tst_FacialPointsController::markerNumberStandsAboveRight()
{
    Scene scene({atPixel(100, 60)});
    const QImage painted = scene.paint();
    int textAboveRight = 0;
    int textAboveLeft = 0;
    for (int y = 30; y < 52; ++y) {
        for (int x = 80; x < 130; ++x) {
            if (isDark(painted.pixel(x, y))) {
                (x > 106 ? textAboveRight : textAboveLeft) += 1;
            }
        }
    }
    QVERIFY2(textAboveRight > 3, qPrintable(QStringLiteral("only %1 dark pixels where the number "
                                                            "should be").arg(textAboveRight)));
    // Left of the disc's right rim and above it there is only the disc's outline.
    QVERIFY2(textAboveLeft < textAboveRight,
             qPrintable(QStringLiteral("%1 dark pixels above left of the marker, %2 above right")
                            .arg(textAboveLeft).arg(textAboveRight)));
}

void tst_FacialPointsController::withoutPictureOnlyMarkersAreDrawn()
{
    Scene scene({atPixel(40, 70), atPixel(160, 30)});
    const QImage painted = scene.paint();
    QString why;
    QVERIFY2(redSquareAround(painted, 40, 70, 3, &why), qPrintable(why));
    QVERIFY2(redSquareAround(painted, 160, 30, 3, &why), qPrintable(why));
    QCOMPARE(describe(painted.pixel(100, 50)), describe(background));
    QCOMPARE(describe(painted.pixel(5, 5)), describe(background));
    QCOMPARE(describe(painted.pixel(195, 95)), describe(background));
}

void tst_FacialPointsController::withoutPointsOnlyPictureIsDrawn()
{
    Scene scene;
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    const QImage painted = scene.paint();
    for (int y = 0; y < viewSize.height(); ++y) {
        for (int x = 0; x < viewSize.width(); ++x) {
            const QRgb expected = y < 50 ? (x < 100 ? blue : white) : (x < 100 ? cyan : grey);
            QVERIFY2(painted.pixel(x, y) == expected,
                     qPrintable(QStringLiteral("pixel (%1, %2) is %3, expected %4")
                                    .arg(x).arg(y).arg(describe(painted.pixel(x, y)), describe(expected))));
        }
    }
}

void tst_FacialPointsController::replacedPictureShowsAtNextPaint()
{
    Scene scene({FacialPoint(0.25, 0.25)});
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    QCOMPARE(describe(scene.paint().pixel(150, 75)), describe(grey));

    QSignalSpy repaints(&scene.controller, &tools::IController::needUpdate);
    scene.model.setImage(quadrantPicture(yellow, cyan, white, blue));
    QCOMPARE(repaints.count(), 1);

    const QImage painted = scene.paint();
    QCOMPARE(describe(painted.pixel(150, 75)), describe(blue));
    QCOMPARE(describe(painted.pixel(5, 5)), describe(yellow));
    QString why;
    QVERIFY2(redSquareAround(painted, 50, 25, 3, &why), qPrintable(why));
}

void tst_FacialPointsController::attachingAnotherModelShowsItsPicture()
{
    Scene scene;
    scene.model.setImage(quadrantPicture(blue, white, cyan, grey));
    QCOMPARE(describe(scene.paint().pixel(5, 5)), describe(blue));

    core::FacialPoints other;
    other.setImage(quadrantPicture(yellow, yellow, yellow, yellow));
    scene.controller.setFacialPoints(&other);
    QCOMPARE(describe(scene.paint().pixel(5, 5)), describe(yellow));
}

void tst_FacialPointsController::partialRepaintsMatchFullRepaint()
{
    // A picture twice the view's size, so that every exposed rectangle maps to whole pixels.
    QImage picture(400, 200, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.setPixel(x, y, qRgb(x % 256, y, (x * 7 + y * 3) % 256));
        }
    }
    Scene scene;
    scene.model.setImage(picture);
    const QImage full = scene.paint();

    QImage pieces = blankView();
    for (const QRect& exposed : {QRect(0, 0, 100, 50), QRect(100, 0, 100, 50), QRect(0, 50, 60, 50),
                                 QRect(60, 50, 140, 50)}) {
        pieces = scene.paint(pieces, exposed);
    }
    QVERIFY2(pieces == full, "four partial repaints differ from one full repaint");

    QImage onlyTopLeft = scene.paint(blankView(), QRect(0, 0, 100, 50));
    QCOMPARE(describe(onlyTopLeft.pixel(150, 75)), describe(background));
    QCOMPARE(describe(onlyTopLeft.pixel(10, 10)), describe(picture.pixel(20, 20)));
}

void tst_FacialPointsController::keptScalingPaintsAsAFreshOne_data()
{
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("pan");
    QTest::addColumn<QRect>("exposed");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("fit, whole view") << 1.0 << QPointF() << wholeView << false;
    QTest::newRow("8x, panned, a piece") << 8.0 << QPointF(13.5, -7.25) << QRect(30, 20, 77, 41) << false;
    QTest::newRow("64x, whole view") << 64.0 << QPointF(-3, 5) << wholeView << false;
    QTest::newRow("3x, see-through picture") << 3.0 << QPointF(4, 4) << QRect(0, 10, 200, 50) << true;
}

// From the second paint of an unchanged view on, the picture is copied as last scaled; every
// paint, and the first after the view changes, shows what a controller that never kept one
// shows.
void tst_FacialPointsController::keptScalingPaintsAsAFreshOne()
{
    QFETCH(double, zoom);
    QFETCH(QPointF, pan);
    QFETCH(QRect, exposed);
    QFETCH(bool, alpha);
    QImage picture(173, 97, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.setPixel(x, y, qRgba((x * 5) % 256, (y * 3) % 256, (x ^ y) % 256,
                                         alpha ? (x + y) % 256 : 255));
        }
    }
    const core::FacialPointVector points{atPixel(60, 40), atPixel(120, 70)};
    auto arrange = [&](Scene& scene) {
        scene.model.setImage(picture);
        scene.viewport.zoomBy(zoom, QPointF(wholeView.center()));
        scene.viewport.pan(pan);
    };
    Scene kept(points);
    kept.paint();
    arrange(kept);
    const QImage first = kept.paint(blankView(), exposed);
    QVERIFY(!kept.controller.keepsScaledPicture());
    kept.paint(blankView(), exposed);
    QVERIFY(kept.controller.keepsScaledPicture());
    const QImage copied = kept.paint(blankView(), exposed);

    Scene fresh(points);
    fresh.paint();
    arrange(fresh);
    const QImage expected = fresh.paint(blankView(), exposed);
    QVERIFY2(first == expected, "the first paint differs from a fresh controller's");
    QVERIFY2(copied == expected, "the copy of the kept scaling differs from a fresh scaling");

    // The view changes: the next paint scales anew, and shows the new view.
    const double step = zoom > 1.0 ? 0.8 : 1.25;  // away from the limits of the zoom
    kept.viewport.zoomBy(step, QPointF(20, 30));
    fresh.viewport.zoomBy(step, QPointF(20, 30));
    const QImage moved = kept.paint(blankView(), exposed);
    QVERIFY(!kept.controller.keepsScaledPicture());
    QVERIFY2(moved == fresh.paint(blankView(), exposed), "the first paint after a zoom differs");
    QVERIFY(moved != copied);
}

void tst_FacialPointsController::markersOutsideExposedAreaAreSkipped()
{
    Scene scene({atPixel(40, 50), atPixel(170, 50)});
    const QImage painted = scene.paint(blankView(), QRect(0, 0, 100, 100));
    QString why;
    QVERIFY2(redSquareAround(painted, 40, 50, 3, &why), qPrintable(why));
    QCOMPARE(changedPixelsOutside(painted, QRect(0, 0, 100, 100)), 0);
}

QTEST_MAIN(tst_FacialPointsController)
#include "tst_facialpointscontroller.moc"
