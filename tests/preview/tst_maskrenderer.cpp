#include "core/facemaskproject.h"
#include "core/mirroring.h"
#include "preview/facetriangles.h"
#include "preview/facegeometry.h"
#include "preview/maskrenderer.h"
#include "tests/support/testimages.h"

#include <QPainter>
#include <QtTest>

#include <cmath>
#include <future>
#include <limits>

using core::FacialPointVector;

namespace {

const QRgb blue = qRgb(0, 0, 255);
const QRgb red = qRgb(255, 0, 0);

// Red grows to the right and green downwards, one step per pixel index.
QImage gradient(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = qRgb(x * 255 / (width - 1), y * 255 / (height - 1), 100);
        }
    }
    return image;
}

// The colour gradient(width, height) has at a position between pixel centres.
QRgb gradientAt(int width, int height, QPointF position)
{
    const double r = std::clamp(position.x() - 0.5, 0.0, width - 1.0) * 255 / (width - 1);
    const double g = std::clamp(position.y() - 0.5, 0.0, height - 1.0) * 255 / (height - 1);
    return qRgb(int(std::lround(r)), int(std::lround(g)), 100);
}

QImage checkerboard(int width, int height, int square)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = ((x / square + y / square) % 2) ? qRgb(230, 200, 40) : qRgb(20, 60, 120);
        }
    }
    return image;
}

// The mean face fitted into box (pixels), as fractions of a picture of the given size.
FacialPointVector faceIn(const QRectF& box, QSize picture)
{
    FacialPointVector points;
    for (const QPointF& p : preview::meanFaceShape()) {
        points.emplace_back((box.left() + p.x() * box.width()) / picture.width(),
                            (box.top() + p.y() * box.height()) / picture.height());
    }
    return points;
}

preview::MaskRenderer rendererFor(const QImage& picture, const FacialPointVector& points, int type)
{
    preview::MaskRenderer renderer;
    renderer.setPicture(picture);
    renderer.setPoints(points);
    renderer.setEffectType(type);
    return renderer;
}

int channelDifference(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

QString colourText(QRgb c)
{
    return QStringLiteral("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

double meanAbsoluteDifference(const QImage& a, const QImage& b, const QRect& area)
{
    double sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qGray(p) - qGray(q));
        }
    }
    return sum / (double(area.width()) * area.height());
}

QPoint centroidPixel(const FacialPointVector& fractions, QSize picture, const preview::FaceTriangle& t)
{
    const QPointF c = (fractions[t.a] + fractions[t.b] + fractions[t.c]) / 3;
    return QPoint(int(c.x() * picture.width()), int(c.y() * picture.height()));
}

QPointF pixelsOf(const FacialPointVector& fractions, QSize picture, int index)
{
    return QPointF(fractions[index].x() * picture.width(), fractions[index].y() * picture.height());
}

double areaIn(const FacialPointVector& fractions, QSize picture, const preview::FaceTriangle& t)
{
    return preview::geometry::signedArea(pixelsOf(fractions, picture, t.a), pixelsOf(fractions, picture, t.b),
                                         pixelsOf(fractions, picture, t.c));
}

// The outline of the 75-point layout: the jaw, then the derived points along the forehead.
const int outline[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 69, 71, 74, 73, 72, 70, 68};

// How far p lies from the face's outline (pixels of a picture of the given size).
double distanceFromOutline(const FacialPointVector& fractions, QSize picture, QPointF p)
{
    double nearest = std::numeric_limits<double>::max();
    const int count = int(std::size(outline));
    for (int i = 0; i < count; ++i) {
        const QPointF a = pixelsOf(fractions, picture, outline[i]);
        const QPointF b = pixelsOf(fractions, picture, outline[(i + 1) % count]);
        const QPointF ab = b - a;
        const double length = QPointF::dotProduct(ab, ab);
        const double t = length > 0 ? std::clamp(QPointF::dotProduct(p - a, ab) / length, 0.0, 1.0) : 0.0;
        const QPointF d = p - (a + t * ab);
        nearest = std::min(nearest, std::hypot(d.x(), d.y()));
    }
    return nearest;
}

} // namespace

