#include "ui/meshoverlay.h"

#include "core/meanface.h"
#include "preview/meshfolds.h"

#include <QPainter>
#include <QtTest>

using core::FacialPointVector;

namespace {

// The mean face filling most of a size x size picture, as fractions.
FacialPointVector meanFaceFractions()
{
    FacialPointVector points;
    for (const QPointF& p : preview::meanFaceShape()) {
        points.emplace_back(0.1 + 0.8 * p.x(), 0.1 + 0.8 * p.y());
    }
    return points;
}

QPointF centroid(const FacialPointVector& points, const preview::FaceTriangle& t)
{
    return (points[std::size_t(t.a)] + points[std::size_t(t.b)] + points[std::size_t(t.c)]) / 3;
}

} // namespace

class tst_MeshOverlay : public QObject
{
    Q_OBJECT

private slots:
    void cleanFaceHasNoFolds_data();
    void cleanFaceHasNoFolds();
    void swappedPointsAreReported();
    void foldedTrianglesAreFilled();
    void smallPictureTrianglesAreTooSmallNotFolded_data();
    void smallPictureTrianglesAreTooSmallNotFolded();
    void messages_data();
    void messages();
    void leftOutMessages_data();
    void leftOutMessages();
    void cornersAreEachListedOnce();
};

void tst_MeshOverlay::cleanFaceHasNoFolds_data()
{
    QTest::addColumn<QSizeF>("size");
    QTest::newRow("square") << QSizeF(512, 512);
    QTest::newRow("wide") << QSizeF(1920, 600);
    QTest::newRow("tall") << QSizeF(360, 480);
}

void tst_MeshOverlay::cleanFaceHasNoFolds()
{
    QFETCH(QSizeF, size);
    QVERIFY(ui::mesh::foldedTriangles(meanFaceFractions(), size).empty());
    QVERIFY(ui::mesh::foldedTriangles(FacialPointVector(68, QPointF(0.5, 0.5)), size).empty());
}

void tst_MeshOverlay::swappedPointsAreReported()
{
    FacialPointVector points = meanFaceFractions();
    std::swap(points[0], points[16]);
    const auto folded = ui::mesh::foldedTriangles(points, QSizeF(512, 512));
    QVERIFY(!folded.empty());
    const std::vector<int> corners = ui::mesh::cornersOf(folded);
    QVERIFY(std::binary_search(corners.begin(), corners.end(), 0));
    QVERIFY(std::binary_search(corners.begin(), corners.end(), 16));
    for (const preview::FaceTriangle& t : folded) {
        QVERIFY(t.a == 0 || t.b == 0 || t.c == 0 || t.a == 16 || t.b == 16 || t.c == 16);
    }
}

void tst_MeshOverlay::foldedTrianglesAreFilled()
{
    const int side = 400;
    FacialPointVector fractions = meanFaceFractions();
    std::swap(fractions[0], fractions[16]);
    FacialPointVector view;
    for (const QPointF& p : fractions) {
        view.emplace_back(p.x() * side, p.y() * side);
    }
    const auto folded = ui::mesh::foldedTriangles(fractions, QSizeF(side, side));
    QImage canvas(side, side, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        ui::mesh::paint(painter, view, folded);
    }
    // An upright triangle's inside is left as it was; a folded one's is tinted orange. The
    // centroid of a turned-over triangle may fall on other triangles' edges, so look for the
    // tint among the folded centroids rather than at one.
    int tinted = 0;
    for (const preview::FaceTriangle& t : folded) {
        const QColor c(canvas.pixel(centroid(view, t).toPoint()));
        tinted += (c.red() > 100 && c.blue() < 80) ? 1 : 0;
    }
    QVERIFY2(tinted > 0, "no folded triangle was filled");
    // An upright triangle that no folded one covers keeps the black beneath.
    const auto covered = [&](const QPointF& at) {
        for (const preview::FaceTriangle& t : folded) {
            const QPolygonF p({view[std::size_t(t.a)], view[std::size_t(t.b)], view[std::size_t(t.c)]});
            if (p.containsPoint(at, Qt::OddEvenFill)) {
                return true;
            }
        }
        return false;
    };
    const auto upright = std::find_if(preview::faceTriangles().begin(), preview::faceTriangles().end(),
                                      [&](const preview::FaceTriangle& t) {
                                          return std::none_of(folded.begin(), folded.end(), [&](const preview::FaceTriangle& f) {
                                                     return f.a == t.a && f.b == t.b && f.c == t.c;
                                                 })
                                                 && !covered(centroid(view, t));
                                      });
    QVERIFY(upright != preview::faceTriangles().end());
    const QColor inside(canvas.pixel(centroid(view, *upright).toPoint()));
    QVERIFY2(inside.red() < 100, qPrintable(inside.name()));
}

