#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkpipeline.h"
#include "stocklandmarks.h"
#include "tests/support/sanitizer.h"

#include <QProcess>
#include <QtTest>
#include <QXmlStreamReader>

#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/serialize.h>

using namespace core;

namespace {

QString facesDir()
{
    return QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces");
}

QString describe(const QVector<QPoint>& points, int index)
{
    if (index < 0 || index >= points.size()) {
        return QStringLiteral("(none)");
    }
    return QStringLiteral("(%1, %2)").arg(points[index].x()).arg(points[index].y());
}

// The index of the first differing point, or -1 when both lists are equal.
int firstDifference(const QVector<QPoint>& a, const QVector<QPoint>& b)
{
    const int n = qMax(a.size(), b.size());
    for (int i = 0; i < n; ++i) {
        if (i >= a.size() || i >= b.size() || a[i] != b[i]) {
            return i;
        }
    }
    return -1;
}

// Writes a landmark model whose mean shape has partCount parts and no regression trees.
bool writeModelWithParts(const QString& path, int partCount)
{
    dlib::matrix<float, 0, 1> meanShape(partCount * 2);
    for (long i = 0; i < meanShape.size(); ++i) {
        meanShape(i) = float(i % 7) / 7.0f;
    }
    const dlib::shape_predictor predictor(meanShape, {}, {});
    try {
        dlib::serialize(path.toStdString()) << predictor;
    } catch (...) {
        return false;
    }
    return true;
}

} // namespace

class tst_FaceDetectionModule : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void matchesStockDlib_data();
    void matchesStockDlib();
    void convertedFormatsMatchTheirRgb888Copy_data();
    void convertedFormatsMatchTheirRgb888Copy();
    void oddPicturesAreHandled_data();
    void oddPicturesAreHandled();
    void unconvertiblePictureIsRefused();
    void referenceLandmarksAreReproducedClosely();

    void loadingRefusesBadModels_data();
    void loadingRefusesBadModels();
    void loadingTellsShortMemoryFromADamagedModel_data();
    void loadingTellsShortMemoryFromADamagedModel();
    void loadingAcceptsFortySixParts();
    void siblingSharesTheLoadedModel();
    void severalFacesAtOnceMatchOneByOne_data();
    void severalFacesAtOnceMatchOneByOne();
    void siblingsDetectAtTheSameTimeAsTheirOrigin_data();
    void siblingsDetectAtTheSameTimeAsTheirOrigin();
    void facesFoundWithoutPointsGetTheirsLater_data();
    void facesFoundWithoutPointsGetTheirsLater();
    void pipelinePointsTheLargestFacesAskedFor_data();
    void pipelinePointsTheLargestFacesAskedFor();

private:
    std::unique_ptr<FaceDetectionModule> m_module;
    std::unique_ptr<StockLandmarks> m_stock;
};

void tst_FaceDetectionModule::initTestCase()
{
    QVERIFY2(QFile::exists(FaceDetectionModule::defaultModelPath),
             "the test must run in a directory holding shape_predictor.dat");
    m_module = FaceDetectionModule::load();
    QVERIFY2(m_module, "the 68-point model in the working directory must load");
    QCOMPARE(m_module->partCount(), 68);
    m_stock = std::make_unique<StockLandmarks>(QString::fromLatin1(FaceDetectionModule::defaultModelPath));
    QVERIFY2(m_stock->isLoaded(), "the reference pipeline must read the same model");
}

void tst_FaceDetectionModule::cleanupTestCase()
{
    m_module.reset();
    m_stock.reset();
}

void tst_FaceDetectionModule::matchesStockDlib_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("expectedFaces");

    QTest::newRow("astronaut-one-face") << "astronaut.png" << 1;
    QTest::newRow("chelsea-no-face-odd-width-padded-rows") << "chelsea.png" << 0;
    QTest::newRow("camera-grey-no-face") << "camera.png" << 0;
    QTest::newRow("crowd, landmarks on two threads") << "bald_guys.jpg" << 24;
}