class tst_MaskRenderer : public QObject
{
    Q_OBJECT

private slots:
    void identityReproducesTheFrame_data();
    void identityReproducesTheFrame();
    void faceOnlyLeavesTheRestOfTheFrame();
    void effectTypesPlaceTheRestOfTheMask_data();
    void effectTypesPlaceTheRestOfTheMask();
    void maskIsCutByTheFrameEdgeNotFaded();
    void outlineIsFeathered();
    void foldedTrianglesAreSkipped_data();
    void foldedTrianglesAreSkipped();
    void faceCutByTheEdgeTakesTheOtherSide_data();
    void faceCutByTheEdgeTakesTheOtherSide();
    void incompleteInputLeavesTheFrame_data();
    void incompleteInputLeavesTheFrame();
    void nullFrameGivesNullImage();
    void transparentPartsShowOverBlack_data();
    void transparentPartsShowOverBlack();
    void largeMaskMatchesSmallOne();
    void copiesAndThreadsRenderAlike();
    void maskReadInPlaceMatchesItsCopy_data();
    void maskReadInPlaceMatchesItsCopy();
    void everyFaceGetsTheMask_data();
    void everyFaceGetsTheMask();
};

void tst_MaskRenderer::identityReproducesTheFrame_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRectF>("box");
    QTest::newRow("small-face") << QSize(320, 240) << QRectF(100, 60, 90, 110);
    QTest::newRow("odd-size-picture") << QSize(333, 251) << QRectF(40.5, 20.25, 200, 220);
    QTest::newRow("face-over-the-edge") << QSize(300, 200) << QRectF(180, -40, 160, 200);
}

void tst_MaskRenderer::identityReproducesTheFrame()
{
    QFETCH(QSize, size);
    QFETCH(QRectF, box);
    const QImage picture = gradient(size.width(), size.height());
    const FacialPointVector points = faceIn(box, size);
    preview::RenderReport report;
    const QImage out = rendererFor(picture, points, core::FaceOnly).render(picture, points, &report);
    QCOMPARE(out.size(), size);
    QVERIFY(report.drawnTriangles > 100);
    // Every pixel is either untouched or the same pixel sampled back, blended with itself.
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int difference = channelDifference(out.pixel(x, y), picture.pixel(x, y));
            QVERIFY2(difference <= 1, qPrintable(QStringLiteral("at %1,%2: %3 against %4").arg(x).arg(y)
                                                     .arg(colourText(out.pixel(x, y)), colourText(picture.pixel(x, y)))));
        }
    }
}

void tst_MaskRenderer::faceOnlyLeavesTheRestOfTheFrame()
{
    const QSize frameSize(640, 480);
    const FacialPointVector face = faceIn(QRectF(200, 100, 240, 260), frameSize);
    const preview::MaskRenderer renderer =
        rendererFor(testimages::filled(300, 300, red), faceIn(QRectF(50, 40, 200, 220), QSize(300, 300)),
                    core::FaceOnly);
    preview::RenderReport report;
    const QImage out = renderer.render(testimages::filled(640, 480, blue), face, &report);
    QVERIFY(!report.faceRegion.isEmpty());
    QVERIFY(QRect(QPoint(0, 0), frameSize).contains(report.faceRegion));
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            if (!report.faceRegion.contains(x, y)) {
                QCOMPARE(out.pixel(x, y), blue);
            }
        }
    }
    // The nose sits far inside the outline: mask colour only.
    const QPoint nose(int(face[30].x() * 640), int(face[29].y() * 480));
    QCOMPARE(out.pixel(nose), red);
}

void tst_MaskRenderer::effectTypesPlaceTheRestOfTheMask_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QPoint>("probe");
    // Mask: 400 x 300 gradient, its face in the box (150, 100) 100 x 100. Frame: 640 x 480 blue,
    // the face in the box (320, 240) 200 x 200; so "Whole image" maps mask p to 2 (p - (150, 100))
    // + (320, 240) and "Full frame effect" stretches by 640 / 400 and 480 / 300.
    const QList<QPoint> probes{{100, 300}, {600, 60}, {620, 460}, {20, 20}, {5, 470}};
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        for (const QPoint& p : probes) {
            QTest::addRow("type-%d-at-%d-%d", type, p.x(), p.y()) << type << p;
        }
    }
}

