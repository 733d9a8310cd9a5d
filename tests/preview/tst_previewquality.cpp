// The preview on real photographs, checked with dlib's own landmark pipeline.

#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "preview/maskrenderer.h"
#include "tests/support/testimages.h"

#include <QPainter>
#include <QPainterPath>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>

using core::FacialPointVector;

namespace {

// The outline of the 75-point layout: the jaw, then the derived points along the forehead.
const int outline[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 69, 71, 74, 73, 72, 70, 68};

QPointF pixelOf(const FacialPointVector& fractions, QSize size, int index)
{
    return QPointF(fractions[index].x() * size.width(), fractions[index].y() * size.height());
}

// Pixels inside the face outline and at least margin pixels away from it.
QImage faceInterior(const FacialPointVector& fractions, QSize size, double margin)
{
    QPainterPath path;
    path.moveTo(pixelOf(fractions, size, outline[0]));
    for (int index : outline) {
        path.lineTo(pixelOf(fractions, size, index));
    }
    path.closeSubpath();
    QImage area(size, QImage::Format_Grayscale8);
    area.fill(0);
    QPainter painter(&area);
    painter.fillPath(path, Qt::white);
    // Stroking the outline twice as wide as the margin takes the band along it away again.
    painter.strokePath(path, QPen(Qt::black, 2 * margin));
    painter.end();
    return area;
}

double grey(QRgb c)
{
    return 0.299 * qRed(c) + 0.587 * qGreen(c) + 0.114 * qBlue(c);
}

double interOcular(const QVector<QPoint>& landmarks)
{
    const QPointF d = QPointF(landmarks[45] - landmarks[36]);
    return std::hypot(d.x(), d.y());
}

// The face found nearest to where expected was: a full-frame preview also shows the mask
// picture's own face, stretched, which may well be the larger one.
const core::Face* nearestFace(const QVector<core::Face>& faces, const QRect& expected)
{
    const core::Face* nearest = nullptr;
    double best = 0;
    for (const core::Face& face : faces) {
        const QPointF d = QRectF(face.rect).center() - QRectF(expected).center();
        const double distance = std::hypot(d.x(), d.y());
        if (!nearest || distance < best) {
            nearest = &face;
            best = distance;
        }
    }
    return nearest;
}

const core::Face* largestFace(const QVector<core::Face>& faces)
{
    const core::Face* largest = nullptr;
    for (const core::Face& face : faces) {
        if (!largest || face.rect.width() * face.rect.height() > largest->rect.width() * largest->rect.height()) {
            largest = &face;
        }
    }
    return largest;
}

} // namespace

class tst_PreviewQuality : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void identityReproducesTheFace_data();
    void identityReproducesTheFace();
    void identityThroughAPackage();
    void differentFaceTakesItsLandmarks_data();
    void differentFaceTakesItsLandmarks();
    void unseenFacesTakeTheirLandmarks_data();
    void unseenFacesTakeTheirLandmarks();
    void maskCutByTheEdgeComesAsCloseAsTheWholeFace();

private:
    core::DetectionResult detect(const QImage& picture)
    {
        return core::runLandmarkPipeline(*module, picture);
    }
    // The mean distance between dlib's landmarks on the preview and on the face photo itself, as
    // a share of the face's inter-ocular distance; negative (with a failed check) on failure.
    double previewLandmarkError(const QString& maskPhoto, const QString& facePhoto, int type);
    // As above, but with dlib's landmarks predicted on the preview inside the box the detector
    // found on the untouched face photo, so that only the warp moves them; negative on failure.
    double warpLandmarkError(const QImage& mask, const FacialPointVector& maskPoints, const QImage& face, int type);
    std::unique_ptr<core::FaceDetectionModule> module;
};

void tst_PreviewQuality::initTestCase()
{
    module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
}

void tst_PreviewQuality::identityReproducesTheFace_data()
{
    QTest::addColumn<QString>("photo");
    QTest::addColumn<double>("maskScale"); // the mask picture is the photo scaled by this
    for (const char* photo : {"astronaut.png", "Tom_Cruise_avp_2014_4.jpg"}) {
        for (double scale : {1.0, 2.5, 0.75}) {
            const QString row = QStringLiteral("%1-mask-scaled-%2").arg(QLatin1String(photo)).arg(scale);
            QTest::newRow(qPrintable(row)) << QString::fromLatin1(photo) << scale;
        }
    }
}

