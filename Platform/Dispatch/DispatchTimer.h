// Repeating timers whose handler runs on a dispatch queue (the application audio monitor's poll, for
// example). Held by their owner: cancelling or destroying the timer stops further handlers.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "Platform/Dispatch/DispatchQueue.h"

class DispatchTimer {
public:
    using Duration = DispatchQueue::Clock::duration;

    // Starts a timer that runs `handler` on `queue` every `interval`, first after `firstDelay`. Ticks
    // are planned on a fixed grid (no drift); the handler may run up to `leeway` late. While a handler
    // is still waiting on its queue, further ticks are merged into it.
    static std::unique_ptr<DispatchTimer> repeating(std::shared_ptr<DispatchQueue> queue, Duration interval,
                                                    Duration leeway, std::function<void()> handler,
                                                    std::optional<Duration> firstDelay = std::nullopt);

    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;
    // Cancels.
    ~DispatchTimer();

    // No handler starts after this returns (one already running on another thread finishes).
    void cancel();
    bool isCancelled() const;
    Duration leeway() const { return leeway_; }
    Duration interval() const { return interval_; }

    struct State;

private:
    DispatchTimer(std::shared_ptr<State> state, Duration interval, Duration leeway);
    std::shared_ptr<State> state_;
    Duration interval_;
    Duration leeway_;
};
