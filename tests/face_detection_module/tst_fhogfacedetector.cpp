// The face search on two threads and the landmark model read from its compact copy, held
// against dlib's own pipeline: every box and point the same as stock dlib's, and every score the
// same, bit for bit, as that of dlib's detector compiled with the same instruction set.
#include "face_detection_module/facedetectionmodule.h"
#include "sameflagsdetector.h"
#include "stocklandmarks.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

using namespace core;

namespace {

QString facesDir()
{
    return QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces");
}

QImage testPicture(const QString& name)
{
    return QImage(facesDir() + '/' + name).convertToFormat(QImage::Format_RGB888);
}

// The astronaut's face, scale times its size, drawn with its centre at (x, y) on a grey canvas
// of size; parts outside the canvas are cut off.
QImage faceOnCanvas(QSize size, double scale, QPointF centre)
{
    const QImage face = testPicture(QStringLiteral("astronaut.png"));
    QImage canvas(size, QImage::Format_RGB888);
    canvas.fill(QColor(120, 130, 125));
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // The face sits about at (250, 190) of the 512 x 512 picture.
    const QSizeF drawn(face.width() * scale, face.height() * scale);
    painter.drawImage(QRectF(centre - QPointF(250 * scale, 190 * scale), drawn), face);
    painter.end();
    return canvas;
}

QString describeFace(const QRect& rect, double confidence)
{
    return QStringLiteral("(%1, %2, %3 x %4; %5)")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height())
        .arg(confidence, 0, 'g', 17);
}

} // namespace

class tst_FhogFaceDetector : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void matchesStockDlib_data();
    void matchesStockDlib();

private:
    QTemporaryDir m_cacheFolder;
    std::unique_ptr<StockLandmarks> m_stock;
    std::unique_ptr<SameFlagsDetector> m_sameFlags;
    // Read from the model file (no cache), and read from the compact copy written by the first.
    std::unique_ptr<FaceDetectionModule> m_fromFile;
    std::unique_ptr<FaceDetectionModule> m_fromCache;
};

void tst_FhogFaceDetector::initTestCase()
{
    QVERIFY2(QFile::exists(FaceDetectionModule::defaultModelPath),
             "the test must run in a directory holding shape_predictor.dat");
    QVERIFY(m_cacheFolder.isValid());
    m_stock = std::make_unique<StockLandmarks>(QString::fromLatin1(FaceDetectionModule::defaultModelPath));
    QVERIFY(m_stock->isLoaded());
    m_sameFlags = std::make_unique<SameFlagsDetector>();
    m_fromFile = FaceDetectionModule::load(FaceDetectionModule::defaultModelPath, QString());
    QVERIFY(m_fromFile);
    QCOMPARE(m_fromFile->cacheUse(), ModelCacheUse::Off);
    const auto writer = FaceDetectionModule::load(FaceDetectionModule::defaultModelPath, m_cacheFolder.path());
    QVERIFY(writer);
    QCOMPARE(writer->cacheUse(), ModelCacheUse::Created);
    m_fromCache = FaceDetectionModule::load(FaceDetectionModule::defaultModelPath, m_cacheFolder.path());
    QVERIFY(m_fromCache);
    QCOMPARE(m_fromCache->cacheUse(), ModelCacheUse::Read);
}

void tst_FhogFaceDetector::cleanupTestCase()
{
    m_fromFile.reset();
    m_fromCache.reset();
    m_stock.reset();
    m_sameFlags.reset();
}