void tst_PreviewQuality::identityReproducesTheFace()
{
    QFETCH(QString, photo);
    QFETCH(double, maskScale);
    const QImage face = core::readImageFile(testimages::testPicture(qPrintable(photo)));
    QVERIFY(!face.isNull());
    const core::DetectionResult found = detect(face);
    QVERIFY(found.faceCount >= 1);
    QCOMPARE(int(found.points.size()), 75);

    // Points are fractions, so the same points hold for the scaled mask picture.
    const QImage maskPicture = face.scaled(face.size() * maskScale, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    preview::MaskRenderer renderer;
    renderer.setPicture(maskPicture);
    renderer.setPoints(found.points);
    renderer.setEffectType(core::FaceOnly);
    preview::RenderReport report;
    const QImage out = renderer.render(face, found.points, &report);
    QVERIFY(report.drawnTriangles > 100);

    // A resampled mask has lost detail before any warp; the reference is then the mask picture
    // brought back to the photo's size, so that only the warp's own error counts.
    const QImage reference = maskScale == 1.0 ? face
        : maskPicture.scaled(face.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage interior = faceInterior(found.points, face.size(), report.featherWidth + 1);
    double sum = 0;
    int count = 0;
    for (int y = 0; y < face.height(); ++y) {
        for (int x = 0; x < face.width(); ++x) {
            if (qGray(interior.pixel(x, y)) > 0) {
                sum += std::abs(grey(out.pixel(x, y)) - grey(reference.pixel(x, y)));
                ++count;
            }
        }
    }
    QVERIFY2(count > 5000, qPrintable(QString::number(count)));
    const double mean = sum / count;
    qInfo("%s, mask x%g: mean absolute difference %.3f grey levels over %d face pixels", qPrintable(photo),
          maskScale, mean, count);
    QVERIFY2(mean < 3.0, qPrintable(QString::number(mean)));
}

void tst_PreviewQuality::identityThroughAPackage()
{
    // The mask as the command line sees it: saved as a package, read back, drawn on the photo.
    const QImage face = core::readImageFile(testimages::testPicture("astronaut.png"));
    const core::DetectionResult found = detect(face);
    QCOMPARE(int(found.points.size()), 75);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("mask.pmk"));
    {
        core::FaceMaskProject project;
        project.facialPoints()->setImage(face);
        project.facialPoints()->setPoints(found.points);
        project.setName(QStringLiteral("astronaut"));
        QVERIFY(project.save(path));
    }
    core::FaceMaskProject loaded;
    QVERIFY(loaded.load(path));
    preview::MaskRenderer renderer;
    renderer.setPicture(loaded.facialPoints()->image());
    renderer.setPoints(loaded.facialPoints()->points());
    renderer.setEffectType(loaded.effectType());
    preview::RenderReport report;
    const QImage out = renderer.render(face, found.points, &report);
    const QImage interior = faceInterior(found.points, face.size(), report.featherWidth + 1);
    double sum = 0;
    int count = 0;
    for (int y = 0; y < face.height(); ++y) {
        for (int x = 0; x < face.width(); ++x) {
            if (qGray(interior.pixel(x, y)) > 0) {
                sum += std::abs(grey(out.pixel(x, y)) - grey(face.pixel(x, y)));
                ++count;
            }
        }
    }
    QVERIFY2(count > 5000, qPrintable(QString::number(count)));
    QVERIFY2(sum / count < 3.0, qPrintable(QString::number(sum / count)));
}

void tst_PreviewQuality::differentFaceTakesItsLandmarks_data()
{
    QTest::addColumn<QString>("maskPhoto");
    QTest::addColumn<QString>("facePhoto");
    QTest::addColumn<int>("type");
    const char* const a = "astronaut.png";
    const char* const b = "Tom_Cruise_avp_2014_4.jpg";
    for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
        QTest::addRow("astronaut-on-tom-type-%d", type) << QString::fromLatin1(a) << QString::fromLatin1(b) << type;
        QTest::addRow("tom-on-astronaut-type-%d", type) << QString::fromLatin1(b) << QString::fromLatin1(a) << type;
    }
}

