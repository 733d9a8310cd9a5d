// The mean face and the template made from it for a picture of any shape.
#include "core/meanface.h"

#include <QtTest>

#include <algorithm>

namespace {

struct Extent {
    double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
    double width() const { return right - left; }
    double height() const { return bottom - top; }
};

// In pixels of a picture of size (fractions times the size).
Extent extentOf(const core::FacialPointVector& points, QSizeF size)
{
    Extent e;
    for (const FacialPoint& p : points) {
        e.left = std::min(e.left, p.x() * size.width());
        e.right = std::max(e.right, p.x() * size.width());
        e.top = std::min(e.top, p.y() * size.height());
        e.bottom = std::max(e.bottom, p.y() * size.height());
    }
    return e;
}

} // namespace

class tst_MeanFace : public QObject
{
    Q_OBJECT

private slots:
    void meanFaceFillsTheUnitSquareUpright();
    void templateIsCentredSquareAndSixtyPercentHigh_data();
    void templateIsCentredSquareAndSixtyPercentHigh();
    void emptyPictureHasNoTemplate_data();
    void emptyPictureHasNoTemplate();
};

void tst_MeanFace::meanFaceFillsTheUnitSquareUpright()
{
    const core::FacialPointVector& shape = core::meanFaceShape();
    QCOMPARE(int(shape.size()), 75);
    const Extent e = extentOf(shape, QSizeF(1, 1));
    QVERIFY(e.left >= 0 && e.top >= 0 && e.right <= 1 && e.bottom <= 1);
    QCOMPARE(std::max(e.width(), e.height()), 1.0);
    // Chin (8) below the nose tip (30) below the eyes (36, 45), which are level.
    QVERIFY(shape[8].y() > shape[30].y() && shape[30].y() > shape[36].y());
    QVERIFY(std::abs(shape[36].y() - shape[45].y()) < 0.01);
    QVERIFY(shape[36].x() < shape[45].x());
}

void tst_MeanFace::templateIsCentredSquareAndSixtyPercentHigh_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::newRow("square") << QSize(512, 512);
    QTest::newRow("portrait") << QSize(360, 480);
    QTest::newRow("wide") << QSize(4000, 300);
    QTest::newRow("tall") << QSize(300, 4000);
    QTest::newRow("one-pixel") << QSize(1, 1);
    QTest::newRow("one-row") << QSize(5000, 1);
    QTest::newRow("huge") << QSize(12000, 10000);
}

void tst_MeanFace::templateIsCentredSquareAndSixtyPercentHigh()
{
    QFETCH(QSize, picture);
    const core::FacialPointVector points = core::templateFace(picture);
    QCOMPARE(int(points.size()), 75);
    for (const FacialPoint& p : points) {
        QVERIFY2(p.x() > 0 && p.x() < 1 && p.y() > 0 && p.y() < 1,
                 qPrintable(QStringLiteral("%1, %2").arg(p.x()).arg(p.y())));
    }
    const Extent e = extentOf(points, QSizeF(picture));
    const double smaller = std::min(picture.width(), picture.height());
    QVERIFY(qFuzzyCompare(e.height(), core::templateFaceHeight * smaller));
    QVERIFY(std::abs((e.left + e.right) / 2 - picture.width() / 2.0) < 1e-9 * picture.width() + 1e-12);
    QVERIFY(std::abs((e.top + e.bottom) / 2 - picture.height() / 2.0) < 1e-9 * picture.height() + 1e-12);
    // Square pixels: the proportions of the mean face, whatever the picture's.
    const Extent mean = extentOf(core::meanFaceShape(), QSizeF(1, 1));
    const double ratio = e.width() / e.height();
    const double meanRatio = mean.width() / mean.height();
    QVERIFY2(std::abs(ratio - meanRatio) < 1e-9 * meanRatio,
             qPrintable(QStringLiteral("%1 vs %2").arg(ratio, 0, 'g', 17).arg(meanRatio, 0, 'g', 17)));
}

void tst_MeanFace::emptyPictureHasNoTemplate_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::newRow("null") << QSize();
    QTest::newRow("no-width") << QSize(0, 10);
    QTest::newRow("negative") << QSize(-5, 10);
}

void tst_MeanFace::emptyPictureHasNoTemplate()
{
    QFETCH(QSize, picture);
    QVERIFY(core::templateFace(picture).empty());
}

QTEST_APPLESS_MAIN(tst_MeanFace)
#include "tst_meanface.moc"
