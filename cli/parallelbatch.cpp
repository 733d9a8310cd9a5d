#include "parallelbatch.h"

#include "facedetectionmodule.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace cli {

namespace {

constexpr std::chrono::milliseconds tickInterval(500);

// Events from the workers to the calling thread.
class EventQueue
{
public:
    void post(const BatchEvent& event)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(event);
        }
        m_ready.notify_one();
    }

    // The events posted so far, or a Tick when none came within the interval.
    std::deque<BatchEvent> take()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_for(lock, tickInterval, [this] { return !m_events.empty(); })) {
            return {BatchEvent{}};
        }
        std::deque<BatchEvent> taken;
        taken.swap(m_events);
        return taken;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<BatchEvent> m_events;
};

void runOne(core::FaceDetectionModule& module, int index, const BatchTask& task)
{
    try {
        task(module, index);
    } catch (...) {
        // The task reports its own failures; an escaped exception (out of memory) leaves the
        // input without a result, which the caller counts as failed.
    }
}

void runOnCallingThread(core::FaceDetectionModule& module, int count, const BatchTask& task,
                        const BatchListener& listener)
{
    for (int index = 0; index < count; ++index) {
        listener({BatchEvent::Started, index});
        runOne(module, index, task);
        listener({BatchEvent::Finished, index});
    }
}

} // namespace

void runBatch(core::FaceDetectionModule& module, int count, int workerCount, const BatchTask& task,
              const BatchListener& listener)
{
    if (count <= 0) {
        return;
    }
    const int wanted = std::clamp(workerCount, 1, count);
    std::vector<std::unique_ptr<core::FaceDetectionModule>> siblings;
    for (int i = 1; i < wanted; ++i) {
        std::unique_ptr<core::FaceDetectionModule> sibling = module.makeSibling();
        if (!sibling) {
            break;
        }
        siblings.push_back(std::move(sibling));
    }

    EventQueue events;
    std::atomic<int> next{0};
    auto work = [&](core::FaceDetectionModule& own) {
        for (int index = next++; index < count; index = next++) {
            events.post({BatchEvent::Started, index});
            runOne(own, index, task);
            events.post({BatchEvent::Finished, index});
        }
    };

    std::vector<std::thread> threads;
    std::vector<core::FaceDetectionModule*> modules{&module};
    for (const auto& sibling : siblings) {
        modules.push_back(sibling.get());
    }
    for (core::FaceDetectionModule* own : modules) {
        try {
            threads.emplace_back(work, std::ref(*own));
        } catch (const std::system_error&) {
            break;
        }
    }
    if (threads.empty()) {
        runOnCallingThread(module, count, task, listener);
        return;
    }

    int finished = 0;
    while (finished < count) {
        for (const BatchEvent& event : events.take()) {
            finished += event.kind == BatchEvent::Finished ? 1 : 0;
            listener(event);
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

} // namespace cli
