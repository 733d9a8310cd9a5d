#include "preview/facetriangles.h"
#include "core/mirroring.h"

#include <QTransform>
#include <QtTest>

#include <cmath>

using core::FacialPointVector;
namespace mirror = core::mirror;

namespace {

// The mean face placed on a picture of size pictureSize, turned by degrees about its centre, in
// picture pixels.
FacialPointVector meanFaceInPixels(const QSizeF& pictureSize, double degrees)
{
    const QPointF centre(pictureSize.width() / 2, pictureSize.height() / 2);
    const double height = 0.6 * std::min(pictureSize.width(), pictureSize.height());
    QTransform place;
    place.translate(centre.x(), centre.y());
    place.rotate(degrees);
    place.scale(height, height);
    place.translate(-0.5, -0.5);
    FacialPointVector pixels;
    for (const QPointF& p : preview::meanFaceShape()) {
        pixels.push_back(place.map(p));
    }
    return pixels;
}

// A face that is exactly symmetric: each point averaged with its partner's reflection.
FacialPointVector symmetricFace(const QSizeF& pictureSize, double degrees)
{
    const FacialPointVector pixels = meanFaceInPixels(pictureSize, degrees);
    const mirror::Midline midline = *mirror::fitMidline(pixels);
    FacialPointVector symmetric(pixels.size());
    for (int i = 0; i < mirror::partnerCount; ++i) {
        const QPointF reflected = midline.reflectPoint(pixels[std::size_t(mirror::partner(i))]);
        symmetric[std::size_t(i)] = (pixels[std::size_t(i)] + reflected) / 2;
    }
    return symmetric;
}

double distance(const QPointF& a, const QPointF& b)
{
    return std::hypot(a.x() - b.x(), a.y() - b.y());
}

} // namespace

class tst_Mirroring : public QObject
{
    Q_OBJECT

private slots:
    void partnersArePairs();
    void partnersAreReflectionsOnTheMeanFace();
    void midlineOfATurnedFace_data();
    void midlineOfATurnedFace();
    void midlineNeedsSpread();
    void reflectingTwiceIsIdentity();
    void partnerFollowsAnEdit_data();
    void partnerFollowsAnEdit();
    void editMovingBothPartnersIsKept();
    void editOfAMidlinePointMovesNothingElse();
    void partnerIsClampedToThePicture();
    void mirrorSelectionOfASymmetricFaceChangesNothing();
    void mirrorSelectionMakesPartnersReflections();
    void mirrorSelectionTwiceIsTheSame();
    void wrongPointCountsAreLeftAlone();
};

void tst_Mirroring::partnersArePairs()
{
    int onMidline = 0;
    for (int i = 0; i < mirror::partnerCount; ++i) {
        const int other = mirror::partner(i);
        QVERIFY2(other >= 0 && other < mirror::partnerCount, qPrintable(QString::number(i)));
        QCOMPARE(mirror::partner(other), i);
        onMidline += other == i ? 1 : 0;
    }
    // Chin, four points of the nose's bridge, its tip, four in the middle of the lips and the
    // middle of the forehead.
    QCOMPARE(onMidline, 11);
    QCOMPARE(mirror::partner(-1), -1);
    QCOMPARE(mirror::partner(mirror::partnerCount), -1);
}

void tst_Mirroring::partnersAreReflectionsOnTheMeanFace()
{
    // On the mean face every point's reflection lands near its partner: the table pairs what
    // is really opposite, not merely what has the mirrored index.
    const QSizeF size(500, 500);
    const FacialPointVector pixels = meanFaceInPixels(size, 0.0);
    const mirror::Midline midline = *mirror::fitMidline(pixels);
    const double faceWidth = distance(pixels[0], pixels[16]);
    for (int i = 0; i < mirror::partnerCount; ++i) {
        const QPointF reflected = midline.reflectPoint(pixels[std::size_t(i)]);
        const double miss = distance(reflected, pixels[std::size_t(mirror::partner(i))]);
        QVERIFY2(miss < 0.05 * faceWidth,
                 qPrintable(QStringLiteral("point %1 reflects %2 px from its partner %3")
                                .arg(i).arg(miss).arg(mirror::partner(i))));
    }
}

void tst_Mirroring::midlineOfATurnedFace_data()
{
    QTest::addColumn<double>("degrees");
    QTest::newRow("upright") << 0.0;
    QTest::newRow("turned-20-clockwise") << 20.0;
    QTest::newRow("turned-35-anticlockwise") << -35.0;
    QTest::newRow("lying-on-its-side") << 90.0;
}

