#include "core/poolthreads.h"

#include <QSemaphore>
#include <QThreadPool>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace core {

int startableThreads(int wanted, int* error)
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
    const bool small = pthread_attr_init(&attributes) == 0;
    if (small) {
        pthread_attr_setstacksize(&attributes, 64 * 1024); // they only wait: little address space
    }
    std::vector<pthread_t> started;
    int failure = 0;
    for (int i = 0; i < wanted && failure == 0; ++i) {
        pthread_t thread;
        failure = pthread_create(&thread, small ? &attributes : nullptr, waitAtGate, &gate);
        if (failure == 0) {
            started.push_back(thread);
        }
    }
    if (small) {
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
    const int startable = startableThreads(pool.maxThreadCount());
    if (startable == 0) {
        return false;
    }
    pool.setMaxThreadCount(startable);
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
    return true;
}

} // namespace core
