#include "tools/viewtransform.h"

#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// Positions are doubles computed by a few multiplications: equal within a millionth of a pixel.
bool near(QPointF a, QPointF b)
{
    return std::abs(a.x() - b.x()) < 1e-6 && std::abs(a.y() - b.y()) < 1e-6;
}

QString show(QPointF p)
{
    return QStringLiteral("(%1, %2)").arg(p.x(), 0, 'f', 4).arg(p.y(), 0, 'f', 4);
}

QString show(const QRectF& r)
{
    return QStringLiteral("%1 %2 x %3").arg(show(r.topLeft())).arg(r.width()).arg(r.height());
}

tools::ViewTransform makeTransform(QSize picture, QSize view, bool keepAspect)
{
    tools::ViewTransform transform;
    transform.setPictureSize(picture);
    transform.setViewSize(view);
    transform.setKeepAspectRatio(keepAspect);
    return transform;
}

// The picture never scrolls past its edges: along each axis it either covers the whole view or
// is shorter than the view and centred in it.
QString edgeViolation(const tools::ViewTransform& transform)
{
    const QRectF picture = transform.pictureRect();
    const QSize view = transform.viewSize();
    const double eps = 1e-6;
    const bool xOk = picture.width() > view.width()
        ? picture.left() <= eps && picture.right() >= view.width() - eps
        : std::abs(picture.center().x() - view.width() / 2.0) < eps;
    const bool yOk = picture.height() > view.height()
        ? picture.top() <= eps && picture.bottom() >= view.height() - eps
        : std::abs(picture.center().y() - view.height() / 2.0) < eps;
    if (xOk && yOk) {
        return QString();
    }
    return QStringLiteral("picture at %1 in a %2 x %3 view")
        .arg(show(picture)).arg(view.width()).arg(view.height());
}

} // namespace

class tst_ViewTransform : public QObject
{
    Q_OBJECT

private slots:
    void fitMapsCorners_data();
    void fitMapsCorners();
    void zoomKeepsPointUnderAnchor_data();
    void zoomKeepsPointUnderAnchor();
    void panStopsAtEdges_data();
    void panStopsAtEdges();
    void panStopsBesideCoveredEdges_data();
    void panStopsBesideCoveredEdges();
    void uncoveredRect_data();
    void uncoveredRect();
    void resizeKeepsSamePartInView_data();
    void resizeKeepsSamePartInView();
    void roundTrip_data();
    void roundTrip();
    void emptyViewKeepsState();
    void rectangles_data();
    void rectangles();
    void rectanglesWithoutPicture();
};

void tst_ViewTransform::fitMapsCorners_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("view");
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<QRectF>("expectedPicture");
    QTest::newRow("stretched-over-the-view") << QSize(400, 400) << QSize(200, 100) << false
                                             << QRectF(0, 0, 200, 100);
    QTest::newRow("letter-box-left-and-right") << QSize(400, 400) << QSize(200, 100) << true
                                               << QRectF(50, 0, 100, 100);
    QTest::newRow("letter-box-top-and-bottom") << QSize(400, 100) << QSize(200, 100) << true
                                               << QRectF(0, 25, 200, 50);
    QTest::newRow("same-aspect-fills-view") << QSize(4000, 2000) << QSize(200, 100) << true
                                            << QRectF(0, 0, 200, 100);
    QTest::newRow("no-picture-fills-view") << QSize() << QSize(200, 100) << true
                                           << QRectF(0, 0, 200, 100);
}

void tst_ViewTransform::fitMapsCorners()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, view);
    QFETCH(bool, keepAspect);
    QFETCH(QRectF, expectedPicture);
    const tools::ViewTransform transform = makeTransform(picture, view, keepAspect);
    QCOMPARE(transform.zoom(), 1.0);
    QVERIFY2(near(transform.pictureRect().topLeft(), expectedPicture.topLeft())
                 && near(transform.pictureRect().bottomRight(), expectedPicture.bottomRight()),
             qPrintable(show(transform.pictureRect())));
    QVERIFY(near(transform.toView(QPointF(0, 0)), expectedPicture.topLeft()));
    QVERIFY(near(transform.toView(QPointF(1, 1)), expectedPicture.bottomRight()));
    QVERIFY(near(transform.toPicturePixels(expectedPicture.bottomRight()),
                 QPointF(picture.width(), picture.height())));
}

