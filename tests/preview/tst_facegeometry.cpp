#include "preview/facegeometry.h"
#include "preview/facetriangles.h"

#include <QtTest>

#include <cmath>
#include <map>
#include <set>
#include <utility>

using preview::geometry::signedArea;
using Triangle = std::array<QPointF, 3>;
Q_DECLARE_METATYPE(Triangle)

class tst_FaceGeometry : public QObject
{
    Q_OBJECT

private slots:
    void signedAreaSign_data();
    void signedAreaSign();
    void triangleAffineMapsCorners_data();
    void triangleAffineMapsCorners();
    void similarityFitRecoversTransform_data();
    void similarityFitRecoversTransform();
    void similarityFitOfNoisyPointsIsLeastSquares();
    void similarityFitWithoutSpreadIsIdentity();

    void tableIndexesTheLayout();
    void tableIsOneConsistentSurface();
    void tableRunsClockwiseOnMeanFace();
    void tableCoversTheMeanFaceOutline();
};

void tst_FaceGeometry::signedAreaSign_data()
{
    QTest::addColumn<QPointF>("a");
    QTest::addColumn<QPointF>("b");
    QTest::addColumn<QPointF>("c");
    QTest::addColumn<double>("area");
    QTest::newRow("clockwise-on-screen-is-positive") << QPointF(0, 0) << QPointF(4, 0) << QPointF(0, 3) << 6.0;
    QTest::newRow("anticlockwise-is-negative") << QPointF(0, 0) << QPointF(0, 3) << QPointF(4, 0) << -6.0;
    QTest::newRow("collinear-is-zero") << QPointF(1, 1) << QPointF(2, 2) << QPointF(5, 5) << 0.0;
    QTest::newRow("far-from-origin") << QPointF(1000, 2000) << QPointF(1010, 2000) << QPointF(1000, 2010) << 50.0;
}

void tst_FaceGeometry::signedAreaSign()
{
    QFETCH(QPointF, a);
    QFETCH(QPointF, b);
    QFETCH(QPointF, c);
    QFETCH(double, area);
    QCOMPARE(signedArea(a, b, c), area);
}

void tst_FaceGeometry::triangleAffineMapsCorners_data()
{
    QTest::addColumn<Triangle>("from");
    QTest::addColumn<Triangle>("to");
    const Triangle unit{QPointF(0, 0), QPointF(1, 0), QPointF(0, 1)};
    QTest::newRow("identity") << unit << unit;
    QTest::newRow("translated") << unit << Triangle{QPointF(5, 7), QPointF(6, 7), QPointF(5, 8)};
    QTest::newRow("sheared-and-scaled") << Triangle{QPointF(10, 10), QPointF(30, 12), QPointF(14, 40)}
                                        << Triangle{QPointF(-3, 2), QPointF(100, 50), QPointF(7, 70)};
    QTest::newRow("mirrored") << unit << Triangle{QPointF(0, 0), QPointF(0, 1), QPointF(1, 0)};
}

void tst_FaceGeometry::triangleAffineMapsCorners()
{
    QFETCH(Triangle, from);
    QFETCH(Triangle, to);
    const QTransform t = preview::geometry::triangleAffine(from, to);
    for (int i = 0; i < 3; ++i) {
        const QPointF mapped = t.map(from[i]);
        QVERIFY2(std::hypot(mapped.x() - to[i].x(), mapped.y() - to[i].y()) < 1e-9,
                 qPrintable(QStringLiteral("corner %1 went to (%2, %3)").arg(i).arg(mapped.x()).arg(mapped.y())));
    }
    // Affine: the centroid goes to the centroid.
    const QPointF centroidFrom = (from[0] + from[1] + from[2]) / 3;
    const QPointF centroidTo = (to[0] + to[1] + to[2]) / 3;
    const QPointF mapped = t.map(centroidFrom);
    QVERIFY(std::hypot(mapped.x() - centroidTo.x(), mapped.y() - centroidTo.y()) < 1e-9);
}