void tst_MaskRenderer::effectTypesPlaceTheRestOfTheMask()
{
    QFETCH(int, type);
    QFETCH(QPoint, probe);
    const QSize maskSize(400, 300);
    const QSize frameSize(640, 480);
    const preview::MaskRenderer renderer =
        rendererFor(gradient(400, 300), faceIn(QRectF(150, 100, 100, 100), maskSize), type);
    const QImage out = renderer.render(testimages::filled(640, 480, blue),
                                       faceIn(QRectF(320, 240, 200, 200), frameSize));
    const QPointF centre = QPointF(probe) + QPointF(0.5, 0.5);
    QRgb expected = blue;
    if (type == core::WholeImage) {
        const QPointF inMask = (centre - QPointF(320, 240)) / 2 + QPointF(150, 100);
        if (QRectF(QPointF(0, 0), QSizeF(maskSize)).contains(inMask)) {
            expected = gradientAt(400, 300, inMask);
        }
    } else if (type == core::FullFrame) {
        expected = gradientAt(400, 300, QPointF(centre.x() * 400 / 640, centre.y() * 300 / 480));
    }
    const QRgb seen = out.pixel(probe);
    QVERIFY2(channelDifference(seen, expected) <= 3,
             qPrintable(QStringLiteral("%1 where %2 was expected").arg(colourText(seen), colourText(expected))));
}

// A face cut by the frame's edge goes on beyond it: the mask is cut by the edge as the face is,
// at full strength there, and fades in only along the face's own outline.
void tst_MaskRenderer::maskIsCutByTheFrameEdgeNotFaded()
{
    const QSize frameSize(640, 480);
    // The face's box starts 80 px left of the frame.
    const FacialPointVector face = faceIn(QRectF(-80, 100, 240, 260), frameSize);
    const preview::MaskRenderer renderer =
        rendererFor(testimages::filled(300, 300, red), faceIn(QRectF(50, 40, 200, 220), QSize(300, 300)),
                    core::FaceOnly);
    const QImage out = renderer.render(testimages::filled(640, 480, blue), face);
    const int row = int(face[30].y() * frameSize.height());
    QCOMPARE(out.pixel(0, row), red);
    QCOMPARE(out.pixel(1, row), red);
}

void tst_MaskRenderer::outlineIsFeathered()
{
    // Along a row through the cheeks, the mask fades in over the feather width: no step from
    // frame to mask colour, and the mask colour reached inside.
    const QSize frameSize(640, 480);
    const FacialPointVector face = faceIn(QRectF(200, 100, 240, 260), frameSize);
    const preview::MaskRenderer renderer =
        rendererFor(testimages::filled(300, 300, red), faceIn(QRectF(50, 40, 200, 220), QSize(300, 300)),
                    core::FaceOnly);
    preview::RenderReport report;
    const QImage out = renderer.render(testimages::filled(640, 480, blue), face, &report);
    QVERIFY(report.featherWidth >= 2);
    const int row = int(face[30].y() * frameSize.height());
    int previous = 0;
    int largestStep = 0;
    int intermediate = 0;
    for (int x = 0; x < frameSize.width() / 2; ++x) {
        const int r = qRed(out.pixel(x, row));
        largestStep = std::max(largestStep, r - previous);
        intermediate += (r > 0 && r < 255) ? 1 : 0;
        previous = r;
    }
    QCOMPARE(previous, 255);
    QVERIFY2(intermediate >= report.featherWidth - 1, qPrintable(QString::number(intermediate)));
    QVERIFY2(largestStep <= 255 / 2 + 1, qPrintable(QString::number(largestStep)));
}

