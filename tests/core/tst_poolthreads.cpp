// core::keepPoolThreads: once a pool's threads are kept, its work runs although no thread can
// be created any more (memory or the process's thread limit run out). Thread creation is made to
// fail by this program's own pthread_create, which every library's call reaches first.
#include "core/poolthreads.h"

#include <QSemaphore>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <pthread.h>

namespace {

std::atomic_bool threadsFail{false};

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*run)(void*),
                              void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (threadsFail.load() || !create) {
        return EAGAIN;
    }
    return create(thread, attributes, run, argument);
}

class tst_PoolThreads : public QObject
{
    Q_OBJECT

private slots:
    void workRunsWhenNoThreadCanBeCreated_data();
    void workRunsWhenNoThreadCanBeCreated();
    void cleanup() { threadsFail = false; }
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
    threadsFail = true;

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
    threadsFail = false;
    QVERIFY2(done, "the work never ran");
    QCOMPARE(met.load(), count);
    if (!global) {
        delete pool;
    }
}

QTEST_GUILESS_MAIN(tst_PoolThreads)
#include "tst_poolthreads.moc"
