#include "face_detection_module/landmarkgeometry.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace core;

namespace {

// 68 points at distinct places; the four parts the derived points read are set by the caller.
FacialPointVector markupWith(FacialPoint p0, FacialPoint p16, FacialPoint p36, FacialPoint p45)
{
    FacialPointVector points;
    for (int i = 0; i < 68; ++i) {
        points.emplace_back(1000 + i, 2000 + i);
    }
    points[0] = p0;
    points[16] = p16;
    points[36] = p36;
    points[45] = p45;
    return points;
}

bool exactlyEqual(const FacialPoint& a, const FacialPoint& b)
{
    return a.x() == b.x() && a.y() == b.y();
}

QByteArray describe(const FacialPoint& p)
{
    return QByteArray::number(p.x(), 'g', 17) + ", " + QByteArray::number(p.y(), 'g', 17);
}

} // namespace

class tst_LandmarkGeometry : public QObject
{
    Q_OBJECT
private slots:
    void indexOfLargest_data();
    void indexOfLargest();
    void derivedPointsOfLevelJaw();
    void derivedPointsFollowATiltedJaw();
    void derivedPointsNeedFortySixParts();
    void normalizePoints_data();
    void normalizePoints();
    void workedExampleAfterNormalisation();
    void toFacialPointsKeepsOrderAndValues();
};

void tst_LandmarkGeometry::indexOfLargest_data()
{
    QTest::addColumn<QVector<QRect>>("rectangles");
    QTest::addColumn<int>("expected");

    QTest::newRow("empty-list-has-no-choice") << QVector<QRect>{} << -1;
    QTest::newRow("single-face") << QVector<QRect>{QRect(5, 5, 10, 10)} << 0;
    QTest::newRow("later-larger-wins") << QVector<QRect>{QRect(0, 0, 10, 10), QRect(50, 50, 20, 20)} << 1;
    QTest::newRow("earlier-larger-kept") << QVector<QRect>{QRect(0, 0, 30, 30), QRect(50, 50, 20, 20)} << 0;
    QTest::newRow("equal-area-earliest-wins")
        << QVector<QRect>{QRect(0, 0, 10, 40), QRect(50, 50, 20, 20), QRect(9, 9, 40, 10)} << 0;
    QTest::newRow("area-not-width-decides") << QVector<QRect>{QRect(0, 0, 100, 1), QRect(0, 0, 11, 10)} << 1;
    QTest::newRow("zero-area-chosen-only-when-alone") << QVector<QRect>{QRect(0, 0, 0, 0), QRect(3, 3, 0, 0)} << 0;
    QTest::newRow("zero-area-loses-to-any-face") << QVector<QRect>{QRect(0, 0, 0, 0), QRect(3, 3, 1, 1)} << 1;
    QTest::newRow("huge-areas-do-not-overflow")
        << QVector<QRect>{QRect(0, 0, 60000, 60000), QRect(0, 0, 70000, 70000)} << 1;
}

void tst_LandmarkGeometry::indexOfLargest()
{
    QFETCH(QVector<QRect>, rectangles);
    QFETCH(int, expected);
    QCOMPARE(landmarks::indexOfLargest(rectangles), expected);
}

void tst_LandmarkGeometry::derivedPointsOfLevelJaw()
{
    // Jaw from (100, 200) to (300, 200), eye corners at (140, 180) and (260, 180): the jaw width
    // is 200, so "up" is (0, -200).
    FacialPointVector points = markupWith({100, 200}, {300, 200}, {140, 180}, {260, 180});
    const FacialPointVector predicted = points;

    QVERIFY2(landmarks::appendForeheadPoints(points), "a 68-point markup must get its derived points");
    QCOMPARE(int(points.size()), 75);
    for (int i = 0; i < 68; ++i) {
        QVERIFY2(exactlyEqual(points[i], predicted[i]), "the predicted points must stay untouched");
    }
    const FacialPointVector expected = {{100, 150}, {300, 150}, {140, 90}, {260, 90},
                                        {170, 90},  {200, 90},  {230, 90}};
    for (int i = 0; i < 7; ++i) {
        const FacialPoint actual = points[68 + i];
        QVERIFY2(qAbs(actual.x() - expected[i].x()) < 1e-9 && qAbs(actual.y() - expected[i].y()) < 1e-9,
                 QByteArray("derived point " + QByteArray::number(68 + i) + " is at " + describe(actual)
                            + ", expected " + describe(expected[i])).constData());
    }
}