void tst_ViewTransform::zoomKeepsPointUnderAnchor_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<double>("startZoom");
    QTest::addColumn<QPointF>("startAnchor");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<double>("expectedZoom");
    QTest::addColumn<bool>("fixed");
    // The view is 200 x 100 in every row.
    const QSize wide(400, 200);
    const QSize square(400, 400);
    QTest::newRow("centre-2x") << wide << false << 1.0 << QPointF() << 2.0 << QPointF(100, 50) << 2.0 << true;
    QTest::newRow("off-centre-4x") << wide << false << 1.0 << QPointF() << 4.0 << QPointF(60, 30) << 4.0 << true;
    QTest::newRow("top-left-corner-8x") << wide << false << 1.0 << QPointF() << 8.0 << QPointF(0, 0) << 8.0 << true;
    QTest::newRow("bottom-right-corner-8x") << wide << false << 1.0 << QPointF() << 8.0 << QPointF(200, 100) << 8.0 << true;
    QTest::newRow("further-in-at-edge") << wide << false << 8.0 << QPointF(0, 0) << 10.0 << QPointF(0, 0) << 10.0 << true;
    QTest::newRow("step-about-other-point") << wide << false << 4.0 << QPointF(60, 30) << 5.0 << QPointF(150, 80) << 5.0 << true;
    QTest::newRow("beyond-maximum-pins-64") << wide << false << 1.0 << QPointF() << 100.0 << QPointF(30, 70) << 64.0 << true;
    QTest::newRow("below-minimum-pins-1") << wide << false << 1.0 << QPointF() << 0.5 << QPointF(30, 70) << 1.0 << true;
    QTest::newRow("out-to-fit-moves-point") << wide << false << 4.0 << QPointF(100, 50) << 1.0 << QPointF(20, 20) << 1.0 << false;
    QTest::newRow("anchor-outside-view-clamped") << wide << false << 1.0 << QPointF() << 4.0 << QPointF(-80, 50) << 4.0 << false;
    QTest::newRow("nan-zoom-ignored") << wide << false << 2.0 << QPointF(100, 50)
                                      << std::numeric_limits<double>::quiet_NaN() << QPointF(100, 50) << 2.0 << true;
    QTest::newRow("letter-box-2x-on-picture") << square << true << 1.0 << QPointF() << 2.0 << QPointF(75, 25) << 2.0 << false;
    QTest::newRow("letter-box-4x-on-picture") << square << true << 1.0 << QPointF() << 4.0 << QPointF(75, 25) << 4.0 << true;
    QTest::newRow("letter-box-margin-clamped") << square << true << 1.0 << QPointF() << 4.0 << QPointF(10, 50) << 4.0 << false;
}

void tst_ViewTransform::zoomKeepsPointUnderAnchor()
{
    QFETCH(QSize, picture);
    QFETCH(bool, keepAspect);
    QFETCH(double, startZoom);
    QFETCH(QPointF, startAnchor);
    QFETCH(double, zoom);
    QFETCH(QPointF, anchor);
    QFETCH(double, expectedZoom);
    QFETCH(bool, fixed);
    tools::ViewTransform transform = makeTransform(picture, QSize(200, 100), keepAspect);
    transform.setZoom(startZoom, startAnchor);
    const QPointF underAnchor = transform.toFraction(anchor);

    transform.setZoom(zoom, anchor);
    QCOMPARE(transform.zoom(), expectedZoom);
    const QPointF nowAt = transform.toView(underAnchor);
    QVERIFY2(near(nowAt, anchor) == fixed,
             qPrintable(QStringLiteral("the picture point under %1 is now at %2")
                            .arg(show(anchor), show(nowAt))));
    const QString violation = edgeViolation(transform);
    QVERIFY2(violation.isEmpty(), qPrintable(violation));
}