void tst_PreviewQuality::differentFaceTakesItsLandmarks()
{
    QFETCH(QString, maskPhoto);
    QFETCH(QString, facePhoto);
    QFETCH(int, type);
    const double relative = previewLandmarkError(maskPhoto, facePhoto, type);
    QVERIFY2(relative >= 0 && relative < 0.05, qPrintable(QString::number(relative)));
}

void tst_PreviewQuality::unseenFacesTakeTheirLandmarks_data()
{
    QTest::addColumn<QString>("maskPhoto");
    QTest::addColumn<QString>("facePhoto");
    QTest::addColumn<int>("type");
    // Faces other than the pair above, each as the mask and as the face: a turned head (Tom), a
    // small face in a group photo (49 px between the eye corners) and a large face among many.
    const char* const pairs[][2] = {
        {"bald_guys.jpg", "Tom_Cruise_avp_2014_4.jpg"}, {"Tom_Cruise_avp_2014_4.jpg", "bald_guys.jpg"},
        {"2008_001009.jpg", "astronaut.png"},          {"astronaut.png", "2008_001009.jpg"},
        {"bald_guys.jpg", "astronaut.png"},            {"2008_001009.jpg", "bald_guys.jpg"},
    };
    for (const auto& pair : pairs) {
        for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
            QTest::addRow("%s-on-%s-type-%d", pair[0], pair[1], type)
                << QString::fromLatin1(pair[0]) << QString::fromLatin1(pair[1]) << type;
        }
    }
}

void tst_PreviewQuality::unseenFacesTakeTheirLandmarks()
{
    QFETCH(QString, maskPhoto);
    QFETCH(QString, facePhoto);
    QFETCH(int, type);
    // The bound the preview is held to over every pair of test faces whose own landmarks dlib
    // places steadily; today's figures for these rows are 1.6-3.6 %.
    const double relative = previewLandmarkError(maskPhoto, facePhoto, type);
    QVERIFY2(relative >= 0 && relative < 0.045, qPrintable(QString::number(relative)));
}

void tst_PreviewQuality::maskCutByTheEdgeComesAsCloseAsTheWholeFace()
{
    // A photo cropped through the cheek (halfway between the outer eye corner and the end of the
    // jaw) gives a mask whose points detection clamps to the edge. Drawn on the other face of the
    // tested pair, it must come as close to that face's landmarks as the uncut photo does: the
    // cut side is filled from the other one. Stretching the last columns before the edge over
    // the cut side instead gave 2.20 % against the uncut 1.94 % on these twelve renders, and
    // leaving it to the frame 3.16 %.
    const char* const photos[][2] = {{"astronaut.png", "Tom_Cruise_avp_2014_4.jpg"},
                                     {"Tom_Cruise_avp_2014_4.jpg", "astronaut.png"}};
    double cutSum = 0;
    double wholeSum = 0;
    int count = 0;
    for (const auto& pair : photos) {
        const QImage mask = core::readImageFile(testimages::testPicture(pair[0]));
        const QImage face = core::readImageFile(testimages::testPicture(pair[1]));
        const auto maskFaces = module->detectFaces(mask);
        const core::Face* own = maskFaces ? largestFace(*maskFaces) : nullptr;
        QVERIFY(own);
        const core::DetectionResult whole = detect(mask);
        QCOMPARE(int(whole.points.size()), 75);
        const QVector<QPoint>& l = own->points;
        const int rightCut = (l[45].x() + l[16].x()) / 2;
        const int leftCut = (l[36].x() + l[0].x()) / 2;
        for (const QRect& kept : {QRect(0, 0, rightCut, mask.height()),
                                  QRect(leftCut, 0, mask.width() - leftCut, mask.height())}) {
            const QImage cutMask = mask.copy(kept);
            const core::DetectionResult cut = detect(cutMask);
            QCOMPARE(int(cut.points.size()), 75);
            const int onBorder = int(std::count_if(cut.points.begin(), cut.points.end(), [](const QPointF& p) {
                return p.x() == 0 || p.x() == 1 || p.y() == 0 || p.y() == 1;
            }));
            QVERIFY2(onBorder >= 3, qPrintable(QString::number(onBorder)));
            for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
                const double cutError = warpLandmarkError(cutMask, cut.points, face, type);
                const double wholeError = warpLandmarkError(mask, whole.points, face, type);
                QVERIFY(cutError >= 0 && wholeError >= 0);
                qInfo("%s cut to x %d-%d on %s, type %d: %.2f %% (uncut %.2f %%)", pair[0], kept.left(),
                      kept.right(), pair[1], type, 100 * cutError, 100 * wholeError);
                cutSum += cutError;
                wholeSum += wholeError;
                ++count;
            }
        }
    }
    QCOMPARE(count, 12);
    QVERIFY2(cutSum / count <= wholeSum / count + 0.0015,
             qPrintable(QStringLiteral("cut %1 %, uncut %2 %").arg(100 * cutSum / count).arg(100 * wholeSum / count)));
}