void tst_Mirroring::midlineOfATurnedFace()
{
    QFETCH(double, degrees);
    const std::optional<mirror::Midline> upright = mirror::fitMidline(symmetricFace(QSizeF(640, 480), 0.0));
    const std::optional<mirror::Midline> midline = mirror::fitMidline(symmetricFace(QSizeF(640, 480), degrees));
    QVERIFY(upright && midline);
    // The line turns with the face and runs through the same place on it (the picture's centre
    // is the centre of turning).
    const QTransform turn = QTransform().rotate(degrees);
    const QPointF expected = turn.map(upright->direction);
    const double along = std::abs(midline->direction.x() * expected.x() + midline->direction.y() * expected.y());
    const QPointF centre(320, 240);
    const QPointF origin = QTransform().translate(centre.x(), centre.y()).rotate(degrees).translate(-centre.x(), -centre.y()).map(upright->origin);
    QVERIFY(distance(origin, midline->origin) < 1e-9);
    QVERIFY2(along > 1.0 - 1e-9, qPrintable(QString::number(along, 'g', 17)));
    QVERIFY(qFuzzyCompare(std::hypot(midline->direction.x(), midline->direction.y()), 1.0));
}

void tst_Mirroring::midlineNeedsSpread()
{
    QVERIFY(!mirror::fitMidline(FacialPointVector(75, QPointF(3, 4))));
    QVERIFY(!mirror::fitMidline(FacialPointVector(68, QPointF(3, 4))));
}

void tst_Mirroring::reflectingTwiceIsIdentity()
{
    const mirror::Midline midline{QPointF(100, 80), QPointF(std::cos(1.1), std::sin(1.1))};
    for (const QPointF& p : {QPointF(0, 0), QPointF(123.25, -7.5), QPointF(640, 480)}) {
        const QPointF back = midline.reflectPoint(midline.reflectPoint(p));
        QVERIFY(distance(back, p) < 1e-9);
        // A point's reflection is as far from the line as the point itself, on the other side.
        const QPointF r = midline.reflectPoint(p);
        const QPointF normal(-midline.direction.y(), midline.direction.x());
        const auto side = [&](const QPointF& q) {
            const QPointF d = q - midline.origin;
            return d.x() * normal.x() + d.y() * normal.y();
        };
        QVERIFY(std::abs(side(r) + side(p)) < 1e-9);
    }
}

void tst_Mirroring::partnerFollowsAnEdit_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QPointF>("change");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<QSizeF>("size");
    QTest::newRow("outer-eye-corner-square-picture") << 36 << QPointF(4, -3) << 0.0 << QSizeF(512, 512);
    QTest::newRow("brow-on-a-turned-face") << 19 << QPointF(-6, 2.5) << 25.0 << QSizeF(512, 512);
    QTest::newRow("jaw-end-on-a-wide-picture") << 0 << QPointF(10, 0) << -10.0 << QSizeF(1280, 480);
    QTest::newRow("mouth-corner-on-a-tall-picture") << 54 << QPointF(0.5, 7) << 12.0 << QSizeF(360, 480);
    QTest::newRow("derived-forehead-point") << 72 << QPointF(-3, -3) << 5.0 << QSizeF(800, 600);
}

void tst_Mirroring::partnerFollowsAnEdit()
{
    QFETCH(int, index);
    QFETCH(QPointF, change);
    QFETCH(double, degrees);
    QFETCH(QSizeF, size);
    const FacialPointVector beforePixels = meanFaceInPixels(size, degrees);
    const FacialPointVector before = mirror::toFractions(beforePixels, size);
    FacialPointVector afterPixels = beforePixels;
    afterPixels[std::size_t(index)] += change;
    const FacialPointVector after = mirror::toFractions(afterPixels, size);

    const FacialPointVector result = mirror::mirrorEdit(before, after, size);
    const FacialPointVector resultPixels = mirror::toPixels(result, size);

    const mirror::Midline midline = *mirror::fitMidline(beforePixels);
    const int other = mirror::partner(index);
    const QPointF expected = beforePixels[std::size_t(other)] + midline.reflectVector(change);
    QVERIFY2(distance(resultPixels[std::size_t(other)], expected) < 1e-9,
             qPrintable(QStringLiteral("partner %1 is %2 px from the reflection")
                            .arg(other)
                            .arg(distance(resultPixels[std::size_t(other)], expected))));
    // The edited point is as the edit left it, and no third point moved.
    QCOMPARE(result[std::size_t(index)], after[std::size_t(index)]);
    for (int i = 0; i < mirror::partnerCount; ++i) {
        if (i != index && i != other) {
            QCOMPARE(result[std::size_t(i)], before[std::size_t(i)]);
        }
    }
    // The partner moved as far as the point did: a reflection keeps lengths.
    const double moved = distance(resultPixels[std::size_t(other)], beforePixels[std::size_t(other)]);
    QVERIFY(std::abs(moved - std::hypot(change.x(), change.y())) < 1e-9);
}

void tst_Mirroring::editMovingBothPartnersIsKept()
{
    // A group move of both eyes already moves each partner; nothing is added on top.
    const QSizeF size(512, 512);
    const FacialPointVector before = mirror::toFractions(meanFaceInPixels(size, 0.0), size);
    FacialPointVector after = before;
    after[36] += QPointF(0.01, 0.0);
    after[45] += QPointF(0.01, 0.0);
    QCOMPARE(mirror::mirrorEdit(before, after, size), after);
}