void tst_FaceDetectionModule::matchesStockDlib()
{
    QFETCH(QString, file);
    QFETCH(int, expectedFaces);
    const QString path = facesDir() + '/' + file;

    const StockDetection stock = m_stock->detectFile(path);
    QVERIFY2(stock.pictureLoaded, qPrintable("dlib could not read " + path));
    QCOMPARE(stock.faces.size(), expectedFaces);

    const QImage picture(path);
    QVERIFY2(!picture.isNull(), qPrintable("Qt could not read " + path));
    QCOMPARE(picture.size(), stock.size);

    const std::optional<QVector<Face>> faces = m_module->detectFaces(picture);
    QVERIFY2(faces.has_value(), "an ordinary picture must be processed");
    QCOMPARE(faces->size(), stock.faces.size());
    for (int f = 0; f < faces->size(); ++f) {
        QCOMPARE(faces->at(f).rect, stock.faces[f].rect);
        const int diff = firstDifference(faces->at(f).points, stock.faces[f].parts);
        QVERIFY2(diff < 0, qPrintable(QStringLiteral("face %1, part %2: ours %3, dlib %4")
                                          .arg(f)
                                          .arg(diff)
                                          .arg(describe(faces->at(f).points, diff))
                                          .arg(describe(stock.faces[f].parts, diff))));
        // Predicted again inside the box it was found in: the same points.
        QCOMPARE(m_module->detectPointsInFace(picture, faces->at(f).rect), std::optional(faces->at(f).points));
    }

    const std::optional<QVector<QPoint>> whole = m_module->detectPoints(picture, QRect(QPoint(0, 0), picture.size()));
    QVERIFY2(whole.has_value(), "an ordinary picture must be processed");
    QCOMPARE(whole->size(), 68);
    const int diff = firstDifference(*whole, stock.wholePictureParts);
    QVERIFY2(diff < 0, qPrintable(QStringLiteral("whole picture, part %1: ours %2, dlib %3")
                                      .arg(diff)
                                      .arg(describe(*whole, diff))
                                      .arg(describe(stock.wholePictureParts, diff))));
}

void tst_FaceDetectionModule::convertedFormatsMatchTheirRgb888Copy_data()
{
    QTest::addColumn<QImage>("picture");
    const QImage astronaut(facesDir() + "/astronaut.png");
    QVERIFY(!astronaut.isNull());

    QImage translucent = astronaut.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < translucent.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(translucent.scanLine(y));
        for (int x = 0; x < translucent.width(); ++x) {
            row[x] = qRgba(qRed(row[x]), qGreen(row[x]), qBlue(row[x]), 100 + (x + y) % 156);
        }
    }

    QTest::newRow("rgb32") << astronaut.convertToFormat(QImage::Format_RGB32);
    QTest::newRow("argb32-opaque") << astronaut.convertToFormat(QImage::Format_ARGB32);
    QTest::newRow("argb32-translucent") << translucent;
    QTest::newRow("argb32-premultiplied-translucent")
        << translucent.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QTest::newRow("grey-8-bit") << astronaut.convertToFormat(QImage::Format_Grayscale8);
    QTest::newRow("grey-16-bit") << astronaut.convertToFormat(QImage::Format_Grayscale16);
    QTest::newRow("indexed-8-bit") << astronaut.convertToFormat(QImage::Format_Indexed8);
    QTest::newRow("rgba-64-bit") << astronaut.convertToFormat(QImage::Format_RGBA64);
    QTest::newRow("rgb16") << astronaut.convertToFormat(QImage::Format_RGB16);
    QTest::newRow("bgr30") << astronaut.convertToFormat(QImage::Format_BGR30);
}

void tst_FaceDetectionModule::convertedFormatsMatchTheirRgb888Copy()
{
    QFETCH(QImage, picture);
    QVERIFY(picture.format() != QImage::Format_RGB888);
    const QImage copy = picture.convertToFormat(QImage::Format_RGB888);

    const std::optional<QVector<Face>> expected = m_module->detectFaces(copy);
    const std::optional<QVector<Face>> actual = m_module->detectFaces(picture);
    QVERIFY(expected.has_value() && actual.has_value());
    QVERIFY2(!expected->isEmpty(), "the face must still be found after the format change");
    QCOMPARE(actual->size(), expected->size());
    for (int f = 0; f < actual->size(); ++f) {
        QCOMPARE(actual->at(f).rect, expected->at(f).rect);
        const int diff = firstDifference(actual->at(f).points, expected->at(f).points);
        QVERIFY2(diff < 0, qPrintable(QStringLiteral("face %1, part %2: converted %3, RGB888 copy %4")
                                          .arg(f)
                                          .arg(diff)
                                          .arg(describe(actual->at(f).points, diff))
                                          .arg(describe(expected->at(f).points, diff))));
    }

    const QRect area(QPoint(0, 0), picture.size());
    const std::optional<QVector<QPoint>> expectedWhole = m_module->detectPoints(copy, area);
    const std::optional<QVector<QPoint>> actualWhole = m_module->detectPoints(picture, area);
    QVERIFY(expectedWhole.has_value() && actualWhole.has_value());
    QCOMPARE(*actualWhole, *expectedWhole);
}