void tst_MaskRenderer::foldedTrianglesAreSkipped_data()
{
    QTest::addColumn<QVector<int>>("movedIndexes");
    QTest::addColumn<QVector<QPointF>>("movedTo"); // pixels of the 300 x 300 mask
    QTest::addColumn<bool>("onFace");              // move the frame's face points instead
    const QRectF maskBox(50, 40, 200, 220);
    auto at = [&](int index) {
        const QPointF p = preview::meanFaceShape()[index];
        return QPointF(maskBox.left() + p.x() * maskBox.width(), maskBox.top() + p.y() * maskBox.height());
    };
    QTest::newRow("nose-tip-dragged-above-the-eyes") << QVector<int>{30} << QVector<QPointF>{at(27) - QPointF(0, 30)} << false;
    QTest::newRow("eye-corners-swapped") << QVector<int>{36, 39} << QVector<QPointF>{at(39), at(36)} << false;
    QTest::newRow("chin-dragged-onto-the-mouth") << QVector<int>{8} << QVector<QPointF>{at(51)} << false;
    QTest::newRow("mouth-corner-on-the-other") << QVector<int>{48} << QVector<QPointF>{at(54)} << false;
    QTest::newRow("chin-folded-on-the-face") << QVector<int>{8} << QVector<QPointF>{at(29)} << true;
}

void tst_MaskRenderer::foldedTrianglesAreSkipped()
{
    QFETCH(QVector<int>, movedIndexes);
    QFETCH(QVector<QPointF>, movedTo);
    QFETCH(bool, onFace);
    const QSize maskSize(300, 300);
    const QSize frameSize(300, 300);
    const FacialPointVector straight = faceIn(QRectF(50, 40, 200, 220), maskSize);
    FacialPointVector folded = straight;
    for (int i = 0; i < movedIndexes.size(); ++i) {
        folded[movedIndexes[i]] = QPointF(movedTo[i].x() / 300, movedTo[i].y() / 300);
    }
    const FacialPointVector& maskPoints = onFace ? straight : folded;
    const FacialPointVector& facePoints = onFace ? folded : straight;

    preview::RenderReport report;
    const QImage out = rendererFor(testimages::filled(300, 300, red), maskPoints, core::FaceOnly)
                           .render(testimages::filled(300, 300, blue), facePoints, &report);
    const int tableSize = int(preview::faceTriangles().size());
    QCOMPARE(report.drawnTriangles + report.skippedTriangles, tableSize);

    int expectedSkipped = 0;
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        const bool maskUpright = areaIn(maskPoints, maskSize, t) > 0.5;
        const bool faceUpright = areaIn(facePoints, frameSize, t) > 0.5;
        if (!maskUpright || !faceUpright) {
            ++expectedSkipped;
        }
        // A triangle upright on the face but folded in the mask shows the frame, not a mirrored
        // piece of the mask.
        if (!maskUpright && faceUpright) {
            const QPoint c = centroidPixel(facePoints, frameSize, t);
            QVERIFY2(out.pixel(c) == blue, qPrintable(QStringLiteral("triangle %1 %2 %3 drawn: %4")
                                                          .arg(t.a).arg(t.b).arg(t.c).arg(colourText(out.pixel(c)))));
        }
    }
    QVERIFY(expectedSkipped > 0);
    QCOMPARE(report.skippedTriangles, expectedSkipped);
    if (onFace) {
        // The folded face triangles are left out of the face entirely: nothing red lands on
        // frame pixels outside every upright face triangle.
        QImage upright(frameSize, QImage::Format_ARGB32_Premultiplied);
        upright.fill(Qt::transparent);
        QPainter painter(&upright);
        painter.setPen(QPen(Qt::black, 3));
        painter.setBrush(Qt::black);
        for (const preview::FaceTriangle& t : preview::faceTriangles()) {
            if (areaIn(facePoints, frameSize, t) > 0.5) {
                const QPointF corners[3] = {pixelsOf(facePoints, frameSize, t.a),
                                            pixelsOf(facePoints, frameSize, t.b),
                                            pixelsOf(facePoints, frameSize, t.c)};
                painter.drawPolygon(corners, 3);
            }
        }
        painter.end();
        for (int y = 0; y < 300; ++y) {
            for (int x = 0; x < 300; ++x) {
                if (qAlpha(upright.pixel(x, y)) == 0) {
                    QCOMPARE(out.pixel(x, y), blue);
                }
            }
        }
    }
}

