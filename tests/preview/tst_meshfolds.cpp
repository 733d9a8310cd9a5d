#include "preview/facegeometry.h"
#include "preview/facetriangles.h"
#include "preview/meshfolds.h"

#include <QTransform>
#include <QtTest>

#include <cmath>
#include <limits>
#include <set>
#include <tuple>

using core::FacialPointVector;

namespace {

using Corners = std::tuple<int, int, int>;

FacialPointVector meanFace(double scale, double degrees, QPointF shift = QPointF(0, 0))
{
    QTransform place;
    place.translate(shift.x(), shift.y());
    place.rotate(degrees);
    place.scale(scale, scale);
    FacialPointVector shape;
    for (const QPointF& p : preview::meanFaceShape()) {
        shape.push_back(place.map(p));
    }
    return shape;
}

std::set<Corners> cornersOf(const std::vector<preview::FaceTriangle>& triangles)
{
    std::set<Corners> set;
    for (const preview::FaceTriangle& t : triangles) {
        set.insert({t.a, t.b, t.c});
    }
    return set;
}

// The triangles of the table that have one of indices as a corner, worked out afresh.
std::set<Corners> trianglesTouching(std::initializer_list<int> indices)
{
    std::set<Corners> set;
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        for (int i : indices) {
            if (t.a == i || t.b == i || t.c == i) {
                set.insert({t.a, t.b, t.c});
            }
        }
    }
    return set;
}

} // namespace

class tst_MeshFolds : public QObject
{
    Q_OBJECT

private slots:
    void uprightFacesHaveNoFolds_data();
    void uprightFacesHaveNoFolds();
    void swappedPointsFoldTheirTriangles_data();
    void swappedPointsFoldTheirTriangles();
    void collapsedTriangleIsFolded();
    void notANumberFolds();
    void mirroredFaceFoldsEverything();
    void tooFewPointsGiveNothing();
};

void tst_MeshFolds::uprightFacesHaveNoFolds_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("degrees");
    QTest::newRow("small-face") << 120.0 << 0.0;
    QTest::newRow("photo-face") << 300.0 << 0.0;
    QTest::newRow("turned-face") << 300.0 << 40.0;
    QTest::newRow("upside-down-face") << 300.0 << 180.0;
    QTest::newRow("huge-face") << 9000.0 << -15.0;
}

void tst_MeshFolds::uprightFacesHaveNoFolds()
{
    QFETCH(double, scale);
    QFETCH(double, degrees);
    // Turning keeps the orientation: only an edit that turns a triangle over folds it.
    QVERIFY(preview::foldedTriangles(meanFace(scale, degrees, QPointF(500, 500))).empty());
}

void tst_MeshFolds::swappedPointsFoldTheirTriangles_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<bool>("allOfThem");
    // Points at the face's outline turn over every triangle they are corners of; points inside
    // it leave some of theirs upright (a triangle with both of them as corners, say).
    QTest::newRow("jaw-ends") << 0 << 16 << true;
    QTest::newRow("above-the-jaw-ends") << 68 << 69 << true;
    QTest::newRow("outer-eye-corners") << 36 << 45 << false;
    QTest::newRow("mouth-corners") << 48 << 54 << false;
}

void tst_MeshFolds::swappedPointsFoldTheirTriangles()
{
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(bool, allOfThem);
    FacialPointVector shape = meanFace(400.0, 0.0);
    std::swap(shape[std::size_t(first)], shape[std::size_t(second)]);
    const std::set<Corners> folded = cornersOf(preview::foldedTriangles(shape));
    const std::set<Corners> touching = trianglesTouching({first, second});
    // Only triangles with a swapped corner fold.
    QVERIFY(!folded.empty());
    for (const Corners& c : folded) {
        QVERIFY(touching.count(c) == 1);
    }
    if (allOfThem) {
        QCOMPARE(folded, touching);
    } else {
        QVERIFY(folded.size() < touching.size());
    }
}

void tst_MeshFolds::collapsedTriangleIsFolded()
{
    FacialPointVector shape = meanFace(400.0, 0.0);
    const preview::FaceTriangle t = preview::faceTriangles().front();
    // Move one corner onto the middle of the opposite side: no area left, nothing turned over.
    shape[std::size_t(t.a)] = (shape[std::size_t(t.b)] + shape[std::size_t(t.c)]) / 2;
    const std::set<Corners> folded = cornersOf(preview::foldedTriangles(shape));
    QVERIFY(folded.count({t.a, t.b, t.c}) == 1);
    QVERIFY(preview::geometry::signedArea(shape[std::size_t(t.a)], shape[std::size_t(t.b)],
                                          shape[std::size_t(t.c)])
            <= preview::collapsedTriangleArea(shape));
}

void tst_MeshFolds::notANumberFolds()
{
    FacialPointVector shape = meanFace(400.0, 0.0);
    shape[30] = QPointF(std::numeric_limits<double>::quiet_NaN(), 10);
    const std::set<Corners> folded = cornersOf(preview::foldedTriangles(shape));
    for (const Corners& c : trianglesTouching({30})) {
        QVERIFY(folded.count(c) == 1);
    }
}

void tst_MeshFolds::mirroredFaceFoldsEverything()
{
    // A face flipped left to right runs anticlockwise everywhere.
    FacialPointVector shape = meanFace(400.0, 0.0);
    for (QPointF& p : shape) {
        p.setX(-p.x());
    }
    QCOMPARE(preview::foldedTriangles(shape).size(), preview::faceTriangles().size());
}

void tst_MeshFolds::tooFewPointsGiveNothing()
{
    FacialPointVector shape = meanFace(400.0, 0.0);
    shape.resize(68);
    QVERIFY(preview::foldedTriangles(shape).empty());
}

QTEST_GUILESS_MAIN(tst_MeshFolds)
#include "tst_meshfolds.moc"
