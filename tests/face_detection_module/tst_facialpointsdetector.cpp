#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/loadendrelay.h"
#include "stocklandmarks.h"

#include <QtTest>

#include <atomic>
#include <cmath>

using namespace core;
using DetectionResult = FacialPointsDetector::DetectionResult;
using Watcher = std::shared_ptr<QFutureWatcher<DetectionResult>>;

namespace {

constexpr int kTimeoutMs = 120000;

QString facePath(const QString& file)
{
    return QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/") + file;
}

bool waitForFinished(const Watcher& watcher)
{
    if (watcher->isFinished()) {
        return true;
    }
    QSignalSpy finished(watcher.get(), &QFutureWatcherBase::finished);
    return finished.wait(kTimeoutMs) || watcher->isFinished();
}

double toUnit(double pixel, int size)
{
    return qBound(0.0, pixel / size, 1.0);
}

// dlib's parts (picture pixels) with the seven points above the eyes and the jaw ends, as
// fractions of size: what the service makes of one face or of the whole picture.
FacialPointVector expectedFromParts(const QVector<QPoint>& parts, QSize size)
{
    FacialPointVector pixels;
    for (const QPoint& p : parts) {
        pixels.emplace_back(p);
    }
    const QPointF p0 = pixels[0], p16 = pixels[16], p36 = pixels[36], p45 = pixels[45];
    const double a = std::atan2(p16.y() - p0.y(), p16.x() - p0.x());
    const double d = std::hypot(p16.x() - p0.x(), p16.y() - p0.y());
    const QPointF n(d * std::sin(a), -d * std::cos(a));
    const QPointF q70 = p36 + 0.45 * n;
    const QPointF q71 = p45 + 0.45 * n;
    for (const QPointF& p : {p0 + 0.25 * n, p16 + 0.25 * n, q70, q71, q71 + 0.75 * (q70 - q71),
                             q71 + 0.5 * (q70 - q71), q71 + 0.25 * (q70 - q71)}) {
        pixels.push_back(p);
    }
    FacialPointVector relative;
    for (const QPointF& p : pixels) {
        relative.emplace_back(toUnit(p.x(), size.width()), toUnit(p.y(), size.height()));
    }
    return relative;
}

// The index of the largest of dlib's faces (earliest among equals), -1 without a face.
int largestStockFace(const StockDetection& stock)
{
    int chosen = -1;
    qint64 largest = -1;
    for (int i = 0; i < stock.faces.size(); ++i) {
        const qint64 area = qint64(stock.faces[i].rect.width()) * stock.faces[i].rect.height();
        if (area > largest) {
            largest = area;
            chosen = i;
        }
    }
    return chosen;
}

// The relative points dlib's own pipeline leads to: those of the largest face, or those
// predicted over the whole picture.
FacialPointVector expectedPoints(const StockDetection& stock)
{
    const int chosen = largestStockFace(stock);
    return expectedFromParts(chosen >= 0 ? stock.faces[chosen].parts : stock.wholePictureParts, stock.size);
}

// Empty when equal: the predicted points exactly, the derived ones up to rounding.
QString differenceBetween(const FacialPointVector& actual, const FacialPointVector& expected)
{
    if (actual.size() != expected.size()) {
        return QStringLiteral("%1 points instead of %2").arg(actual.size()).arg(expected.size());
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const double tolerance = i < 68 ? 0.0 : 1e-9;
        if (qAbs(actual[i].x() - expected[i].x()) > tolerance || qAbs(actual[i].y() - expected[i].y()) > tolerance) {
            return QStringLiteral("point %1 is (%2, %3), expected (%4, %5)")
                .arg(i)
                .arg(actual[i].x(), 0, 'g', 17)
                .arg(actual[i].y(), 0, 'g', 17)
                .arg(expected[i].x(), 0, 'g', 17)
                .arg(expected[i].y(), 0, 'g', 17);
        }
    }
    return {};
}

QString pointOutsideUnitSquare(const FacialPointVector& points)
{
    for (std::size_t i = 0; i < points.size(); ++i) {
        const QPointF& p = points[i];
        if (!(p.x() >= 0 && p.x() <= 1 && p.y() >= 0 && p.y() <= 1)) {
            return QStringLiteral("point %1 is (%2, %3)").arg(i).arg(p.x()).arg(p.y());
        }
    }
    return {};
}

} // namespace