void tst_FaceDetectionModule::oddPicturesAreHandled_data()
{
    QTest::addColumn<QImage>("picture");

    QImage onePixel(1, 1, QImage::Format_RGB888);
    onePixel.fill(Qt::red);
    QImage indexedWithoutColours(7, 5, QImage::Format_Indexed8);
    indexedWithoutColours.fill(3); // index beyond an empty colour table
    QImage mono(33, 1000, QImage::Format_Mono);
    mono.fill(1);
    QImage alphaOnly(40, 30, QImage::Format_Alpha8);
    alphaOnly.fill(Qt::transparent);
    QImage greyTall(1, 4000, QImage::Format_Grayscale16);
    greyTall.fill(Qt::gray);
    QImage wide(5000, 2, QImage::Format_RGBA64);
    wide.fill(Qt::blue);

    QTest::newRow("one-pixel") << onePixel;
    QTest::newRow("indexed-without-colour-table") << indexedWithoutColours;
    QTest::newRow("mono-odd-width") << mono;
    QTest::newRow("alpha-only") << alphaOnly;
    QTest::newRow("grey16-one-column") << greyTall;
    QTest::newRow("rgba64-two-rows") << wide;
}

void tst_FaceDetectionModule::oddPicturesAreHandled()
{
    QFETCH(QImage, picture);
    QVERIFY(!picture.isNull());
    const std::optional<QVector<Face>> faces = m_module->detectFaces(picture);
    QVERIFY2(faces.has_value(), "a small picture of any format must be processed");
    QVERIFY2(faces->isEmpty(), "there is no face in a plain picture");
    const std::optional<QVector<QPoint>> whole = m_module->detectPoints(picture, QRect(QPoint(0, 0), picture.size()));
    QVERIFY2(whole.has_value(), "predicting over any picture must be possible");
    QCOMPARE(whole->size(), 68);
}

void tst_FaceDetectionModule::unconvertiblePictureIsRefused()
{
    QVERIFY2(!m_module->detectFaces(QImage()).has_value(), "a null picture has nothing to process");
    QVERIFY(!m_module->detectPoints(QImage(), QRect(0, 0, 10, 10)).has_value());

    // 100 million 8-bit pixels in one row: its 24-bit copy would need more bits per line than
    // QImage can address, so the conversion fails while the source itself is valid.
    QImage huge(100000000, 1, QImage::Format_Indexed8);
    if (huge.isNull()) {
        QSKIP("this machine cannot even allocate the source picture");
    }
    huge.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    huge.fill(1);
    QVERIFY2(huge.convertToFormat(QImage::Format_RGB888).isNull(),
             "the premise of this test: the 24-bit copy cannot be made");
    QVERIFY2(!m_module->detectFaces(huge).has_value(), "a picture that cannot be converted must be refused");
    QVERIFY(!m_module->detectPoints(huge, QRect(0, 0, 100, 100)).has_value());
}

