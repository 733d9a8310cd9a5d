// cli::runBatch: every input once, and never more at once than the memory bound lets in.
#include "cli/parallelbatch.h"

#include "cli/memorybudget.h"
#include "core/pngcodec.h"
#include "face_detection_module/facedetectionmodule.h"

#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <mutex>

class tst_ParallelBatch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void memoryBound_data();
    void memoryBound();
    void pictureNeedsFollowTheirHeaders_data();
    void pictureNeedsFollowTheirHeaders();

private:
    std::unique_ptr<core::FaceDetectionModule> m_module;
};

void tst_ParallelBatch::initTestCase()
{
    m_module = core::FaceDetectionModule::load();
    QVERIFY2(m_module, "the test must run beside shape_predictor.dat");
}

void tst_ParallelBatch::memoryBound_data()
{
    QTest::addColumn<QVector<qint64>>("needs");
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("expectedPeak");  // the most memory the inputs held at once
    QTest::addColumn<int>("holdMs");           // how long an input waits for the others to start

    // An input holds on until every input has started, or until the hold ends: where the bound
    // lets them run together, they are seen together; where it does not, the first gives up.
    QTest::newRow("two-large-one-at-a-time") << QVector<qint64>{60, 60} << qint64(100) << qint64(60) << 300;
    QTest::newRow("two-small-together") << QVector<qint64>{30, 30} << qint64(100) << qint64(60) << 20000;
    QTest::newRow("no-bound-together") << QVector<qint64>{60, 60} << qint64(0) << qint64(120) << 20000;
    QTest::newRow("above-the-budget-still-runs") << QVector<qint64>{500} << qint64(100) << qint64(500) << 0;
    QTest::newRow("large-then-small-wait") << QVector<qint64>{90, 20} << qint64(100) << qint64(90) << 300;
}

void tst_ParallelBatch::memoryBound()
{
    QFETCH(QVector<qint64>, needs);
    QFETCH(qint64, budget);
    QFETCH(qint64, expectedPeak);
    QFETCH(int, holdMs);

    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    qint64 inUse = 0;
    qint64 peak = 0;
    QVector<int> runs(needs.size(), 0);
    const cli::BatchTask task = [&](core::FaceDetectionModule&, int index) {
        std::unique_lock<std::mutex> lock(mutex);
        ++runs[index];
        ++started;
        inUse += needs[index];
        peak = std::max(peak, inUse);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::milliseconds(holdMs), [&] { return started == needs.size(); });
        inUse -= needs[index];
    };
    cli::MemoryBound bound;
    bound.needs.assign(needs.begin(), needs.end());
    bound.budget = budget;
    int finished = 0;
    cli::runBatch(*m_module, needs.size(), 2, task,
                  [&](const cli::BatchEvent& event) { finished += event.kind == cli::BatchEvent::Finished; },
                  bound);
    QCOMPARE(finished, needs.size());
    QCOMPARE(runs, QVector<int>(needs.size(), 1));
    QCOMPARE(peak, expectedPeak);
}

void tst_ParallelBatch::pictureNeedsFollowTheirHeaders_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("photo") << QSize(640, 480);
    // Sides over a million pixels, which the intake reads, within its pixel bound.
    QTest::newRow("tall-strip") << QSize(1, 1'500'000);
    QTest::newRow("wide-strip") << QSize(1'500'000, 1);
}

// Each picture of a batch counts with the pixels its header declares, however thin it is.
void tst_ParallelBatch::pictureNeedsFollowTheirHeaders()
{
    QFETCH(QSize, size);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QImage picture(size, QImage::Format_RGB32);
    QVERIFY(!picture.isNull());
    picture.fill(Qt::gray);
    const QString path = folder.filePath(QStringLiteral("picture.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(core::png::encode(picture)) > 0);
    file.close();
    const cli::MemoryBound bound = cli::pictureMemoryBound({path}, 1);
    QCOMPARE(bound.needs.size(), std::size_t(1));
    QCOMPARE(bound.needs.front(), cli::packageMemoryNeed(size));
}

QTEST_GUILESS_MAIN(tst_ParallelBatch)
#include "tst_parallelbatch.moc"