void tst_MaskRenderer::faceCutByTheEdgeTakesTheOtherSide_data()
{
    QTest::addColumn<QRectF>("maskBox"); // the mean face's box in the 300 x 300 mask, partly outside
    QTest::addColumn<bool>("mirrors");   // whether any triangle has a whole partner to take
    // Right: the right jaw (13 to 16 and 69) lies beyond the edge; the nearest point kept inside,
    // 12, is at x 293, so only the triangles of clamped points could reach the last columns.
    QTest::newRow("cut-at-the-right") << QRectF(70, 40, 270, 220) << true;
    QTest::newRow("cut-at-the-left") << QRectF(-40, 40, 270, 220) << true;
    // The chin (7 to 9) is cut; the chin is its own partner, so what it spans has nothing to be
    // taken from. The lowest point kept inside, 6, is at y 290.
    QTest::newRow("cut-at-the-chin") << QRectF(40, 90, 220, 215) << false;
}

void tst_MaskRenderer::faceCutByTheEdgeTakesTheOtherSide()
{
    QFETCH(QRectF, maskBox);
    QFETCH(bool, mirrors);
    // The mask is a gradient (blue 100) with a four-pixel band along its border standing for
    // the background beyond the face (blue 0); its points are clamped to the picture, as
    // detection clamps those of a face cut by the edge.
    const QSize maskSize(300, 300);
    QImage mask = gradient(300, 300);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 300; ++x) {
            if (x < 4 || y < 4 || x >= 296 || y >= 296) {
                mask.setPixel(x, y, qRgb(qRed(mask.pixel(x, y)), qGreen(mask.pixel(x, y)), 0));
            }
        }
    }
    FacialPointVector maskPoints = faceIn(maskBox, maskSize);
    std::vector<bool> clamped;
    for (QPointF& p : maskPoints) {
        const QPointF inside(std::clamp(p.x(), 0.0, 1.0), std::clamp(p.y(), 0.0, 1.0));
        clamped.push_back(inside != p);
        p = inside;
    }
    const QSize frameSize(400, 400);
    const FacialPointVector face = faceIn(QRectF(60, 50, 280, 300), frameSize);
    preview::RenderReport report;
    const QImage out = rendererFor(mask, maskPoints, core::FaceOnly).render(testimages::filled(400, 400, blue), face, &report);

    // Nothing of the border band reaches the face.
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            QVERIFY2(qBlue(out.pixel(x, y)) >= 99,
                     qPrintable(QStringLiteral("at %1,%2: %3").arg(x).arg(y).arg(colourText(out.pixel(x, y)))));
        }
    }
    // A triangle spanning a clamped point shows its partner's mirror image, or else the frame.
    int expectedMirrored = 0;
    int expectedSkipped = 0;
    for (const preview::FaceTriangle& t : preview::faceTriangles()) {
        if (!clamped[std::size_t(t.a)] && !clamped[std::size_t(t.b)] && !clamped[std::size_t(t.c)]) {
            continue;
        }
        const preview::FaceTriangle partner{core::mirror::partner(t.a), core::mirror::partner(t.b),
                                            core::mirror::partner(t.c)};
        const bool whole = !clamped[std::size_t(partner.a)] && !clamped[std::size_t(partner.b)]
                           && !clamped[std::size_t(partner.c)];
        (whole ? expectedMirrored : expectedSkipped) += 1;
        const QPoint c = centroidPixel(face, frameSize, t);
        if (distanceFromOutline(face, frameSize, QPointF(c) + QPointF(0.5, 0.5)) < report.featherWidth + 2) {
            continue; // the feather blends the frame in there
        }
        // The centroid of a triangle maps onto the centroid of the triangle it is drawn from.
        const QRgb expected = whole ? gradientAt(300, 300, QPointF(centroidPixel(maskPoints, maskSize, partner)))
                                    : blue;
        const int tolerance = whole ? 4 : 0;
        QVERIFY2(channelDifference(out.pixel(c), expected) <= tolerance,
                 qPrintable(QStringLiteral("triangle %1 %2 %3: %4 where %5 was expected").arg(t.a).arg(t.b).arg(t.c)
                                .arg(colourText(out.pixel(c)), colourText(expected))));
    }
    QCOMPARE(expectedMirrored > 0, mirrors);
    QVERIFY(expectedMirrored + expectedSkipped > 0);
    QCOMPARE(report.mirroredTriangles, expectedMirrored);
    QCOMPARE(report.skippedTriangles, expectedSkipped);
    QCOMPARE(report.drawnTriangles, int(preview::faceTriangles().size()) - expectedSkipped);
}