void tst_FaceDetectionModule::referenceLandmarksAreReproducedClosely()
{
    // The parts in the XML were made by the same model, from grey-scale loads of JPEGs decoded
    // by another program: a check of how pixels reach dlib, not an exact oracle.
    QFile xml(facesDir() + "/training_with_face_landmarks.xml");
    QVERIFY(xml.open(QIODevice::ReadOnly));
    QXmlStreamReader reader(&xml);

    QImage picture;
    QRect box;
    QVector<QPoint> reference;
    int boxes = 0;
    int parts = 0;
    int exact = 0;
    int worst = 0;
    auto compareBox = [&]() {
        if (picture.isNull() || reference.isEmpty()) {
            return;
        }
        // dlib's inclusive right and bottom are left + width - 1 and top + height - 1.
        const std::optional<QVector<QPoint>> ours =
            m_module->detectPoints(picture, QRect(box.x(), box.y(), box.width() - 1, box.height() - 1));
        QVERIFY(ours.has_value());
        QCOMPARE(ours->size(), reference.size());
        ++boxes;
        for (int i = 0; i < reference.size(); ++i) {
            const QPoint delta = ours->at(i) - reference[i];
            const int distance = qMax(qAbs(delta.x()), qAbs(delta.y()));
            worst = qMax(worst, distance);
            exact += distance == 0 ? 1 : 0;
            ++parts;
        }
    };

    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("image")) {
            picture = QImage(facesDir() + '/' + reader.attributes().value("file").toString());
        } else if (reader.isStartElement() && reader.name() == QLatin1String("box")) {
            const QXmlStreamAttributes a = reader.attributes();
            box = QRect(a.value("left").toInt(), a.value("top").toInt(), a.value("width").toInt(),
                        a.value("height").toInt());
            reference.clear();
        } else if (reader.isStartElement() && reader.name() == QLatin1String("part")) {
            reference.append(QPoint(reader.attributes().value("x").toInt(), reader.attributes().value("y").toInt()));
        } else if (reader.isEndElement() && reader.name() == QLatin1String("box")) {
            compareBox();
            if (QTest::currentTestFailed()) {
                return;
            }
        }
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QVERIFY2(boxes >= 10, "most boxes of the reference file belong to pictures that are present");

    const double exactShare = double(exact) / parts;
    qInfo("%d boxes, %d parts: %.1f %% exact, worst %d px", boxes, parts, 100 * exactShare, worst);
    QVERIFY2(exactShare >= 0.85, qPrintable(QStringLiteral("only %1 % of the parts are exact").arg(100 * exactShare)));
    QVERIFY2(worst <= 3, qPrintable(QStringLiteral("a part is %1 px off").arg(worst)));
}

void tst_FaceDetectionModule::loadingRefusesBadModels_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing-file") << "missing";
    QTest::newRow("truncated-model") << "truncated";
    QTest::newRow("not-a-model") << "text";
    QTest::newRow("empty-model-without-parts") << "parts-0";
    QTest::newRow("forty-five-parts-too-few-for-derived-points") << "parts-45";
    QTest::newRow("named-pipe") << "fifo";
    QTest::newRow("folder") << "folder";
}

void tst_FaceDetectionModule::loadingRefusesBadModels()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("shape_predictor.dat");

    if (kind == "truncated") {
        QFile model(FaceDetectionModule::defaultModelPath);
        QVERIFY(model.open(QIODevice::ReadOnly));
        QFile cut(path);
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(model.read(4 << 20));
    } else if (kind == "text") {
        QFile text(path);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("this is not a serialised shape predictor\n");
    } else if (kind.startsWith("parts-")) {
        QVERIFY(writeModelWithParts(path, kind.mid(6).toInt()));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "folder") {
        QVERIFY(QDir(dir.path()).mkdir("shape_predictor.dat"));
    }

    // A load that waits on a pipe is let go by a writer that closes at once, after the verdict.
    auto loaded = std::async(std::launch::async, [path] { return FaceDetectionModule::load(path.toStdString()); });
    const bool answered = loaded.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!answered && kind == "fifo") {
        const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    QVERIFY2(answered, "loading must not wait for the file");
    QVERIFY2(!loaded.get(), "a bad model must give no module");
}

void tst_FaceDetectionModule::loadingTellsShortMemoryFromADamagedModel_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("limited"); // the address space is limited to what is in use + 8 MiB
    QTest::addColumn<int>("failure");  // core::ModelFailure

    QTest::newRow("sound model, memory short") << "sound" << true << int(ModelFailure::OutOfMemory);
    QTest::newRow("sound model") << "sound" << false << int(ModelFailure::None);
    QTest::newRow("size field asking for more than there is") << "huge" << false << int(ModelFailure::Unreadable);
    QTest::newRow("truncated model") << "truncated" << false << int(ModelFailure::Unreadable);
    QTest::newRow("missing") << "missing" << false << int(ModelFailure::Unreadable);
}