void tst_MeshOverlay::smallPictureTrianglesAreTooSmallNotFolded_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<int>("swapped"); // -1: the template as placed; else swapped with point 16
    QTest::addColumn<bool>("folds");
    QTest::addColumn<bool>("tooSmall");
    QTest::newRow("template-1x1") << QSize(1, 1) << -1 << false << true;
    QTest::newRow("template-2x2") << QSize(2, 2) << -1 << false << true;
    QTest::newRow("template-16x16") << QSize(16, 16) << -1 << false << true;
    QTest::newRow("template-30x20") << QSize(30, 20) << -1 << false << true;
    QTest::newRow("template-512x512") << QSize(512, 512) << -1 << false << false;
    QTest::newRow("jaw-ends-swapped-16x16") << QSize(16, 16) << 0 << true << true;
    QTest::newRow("jaw-ends-swapped-512x512") << QSize(512, 512) << 0 << true << false;
}

// A face placed upright on a small picture folds nothing: the triangles the preview leaves out
// there are too small for its pixels, which moving the points does not mend. Together the two
// kinds are exactly what the preview leaves out.
void tst_MeshOverlay::smallPictureTrianglesAreTooSmallNotFolded()
{
    QFETCH(QSize, picture);
    QFETCH(int, swapped);
    QFETCH(bool, folds);
    QFETCH(bool, tooSmall);
    FacialPointVector points = core::templateFace(picture);
    if (swapped >= 0) {
        std::swap(points[std::size_t(swapped)], points[16]);
    }
    const ui::mesh::LeftOutTriangles leftOut = ui::mesh::leftOutTriangles(points, QSizeF(picture));
    QCOMPARE(!leftOut.folded.empty(), folds);
    QCOMPARE(!leftOut.tooSmall.empty(), tooSmall);
    QCOMPARE(ui::mesh::foldedTriangles(points, QSizeF(picture)).size(), leftOut.folded.size());
    for (const preview::FaceTriangle& t : leftOut.folded) {
        QVERIFY2(swapped >= 0 && (t.a == swapped || t.b == swapped || t.c == swapped || t.a == 16 || t.b == 16 || t.c == 16),
                 qPrintable(QStringLiteral("%1 %2 %3 folded").arg(t.a).arg(t.b).arg(t.c)));
    }
    FacialPointVector pixels;
    for (const QPointF& p : points) {
        pixels.emplace_back(p.x() * picture.width(), p.y() * picture.height());
    }
    std::vector<preview::FaceTriangle> both = leftOut.folded;
    both.insert(both.end(), leftOut.tooSmall.begin(), leftOut.tooSmall.end());
    const auto order = [](const preview::FaceTriangle& x, const preview::FaceTriangle& y) {
        return std::tie(x.a, x.b, x.c) < std::tie(y.a, y.b, y.c);
    };
    std::vector<preview::FaceTriangle> dropped = preview::foldedTriangles(pixels);
    std::sort(both.begin(), both.end(), order);
    std::sort(dropped.begin(), dropped.end(), order);
    QCOMPARE(both.size(), dropped.size());
    QVERIFY(std::equal(both.begin(), both.end(), dropped.begin(), [](const preview::FaceTriangle& x, const preview::FaceTriangle& y) {
        return x.a == y.a && x.b == y.b && x.c == y.c;
    }));
}

void tst_MeshOverlay::messages_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("message");
    QTest::newRow("none") << 0 << QString();
    QTest::newRow("one") << 1 << QStringLiteral("1 triangle folded: the preview leaves it out");
    QTest::newRow("two") << 2 << QStringLiteral("2 triangles folded: the preview leaves them out");
}

void tst_MeshOverlay::messages()
{
    QFETCH(int, count);
    QFETCH(QString, message);
    QCOMPARE(ui::mesh::foldedMessage(count), message);
}

void tst_MeshOverlay::leftOutMessages_data()
{
    QTest::addColumn<int>("folded");
    QTest::addColumn<int>("tooSmall");
    QTest::addColumn<QString>("message");
    QTest::newRow("none") << 0 << 0 << QString();
    QTest::newRow("folded-only") << 2 << 0 << QStringLiteral("2 triangles folded: the preview leaves them out");
    QTest::newRow("one-too-small") << 0 << 1
                                   << QStringLiteral("1 triangle too small in this 16 \u00d7 12 picture: the preview leaves it out");
    QTest::newRow("too-small") << 0 << 83
                               << QStringLiteral("83 triangles too small in this 16 \u00d7 12 picture: the preview leaves them out");
    QTest::newRow("one-folded-one-too-small")
        << 1 << 1 << QStringLiteral("1 triangle folded and 1 too small in this 16 \u00d7 12 picture: the preview leaves them out");
    QTest::newRow("both") << 3 << 80
                          << QStringLiteral("3 triangles folded and 80 too small in this 16 \u00d7 12 picture: the preview leaves them out");
}

void tst_MeshOverlay::leftOutMessages()
{
    QFETCH(int, folded);
    QFETCH(int, tooSmall);
    QFETCH(QString, message);
    QCOMPARE(ui::mesh::leftOutMessage(folded, tooSmall, QSize(16, 12)), message);
}

void tst_MeshOverlay::cornersAreEachListedOnce()
{
    const std::vector<preview::FaceTriangle> triangles{{3, 1, 2}, {2, 3, 9}, {9, 1, 4}};
    QCOMPARE(ui::mesh::cornersOf(triangles), (std::vector<int>{1, 2, 3, 4, 9}));
    QVERIFY(ui::mesh::cornersOf({}).empty());
}

QTEST_MAIN(tst_MeshOverlay)
#include "tst_meshoverlay.moc"