class tst_FacialPointsDetector : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void nullPictureReturnsEmptyPointer();
    void loadsOnceThenAnswersInRequestOrder();
    void preloadLoadsBeforeTheFirstRequest();
    void destructionWaitsForQueuedDetection();
    void resultsMatchStockDlib_data();
    void resultsMatchStockDlib();
    void oddPicturesComplete_data();
    void oddPicturesComplete();
    void everyFaceMatchesStockDlib_data();
    void everyFaceMatchesStockDlib();
    void synchronousWaitOnFreshService_data();
    void synchronousWaitOnFreshService();

private:
    std::unique_ptr<StockLandmarks> m_stock;
    StockDetection m_astronaut;
    StockDetection m_chelsea;
    // Shared by the data-driven tests so that the model is read once for all their rows.
    std::unique_ptr<FacialPointsDetector> m_shared;
};

void tst_FacialPointsDetector::initTestCase()
{
    QVERIFY2(QFile::exists("shape_predictor.dat"), "the test must run in a directory holding shape_predictor.dat");
    m_stock = std::make_unique<StockLandmarks>("shape_predictor.dat");
    QVERIFY2(m_stock->isLoaded(), "the reference pipeline must read the model");
    m_astronaut = m_stock->detectFile(facePath("astronaut.png"));
    m_chelsea = m_stock->detectFile(facePath("chelsea.png"));
    QCOMPARE(m_astronaut.faces.size(), 1);
    QCOMPARE(m_chelsea.faces.size(), 0);
    m_shared = std::make_unique<FacialPointsDetector>();
}

void tst_FacialPointsDetector::cleanupTestCase()
{
    m_shared.reset();
    m_stock.reset();
}

void tst_FacialPointsDetector::nullPictureReturnsEmptyPointer()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());

    QVERIFY2(!detector.detect(QImage()), "a null picture must not give a watcher");
    QVERIFY2(!detector.detect(QImage(0, 10, QImage::Format_RGB888)), "a picture without pixels is null too");
    QCOMPARE(detector.state(), FacialPointsDetector::NotInitialized);
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 0);
}

void tst_FacialPointsDetector::loadsOnceThenAnswersInRequestOrder()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());
    QCOMPARE(detector.state(), FacialPointsDetector::NotInitialized);

    const QImage astronaut(facePath("astronaut.png"));
    const QImage chelsea(facePath("chelsea.png"));
    QFuture<DetectionResult> firstFuture;
    QFuture<DetectionResult> secondFuture;
    std::atomic<int> stateAtLoadEnd{-1};
    std::atomic<bool> detectionRanBeforeLoadEnd{false};
    // Held while the futures are taken, so that the worker reads them only once they are set.
    QMutex futuresTaken;
    // Direct: runs on the worker the moment loading ends, before any queued detection.
    connect(&detector, &FacialPointsDetector::initializingFinished, this,
            [&]() {
                QMutexLocker locker(&futuresTaken);
                stateAtLoadEnd = detector.state();
                detectionRanBeforeLoadEnd = firstFuture.isFinished() || secondFuture.isFinished();
            },
            Qt::DirectConnection);

    futuresTaken.lock();
    const Watcher first = detector.detect(astronaut);
    QCOMPARE(detector.state(), FacialPointsDetector::Initializing);
    const Watcher second = detector.detect(chelsea);
    if (!first || !second) {
        futuresTaken.unlock();
        QFAIL("a real picture must give a watcher");
    }
    firstFuture = first->future();
    secondFuture = second->future();
    futuresTaken.unlock();

    QStringList order;
    connect(first.get(), &QFutureWatcherBase::finished, this, [&]() { order << "first"; });
    connect(second.get(), &QFutureWatcherBase::finished, this, [&]() { order << "second"; });

    QVERIFY2(waitForFinished(first) && waitForFinished(second), "both detections must finish");
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, kTimeoutMs);
    QCOMPARE(order, QStringList({"first", "second"}));
    QTRY_COMPARE(initialized.count(), 1);
    QCOMPARE(stateAtLoadEnd.load(), int(FacialPointsDetector::Initialized));
    QVERIFY2(!detectionRanBeforeLoadEnd, "detections queued before loading must wait for it");
    QCOMPARE(detector.state(), FacialPointsDetector::Initialized);

    const DetectionResult withFace = first->result();
    QCOMPARE(withFace.faceCount, 1);
    QString diff = differenceBetween(withFace.points, expectedPoints(m_astronaut));
    QVERIFY2(diff.isEmpty(), qPrintable("astronaut: " + diff));

    const DetectionResult withoutFace = second->result();
    QCOMPARE(withoutFace.faceCount, 0);
    diff = differenceBetween(withoutFace.points, expectedPoints(m_chelsea));
    QVERIFY2(diff.isEmpty(), qPrintable("chelsea: " + diff));

    // A request after loading neither loads again nor signals again.
    const Watcher third = detector.detect(astronaut);
    QVERIFY(third && waitForFinished(third));
    QCOMPARE(third->result().faceCount, 1);
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Initialized);
}