// A sound model that does not fit in memory is not called damaged: its owner would replace a
// good file, and the program would fail the same way.
void tst_FaceDetectionModule::loadingTellsShortMemoryFromADamagedModel()
{
    QFETCH(QString, kind);
    QFETCH(bool, limited);
    QFETCH(int, failure);
    if (limited && runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than any limit this test sets");
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("shape_predictor.dat");
    QFile model(FaceDetectionModule::defaultModelPath);
    QVERIFY(model.open(QIODevice::ReadOnly));
    QByteArray bytes = kind == "missing" ? QByteArray() : model.readAll();
    if (kind == "truncated") {
        bytes.truncate(bytes.size() / 2);
    } else if (kind == "huge") {
        // dlib writes the model's version (01 01), then the mean shape: a matrix whose row count
        // comes first, negated, in its compact integer form (81 88: one byte, negative, 136).
        // 2^40 rows (86, then six bytes from the lowest) ask for terabytes.
        QVERIFY2(bytes.startsWith(QByteArray::fromHex("01018188")), "not the model's layout");
        bytes.replace(2, 2, QByteArray::fromHex("86000000000001"));
    }
    if (kind != "missing") {
        QFile copy(path);
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(bytes) == bytes.size());
    }

    // In a process of its own: here, the memory earlier tests freed could hold the model.
    QProcess probe;
    probe.start(QStringLiteral(MODEL_LOAD_PROBE), limited ? QStringList{path, QStringLiteral("8")} : QStringList{path});
    QVERIFY(probe.waitForFinished(120000));
    QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0, probe.readAllStandardError().constData());
    QCOMPARE(probe.readAllStandardOutput().trimmed().toInt(), failure);
}

void tst_FaceDetectionModule::loadingAcceptsFortySixParts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("shape_predictor.dat");
    QVERIFY(writeModelWithParts(path, 46));
    const std::unique_ptr<FaceDetectionModule> module = FaceDetectionModule::load(path.toStdString());
    QVERIFY2(module, "46 parts are enough for the derived points");
    QCOMPARE(module->partCount(), 46);
    QImage plain(20, 10, QImage::Format_RGB888);
    plain.fill(Qt::white);
    const std::optional<QVector<QPoint>> points = module->detectPoints(plain, QRect(0, 0, 20, 10));
    QVERIFY(points.has_value());
    QCOMPARE(points->size(), 46);
}

void tst_FaceDetectionModule::siblingSharesTheLoadedModel()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("shape_predictor.dat");
    QVERIFY(writeModelWithParts(path, 46));
    const std::unique_ptr<FaceDetectionModule> module = FaceDetectionModule::load(path.toStdString());
    QVERIFY(module);
    const std::unique_ptr<FaceDetectionModule> sibling = module->makeSibling();
    QVERIFY(sibling);
    QCOMPARE(sibling->partCount(), 46);
    QImage plain(20, 10, QImage::Format_RGB888);
    plain.fill(Qt::white);
    QCOMPARE(sibling->detectPoints(plain, QRect(0, 0, 20, 10)), module->detectPoints(plain, QRect(0, 0, 20, 10)));
}

void tst_FaceDetectionModule::severalFacesAtOnceMatchOneByOne_data()
{
    QTest::addColumn<int>("faces"); // the first of the crowd's faces; -1: all of them
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("boxBeyondEdge"); // one more box, half off the picture, last

    QTest::newRow("none") << 0 << 2 << false;
    QTest::newRow("one") << 1 << 2 << false;
    QTest::newRow("two") << 2 << 2 << false;
    QTest::newRow("three") << 3 << 2 << false;
    QTest::newRow("eight") << 8 << 2 << false;
    QTest::newRow("eight, one thread") << 8 << 1 << false;
    QTest::newRow("eight, three threads") << 8 << 3 << false;
    QTest::newRow("all") << -1 << 2 << false;
    QTest::newRow("two and a box beyond the edge") << 2 << 2 << true;
}