void tst_MaskRenderer::incompleteInputLeavesTheFrame_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<FacialPointVector>("maskPoints");
    QTest::addColumn<FacialPointVector>("facePoints");
    const QImage mask = testimages::filled(200, 200, red);
    const FacialPointVector face = faceIn(QRectF(40, 40, 120, 120), QSize(200, 200));
    FacialPointVector short74 = face;
    short74.pop_back();
    FacialPointVector withNaN = face;
    withNaN[12].setX(std::numeric_limits<double>::quiet_NaN());
    FacialPointVector withInfinity = face;
    withInfinity[3].setY(std::numeric_limits<double>::infinity());
    const FacialPointVector collapsed(75, QPointF(0.5, 0.5));
    QTest::newRow("no-mask-picture") << QImage() << face << face;
    QTest::newRow("mask-with-74-points") << mask << short74 << face;
    QTest::newRow("face-with-74-points") << mask << face << short74;
    QTest::newRow("face-without-points") << mask << face << FacialPointVector();
    QTest::newRow("mask-point-not-a-number") << mask << withNaN << face;
    QTest::newRow("face-point-infinite") << mask << face << withInfinity;
    QTest::newRow("mask-collapsed-to-a-point") << mask << collapsed << face;
    QTest::newRow("face-collapsed-to-a-point") << mask << face << collapsed;
}

void tst_MaskRenderer::incompleteInputLeavesTheFrame()
{
    QFETCH(QImage, picture);
    QFETCH(FacialPointVector, maskPoints);
    QFETCH(FacialPointVector, facePoints);
    const QImage frame = testimages::filled(200, 200, blue, QImage::Format_ARGB32);
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        preview::RenderReport report;
        const QImage out = rendererFor(picture, maskPoints, type).render(frame, facePoints, &report);
        QCOMPARE(out.format(), QImage::Format_RGB32);
        QCOMPARE(out, frame.convertToFormat(QImage::Format_RGB32));
        QCOMPARE(report.drawnTriangles, 0);
        QVERIFY(report.faceRegion.isEmpty());
    }
}

void tst_MaskRenderer::nullFrameGivesNullImage()
{
    const FacialPointVector face = faceIn(QRectF(40, 40, 120, 120), QSize(200, 200));
    preview::RenderReport report;
    report.drawnTriangles = 7;
    QVERIFY(rendererFor(testimages::filled(200, 200, red), face, core::FaceOnly).render(QImage(), face, &report).isNull());
    QCOMPARE(report.drawnTriangles, 0);
}

void tst_MaskRenderer::transparentPartsShowOverBlack_data()
{
    QTest::addColumn<bool>("withMask");
    QTest::addColumn<bool>("everyFace");
    QTest::addColumn<QRgb>("pixel"); // of the frame's corner, far from the face
    QTest::addColumn<QRgb>("shown");
    for (const bool withMask : {false, true}) {
        for (const bool everyFace : {false, true}) {
            const QByteArray row = QByteArray(withMask ? "mask" : "no-mask") + (everyFace ? "-every-face" : "-one-face");
            QTest::newRow(row + "-transparent") << withMask << everyFace << qRgba(255, 0, 0, 0) << qRgb(0, 0, 0);
            QTest::newRow(row + "-half") << withMask << everyFace << qRgba(255, 255, 255, 128) << qRgb(128, 128, 128);
            QTest::newRow(row + "-opaque") << withMask << everyFace << qRgba(10, 200, 30, 255) << qRgb(10, 200, 30);
        }
    }
}

