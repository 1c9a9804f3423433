#include "Platform/Dispatch/DispatchTimer.h"

#include <mutex>

#include "Platform/Dispatch/TimerService.h"

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
    std::mutex mutex;
    bool cancelled = false;
    bool handlerQueued = false;
    std::shared_ptr<DispatchQueue> queue;
    std::function<void()> handler;
    Duration interval{};
    DispatchQueue::Clock::time_point deadline;

    void arm() {
        std::weak_ptr<State> weak = weak_from_this();
        DispatchInternal::scheduleAt(deadline, [weak] {
            if (auto state = weak.lock()) {
                state->fire();
            }
        });
    }

    // On the timer thread: queue one handler unless one is still waiting, then plan the next tick.
    void fire() {
        std::lock_guard lock(mutex);
        if (cancelled) {
            return;
        }
        if (!handlerQueued) {
            handlerQueued = true;
            queue->async([self = shared_from_this()] { self->runHandler(); });
        }
        auto now = DispatchQueue::Clock::now();
        do {
            deadline += interval;
        } while (deadline <= now);
        arm();
    }

    void runHandler() {
        std::function<void()> h;
        {
            std::lock_guard lock(mutex);
            handlerQueued = false;
            if (cancelled) {
                return;
            }
            h = handler;
        }
        h();
    }
};

std::unique_ptr<DispatchTimer> DispatchTimer::repeating(std::shared_ptr<DispatchQueue> queue,
                                                        Duration interval, Duration leeway,
                                                        std::function<void()> handler,
                                                        std::optional<Duration> firstDelay) {
    if (interval <= Duration::zero()) {
        interval = std::chrono::milliseconds(1);
    }
    auto state = std::make_shared<State>();
    state->queue = std::move(queue);
    state->handler = std::move(handler);
    state->interval = interval;
    state->deadline = DispatchQueue::Clock::now() + firstDelay.value_or(interval);
    state->arm();
    return std::unique_ptr<DispatchTimer>(new DispatchTimer(std::move(state), interval, leeway));
}

DispatchTimer::DispatchTimer(std::shared_ptr<State> state, Duration interval, Duration leeway)
    : state_(std::move(state))
    , interval_(interval)
    , leeway_(leeway) {}

DispatchTimer::~DispatchTimer() {
    cancel();
}

void DispatchTimer::cancel() {
    std::function<void()> dropped;
    {
        std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
        dropped = std::move(state_->handler);
    }
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}