void tst_FaceDetectionModule::severalFacesAtOnceMatchOneByOne()
{
    QFETCH(int, faces);
    QFETCH(int, threads);
    QFETCH(bool, boxBeyondEdge);
    const QImage picture = QImage(facesDir() + "/bald_guys.jpg").convertToFormat(QImage::Format_RGB32);
    QVERIFY(!picture.isNull());
    const std::optional<QVector<Face>> found = m_module->detectFaces(picture);
    QVERIFY(found);
    QVERIFY(found->size() > 8);
    QVector<QRect> boxes;
    for (int f = 0; f < (faces < 0 ? found->size() : faces); ++f) {
        // Moved a little, as a followed box is on the next frame.
        boxes.append(found->at(f).rect.translated(f % 3, -(f % 2)));
    }
    if (boxBeyondEdge) {
        boxes.append(QRect(picture.width() - 40, picture.height() - 50, 80, 100));
    }
    QVector<std::optional<QVector<QPoint>>> oneByOne;
    for (const QRect& box : boxes) {
        oneByOne.append(m_module->detectPointsInFace(picture, box));
    }
    const std::unique_ptr<FaceDetectionModule> module = m_module->makeSibling();
    QVERIFY(module);
    module->setDetectionThreads(threads);
    const QVector<std::optional<QVector<QPoint>>> atOnce = module->detectPointsInFaces(picture, boxes);
    QCOMPARE(atOnce.size(), boxes.size());
    for (int f = 0; f < boxes.size(); ++f) {
        QVERIFY(oneByOne[f].has_value());
        QCOMPARE(atOnce[f], oneByOne[f]);
    }
    QVERIFY2(module->detectPointsInFaces(QImage(), boxes) == QVector<std::optional<QVector<QPoint>>>(boxes.size()),
             "a null picture gives no points for any box");
}

void tst_FaceDetectionModule::siblingsDetectAtTheSameTimeAsTheirOrigin_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("expectedFaces");

    QTest::newRow("astronaut-one-face") << "astronaut.png" << 1;
    QTest::newRow("two-faces") << "2008_001009.jpg" << 2;
    QTest::newRow("chelsea-no-face") << "chelsea.png" << 0;
}

void tst_FaceDetectionModule::siblingsDetectAtTheSameTimeAsTheirOrigin()
{
    QFETCH(QString, file);
    QFETCH(int, expectedFaces);
    const QImage picture(facesDir() + '/' + file);
    QVERIFY(!picture.isNull());
    const std::optional<QVector<Face>> alone = m_module->detectFaces(picture);
    QVERIFY(alone);
    QCOMPARE(alone->size(), expectedFaces);

    const std::unique_ptr<FaceDetectionModule> sibling = m_module->makeSibling();
    QVERIFY(sibling);
    constexpr int rounds = 3;
    QVector<std::optional<QVector<Face>>> fromSibling(rounds);
    QVector<std::optional<QVector<Face>>> fromOrigin(rounds);
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i) {
            fromSibling[i] = sibling->detectFaces(picture);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        fromOrigin[i] = m_module->detectFaces(picture);
    }
    other.join();
    for (int i = 0; i < rounds; ++i) {
        for (const auto* result : {&fromSibling[i], &fromOrigin[i]}) {
            QVERIFY(result->has_value());
            QCOMPARE((*result)->size(), alone->size());
            for (int f = 0; f < alone->size(); ++f) {
                QCOMPARE((*result)->at(f).rect, alone->at(f).rect);
                QCOMPARE((*result)->at(f).points, alone->at(f).points);
            }
        }
    }
}

// The boxes of the face search alone, and then the points of some of them (as a video's tracker
// asks for the faces it keeps, in its own order): the faces, boxes and points of detectFaces().
void tst_FaceDetectionModule::facesFoundWithoutPointsGetTheirsLater_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("expectedFaces");
    QTest::addColumn<int>("step"); // the points of every step-th face asked for, the last first

    QTest::newRow("crowd, every face") << "bald_guys.jpg" << 24 << 1;
    QTest::newRow("crowd, every third face") << "bald_guys.jpg" << 24 << 3;
    QTest::newRow("two faces, the second") << "2008_001009.jpg" << 2 << 2;
    QTest::newRow("one face") << "astronaut.png" << 1 << 1;
    QTest::newRow("no face") << "chelsea.png" << 0 << 1;
}

