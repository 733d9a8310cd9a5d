// The detection service in a working directory without a usable landmark model.
#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/loadendrelay.h"

#include <QtTest>

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/serialize.h>

using namespace core;
using DetectionResult = FacialPointsDetector::DetectionResult;
using Watcher = std::shared_ptr<QFutureWatcher<DetectionResult>>;

namespace {

constexpr int kTimeoutMs = 60000;

QImage astronaut()
{
    return QImage(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
}

bool waitForFinished(const Watcher& watcher)
{
    if (watcher->isFinished()) {
        return true;
    }
    QSignalSpy finished(watcher.get(), &QFutureWatcherBase::finished);
    return finished.wait(kTimeoutMs) || watcher->isFinished();
}

// Runs a test body in a fresh temporary directory and goes back to the test's own afterwards.
class WorkingDirectory
{
public:
    WorkingDirectory()
        : m_previous(QDir::currentPath())
    {
        m_valid = m_dir.isValid() && QDir::setCurrent(m_dir.path());
    }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }
    bool isValid() const { return m_valid; }

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_valid = false;
};

} // namespace

class tst_FacialPointsDetectorFailure : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void missingModelFailsOnceAndAnswersEmpty();
    void preloadWithoutModelChangesNothing();
    void noSecondLoadingAttemptAfterFailure();
    void modelWithTooFewPartsFails();
    void nullPictureAfterFailureChangesNothing();
    void synchronousWaitEndsInFailure();
};

void tst_FacialPointsDetectorFailure::initTestCase()
{
    QVERIFY2(!QFile::exists("shape_predictor.dat"), "this test must run in a directory without the model");
}

void tst_FacialPointsDetectorFailure::missingModelFailsOnceAndAnswersEmpty()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());

    QImage onePixel(1, 1, QImage::Format_Grayscale8);
    onePixel.fill(Qt::white);
    const QList<Watcher> watchers{detector.detect(astronaut()), detector.detect(onePixel),
                                  detector.detect(astronaut().convertToFormat(QImage::Format_RGB888))};
    // Loading started with the first request; on a busy machine it may have failed already.
    QVERIFY(detector.state() == FacialPointsDetector::Initializing
            || detector.state() == FacialPointsDetector::Failed);

    for (const Watcher& watcher : watchers) {
        QVERIFY(watcher);
        QVERIFY2(waitForFinished(watcher), "a detection after a failed load must still finish");
        const DetectionResult result = watcher->result();
        QCOMPARE(result.faceCount, 0);
        QVERIFY2(result.points.empty(), "without a model there are no points");
    }
    QTRY_COMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
}

void tst_FacialPointsDetectorFailure::preloadWithoutModelChangesNothing()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    QVERIFY(initialized.isValid());
    // Without a file the failure is left to the first request, which reports it as before.
    QVERIFY(!detector.preload());
    QCOMPARE(detector.state(), FacialPointsDetector::NotInitialized);
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 0);
    const Watcher watcher = detector.detect(astronaut());
    QVERIFY(watcher && waitForFinished(watcher));
    QTRY_COMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
}

void tst_FacialPointsDetectorFailure::noSecondLoadingAttemptAfterFailure()
{
    WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);

    const Watcher before = detector.detect(astronaut());
    QVERIFY(before && waitForFinished(before));
    QTRY_COMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);

    // Now a good model appears where it is looked for; a retry would find it.
    QVERIFY(QFile::link(QStringLiteral(FACEMASK_SYSTEM_MODEL), "shape_predictor.dat"));
    const Watcher after = detector.detect(astronaut());
    QVERIFY(after && waitForFinished(after));
    QCOMPARE(after->result().faceCount, 0);
    QVERIFY(after->result().points.empty());
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
}

void tst_FacialPointsDetectorFailure::modelWithTooFewPartsFails()
{
    WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    // A well-formed model whose shape has only 45 parts: part 45 does not exist.
    dlib::matrix<float, 0, 1> meanShape(90);
    meanShape = 0.5f;
    dlib::serialize("shape_predictor.dat") << dlib::shape_predictor(meanShape, {}, {});

    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    const Watcher watcher = detector.detect(astronaut());
    QVERIFY(watcher && waitForFinished(watcher));
    QTRY_COMPARE(initialized.count(), 1);
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
    QCOMPARE(watcher->result().faceCount, 0);
    QVERIFY(watcher->result().points.empty());
}

void tst_FacialPointsDetectorFailure::nullPictureAfterFailureChangesNothing()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    const Watcher watcher = detector.detect(astronaut());
    QVERIFY(watcher && waitForFinished(watcher));
    QTRY_COMPARE(initialized.count(), 1);

    QVERIFY(!detector.detect(QImage()));
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
    QCoreApplication::processEvents();
    QCOMPARE(initialized.count(), 1);
}

// Waited on without an event loop, the first request still ends after the failed load, empty.
void tst_FacialPointsDetectorFailure::synchronousWaitEndsInFailure()
{
    FacialPointsDetector detector;
    LoadEndRelay relay(&detector);
    QSignalSpy initialized(&relay, &LoadEndRelay::loadEnded);
    const Watcher first = detector.detect(astronaut());
    const Watcher second = detector.detect(astronaut());
    QVERIFY(first && second);
    QFuture<DetectionResult> future = second->future();
    future.waitForFinished();
    QCOMPARE(future.resultCount(), 1);
    QVERIFY(future.result().points.empty());
    QCOMPARE(detector.state(), FacialPointsDetector::Failed);
    first->waitForFinished();
    QVERIFY(first->result().points.empty());
    QTRY_COMPARE(initialized.count(), 1);
}

QTEST_GUILESS_MAIN(tst_FacialPointsDetectorFailure)
#include "tst_facialpointsdetectorfailure.moc"