void tst_FaceGeometry::similarityFitRecoversTransform_data()
{
    QTest::addColumn<double>("angle");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QPointF>("shift");
    QTest::newRow("identity") << 0.0 << 1.0 << QPointF(0, 0);
    QTest::newRow("shifted") << 0.0 << 1.0 << QPointF(120, -40);
    QTest::newRow("quarter-turn") << 90.0 << 1.0 << QPointF(0, 0);
    QTest::newRow("shrunk-turned-shifted") << 30.0 << 0.25 << QPointF(300, 200);
    QTest::newRow("grown-turned-back") << -12.0 << 3.5 << QPointF(-50, 10);
}

void tst_FaceGeometry::similarityFitRecoversTransform()
{
    QFETCH(double, angle);
    QFETCH(double, scale);
    QFETCH(QPointF, shift);
    const QTransform expected = QTransform().scale(scale, scale) * QTransform().rotate(angle) *
                                QTransform::fromTranslate(shift.x(), shift.y());
    core::FacialPointVector from;
    core::FacialPointVector to;
    for (const QPointF& p : preview::meanFaceShape()) {
        from.push_back(p * 400 + QPointF(30, 60));
        to.push_back(expected.map(from.back()));
    }
    const QTransform fitted = preview::geometry::similarityFit(from, to, 75);
    for (const QPointF& p : from) {
        const QPointF a = fitted.map(p);
        const QPointF b = expected.map(p);
        QVERIFY2(std::hypot(a.x() - b.x(), a.y() - b.y()) < 1e-6,
                 qPrintable(QStringLiteral("(%1, %2) against (%3, %4)").arg(a.x()).arg(a.y()).arg(b.x()).arg(b.y())));
    }
}

void tst_FaceGeometry::similarityFitOfNoisyPointsIsLeastSquares()
{
    // Two points moved apart: no similarity maps them exactly, and any change of the fitted one
    // must not lower the sum of squared distances.
    core::FacialPointVector from;
    core::FacialPointVector to;
    for (int i = 0; i < 75; ++i) {
        const QPointF p = preview::meanFaceShape()[i] * 200;
        from.push_back(p);
        to.push_back(p * 1.5 + QPointF(i % 3 - 1, (i * 7) % 5 - 2));
    }
    const QTransform fitted = preview::geometry::similarityFit(from, to, 75);
    auto cost = [&](const QTransform& t) {
        double sum = 0;
        for (int i = 0; i < 75; ++i) {
            const QPointF d = t.map(from[i]) - to[i];
            sum += d.x() * d.x() + d.y() * d.y();
        }
        return sum;
    };
    const double best = cost(fitted);
    const double step = 1e-3;
    const std::array<QTransform, 6> nudges{
        QTransform(fitted.m11() + step, fitted.m12(), fitted.m21(), fitted.m22() + step, fitted.dx(), fitted.dy()),
        QTransform(fitted.m11() - step, fitted.m12(), fitted.m21(), fitted.m22() - step, fitted.dx(), fitted.dy()),
        QTransform(fitted.m11(), fitted.m12() + step, fitted.m21() - step, fitted.m22(), fitted.dx(), fitted.dy()),
        QTransform(fitted.m11(), fitted.m12(), fitted.m21(), fitted.m22(), fitted.dx() + 0.1, fitted.dy()),
        QTransform(fitted.m11(), fitted.m12(), fitted.m21(), fitted.m22(), fitted.dx(), fitted.dy() - 0.1),
        QTransform(),
    };
    for (const QTransform& nudged : nudges) {
        QVERIFY2(cost(nudged) > best, qPrintable(QStringLiteral("%1 <= %2").arg(cost(nudged)).arg(best)));
    }
    // Rotation and uniform scale only: no shear, no mirror.
    QCOMPARE(fitted.m11(), fitted.m22());
    QCOMPARE(fitted.m12(), -fitted.m21());
}

