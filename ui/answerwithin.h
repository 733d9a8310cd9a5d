#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace ui {

// Runs ask on a thread of its own and waits at most timeout for its answer: a question to the
// file system (a stat) that a share gone away would hold for ever then holds the caller no longer
// than timeout. Empty when no answer came in time or no thread could be had (*noThread, when given,
// tells which). A question left unanswered goes on on its thread, which ends whenever it returns;
// ask must therefore own what it uses (capture by value) and must not throw. Any thread.
template <typename Answer, typename Ask>
std::optional<Answer> answerWithin(std::chrono::milliseconds timeout, Ask ask, bool* noThread = nullptr)
{
    if (noThread) {
        *noThread = false;
    }
    struct Shared {
        std::mutex lock;
        std::condition_variable answered;
        std::optional<Answer> answer;
    };
    const auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, ask = std::move(ask)]() mutable {
            Answer answer = ask();
            const std::lock_guard<std::mutex> hold(shared->lock);
            shared->answer = std::move(answer);
            shared->answered.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        if (noThread) {
            *noThread = true;
        }
        return std::nullopt;
    }
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->answered.wait_for(hold, timeout, [&] { return shared->answer.has_value(); });
    return shared->answer;
}

} // namespace ui