// A photo with transparent parts shows the same wherever a mask is drawn or not: not the colour
// its transparency hides.
void tst_MaskRenderer::transparentPartsShowOverBlack()
{
    QFETCH(bool, withMask);
    QFETCH(bool, everyFace);
    QFETCH(QRgb, pixel);
    QFETCH(QRgb, shown);
    QImage frame(200, 200, QImage::Format_ARGB32);
    frame.fill(QColor::fromRgba(pixel));
    const FacialPointVector face = faceIn(QRectF(60, 60, 80, 80), frame.size());
    const preview::MaskRenderer renderer = withMask ? rendererFor(gradient(200, 200), face, core::FaceOnly)
                                                    : preview::MaskRenderer();
    const QImage out = everyFace ? renderer.renderFaces(frame, {face}) : renderer.render(frame, face);
    QCOMPARE(out.format(), QImage::Format_RGB32);
    for (const QPoint corner : {QPoint(0, 0), QPoint(199, 0), QPoint(0, 199), QPoint(199, 199)}) {
        QVERIFY2(channelDifference(out.pixel(corner), shown) <= 1,
                 qPrintable(colourText(out.pixel(corner)) + QStringLiteral(" against ") + colourText(shown)));
    }
}

void tst_MaskRenderer::largeMaskMatchesSmallOne()
{
    // A 12-megapixel mask is drawn from a reduced working copy: the result matches the same
    // pattern made at a quarter of the size, with no shift between the two.
    const QImage large = checkerboard(4000, 3000, 100);
    const QImage small = checkerboard(1000, 750, 25);
    const FacialPointVector maskPoints = faceIn(QRectF(1000, 600, 2000, 2000), large.size());
    const QSize frameSize(640, 480);
    const FacialPointVector face = faceIn(QRectF(220, 120, 200, 200), frameSize);
    const QImage frame = testimages::filled(640, 480, blue);
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        preview::RenderReport report;
        const QImage fromLarge = rendererFor(large, maskPoints, type).render(frame, face, &report);
        const QImage fromSmall = rendererFor(small, maskPoints, type).render(frame, face);
        const double difference = meanAbsoluteDifference(fromLarge, fromSmall, QRect(QPoint(0, 0), frameSize));
        QVERIFY2(difference < 3, qPrintable(QStringLiteral("type %1: %2").arg(type).arg(difference)));
        const double faceDifference = meanAbsoluteDifference(fromLarge, fromSmall, report.faceRegion);
        QVERIFY2(faceDifference < 4, qPrintable(QStringLiteral("type %1 face: %2").arg(type).arg(faceDifference)));
    }
}

void tst_MaskRenderer::copiesAndThreadsRenderAlike()
{
    const QSize frameSize(800, 600);
    const FacialPointVector face = faceIn(QRectF(200, 100, 400, 420), frameSize);
    preview::MaskRenderer original =
        rendererFor(checkerboard(900, 900, 30), faceIn(QRectF(100, 100, 700, 700), QSize(900, 900)), core::WholeImage);
    const QImage frame = gradient(800, 600);
    const QImage expected = original.render(frame, face);

    const preview::MaskRenderer copy = original;
    // Changing the original afterwards leaves the copy as it was.
    original.setEffectType(core::FaceOnly);
    original.setPicture(QImage());
    QVERIFY(!original.hasMask());
    QVERIFY(copy.hasMask());
    QCOMPARE(copy.effectType(), int(core::WholeImage));

    auto other = std::async(std::launch::async, [&] { return copy.render(frame, face); });
    const QImage here = copy.render(frame, face);
    QCOMPARE(here, expected);
    QCOMPARE(other.get(), expected);
}

void tst_MaskRenderer::maskReadInPlaceMatchesItsCopy_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("cleared"); // RGB32 pixels stored with a top byte of 0
    QTest::newRow("none") << QSize(300, 240) << "";
    QTest::newRow("none, odd sides") << QSize(301, 241) << "";
    QTest::newRow("one column wide") << QSize(1, 240) << "";
    QTest::newRow("all") << QSize(300, 240) << "all";
    QTest::newRow("all, no working copy") << QSize(60, 48) << "all";
    QTest::newRow("all, one row high") << QSize(300, 1) << "all";
    QTest::newRow("odd last column") << QSize(301, 240) << "last column";
    QTest::newRow("odd last row") << QSize(300, 241) << "last row";
}