void tst_FhogFaceDetector::matchesStockDlib_data()
{
    QTest::addColumn<QImage>("picture");
    // The faces stock dlib finds: checked so that a row cannot pass by finding nothing anywhere.
    QTest::addColumn<int>("stockFaces");

    const QStringList photos{"2007_007763.jpg", "2008_001009.jpg", "2008_002079.jpg", "Tom_Cruise_avp_2014_4.jpg",
                             "astronaut.png",   "bald_guys.jpg",   "camera.png",      "chelsea.png"};
    const QList<int> photoFaces{0, 2, 1, 1, 1, 24, 0, 0};
    for (int i = 0; i < photos.size(); ++i) {
        QTest::newRow(qPrintable(photos[i])) << testPicture(photos[i]) << photoFaces[i];
    }
    // Faces cut by each edge and corner, and at several scales (more and fewer pyramid levels).
    const QSize canvas(640, 480);
    QTest::newRow("face-at-left-edge") << faceOnCanvas(canvas, 1.0, {40, 240}) << 1;
    QTest::newRow("face-at-right-edge") << faceOnCanvas(canvas, 1.0, {600, 240}) << 2;
    QTest::newRow("face-at-top-edge") << faceOnCanvas(canvas, 1.0, {320, 60}) << 1;
    QTest::newRow("face-at-bottom-edge") << faceOnCanvas(canvas, 1.0, {320, 420}) << 1;
    QTest::newRow("face-in-top-left-corner") << faceOnCanvas(canvas, 1.0, {70, 70}) << 0;
    QTest::newRow("face-in-bottom-right-corner") << faceOnCanvas(canvas, 1.0, {570, 410}) << 1;
    QTest::newRow("small-face-scale-0.35") << faceOnCanvas(canvas, 0.35, {200, 300}) << 0;
    QTest::newRow("face-scale-0.6") << faceOnCanvas(canvas, 0.6, {320, 240}) << 1;
    QTest::newRow("large-face-scale-2.5") << faceOnCanvas(QSize(1400, 1100), 2.5, {700, 550}) << 1;
    QTest::newRow("huge-face-scale-6") << faceOnCanvas(QSize(3000, 2400), 6.0, {1500, 1200}) << 1;
    QTest::newRow("narrow-strip-one-level") << faceOnCanvas(QSize(70, 900), 0.3, {35, 450}) << 0;
    QTest::newRow("too-small-for-any-window") << faceOnCanvas(QSize(40, 30), 0.1, {20, 15}) << 0;
    QTest::newRow("many-faces-4000x3000")
        << testPicture("bald_guys.jpg").scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) << 24;
}

void tst_FhogFaceDetector::matchesStockDlib()
{
    QFETCH(QImage, picture);
    QFETCH(int, stockFaces);
    const StockDetection stock = m_stock->detectImage(picture);
    QCOMPARE(stock.faces.size(), stockFaces);
    const QVector<SameFlagsFace> sameFlags = m_sameFlags->detect(picture);
    QCOMPARE(sameFlags.size(), stockFaces);

    struct Variant {
        const char* name;
        FaceDetectionModule* module;
        int threads;
    };
    const Variant variants[] = {{"model file, one thread", m_fromFile.get(), 1},
                                {"model file, two threads", m_fromFile.get(), 2},
                                {"compact copy, two threads", m_fromCache.get(), 2},
                                {"compact copy, five threads", m_fromCache.get(), 5}};
    for (const Variant& variant : variants) {
        variant.module->setDetectionThreads(variant.threads);
        const std::optional<QVector<Face>> faces = variant.module->detectFaces(picture);
        QVERIFY2(faces, variant.name);
        QVERIFY2(faces->size() == stock.faces.size(),
                 qPrintable(QStringLiteral("%1: %2 faces, dlib %3")
                                .arg(variant.name)
                                .arg(faces->size())
                                .arg(stock.faces.size())));
        for (int f = 0; f < faces->size(); ++f) {
            const Face& ours = faces->at(f);
            const SameFlagsFace& reference = sameFlags.at(f);
            // Exact comparison of the scores on purpose: the same sums in the same order.
            QVERIFY2(ours.rect == reference.rect && ours.confidence == reference.confidence,
                     qPrintable(QStringLiteral("%1, face %2: %3, dlib %4")
                                    .arg(variant.name)
                                    .arg(f)
                                    .arg(describeFace(ours.rect, ours.confidence),
                                         describeFace(reference.rect, reference.confidence))));
            // Stock dlib (SSE) sums the same responses in other groups than AVX does: the
            // scores differ in the last float digits, never the boxes or the points.
            const StockFace& theirs = stock.faces.at(f);
            QVERIFY2(ours.rect == theirs.rect && qAbs(ours.confidence - theirs.confidence) < 1e-5,
                     qPrintable(QStringLiteral("%1, face %2: %3, stock dlib %4")
                                    .arg(variant.name)
                                    .arg(f)
                                    .arg(describeFace(ours.rect, ours.confidence),
                                         describeFace(theirs.rect, theirs.confidence))));
            QVERIFY2(ours.points == theirs.parts,
                     qPrintable(QStringLiteral("%1, face %2: the landmarks differ").arg(variant.name).arg(f)));
        }
        const std::optional<QVector<QPoint>> whole =
            variant.module->detectPoints(picture, QRect(QPoint(0, 0), picture.size()));
        QVERIFY(whole);
        QVERIFY2(*whole == stock.wholePictureParts,
                 qPrintable(QStringLiteral("%1: the whole-picture landmarks differ").arg(variant.name)));
    }
}

QTEST_MAIN(tst_FhogFaceDetector)
#include "tst_fhogfacedetector.moc"
