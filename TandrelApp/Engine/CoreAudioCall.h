// The guarded way into the audio server: every blocking server call runs on one serial queue,
// "qorvix.tandrel.coreaudio", awaited with a label and a time-out, so the GUI thread never waits on a
// hung server. Used by the routing controller, the capture sources, the monitors and the self-tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include <qcoro/qcorotask.h>

#include "Platform/Dispatch/DispatchQueue.h"
#include "TandrelApp/Support/AppError.h"
#include "TandrelApp/Support/QueueAwait.h"

// One failed audio-server call: the operation and the server's status (0 when the call succeeded but
// gave nothing usable).
class CoreAudioError : public AppError {
public:
    static CoreAudioError osStatus(const std::string& operation, int32_t status) {
        return CoreAudioError(operation, status);
    }

    const std::string& operation() const { return operation_; }
    int32_t status() const { return status_; }

private:
    CoreAudioError(const std::string& operation, int32_t status)
        : AppError(operation + " に失敗しました (OSStatus " + std::to_string(status) + ")")
        , operation_(operation)
        , status_(status) {}

    std::string operation_;
    int32_t status_;
};

class CoreAudioCall {
public:
    // The audio server did not answer within the time-out of the call named by `label`.
    class TimedOut : public AppError {
    public:
        explicit TimedOut(const std::string& label)
            : AppError("オーディオシステム（coreaudiod）が応答しません（" + label + "）。")
            , label_(label) {}
        const std::string& label() const { return label_; }

    private:
        std::string label_;
    };

    // The serial call queue, created on first use from any thread.
    static std::shared_ptr<DispatchQueue> queue();

    // Test hook for the responsiveness self-test: every queued call first waits this many seconds,
    // counted from when it starts on the queue.
    static inline std::atomic<double> simulatedDelay{0};

    // Runs `body` on the call queue and returns its value or rethrows its exception, or throws TimedOut
    // once `timeout` seconds pass first. Awaited from a thread with a Qt event loop, which resumes there
    // and is never blocked. A body that finishes late still runs to the end (its captures stay alive
    // until then) and its result is dropped.
    template <typename F>
    static QCoro::Task<std::invoke_result_t<F>> run(std::string label, double timeout, F body);

    // Runs `block` on the call queue and waits for it; in place when the caller already runs on the
    // queue or on a queue targeting it. No time-out: for code off the GUI thread's interactive paths.
    template <typename F>
    static std::invoke_result_t<F> sync(F&& block);

    // Whether the calling thread runs on the call queue (or on a queue that targets it).
    static bool isOnQueue();

private:
    static void waitOutSimulatedDelay();
};

template <typename F>
QCoro::Task<std::invoke_result_t<F>> CoreAudioCall::run(std::string label, double timeout, F body) {
    using T = std::invoke_result_t<F>;
    auto completion = std::make_shared<OneShotCompletion<T>>();
    queue()->async([completion, held = std::make_shared<F>(std::move(body))]() mutable {
        waitOutSimulatedDelay();
        runAndSettle(held, *completion);
    });
    // Scheduled only after the work is queued, and never cancelled: when the body wins, the timer's
    // finish is simply dropped.
    auto delay =
        std::chrono::duration_cast<DispatchQueue::Clock::duration>(std::chrono::duration<double>(timeout));
    DispatchQueue::global()->asyncAfter(
        delay, [completion, label] { completion->fail(std::make_exception_ptr(TimedOut(label))); });
    co_return co_await completion->wait();
}

template <typename F>
std::invoke_result_t<F> CoreAudioCall::sync(F&& block) {
    if (isOnQueue()) {
        return std::forward<F>(block)();
    }
    return queue()->sync(std::forward<F>(block));
}