void tst_Mirroring::editOfAMidlinePointMovesNothingElse()
{
    const QSizeF size(512, 512);
    const FacialPointVector before = mirror::toFractions(meanFaceInPixels(size, 0.0), size);
    FacialPointVector after = before;
    after[8] += QPointF(0.02, 0.03);
    QCOMPARE(mirror::mirrorEdit(before, after, size), after);
}

void tst_Mirroring::partnerIsClampedToThePicture()
{
    // A face at the picture's left edge: its right jaw end pulled out pushes the left one out.
    const QSizeF size(512, 512);
    FacialPointVector pixels = meanFaceInPixels(size, 0.0);
    const double shift = pixels[0].x() - 1.0;
    for (QPointF& p : pixels) {
        p.rx() -= shift;
    }
    const FacialPointVector before = mirror::toFractions(pixels, size);
    FacialPointVector after = before;
    after[16] += QPointF(0.1, 0.0);
    const FacialPointVector result = mirror::mirrorEdit(before, after, size);
    QCOMPARE(result[0].x(), 0.0);
    QCOMPARE(result[16], after[16]);
}

void tst_Mirroring::mirrorSelectionOfASymmetricFaceChangesNothing()
{
    const QSizeF size(640, 480);
    const FacialPointVector symmetric = mirror::toFractions(symmetricFace(size, 15.0), size);
    std::vector<int> left;
    for (int i = 0; i < mirror::partnerCount; ++i) {
        if (mirror::partner(i) > i) {
            left.push_back(i);
        }
    }
    const FacialPointVector result = mirror::mirrorSelection(symmetric, left, size);
    for (int i = 0; i < mirror::partnerCount; ++i) {
        QVERIFY2(distance(mirror::toPixels(result, size)[std::size_t(i)],
                          mirror::toPixels(symmetric, size)[std::size_t(i)]) < 1e-9,
                 qPrintable(QString::number(i)));
    }
}

void tst_Mirroring::mirrorSelectionMakesPartnersReflections()
{
    const QSizeF size(640, 480);
    const FacialPointVector pixels = meanFaceInPixels(size, -8.0);
    const FacialPointVector points = mirror::toFractions(pixels, size);
    const std::vector<int> rightBrow{22, 23, 24, 25, 26};
    const FacialPointVector result = mirror::mirrorSelection(points, rightBrow, size);
    const mirror::Midline midline = *mirror::fitMidline(pixels);
    const FacialPointVector resultPixels = mirror::toPixels(result, size);
    for (int i : rightBrow) {
        const int other = mirror::partner(i);
        QVERIFY(distance(resultPixels[std::size_t(other)],
                         midline.reflectPoint(pixels[std::size_t(i)])) < 1e-9);
        QCOMPARE(result[std::size_t(i)], points[std::size_t(i)]);
    }
    // Nothing but the left brow changed.
    for (int i = 0; i < mirror::partnerCount; ++i) {
        if (i < 17 || i > 21) {
            QCOMPARE(result[std::size_t(i)], points[std::size_t(i)]);
        }
    }
}

void tst_Mirroring::mirrorSelectionTwiceIsTheSame()
{
    // The midline is fitted through points the mirroring never moves, so a second pass finds
    // the same line and leaves the result as it is.
    const QSizeF size(640, 480);
    const FacialPointVector points = mirror::toFractions(meanFaceInPixels(size, 30.0), size);
    const std::vector<int> selection{36, 37, 38, 39, 40, 41, 0, 1, 2, 68};
    const FacialPointVector once = mirror::mirrorSelection(points, selection, size);
    const FacialPointVector twice = mirror::mirrorSelection(once, selection, size);
    for (int i = 0; i < mirror::partnerCount; ++i) {
        QVERIFY(distance(mirror::toPixels(once, size)[std::size_t(i)],
                         mirror::toPixels(twice, size)[std::size_t(i)]) < 1e-9);
    }
}

void tst_Mirroring::wrongPointCountsAreLeftAlone()
{
    const FacialPointVector few(68, QPointF(0.5, 0.5));
    FacialPointVector moved = few;
    moved[36] = QPointF(0.25, 0.25);
    QCOMPARE(mirror::mirrorEdit(few, moved, QSizeF(100, 100)), moved);
    QCOMPARE(mirror::mirrorSelection(few, {36}, QSizeF(100, 100)), few);
    const FacialPointVector face = mirror::toFractions(meanFaceInPixels(QSizeF(100, 100), 0), QSizeF(100, 100));
    QCOMPARE(mirror::mirrorSelection(face, {36}, QSizeF(0, 100)), face);
}

QTEST_GUILESS_MAIN(tst_Mirroring)
#include "tst_mirroring.moc"