double tst_PreviewQuality::warpLandmarkError(const QImage& mask, const FacialPointVector& maskPoints,
                                             const QImage& face, int type)
{
    const core::DetectionResult faceFound = detect(face);
    const auto ownFaces = module->detectFaces(face);
    const core::Face* own = ownFaces ? largestFace(*ownFaces) : nullptr;
    if (!own || faceFound.points.size() != 75) {
        return -1;
    }
    preview::MaskRenderer renderer;
    renderer.setPicture(mask);
    renderer.setPoints(maskPoints);
    renderer.setEffectType(type);
    const QImage out = renderer.render(face, faceFound.points);
    // detectPoints() takes x + width as dlib's right edge; detectFaces() reports the width as
    // right - left + 1.
    const auto seen = module->detectPoints(out, own->rect.adjusted(0, 0, -1, -1));
    if (!seen || seen->size() != 68) {
        return -1;
    }
    double sum = 0;
    for (int i = 0; i < 68; ++i) {
        const QPoint d = (*seen)[i] - own->points[i];
        sum += std::hypot(d.x(), d.y());
    }
    return sum / 68 / interOcular(own->points);
}

double tst_PreviewQuality::previewLandmarkError(const QString& maskPhoto, const QString& facePhoto, int type)
{
    const QImage mask = core::readImageFile(testimages::testPicture(qPrintable(maskPhoto)));
    const QImage face = core::readImageFile(testimages::testPicture(qPrintable(facePhoto)));
    const core::DetectionResult maskFound = detect(mask);
    const core::DetectionResult faceFound = detect(face);
    [&] {
        QCOMPARE(int(maskFound.points.size()), 75);
        QCOMPARE(int(faceFound.points.size()), 75);
    }();
    if (QTest::currentTestFailed()) {
        return -1;
    }

    preview::MaskRenderer renderer;
    renderer.setPicture(mask);
    renderer.setPoints(maskFound.points);
    renderer.setEffectType(type);
    const QImage out = renderer.render(face, faceFound.points);
    const auto ownFaces = module->detectFaces(face);
    const auto previewFaces = module->detectFaces(out);
    const core::Face* own = ownFaces ? largestFace(*ownFaces) : nullptr;
    const core::Face* seen = previewFaces ? nearestFace(*previewFaces, own ? own->rect : QRect()) : nullptr;
    if (!own || !seen || seen->points.size() != 68) {
        qWarning("no face found on the photo or on the preview");
        return -1;
    }
    double sum = 0;
    for (int i = 0; i < 68; ++i) {
        const QPoint d = seen->points[i] - own->points[i];
        sum += std::hypot(d.x(), d.y());
    }
    const double relative = sum / 68 / interOcular(own->points);
    qInfo("%s on %s, type %d: landmarks %.2f %% of the inter-ocular distance away on average",
          qPrintable(maskPhoto), qPrintable(facePhoto), type, 100 * relative);
    return relative;
}

QTEST_MAIN(tst_PreviewQuality)
#include "tst_previewquality.moc"