void tst_FacialPointsDetector::preloadLoadsBeforeTheFirstRequest()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());
    QVERIFY2(detector.preload(), "the model file is here, so loading must start");
    QCOMPARE(detector.state(), FacialPointsDetector::Initializing);
    // Asking again while it loads changes nothing.
    QVERIFY(detector.preload());
    QVERIFY(initialized.wait(kTimeoutMs));
    QCOMPARE(detector.state(), FacialPointsDetector::Initialized);
    QVERIFY2(!detector.preload(), "loading has ended: nothing is under way");

    // The first request finds the model loaded: no second loading, no second signal.
    const Watcher watcher = detector.detect(QImage(facePath("astronaut.png")));
    QVERIFY(watcher && waitForFinished(watcher));
    QCOMPARE(watcher->result().faceCount, 1);
    QString diff = differenceBetween(watcher->result().points, expectedPoints(m_astronaut));
    QVERIFY2(diff.isEmpty(), qPrintable("astronaut: " + diff));
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 1);
}

void tst_FacialPointsDetector::destructionWaitsForQueuedDetection()
{
    auto detector = std::make_unique<FacialPointsDetector>();
    const Watcher watcher = detector->detect(QImage(facePath("astronaut.png")));
    QVERIFY(watcher);
    const QFuture<DetectionResult> future = watcher->future();
    QVERIFY2(!future.isFinished(), "the detection is queued behind loading the model");

    detector.reset();
    QVERIFY2(future.isFinished(), "destroying the service must wait for its queued detection");
    QCOMPARE(future.resultCount(), 1);
    QCOMPARE(future.result().faceCount, 1);
    QCOMPARE(int(future.result().points.size()), 75);
    // The watcher outlives the service and still hears of the end.
    QVERIFY(waitForFinished(watcher));
}

void tst_FacialPointsDetector::resultsMatchStockDlib_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("faceCount");

    QTest::newRow("many-faces-largest-chosen") << "bald_guys.jpg" << 24;
    QTest::newRow("two-faces") << "2008_001009.jpg" << 2;
    QTest::newRow("one-large-face") << "Tom_Cruise_avp_2014_4.jpg" << 1;
    QTest::newRow("faces-too-small-none-found") << "2007_007763.jpg" << 0;
    QTest::newRow("grey-no-face") << "camera.png" << 0;
}

void tst_FacialPointsDetector::resultsMatchStockDlib()
{
    QFETCH(QString, file);
    QFETCH(int, faceCount);
    const StockDetection stock = m_stock->detectFile(facePath(file));
    QVERIFY(stock.pictureLoaded);
    QCOMPARE(stock.faces.size(), faceCount);

    const Watcher watcher = m_shared->detect(QImage(facePath(file)));
    QVERIFY(watcher && waitForFinished(watcher));
    const DetectionResult result = watcher->result();
    QCOMPARE(result.faceCount, faceCount);
    QCOMPARE(int(result.points.size()), 75);
    QCOMPARE(result.faces.size(), faceCount);
    QCOMPARE(result.placed, largestStockFace(stock));
    const QString outside = pointOutsideUnitSquare(result.points);
    QVERIFY2(outside.isEmpty(), qPrintable(outside));
    const QString diff = differenceBetween(result.points, expectedPoints(stock));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_FacialPointsDetector::oddPicturesComplete_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("pointCount");

    QImage onePixel(1, 1, QImage::Format_Indexed8);
    onePixel.setColorTable({qRgb(10, 20, 30)});
    onePixel.fill(0);
    QImage grey16(3, 1, QImage::Format_Grayscale16);
    grey16.fill(Qt::darkGray);
    // Its 24-bit copy would need more bits per line than QImage can address.
    QImage huge(100000000, 1, QImage::Format_Indexed8);
    huge.setColorTable({qRgb(0, 0, 0)});
    huge.fill(0);

    QTest::newRow("one-indexed-pixel") << onePixel << 75;
    QTest::newRow("grey16-strip") << grey16 << 75;
    if (!huge.isNull()) {
        QTest::newRow("unconvertible-gives-empty-result") << huge << 0;
    }
}

