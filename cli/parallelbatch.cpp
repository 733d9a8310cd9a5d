#include "cli/parallelbatch.h"

#include "face_detection_module/facedetectionmodule.h"

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

// Admits inputs while their needs fit the budget; one input is always admitted when none runs.
class MemoryGate
{
public:
    explicit MemoryGate(const MemoryBound& bound) : m_bound(bound) {}

    void enter(int index)
    {
        const qint64 need = needOf(index);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_free.wait(lock, [&] { return m_inUse == 0 || m_inUse + need <= m_bound.budget; });
        m_inUse += need;
    }

    void leave(int index)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_inUse -= needOf(index);
        }
        m_free.notify_all();
    }

private:
    qint64 needOf(int index) const
    {
        if (m_bound.budget <= 0 || index >= int(m_bound.needs.size())) {
            return 0;
        }
        return m_bound.needs[std::size_t(index)];
    }

    const MemoryBound& m_bound;
    std::mutex m_mutex;
    std::condition_variable m_free;
    qint64 m_inUse = 0;
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
              const BatchListener& listener, const MemoryBound& memory)
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
    MemoryGate gate(memory);
    std::atomic<int> next{0};
    auto work = [&](core::FaceDetectionModule& own) {
        for (int index = next++; index < count; index = next++) {
            gate.enter(index);
            events.post({BatchEvent::Started, index});
            runOne(own, index, task);
            gate.leave(index);
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