void tst_ViewTransform::panStopsAtEdges_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QPointF>("expectedTopLeft");
    // 200 x 100 view zoomed 4x about its centre: the picture spans 800 x 400 from (-300, -150).
    const QSize wide(400, 200);
    QTest::newRow("small-pan-follows") << wide << false << 4.0 << QPointF(10, -5) << QPointF(-290, -155);
    QTest::newRow("far-right-stops-at-left-edge") << wide << false << 4.0 << QPointF(1000, 0) << QPointF(0, -150);
    QTest::newRow("far-left-stops-at-right-edge") << wide << false << 4.0 << QPointF(-1000, 0) << QPointF(-600, -150);
    QTest::newRow("far-down-stops-at-top-edge") << wide << false << 4.0 << QPointF(0, 1000) << QPointF(-300, 0);
    QTest::newRow("far-up-stops-at-bottom-edge") << wide << false << 4.0 << QPointF(0, -1000) << QPointF(-300, -300);
    QTest::newRow("diagonal-stops-at-corner") << wide << false << 4.0 << QPointF(-5000, 5000) << QPointF(-600, 0);
    QTest::newRow("fit-does-not-pan") << wide << false << 1.0 << QPointF(50, 50) << QPointF(0, 0);
    QTest::newRow("max-zoom-exact-edge") << wide << false << 64.0 << QPointF(1e9, 1e9) << QPointF(0, 0);
    // 400 x 400 letter-boxed into 200 x 100: 100 x 100 at zoom 1, 200 x 200 at zoom 2, which
    // fills the view's width exactly and stays centred across.
    const QSize square(400, 400);
    QTest::newRow("letter-box-narrow-axis-stays-centred") << square << true << 2.0 << QPointF(1000, 1000) << QPointF(0, 0);
    QTest::newRow("letter-box-3x-left-edge") << square << true << 3.0 << QPointF(1000, -1000) << QPointF(0, -200);
}

void tst_ViewTransform::panStopsAtEdges()
{
    QFETCH(QSize, picture);
    QFETCH(bool, keepAspect);
    QFETCH(double, zoom);
    QFETCH(QPointF, delta);
    QFETCH(QPointF, expectedTopLeft);
    tools::ViewTransform transform = makeTransform(picture, QSize(200, 100), keepAspect);
    transform.setZoom(zoom, QPointF(100, 50));
    transform.pan(delta);
    QVERIFY2(near(transform.pictureRect().topLeft(), expectedTopLeft),
             qPrintable(show(transform.pictureRect())));
    const QString violation = edgeViolation(transform);
    QVERIFY2(violation.isEmpty(), qPrintable(violation));
}

void tst_ViewTransform::uncoveredRect_data()
{
    QTest::addColumn<QSize>("view");
    QTest::addColumn<QSizeF>("covered");
    QTest::addColumn<QRectF>("expected");
    QTest::newRow("nothing-covered-the-whole-view") << QSize(200, 100) << QSizeF(0, 0) << QRectF(0, 0, 200, 100);
    QTest::newRow("beside-both-strips") << QSize(200, 100) << QSizeF(30, 12) << QRectF(0, 0, 170, 88);
    QTest::newRow("strips-over-everything-leave-nothing") << QSize(200, 100) << QSizeF(250, 100) << QRectF(0, 0, 0, 0);
    QTest::newRow("negative-strips-cover-nothing") << QSize(200, 100) << QSizeF(-5, -5) << QRectF(0, 0, 200, 100);
    QTest::newRow("empty-view") << QSize(0, 0) << QSizeF(30, 12) << QRectF(0, 0, 0, 0);
}

void tst_ViewTransform::uncoveredRect()
{
    QFETCH(QSize, view);
    QFETCH(QSizeF, covered);
    QFETCH(QRectF, expected);
    tools::ViewTransform transform = makeTransform(QSize(400, 200), view, false);
    transform.setCoveredEdges(covered);
    QCOMPARE(transform.uncoveredRect(), expected);
}

