#include "core/poolthreads.h"

#include <QSemaphore>
#include <QThreadPool>

#include <memory>

namespace core {

void keepPoolThreads(QThreadPool& pool)
{
    pool.setExpiryTimeout(-1);
    // Each task holds its thread until all have started, so that each gets one of its own. A
    // task whose thread never starts may still run much later: the semaphores live with it.
    struct Gate {
        QSemaphore started;
        QSemaphore released;
    };
    const auto gate = std::make_shared<Gate>();
    constexpr int waitMs = 2000;
    const int threads = pool.maxThreadCount();
    for (int i = 0; i < threads; ++i) {
        pool.start([gate] {
            gate->started.release();
            gate->released.tryAcquire(1, waitMs);
        });
    }
    gate->started.tryAcquire(threads, waitMs);
    gate->released.release(threads);
}

} // namespace core