void tst_FaceGeometry::similarityFitWithoutSpreadIsIdentity()
{
    const core::FacialPointVector same(75, QPointF(3, 4));
    const core::FacialPointVector other(75, QPointF(9, 9));
    QVERIFY(preview::geometry::similarityFit(same, other, 75).isIdentity());
    QVERIFY(preview::geometry::similarityFit({}, {}, 75).isIdentity());
}

void tst_FaceGeometry::tableIndexesTheLayout()
{
    const auto& table = preview::faceTriangles();
    QVERIFY(!table.empty());
    std::set<int> used;
    for (const preview::FaceTriangle& t : table) {
        for (int index : {t.a, t.b, t.c}) {
            QVERIFY(index >= 0 && index < preview::faceTrianglePointCount);
            used.insert(index);
        }
        QVERIFY(t.a != t.b && t.b != t.c && t.a != t.c);
    }
    // Every point of the layout carries part of the picture.
    QCOMPARE(int(used.size()), preview::faceTrianglePointCount);
    QCOMPARE(int(preview::meanFaceShape().size()), preview::faceTrianglePointCount);
}

void tst_FaceGeometry::tableIsOneConsistentSurface()
{
    // Same orientation everywhere: a directed edge appears once at most, and an inner edge is
    // walked once each way. The edges walked one way only form one closed outline.
    std::map<std::pair<int, int>, int> directed;
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        for (auto edge : {std::pair(t.a, t.b), std::pair(t.b, t.c), std::pair(t.c, t.a)}) {
            QVERIFY2(++directed[edge] == 1, qPrintable(QStringLiteral("edge %1-%2 twice").arg(edge.first).arg(edge.second)));
        }
    }
    std::map<int, int> outlineNext;
    for (const auto& [edge, count] : directed) {
        if (!directed.count({edge.second, edge.first})) {
            QVERIFY(!outlineNext.count(edge.first));
            outlineNext[edge.first] = edge.second;
        }
    }
    QVERIFY(!outlineNext.empty());
    int at = outlineNext.begin()->first;
    std::size_t steps = 0;
    do {
        at = outlineNext.at(at);
        ++steps;
    } while (at != outlineNext.begin()->first && steps <= outlineNext.size());
    QCOMPARE(steps, outlineNext.size());
    // Euler: a triangulated disc of V points with B on its outline has 2V - 2 - B triangles.
    QCOMPARE(int(preview::faceTriangles().size()), 2 * preview::faceTrianglePointCount - 2 - int(steps));
}

void tst_FaceGeometry::tableRunsClockwiseOnMeanFace()
{
    const auto& shape = preview::meanFaceShape();
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        QVERIFY2(signedArea(shape[t.a], shape[t.b], shape[t.c]) > 0,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(t.a).arg(t.b).arg(t.c)));
    }
}

void tst_FaceGeometry::tableCoversTheMeanFaceOutline()
{
    // The triangles tile the jaw and the forehead line: their areas add up to the polygon
    // through the outline points.
    const auto& shape = preview::meanFaceShape();
    const int outline[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                           69, 71, 74, 73, 72, 70, 68};
    double polygon = 0;
    const int n = int(std::size(outline));
    for (int i = 0; i < n; ++i) {
        const QPointF& p = shape[outline[i]];
        const QPointF& q = shape[outline[(i + 1) % n]];
        polygon += p.x() * q.y() - q.x() * p.y();
    }
    polygon = std::abs(polygon) / 2;
    double triangles = 0;
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        triangles += signedArea(shape[t.a], shape[t.b], shape[t.c]);
    }
    QVERIFY2(std::abs(triangles - polygon) < 1e-3 * polygon,
             qPrintable(QStringLiteral("triangles %1, outline %2").arg(triangles).arg(polygon)));
}

QTEST_GUILESS_MAIN(tst_FaceGeometry)
#include "tst_facegeometry.moc"
