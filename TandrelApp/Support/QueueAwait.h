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
    auto body = std::make_shared<F>(std::move(fn));
    queue->async([completion, body] {
        try {
            if constexpr (std::is_void_v<T>) {
                (*body)();
                completion->finish({});
            } else {
                completion->finish((*body)());
            }
        } catch (...) {
            completion->fail(std::current_exception());
        }
    });
    co_return co_await completion->wait();
}