void tst_ViewTransform::panStopsBesideCoveredEdges_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QPointF>("expectedTopLeft");
    // As above, with 10 pixels covered along the right edge and 8 along the bottom: the far
    // edges stop beside them, the near ones where they were.
    const QSize wide(400, 200);
    QTest::newRow("right-and-bottom-edges-beside-the-strips") << wide << false << 4.0 << QPointF(-1000, -1000)
                                                              << QPointF(-610, -308);
    QTest::newRow("left-and-top-edges-unchanged") << wide << false << 4.0 << QPointF(1000, 1000) << QPointF(0, 0);
    // Exactly the view's size (fit): what lies beneath the strips can still be scrolled to.
    QTest::newRow("view-sized-scrolls-by-the-strips") << wide << false << 1.0 << QPointF(-50, -50)
                                                      << QPointF(-10, -8);
    // 200 x 200: as wide as the view, but the strip covers its right edge.
    QTest::newRow("letter-box-as-wide-as-the-view") << QSize(400, 400) << true << 2.0 << QPointF(-1000, -1000)
                                                    << QPointF(-10, -108);
    // 100 x 100 at fit: narrower than the view beside the strip, so it stays centred across.
    QTest::newRow("letter-box-narrow-axis-stays-centred") << QSize(400, 400) << true << 1.0 << QPointF(-1000, -1000)
                                                          << QPointF(50, -8);
    // 195 wide: it fits the view, but not beside the 10-pixel strip, so it scrolls past it.
    QTest::newRow("narrower-than-view-wider-than-beside-strip") << QSize(400, 400) << true << 1.95
                                                                << QPointF(-1000, -1000) << QPointF(-5, -103);
    QTest::newRow("narrower-than-view-wider-than-beside-strip-back") << QSize(400, 400) << true << 1.95
                                                                     << QPointF(1000, 1000) << QPointF(0, 0);
}

void tst_ViewTransform::panStopsBesideCoveredEdges()
{
    QFETCH(QSize, picture);
    QFETCH(bool, keepAspect);
    QFETCH(double, zoom);
    QFETCH(QPointF, delta);
    QFETCH(QPointF, expectedTopLeft);
    tools::ViewTransform transform = makeTransform(picture, QSize(200, 100), keepAspect);
    transform.setCoveredEdges(QSizeF(10, 8));
    transform.setZoom(zoom, QPointF(100, 50));
    transform.pan(delta);
    QVERIFY2(near(transform.pictureRect().topLeft(), expectedTopLeft),
             qPrintable(show(transform.pictureRect())));
}

void tst_ViewTransform::resizeKeepsSamePartInView_data()
{
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<QSize>("newView");
    QTest::newRow("larger") << false << QSize(400, 300);
    QTest::newRow("smaller") << false << QSize(120, 60);
    QTest::newRow("letter-box-larger") << true << QSize(300, 300);
}

void tst_ViewTransform::resizeKeepsSamePartInView()
{
    QFETCH(bool, keepAspect);
    QFETCH(QSize, newView);
    tools::ViewTransform transform = makeTransform(QSize(400, 400), QSize(200, 100), keepAspect);
    transform.setZoom(8.0, QPointF(120, 40));
    const QPointF atCentre = transform.toFraction(QPointF(100, 50));
    transform.setViewSize(newView);
    QCOMPARE(transform.zoom(), 8.0);
    const QPointF nowAtCentre = transform.toFraction(QPointF(newView.width() / 2.0, newView.height() / 2.0));
    QVERIFY2(near(nowAtCentre, atCentre), qPrintable(show(nowAtCentre) + " vs " + show(atCentre)));
    const QString violation = edgeViolation(transform);
    QVERIFY2(violation.isEmpty(), qPrintable(violation));
}

void tst_ViewTransform::roundTrip_data()
{
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("fraction");
    QTest::newRow("fit-middle") << false << 1.0 << QPointF(0.5, 0.5);
    QTest::newRow("zoomed-corner") << false << 16.0 << QPointF(0.0, 1.0);
    QTest::newRow("zoomed-outside-picture") << false << 3.0 << QPointF(-0.2, 1.7);
    QTest::newRow("letter-box-zoomed") << true << 5.0 << QPointF(0.31, 0.77);
}

void tst_ViewTransform::roundTrip()
{
    QFETCH(bool, keepAspect);
    QFETCH(double, zoom);
    QFETCH(QPointF, fraction);
    tools::ViewTransform transform = makeTransform(QSize(640, 480), QSize(300, 200), keepAspect);
    transform.setZoom(zoom, QPointF(70, 150));
    QVERIFY(near(transform.toFraction(transform.toView(fraction)), fraction));
    const QPointF pixels = transform.toPicturePixels(transform.toView(fraction));
    QVERIFY(near(pixels, QPointF(fraction.x() * 640, fraction.y() * 480)));
}

