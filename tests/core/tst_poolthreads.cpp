// core::keepPoolThreads: once a pool's threads are kept, its work runs although no thread can
// be created any more (memory or the process's thread limit run out). Thread creation is made to
// fail by this program's own pthread_create, which every library's call reaches first.
#include "core/poolthreads.h"
#include "tests/support/processlimit.h"
#include "tests/support/sanitizer.h"
#include "tests/support/threadlimit.h"

#include <QSemaphore>
#include <QThreadPool>
#include <QtTest>

#include <atomic>

#include <unistd.h>

class tst_PoolThreads : public QObject
{
    Q_OBJECT

private slots:
    void workRunsWhenNoThreadCanBeCreated_data();
    void workRunsWhenNoThreadCanBeCreated();
    void poolFitsTheThreadsThereIsRoomFor_data();
    void poolFitsTheThreadsThereIsRoomFor();
    void poolWithNoRoomIsLeftUntouched();
    void poolFitsTheStacksThereIsRoomFor_data();
    void poolFitsTheStacksThereIsRoomFor();
    void cleanup()
    {
        threadlimit::fail = false;
        threadlimit::room = -1;
    }
};

void tst_PoolThreads::workRunsWhenNoThreadCanBeCreated_data()
{
    QTest::addColumn<bool>("global");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("idleMs"); // between keeping the threads and the work: past Qt's expiry

    QTest::newRow("own-pool-of-one") << false << 1 << 0;
    QTest::newRow("own-pool-of-two-after-idling") << false << 2 << 150;
    QTest::newRow("shared-pool") << true << 0 << 0;
}

void tst_PoolThreads::workRunsWhenNoThreadCanBeCreated()
{
    QFETCH(bool, global);
    QFETCH(int, threads);
    QFETCH(int, idleMs);

    // A pool whose work never runs would wait for it when destroyed: it is then left alive.
    QThreadPool* const pool = global ? QThreadPool::globalInstance() : new QThreadPool;
    if (!global) {
        pool->setMaxThreadCount(threads);
        // Qt ends idle threads after this long unless they are kept.
        pool->setExpiryTimeout(50);
    }
    core::keepPoolThreads(*pool);
    QTest::qWait(idleMs);
    threadlimit::fail = true;

    // As many tasks as threads, each waiting for all the others: every thread is needed at once.
    const int count = pool->maxThreadCount();
    QSemaphore arrived;
    std::atomic_int met{0};
    for (int i = 0; i < count; ++i) {
        pool->start([&] {
            arrived.release();
            if (arrived.tryAcquire(count, 20000)) {
                arrived.release(count);
                ++met;
            }
        });
    }
    const bool done = pool->waitForDone(30000);
    threadlimit::fail = false;
    QVERIFY2(done, "the work never ran");
    QCOMPARE(met.load(), count);
    if (!global) {
        delete pool;
    }
}

void tst_PoolThreads::poolFitsTheThreadsThereIsRoomFor_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("roomFor");

    QTest::newRow("three-wanted-room-for-one") << 3 << 1;
    QTest::newRow("three-wanted-room-for-two") << 3 << 2;
    QTest::newRow("two-wanted-room-for-two") << 2 << 2;
}

// Qt counts a thread it could not start as busy for ever, so that waiting for the pool (as every
// program does at its end) would never return: only threads that can start are asked for.
void tst_PoolThreads::poolFitsTheThreadsThereIsRoomFor()
{
    QFETCH(int, threads);
    QFETCH(int, roomFor);

    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(threads);
    threadlimit::room = roomFor;
    core::keepPoolThreads(*pool);
    // A pool whose waiting never returns would wait when destroyed: it is then left alive.
    std::atomic_int ran{0};
    for (int i = 0; i < 2 * threads; ++i) {
        pool->start([&] { ++ran; });
    }
    const bool done = pool->waitForDone(10000);
    QVERIFY2(done, "waiting for the pool never returned");
    QCOMPARE(ran.load(), 2 * threads);
    delete pool;
    threadlimit::room = -1;
}

// Not one thread to be had: the pool is given no task that would wait for ever, and its work runs
// once threads can be created again.
void tst_PoolThreads::poolWithNoRoomIsLeftUntouched()
{
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(1);
    threadlimit::room = 0;
    QVERIFY(!core::keepPoolThreads(*pool));
    threadlimit::room = -1;
    std::atomic_int ran{0};
    pool->start([&] { ++ran; });
    // A pool whose waiting never returns would wait when destroyed: it is then left alive.
    QVERIFY2(pool->waitForDone(10000), "waiting for the pool never returned");
    QCOMPARE(ran.load(), 1);
    delete pool;
}

void tst_PoolThreads::poolFitsTheStacksThereIsRoomFor_data()
{
    QTest::addColumn<int>("stackMb"); // each pool thread's
    QTest::addColumn<int>("spareMb");  // address space left beside what is in use
    QTest::addColumn<bool>("kept");

    // The stacks grow from row to row: the C library keeps an ended thread's stack for the next
    // thread of no larger a stack, and one kept from an earlier row would take none of the room.
    QTest::newRow("room-for-small-threads-only") << 16 << 4 << false;
    QTest::newRow("room-for-one-stack-of-three") << 24 << 36 << true;
}

// Under an address-space limit a thread is refused for its stack: a thread with little stack may
// start where one of the pool's cannot, and only the pool's own count.
void tst_PoolThreads::poolFitsTheStacksThereIsRoomFor()
{
    QFETCH(int, stackMb);
    QFETCH(int, spareMb);
    QFETCH(bool, kept);
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than any limit this test sets");
    }
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(3);
    pool->setStackSize(uint(stackMb) << 20);
    std::atomic_int ran{0};
    bool done = false;
    {
        ProcessLimit limit(RLIMIT_AS, addressSpaceInUse() + (qint64(spareMb) << 20));
        QVERIFY2(limit.isActive(), "the address space was not limited");
        QCOMPARE(core::keepPoolThreads(*pool), kept);
        if (kept) {
            QVERIFY(pool->maxThreadCount() >= 1);
            for (int i = 0; i < 6; ++i) {
                pool->start([&] { ++ran; });
            }
            done = pool->waitForDone(10000);
        }
    }
    if (!kept) {
        // Given nothing while there was no room, the pool takes work once there is.
        pool->start([&] { ++ran; });
        done = pool->waitForDone(10000);
    }
    // A pool whose waiting never returns would wait when destroyed: it is then left alive.
    QVERIFY2(done, "waiting for the pool never returned");
    QCOMPARE(ran.load(), kept ? 6 : 1);
    delete pool;
}

QTEST_GUILESS_MAIN(tst_PoolThreads)
#include "tst_poolthreads.moc"