void tst_FacialPointsDetector::oddPicturesComplete()
{
    QFETCH(QImage, picture);
    QFETCH(int, pointCount);
    const Watcher watcher = m_shared->detect(picture);
    QVERIFY(watcher && waitForFinished(watcher));
    QCOMPARE(m_shared->state(), FacialPointsDetector::Initialized);
    const DetectionResult result = watcher->result();
    QCOMPARE(result.faceCount, 0);
    QCOMPARE(int(result.points.size()), pointCount);
    QVERIFY(result.faces.isEmpty());
    QCOMPARE(result.placed, -1);
    const QString outside = pointOutsideUnitSquare(result.points);
    QVERIFY2(outside.isEmpty(), qPrintable(outside));
}

void tst_FacialPointsDetector::everyFaceMatchesStockDlib_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("two-faces") << "2008_001009.jpg";
    QTest::newRow("crowd") << "bald_guys.jpg";
}

// Every face, not only the placed one, carries dlib's rectangle and the points dlib's own
// pipeline predicts in that rectangle.
void tst_FacialPointsDetector::everyFaceMatchesStockDlib()
{
    QFETCH(QString, file);
    const StockDetection stock = m_stock->detectFile(facePath(file));
    QVERIFY(stock.pictureLoaded);
    QVERIFY2(stock.faces.size() >= 2, "the picture must hold several faces");

    const Watcher watcher = m_shared->detect(QImage(facePath(file)));
    QVERIFY(watcher && waitForFinished(watcher));
    const DetectionResult result = watcher->result();
    QCOMPARE(result.faces.size(), stock.faces.size());
    for (int f = 0; f < stock.faces.size(); ++f) {
        QCOMPARE(result.faces[f].rect, stock.faces[f].rect);
        const QString diff =
            differenceBetween(result.faces[f].points, expectedFromParts(stock.faces[f].parts, stock.size));
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("face %1: %2").arg(f).arg(diff)));
    }
    QCOMPARE(result.placed, largestStockFace(stock));
    QCOMPARE(result.points, result.faces[result.placed].points);
}

void tst_FacialPointsDetector::synchronousWaitOnFreshService_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("waitedOn");

    QTest::newRow("first-request-with-face") << QStringList{"astronaut.png"} << 0;
    QTest::newRow("first-request-without-face") << QStringList{"chelsea.png"} << 0;
    QTest::newRow("second-request-waited-on-first") << QStringList{"chelsea.png", "astronaut.png"} << 1;
    QTest::newRow("first-of-two-requests") << QStringList{"astronaut.png", "chelsea.png"} << 0;
}

// A caller without an event loop (a command-line tool) waits on the future itself; Qt may then
// run the still-queued detection on the waiting thread while the model is still being loaded.
void tst_FacialPointsDetector::synchronousWaitOnFreshService()
{
    QFETCH(QStringList, files);
    QFETCH(int, waitedOn);

    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());
    QList<Watcher> watchers;
    for (const QString& file : files) {
        watchers.append(detector.detect(QImage(facePath(file))));
        QVERIFY(watchers.last());
    }
    QFuture<DetectionResult> future = watchers[waitedOn]->future();
    future.waitForFinished();
    QCOMPARE(future.resultCount(), 1);
    const DetectionResult result = future.result();
    const StockDetection stock = files[waitedOn] == QLatin1String("astronaut.png") ? m_astronaut : m_chelsea;
    QCOMPARE(result.faceCount, int(stock.faces.size()));
    const QString diff = differenceBetween(result.points, expectedPoints(stock));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(detector.state(), FacialPointsDetector::Initialized);

    for (const Watcher& watcher : watchers) {
        watcher->waitForFinished();
        QCOMPARE(int(watcher->result().points.size()), 75);
    }
    QTRY_COMPARE(initialized.count(), 1);
}

QTEST_GUILESS_MAIN(tst_FacialPointsDetector)
#include "tst_facialpointsdetector.moc"
