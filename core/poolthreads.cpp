#include "core/poolthreads.h"

#include <QSemaphore>
#include <QThreadPool>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace core {

int startableThreads(int wanted, int* error, std::size_t stackBytes)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    } gate;
    const auto waitAtGate = [](void* argument) -> void* {
        auto* shared = static_cast<Gate*>(argument);
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->opened.wait(lock, [shared] { return shared->open; });
        return nullptr;
    };
    pthread_attr_t attributes;
    const bool sized = stackBytes > 0 && pthread_attr_init(&attributes) == 0;
    if (sized && pthread_attr_setstacksize(&attributes, stackBytes) != 0) {
        pthread_attr_destroy(&attributes);
        if (error) {
            *error = EINVAL;
        }
        return 0;
    }
    std::vector<pthread_t> started;
    int failure = 0;
    for (int i = 0; i < wanted && failure == 0; ++i) {
        pthread_t thread;
        failure = pthread_create(&thread, sized ? &attributes : nullptr, waitAtGate, &gate);
        if (failure == 0) {
            started.push_back(thread);
        }
    }
    if (sized) {
        pthread_attr_destroy(&attributes);
    }
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.opened.notify_all();
    for (pthread_t thread : started) {
        pthread_join(thread, nullptr);
    }
    if (error) {
        *error = failure;
    }
    return int(started.size());
}

bool keepPoolThreads(QThreadPool& pool)
{
    pool.setExpiryTimeout(-1);
    // Each task holds its thread until all have started, so that each gets one of its own. A
    // task whose thread does not start in time may still run much later: the semaphores live
    // with it, and its share of the release is there for it then.
    struct Gate {
        QSemaphore started;
        QSemaphore released;
    };
    const auto gate = std::make_shared<Gate>();
    constexpr int waitMs = 2000;
    // One at a time, each once a thread with the pool's stack can be had: a started thread takes
    // address space (its stack, its first allocations) that the next one may have needed.
    const int wanted = pool.maxThreadCount();
    const std::size_t stackBytes = pool.stackSize();
    int threads = 0;
    while (threads < wanted && startableThreads(1, nullptr, stackBytes) == 1) {
        pool.start([gate] {
            gate->started.release();
            gate->released.acquire();
        });
        ++threads;
        if (!gate->started.tryAcquire(1, waitMs)) {
            break;
        }
    }
    if (threads > 0) {
        pool.setMaxThreadCount(threads);
    }
    gate->released.release(threads);
    return threads > 0;
}

} // namespace core
