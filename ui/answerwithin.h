#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace ui {

// Tells postToApplication() when the application object goes. GUI thread; once is enough.
void watchApplicationEnd();
// Runs job on the GUI thread later; dropped when the application object has gone meanwhile.
// Any thread, once watchApplicationEnd() was called.
void postToApplication(std::function<void()> job);

namespace detail {

// The thread and the wait that answerWithin() and answerWithinOrLater() share. late, when not
// empty, takes an answer that comes after the caller stopped waiting, on the asking thread.
template <typename Answer, typename Ask>
std::optional<Answer> askAndWait(std::chrono::milliseconds timeout, Ask ask,
                                 std::function<void(Answer&&)> late, bool* noThread)
{
    if (noThread) {
        *noThread = false;
    }
    struct Shared {
        std::mutex lock;
        std::condition_variable answered;
        std::optional<Answer> answer;
        std::function<void(Answer&&)> late; // set once the caller has stopped waiting
    };
    const auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, ask = std::move(ask)]() mutable {
            Answer answer = ask();
            std::function<void(Answer&&)> then;
            {
                const std::lock_guard<std::mutex> hold(shared->lock);
                then = std::move(shared->late);
                if (!then) {
                    shared->answer = std::move(answer);
                }
            }
            shared->answered.notify_all();
            if (then) {
                then(std::move(answer));
            }
        }).detach();
    } catch (const std::system_error&) {
        if (noThread) {
            *noThread = true;
        }
        return std::nullopt;
    }
    std::unique_lock<std::mutex> hold(shared->lock);
    if (!shared->answered.wait_for(hold, timeout, [&] { return shared->answer.has_value(); })) {
        shared->late = std::move(late);
    }
    return shared->answer;
}

} // namespace detail

// Runs ask on a thread of its own and waits at most timeout for its answer: a question to the
// file system (a stat) that a share gone away would hold for ever then holds the caller no longer
// than timeout. Empty when no answer came in time or no thread could be had (*noThread, when given,
// tells which). A question left unanswered goes on on its thread, which ends whenever it returns;
// ask must therefore own what it uses (capture by value) and must not throw. Any thread.
template <typename Answer, typename Ask>
std::optional<Answer> answerWithin(std::chrono::milliseconds timeout, Ask ask, bool* noThread = nullptr)
{
    return detail::askAndWait<Answer>(timeout, std::move(ask), {}, noThread);
}

// As answerWithin(), and an answer that comes after timeout is not lost: later(answer) runs with
// it on the GUI thread then, unless the application object has gone meanwhile. later must own
// what it uses and see for itself whether what it acts on is still there and still wants the
// answer. Answer must be copyable. GUI thread.
template <typename Answer, typename Ask, typename Later>
std::optional<Answer> answerWithinOrLater(std::chrono::milliseconds timeout, Ask ask, Later later,
                                          bool* noThread = nullptr)
{
    watchApplicationEnd();
    std::function<void(Answer&&)> late = [later = std::move(later)](Answer&& answer) {
        postToApplication([later, answer = std::move(answer)] { later(answer); });
    };
    return detail::askAndWait<Answer>(timeout, std::move(ask), std::move(late), noThread);
}

} // namespace ui