void tst_FaceDetectionModule::facesFoundWithoutPointsGetTheirsLater()
{
    QFETCH(QString, file);
    QFETCH(int, expectedFaces);
    QFETCH(int, step);
    const QImage picture(facesDir() + "/" + file);
    QVERIFY(!picture.isNull());
    const std::optional<QVector<Face>> all = m_module->detectFaces(picture);
    const std::optional<QVector<Face>> found = m_module->findFaces(picture);
    QVERIFY(all && found);
    QCOMPARE(found->size(), expectedFaces);
    QCOMPARE(found->size(), all->size());
    QVector<int> asked;
    QVector<QRect> boxes;
    for (int f = 0; f < found->size(); ++f) {
        QCOMPARE(found->at(f).rect, all->at(f).rect);
        QCOMPARE(found->at(f).confidence, all->at(f).confidence);
        QVERIFY2(found->at(f).points.isEmpty(), "the search alone predicts no points");
        if ((found->size() - 1 - f) % step == 0) {
            asked.prepend(f);
            boxes.prepend(found->at(f).rect);
        }
    }
    const QVector<std::optional<QVector<QPoint>>> points = m_module->detectPointsInFaces(picture, boxes);
    QCOMPARE(points.size(), asked.size());
    for (int i = 0; i < asked.size(); ++i) {
        QVERIFY(points[i].has_value());
        QCOMPARE(*points[i], all->at(asked[i]).points);
    }
    QVERIFY2(!m_module->findFaces(QImage()).has_value(), "a null picture has nothing to search");
}

// The pipeline asked for the points of a few faces (the Preview's photo masks the 8 largest):
// those faces, with the points of a whole run, and the rest of the result as a whole run's.
void tst_FaceDetectionModule::pipelinePointsTheLargestFacesAskedFor_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("pointedFaces");
    QTest::addColumn<int>("expectedPointed");

    QTest::newRow("crowd, the 8 largest") << "bald_guys.jpg" << 8 << 8;
    QTest::newRow("crowd, the largest") << "bald_guys.jpg" << 1 << 1;
    QTest::newRow("crowd, more than there are") << "bald_guys.jpg" << 30 << 24;
    QTest::newRow("two faces, the largest") << "2008_001009.jpg" << 1 << 1;
    QTest::newRow("no face") << "chelsea.png" << 8 << 0;
}

void tst_FaceDetectionModule::pipelinePointsTheLargestFacesAskedFor()
{
    QFETCH(QString, file);
    QFETCH(int, pointedFaces);
    QFETCH(int, expectedPointed);
    const QImage picture(facesDir() + "/" + file);
    QVERIFY(!picture.isNull());
    const core::DetectionResult whole = core::runLandmarkPipeline(*m_module, picture);
    const core::DetectionResult few = core::runLandmarkPipeline(*m_module, picture, pointedFaces);
    QVERIFY(!whole.points.empty());
    QCOMPARE(few.faceCount, whole.faceCount);
    QCOMPARE(few.placed, whole.placed);
    QVERIFY(few.points == whole.points);
    QCOMPARE(few.faces.size(), whole.faces.size());
    const auto areaOf = [](const QRect& r) { return qint64(r.width()) * r.height(); };
    qint64 smallestPointed = std::numeric_limits<qint64>::max();
    qint64 largestLeft = 0;
    int pointed = 0;
    for (int f = 0; f < few.faces.size(); ++f) {
        const core::DetectedFace& face = few.faces[f];
        QCOMPARE(face.rect, whole.faces[f].rect);
        QVERIFY2(!whole.faces[f].points.empty(), "a whole run gives every face its points");
        if (face.points.empty()) {
            QVERIFY(face.framePoints.empty());
            largestLeft = std::max(largestLeft, areaOf(face.rect));
        } else {
            ++pointed;
            QVERIFY2(face.points == whole.faces[f].points && face.framePoints == whole.faces[f].framePoints,
                     qPrintable(QStringLiteral("face %1 has other points").arg(f)));
            smallestPointed = std::min(smallestPointed, areaOf(face.rect));
        }
    }
    QCOMPARE(pointed, expectedPointed);
    QVERIFY2(largestLeft <= smallestPointed, "a face without points is larger than one with");
}

QTEST_GUILESS_MAIN(tst_FaceDetectionModule)
#include "tst_facedetectionmodule.moc"