// An RGB32 mask is read in place of a premultiplied copy when its stored pixels allow: the
// result is the copy's, whatever its top bytes hold.
void tst_MaskRenderer::maskReadInPlaceMatchesItsCopy()
{
    QFETCH(QSize, size);
    QFETCH(QString, cleared);
    QImage raw = checkerboard(size.width(), size.height(), 7);
    for (int y = 0; y < raw.height(); ++y) {
        auto* line = reinterpret_cast<uint32_t*>(raw.scanLine(y));
        for (int x = 0; x < raw.width(); ++x) {
            if (cleared == QLatin1String("all") || (cleared == QLatin1String("last column") && x == raw.width() - 1)
                || (cleared == QLatin1String("last row") && y == raw.height() - 1)) {
                line[x] &= 0xffffff;
            }
        }
    }
    const QImage copy = raw.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY(copy.pixel(size.width() - 1, size.height() - 1) >> 24 == 0xff);
    // The face overfills the picture, its chin past the edge that holds the cleared pixels.
    FacialPointVector maskPoints = faceIn(QRectF(-0.1, -0.1, 1.2, 1.2), QSize(1, 1));
    if (cleared == QLatin1String("last column")) {
        for (FacialPoint& p : maskPoints) {
            p = FacialPoint(p.y(), 1 - p.x());
        }
    }
    const QSize frameSize(320, 240);
    const FacialPointVector face = faceIn(QRectF(40, 10, 240, 220), frameSize);
    const QImage frame = gradient(frameSize.width(), frameSize.height());
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        QCOMPARE(rendererFor(raw, maskPoints, type).render(frame, face),
                 rendererFor(copy, maskPoints, type).render(frame, face));
    }
}

void tst_MaskRenderer::everyFaceGetsTheMask_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("face-only") << int(core::FaceOnly);
    QTest::newRow("whole-image") << int(core::WholeImage);
    QTest::newRow("full-frame") << int(core::FullFrame);
}

// Two faces: each gets its own warp; the rest of the mask is drawn once, beneath both, and for
// "Whole image" it follows the first face as render() places it.
void tst_MaskRenderer::everyFaceGetsTheMask()
{
    QFETCH(int, type);
    const QSize frameSize(640, 480);
    const preview::MaskRenderer renderer =
        rendererFor(gradient(300, 300), faceIn(QRectF(50, 40, 200, 220), QSize(300, 300)), type);
    const QImage frame = testimages::filled(640, 480, blue);
    const FacialPointVector left = faceIn(QRectF(40, 100, 200, 220), frameSize);
    const FacialPointVector right = faceIn(QRectF(400, 120, 180, 200), frameSize);
    const QImage both = renderer.renderFaces(frame, {left, right, FacialPointVector(10, QPointF(0.5, 0.5))});
    preview::RenderReport leftReport, rightReport;
    const QImage leftOnly = renderer.render(frame, left, &leftReport);
    const QImage rightOnly = renderer.render(frame, right, &rightReport);
    // The first face's region is exactly as render() draws it alone; inside the second face's
    // outline its own warp shows (its feathered edge blends with the first face's background).
    QVERIFY(!leftReport.faceRegion.intersects(rightReport.faceRegion));
    QCOMPARE(both.copy(leftReport.faceRegion), leftOnly.copy(leftReport.faceRegion));
    const QPoint rightNose(int(right[30].x() * 640), int(right[29].y() * 480));
    QCOMPARE(colourText(both.pixel(rightNose)), colourText(rightOnly.pixel(rightNose)));
    QVERIFY(both.pixel(rightNose) != blue);
    // Away from both faces: the frame for "Face only", the first face's background otherwise.
    const QPoint away(320, 20);
    QCOMPARE(colourText(both.pixel(away)), colourText(leftOnly.pixel(away)));
    // No face, or only faces with too few points: the frame as it came.
    QCOMPARE(renderer.renderFaces(frame, {}), frame.convertToFormat(QImage::Format_RGB32));
    QCOMPARE(renderer.renderFaces(frame, {FacialPointVector(74, QPointF(0.5, 0.5))}),
             frame.convertToFormat(QImage::Format_RGB32));
}

QTEST_GUILESS_MAIN(tst_MaskRenderer)
#include "tst_maskrenderer.moc"
