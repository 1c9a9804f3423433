// The bridge between dispatch queues and coroutines: a one-shot completion that work on any thread
// finishes and a coroutine awaits, resuming on the awaiting thread's event loop (the GUI thread for
// main-thread tasks). CoreAudioCall::run and awaitOnQueue are built on it.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <qcoro/qcorotask.h>

#include "Platform/Dispatch/DispatchQueue.h"

namespace QueueAwaitDetail {
// Posts `resume` to the event loop of the thread that called it, through an object living there.
std::function<void(std::function<void()>)> posterForCurrentThread();
} // namespace QueueAwaitDetail

// Shared by the producers racing to finish it and the one coroutine awaiting it. The first finish wins;
// later ones are dropped and report false.
template <typename T>
class OneShotCompletion : public std::enable_shared_from_this<OneShotCompletion<T>> {
public:
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    bool finish(Value value) { return settle<1>(std::move(value)); }
    bool fail(std::exception_ptr error) { return settle<2>(std::move(error)); }
    bool isFinished() const {
        std::lock_guard lock(mutex_);
        return outcome_.index() != 0;
    }

    // co_await completion->wait(): suspends until finished, then returns the value or rethrows.
    auto wait() {
        struct Awaiter {
            std::shared_ptr<OneShotCompletion> state;
            bool await_ready() const { return state->isFinished(); }
            bool await_suspend(std::coroutine_handle<> waiter) {
                auto post = QueueAwaitDetail::posterForCurrentThread();
                std::lock_guard lock(state->mutex_);
                if (state->outcome_.index() != 0) {
                    return false;
                }
                state->waiter_ = waiter;
                state->post_ = std::move(post);
                return true;
            }
            T await_resume() { return state->take(); }
        };
        return Awaiter{this->shared_from_this()};
    }

private:
    // By index: for T = void the value and the empty state are both std::monostate.
    template <std::size_t Index, typename Outcome>
    bool settle(Outcome&& outcome) {
        std::lock_guard lock(mutex_);
        if (outcome_.index() != 0) {
            return false;
        }
        outcome_.template emplace<Index>(std::forward<Outcome>(outcome));
        if (waiter_) {
            // Resumed from the waiter's own event loop, never inline on the finishing thread.
            post_([waiter = waiter_] { waiter.resume(); });
            waiter_ = nullptr;
        }
        return true;
    }

    T take() {
        std::lock_guard lock(mutex_);
        if (auto* error = std::get_if<std::exception_ptr>(&outcome_)) {
            std::rethrow_exception(*error);
        }
        if constexpr (!std::is_void_v<T>) {
            return std::move(std::get<1>(outcome_));
        }
    }

    mutable std::mutex mutex_;
    std::variant<std::monostate, Value, std::exception_ptr> outcome_;
    std::coroutine_handle<> waiter_;
    std::function<void(std::function<void()>)> post_;
};

// Runs the work `body` holds and settles `completion` with its value or its exception, releasing the
// work (and so everything it captured) before the awaiter is resumed. Released afterwards on the
// working thread, a capture could end up holding the last reference to an object its awaiter has
// already let go: that object would then be destroyed here, racing whatever the awaiter does next,
// the end of the process included.
template <typename T, typename F>
void runAndSettle(std::shared_ptr<F>& body, OneShotCompletion<T>& completion) {
    try {
        if constexpr (std::is_void_v<T>) {
            (*body)();
            body.reset();
            completion.finish({});
        } else {
            T value = (*body)();
            body.reset();
            completion.finish(std::move(value));
        }
    } catch (...) {
        body.reset();
        completion.fail(std::current_exception());
    }
}

// Runs `fn` on `queue` and resumes the awaiting coroutine on its own thread with the result or the
// exception. The caller's thread is never blocked.
//
// g++ 12 destroys a lambda (or any aggregate) that is a temporary of a co_await expression twice, so
// its captures are released twice. Never write `co_await awaitOnQueue(q, [captures] { ... })`: make the
// task a named local first, `auto task = awaitOnQueue(...); co_await std::move(task);`. The same holds
// for CoreAudioCall::run and every other call that takes a lambda inside co_await.
template <typename F>
QCoro::Task<std::invoke_result_t<F>> awaitOnQueue(std::shared_ptr<DispatchQueue> queue, F fn) {
    using T = std::invoke_result_t<F>;
    auto completion = std::make_shared<OneShotCompletion<T>>();
    // The work's only owner is the queued item, which releases it before the awaiter resumes.
    queue->async([completion, body = std::make_shared<F>(std::move(fn))]() mutable {
        runAndSettle(body, *completion);
    });
    co_return co_await completion->wait();
}