void tst_ViewTransform::emptyViewKeepsState()
{
    tools::ViewTransform transform = makeTransform(QSize(400, 200), QSize(200, 100), false);
    transform.setZoom(4.0, QPointF(20, 20));
    const QPointF centre = transform.centre();
    transform.setViewSize(QSize(0, 0));
    QVERIFY(!transform.isValid());
    transform.setViewSize(QSize(200, 100));
    QCOMPARE(transform.zoom(), 4.0);
    QVERIFY(near(transform.centre(), centre));
}

void tst_ViewTransform::rectangles_data()
{
    QTest::addColumn<bool>("keepAspect");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("anchor");
    QTest::newRow("stretched") << false << 1.0 << QPointF(0, 0);
    QTest::newRow("letter-boxed") << true << 1.0 << QPointF(0, 0);
    QTest::newRow("stretched, zoomed about a corner") << false << 3.0 << QPointF(400, 300);
    QTest::newRow("letter-boxed, zoomed off centre") << true << 7.5 << QPointF(120, 45);
}

void tst_ViewTransform::rectangles()
{
    QFETCH(bool, keepAspect);
    QFETCH(double, zoom);
    QFETCH(QPointF, anchor);
    tools::ViewTransform transform = makeTransform(QSize(640, 480), QSize(400, 200), keepAspect);
    transform.setZoom(zoom, anchor);

    // The whole picture, in fractions and in pixels, is the picture's rectangle in the view.
    const QRectF picture = transform.pictureRect();
    const QRectF fromFractions = transform.toView(QRectF(0, 0, 1, 1));
    const QRectF fromPixels = transform.pictureToView(QRectF(0, 0, 640, 480));
    QVERIFY2(near(fromFractions.topLeft(), picture.topLeft())
                 && near(fromFractions.bottomRight(), picture.bottomRight()),
             qPrintable(show(fromFractions) + " instead of " + show(picture)));
    QVERIFY2(near(fromPixels.topLeft(), picture.topLeft())
                 && near(fromPixels.bottomRight(), picture.bottomRight()),
             qPrintable(show(fromPixels) + " instead of " + show(picture)));

    // A face box of the picture maps corner by corner, as the points do, and back.
    const QRectF face(100, 50, 220, 300);
    const QRectF inView = transform.pictureToView(face);
    QVERIFY(near(inView.topLeft(), transform.toView(QPointF(100.0 / 640, 50.0 / 480))));
    QVERIFY(near(inView.bottomRight(), transform.toView(QPointF(320.0 / 640, 350.0 / 480))));
    const QRectF back = transform.toPicturePixels(inView);
    QVERIFY2(near(back.topLeft(), face.topLeft()) && near(back.bottomRight(), face.bottomRight()),
             qPrintable(show(back)));
    const QRectF fractions = transform.toFraction(inView);
    QVERIFY2(near(fractions.topLeft(), QPointF(100.0 / 640, 50.0 / 480))
                 && near(fractions.bottomRight(), QPointF(320.0 / 640, 350.0 / 480)),
             qPrintable(show(fractions)));
}

void tst_ViewTransform::rectanglesWithoutPicture()
{
    // Without a picture there are no picture pixels; fractions still map over the view.
    tools::ViewTransform transform = makeTransform(QSize(), QSize(400, 200), false);
    QCOMPARE(transform.pictureToView(QRectF(0, 0, 10, 10)), QRectF());
    QCOMPARE(transform.pictureToView(QPointF(10, 10)), QPointF(0, 0));
    QCOMPARE(transform.toView(QRectF(0, 0, 0.5, 1)), QRectF(0, 0, 200, 200));
    // Without a view nothing maps back.
    tools::ViewTransform empty = makeTransform(QSize(64, 64), QSize(0, 0), false);
    QCOMPARE(empty.toFraction(QRectF(0, 0, 10, 10)), QRectF());
    QCOMPARE(empty.toPicturePixels(QRectF(0, 0, 10, 10)), QRectF());
}

QTEST_GUILESS_MAIN(tst_ViewTransform)
#include "tst_viewtransform.moc"