void tst_LandmarkGeometry::derivedPointsFollowATiltedJaw()
{
    // A jaw line going down-right at 45 degrees: "up" must turn with it, to (+d/sqrt2, -d/sqrt2)
    // scaled by the jaw width d = 100 * sqrt2, i.e. (100, -100).
    FacialPointVector points = markupWith({0, 0}, {100, 100}, {20, 0}, {80, 60});
    QVERIFY(landmarks::appendForeheadPoints(points));
    QCOMPARE(int(points.size()), 75);

    const FacialPoint up(100, -100);
    const FacialPoint q70 = FacialPoint(20, 0) + 0.45 * up;
    const FacialPoint q71 = FacialPoint(80, 60) + 0.45 * up;
    const FacialPointVector expected = {FacialPoint(0, 0) + 0.25 * up, FacialPoint(100, 100) + 0.25 * up, q70, q71,
                                        q71 + 0.75 * (q70 - q71),      q71 + 0.5 * (q70 - q71),
                                        q71 + 0.25 * (q70 - q71)};
    for (int i = 0; i < 7; ++i) {
        const FacialPoint actual = points[68 + i];
        QVERIFY2(qAbs(actual.x() - expected[i].x()) < 1e-9 && qAbs(actual.y() - expected[i].y()) < 1e-9,
                 QByteArray("derived point " + QByteArray::number(68 + i) + " is at " + describe(actual)
                            + ", expected " + describe(expected[i])).constData());
    }
}

void tst_LandmarkGeometry::derivedPointsNeedFortySixParts()
{
    FacialPointVector tooFew(45, FacialPoint(1, 1));
    QVERIFY2(!landmarks::appendForeheadPoints(tooFew), "part 45 does not exist in a 45-point markup");
    QCOMPARE(int(tooFew.size()), 45);

    FacialPointVector justEnough(46, FacialPoint(1, 1));
    justEnough[16] = FacialPoint(11, 1);
    QVERIFY2(landmarks::appendForeheadPoints(justEnough), "parts 0, 16, 36 and 45 are all present");
    QCOMPARE(int(justEnough.size()), 46 + landmarks::derivedPointCount);
}

void tst_LandmarkGeometry::normalizePoints_data()
{
    QTest::addColumn<FacialPoint>("pixel");
    QTest::addColumn<FacialPoint>("expected");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    // Picture of 400 x 300 pixels.
    QTest::newRow("inside-divides-by-size") << FacialPoint(100, 150) << FacialPoint(0.25, 0.5);
    QTest::newRow("origin-stays-zero") << FacialPoint(0, 0) << FacialPoint(0, 0);
    QTest::newRow("far-corner-is-one") << FacialPoint(400, 300) << FacialPoint(1, 1);
    QTest::newRow("x-beyond-right-edge-clamps") << FacialPoint(401, 30) << FacialPoint(1, 0.1);
    QTest::newRow("y-above-top-edge-clamps") << FacialPoint(200, -60) << FacialPoint(0.5, 0);
    QTest::newRow("x-left-of-picture-clamps") << FacialPoint(-1, 150) << FacialPoint(0, 0.5);
    QTest::newRow("nan-becomes-zero") << FacialPoint(nan, nan) << FacialPoint(0, 0);
    QTest::newRow("infinities-clamp") << FacialPoint(inf, -inf) << FacialPoint(1, 0);
}

void tst_LandmarkGeometry::normalizePoints()
{
    QFETCH(FacialPoint, pixel);
    QFETCH(FacialPoint, expected);
    FacialPointVector points{pixel};
    landmarks::normalizePoints(points, 400, 300);
    QCOMPARE(int(points.size()), 1);
    QVERIFY2(exactlyEqual(points[0], expected),
             QByteArray("got " + describe(points[0]) + ", expected " + describe(expected)).constData());
}

void tst_LandmarkGeometry::workedExampleAfterNormalisation()
{
    FacialPointVector points = markupWith({100, 200}, {300, 200}, {140, 180}, {260, 180});
    QVERIFY(landmarks::appendForeheadPoints(points));
    landmarks::normalizePoints(points, 400, 300);
    QVERIFY2(qAbs(points[68].x() - 0.25) < 1e-12 && qAbs(points[68].y() - 0.5) < 1e-12,
             QByteArray("point 68 normalised to " + describe(points[68])).constData());
    QVERIFY2(qAbs(points[74].x() - 230.0 / 400) < 1e-12 && qAbs(points[74].y() - 0.3) < 1e-12,
             QByteArray("point 74 normalised to " + describe(points[74])).constData());
    for (const FacialPoint& p : points) {
        QVERIFY2(p.x() >= 0 && p.x() <= 1 && p.y() >= 0 && p.y() <= 1,
                 QByteArray("outside the unit square: " + describe(p)).constData());
    }
}

void tst_LandmarkGeometry::toFacialPointsKeepsOrderAndValues()
{
    const QVector<QPoint> pixels{{3, 4}, {-5, 70000}, {0, 0}};
    const FacialPointVector points = landmarks::toFacialPoints(pixels);
    QCOMPARE(int(points.size()), 3);
    QVERIFY(exactlyEqual(points[0], FacialPoint(3, 4)));
    QVERIFY(exactlyEqual(points[1], FacialPoint(-5, 70000)));
    QVERIFY(exactlyEqual(points[2], FacialPoint(0, 0)));
}

QTEST_APPLESS_MAIN(tst_LandmarkGeometry)
#include "tst_landmarkgeometry.moc"
