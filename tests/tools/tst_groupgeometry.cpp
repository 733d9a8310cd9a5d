// Group edits as arithmetic: points in, points out, with no view, model or widget.

#include "tools/groupgeometry.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <vector>

using Points = std::vector<QPointF>;
Q_DECLARE_METATYPE(Points)

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double pi = 3.14159265358979323846;

QString describe(const Points& points)
{
    QStringList parts;
    for (const QPointF& p : points) {
        parts << QStringLiteral("(%1, %2)").arg(p.x(), 0, 'g', 12).arg(p.y(), 0, 'g', 12);
    }
    return parts.join(QStringLiteral(", "));
}

bool near(const Points& a, const Points& b, double tolerance = 1e-12)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(std::abs(a[i].x() - b[i].x()) <= tolerance && std::abs(a[i].y() - b[i].y()) <= tolerance)) {
            return false;
        }
    }
    return true;
}

} // namespace

class tst_GroupGeometry : public QObject
{
    Q_OBJECT

private slots:
    void clampToPicture_data();
    void clampToPicture();
    void moved_data();
    void moved();
    void scaleFactors_data();
    void scaleFactors();
    void scaledAbout_data();
    void scaledAbout();
    void turnAngle_data();
    void turnAngle();
    void turnedAbout_data();
    void turnedAbout();
    void turnBackIsIdentity();
};

void tst_GroupGeometry::clampToPicture_data()
{
    QTest::addColumn<QPointF>("fraction");
    QTest::addColumn<QPointF>("expected");
    QTest::newRow("inside") << QPointF(0.25, 0.75) << QPointF(0.25, 0.75);
    QTest::newRow("corners stay") << QPointF(1.0, 0.0) << QPointF(1.0, 0.0);
    QTest::newRow("beyond both ends") << QPointF(-0.5, 1.5) << QPointF(0.0, 1.0);
    QTest::newRow("NaN becomes 0") << QPointF(notANumber, 0.5) << QPointF(0.0, 0.5);
    QTest::newRow("infinities pinned") << QPointF(std::numeric_limits<double>::infinity(),
                                                  -std::numeric_limits<double>::infinity())
                                       << QPointF(1.0, 0.0);
}

void tst_GroupGeometry::clampToPicture()
{
    QFETCH(QPointF, fraction);
    QFETCH(QPointF, expected);
    const QPointF got = tools::groupgeometry::clampToPicture(fraction);
    QCOMPARE(got.x(), expected.x());
    QCOMPARE(got.y(), expected.y());
}

void tst_GroupGeometry::moved_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<QPointF>("shift");
    QTest::addColumn<Points>("expected");

    const Points pair{{0.2, 0.3}, {0.6, 0.5}};
    QTest::newRow("free move") << pair << QPointF(0.1, -0.1) << Points{{0.3, 0.2}, {0.7, 0.4}};
    QTest::newRow("stopped at the right edge")
        << pair << QPointF(0.9, 0.0) << Points{{0.6, 0.3}, {1.0, 0.5}};
    QTest::newRow("stopped at the top edge, x free")
        << pair << QPointF(0.1, -0.8) << Points{{0.3, 0.0}, {0.7, 0.2}};
    QTest::newRow("stopped at the left and bottom edges")
        << pair << QPointF(-1.0, 1.0) << Points{{0.0, 0.8}, {0.4, 1.0}};
    QTest::newRow("no shift") << pair << QPointF(0, 0) << pair;
    QTest::newRow("a group wider than the picture keeps still")
        << Points{{-0.1, 0.5}, {1.2, 0.5}} << QPointF(0.3, 0.0) << Points{{-0.1, 0.5}, {1.2, 0.5}};
    QTest::newRow("a group outside may move back in")
        << Points{{1.2, 0.5}, {1.4, 0.5}} << QPointF(-0.3, 0.0) << Points{{0.9, 0.5}, {1.1, 0.5}};
    QTest::newRow("a group outside may not move further out")
        << Points{{1.2, 0.5}, {1.4, 0.5}} << QPointF(0.3, 0.0) << Points{{1.2, 0.5}, {1.4, 0.5}};
    QTest::newRow("empty group") << Points{} << QPointF(0.5, 0.5) << Points{};
}

void tst_GroupGeometry::moved()
{
    QFETCH(Points, points);
    QFETCH(QPointF, shift);
    QFETCH(Points, expected);
    const Points got = tools::groupgeometry::moved(points, shift);
    QVERIFY2(near(got, expected), qPrintable(describe(got) + " instead of " + describe(expected)));
}

void tst_GroupGeometry::scaleFactors_data()
{
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QPointF>("handleAtPress");
    QTest::addColumn<QPointF>("handleNow");
    QTest::addColumn<bool>("keepProportions");
    QTest::addColumn<QPointF>("expected");

    // A box from (100, 100) to (200, 150), dragged at its bottom-right corner.
    const QPointF anchor(100, 100);
    const QPointF corner(200, 150);
    QTest::newRow("unchanged") << anchor << corner << corner << false << QPointF(1, 1);
    QTest::newRow("twice as wide") << anchor << corner << QPointF(300, 150) << false << QPointF(2, 1);
    QTest::newRow("half as high") << anchor << corner << QPointF(200, 125) << false << QPointF(1, 0.5);
    QTest::newRow("flipped through the anchor")
        << anchor << corner << QPointF(0, 50) << false << QPointF(-1, -1);
    QTest::newRow("proportions: the larger factor wins")
        << anchor << corner << QPointF(300, 125) << true << QPointF(2, 2);
    QTest::newRow("proportions: the larger factor keeps its sign")
        << anchor << corner << QPointF(150, 0) << true << QPointF(-2, -2);
    QTest::newRow("top-left corner about the bottom right")
        << corner << anchor << QPointF(150, 125) << false << QPointF(0.5, 0.5);
}

void tst_GroupGeometry::scaleFactors()
{
    QFETCH(QPointF, anchor);
    QFETCH(QPointF, handleAtPress);
    QFETCH(QPointF, handleNow);
    QFETCH(bool, keepProportions);
    QFETCH(QPointF, expected);
    const QPointF got =
        tools::groupgeometry::scaleFactors(anchor, handleAtPress, handleNow, keepProportions);
    QCOMPARE(got.x(), expected.x());
    QCOMPARE(got.y(), expected.y());
}

void tst_GroupGeometry::scaledAbout_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QPointF>("factors");
    QTest::addColumn<Points>("expected");

    const Points square{{10, 10}, {30, 10}, {30, 30}, {10, 30}};
    QTest::newRow("identity") << square << QPointF(0, 0) << QPointF(1, 1) << square;
    QTest::newRow("doubled about the origin")
        << square << QPointF(0, 0) << QPointF(2, 2) << Points{{20, 20}, {60, 20}, {60, 60}, {20, 60}};
    QTest::newRow("about a corner, that corner stays")
        << square << QPointF(10, 10) << QPointF(3, 0.5) << Points{{10, 10}, {70, 10}, {70, 20}, {10, 20}};
    QTest::newRow("mirrored about x = 20")
        << square << QPointF(20, 0) << QPointF(-1, 1) << Points{{30, 10}, {10, 10}, {10, 30}, {30, 30}};
    QTest::newRow("collapsed onto a line")
        << square << QPointF(0, 20) << QPointF(1, 0) << Points{{10, 20}, {30, 20}, {30, 20}, {10, 20}};
}

void tst_GroupGeometry::scaledAbout()
{
    QFETCH(Points, points);
    QFETCH(QPointF, anchor);
    QFETCH(QPointF, factors);
    QFETCH(Points, expected);
    const Points got = tools::groupgeometry::scaledAbout(points, anchor, factors);
    QVERIFY2(near(got, expected), qPrintable(describe(got) + " instead of " + describe(expected)));
}

void tst_GroupGeometry::turnAngle_data()
{
    QTest::addColumn<QPointF>("centre");
    QTest::addColumn<QPointF>("from");
    QTest::addColumn<QPointF>("to");
    QTest::addColumn<double>("expected");
    // View pixels: y grows downwards, so a positive angle turns clockwise on screen.
    QTest::newRow("none") << QPointF(0, 0) << QPointF(10, 0) << QPointF(20, 0) << 0.0;
    QTest::newRow("quarter clockwise") << QPointF(0, 0) << QPointF(10, 0) << QPointF(0, 10) << pi / 2;
    QTest::newRow("quarter anticlockwise")
        << QPointF(5, 5) << QPointF(15, 5) << QPointF(5, -5) << -pi / 2;
    QTest::newRow("half") << QPointF(0, 0) << QPointF(0, -10) << QPointF(0, 10) << pi;
}

void tst_GroupGeometry::turnAngle()
{
    QFETCH(QPointF, centre);
    QFETCH(QPointF, from);
    QFETCH(QPointF, to);
    QFETCH(double, expected);
    const double got = tools::groupgeometry::turnAngle(centre, from, to);
    QVERIFY2(std::abs(got - expected) < 1e-12, qPrintable(QString::number(got, 'g', 15)));
}

void tst_GroupGeometry::turnedAbout_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<QPointF>("centre");
    QTest::addColumn<double>("angle");
    QTest::addColumn<Points>("expected");

    const Points cross{{110, 100}, {100, 120}};
    QTest::newRow("none") << cross << QPointF(100, 100) << 0.0 << cross;
    QTest::newRow("quarter clockwise on screen")
        << cross << QPointF(100, 100) << pi / 2 << Points{{100, 110}, {80, 100}};
    QTest::newRow("half") << cross << QPointF(100, 100) << pi << Points{{90, 100}, {100, 80}};
    QTest::newRow("the centre stays") << Points{{5, 7}} << QPointF(5, 7) << 1.234 << Points{{5, 7}};
}

void tst_GroupGeometry::turnedAbout()
{
    QFETCH(Points, points);
    QFETCH(QPointF, centre);
    QFETCH(double, angle);
    QFETCH(Points, expected);
    const Points got = tools::groupgeometry::turnedAbout(points, centre, angle);
    QVERIFY2(near(got, expected, 1e-9), qPrintable(describe(got) + " instead of " + describe(expected)));
}

void tst_GroupGeometry::turnBackIsIdentity()
{
    const Points points{{3, 4}, {-20, 7.5}, {100, -1}};
    const QPointF centre(12.5, -3);
    const Points there = tools::groupgeometry::turnedAbout(points, centre, 0.7);
    QVERIFY(!near(there, points, 1e-3));
    const Points back = tools::groupgeometry::turnedAbout(there, centre, -0.7);
    QVERIFY2(near(back, points, 1e-9), qPrintable(describe(back)));
}

QTEST_APPLESS_MAIN(tst_GroupGeometry)
#include "tst_groupgeometry.moc"
