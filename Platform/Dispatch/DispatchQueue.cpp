#include "Platform/Dispatch/DispatchQueue.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Dispatch/ThreadQoS.h"
#include "Platform/Dispatch/TimerService.h"

namespace {

// The elastic pools behind the global queues, one per quality of service. A thread is added whenever
// there is more queued work than idle threads, and threads that stay idle for a while leave. The pools
// are never destroyed, so their detached threads never touch a destroyed object at exit.
class ThreadPool {
public:
    static ThreadPool& forQoS(DispatchQoS qos) {
        static auto* pools = new std::array<ThreadPool, 5>();
        return (*pools)[static_cast<size_t>(qos)];
    }

    void submit(DispatchQoS qos, std::function<void()> task) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        if (tasks_.size() > idle_) {
            std::thread([this, qos] {
                DispatchInternal::applyQoS(qos);
                workerLoop();
            }).detach();
        } else {
            wake_.notify_one();
        }
    }

private:
    void workerLoop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (tasks_.empty()) {
                ++idle_;
                bool woke = wake_.wait_for(lock, idleLifetime, [this] { return !tasks_.empty(); });
                --idle_;
                if (!woke) {
                    return;
                }
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr; // release what the task captured before waiting again
            lock.lock();
        }
    }

    static constexpr std::chrono::seconds idleLifetime{10};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    size_t idle_ = 0;
};

// The queues whose items the calling thread is running, innermost last: a queue's drain runs inside
// its target's item, so the stack holds the current queue followed by its targets.
thread_local std::vector<const DispatchQueue*> currentQueues;

struct ScopedCurrent {
    explicit ScopedCurrent(const DispatchQueue* q) { currentQueues.push_back(q); }
    ~ScopedCurrent() { currentQueues.pop_back(); }
    ScopedCurrent(const ScopedCurrent&) = delete;
    ScopedCurrent& operator=(const ScopedCurrent&) = delete;
};

bool onStack(const DispatchQueue* q) {
    return std::find(currentQueues.begin(), currentQueues.end(), q) != currentQueues.end();
}

void runGuarded(const DispatchQueue& queue, const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Dispatch: uncaught exception in an item of queue \"%s\": %s\n",
                     queue.label().c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "Dispatch: uncaught exception in an item of queue \"%s\"\n",
                     queue.label().c_str());
    }
}

struct MainThread {
    std::mutex mutex;
    std::function<void(std::function<void()>)> post;
    std::thread::id id;
    bool registered = false;
};

MainThread& mainThread() {
    static MainThread* instance = new MainThread();
    return *instance;
}

constexpr size_t drainBatch = 16;

} // namespace

struct DispatchQueue::Private {
    mutable std::mutex mutex;
    std::deque<Work> items;
    bool drainScheduled = false;
    std::unordered_map<const void*, std::shared_ptr<const void>> specifics;
};

DispatchQueue::DispatchQueue(std::string label, DispatchQoS qos, Kind kind,
                             std::shared_ptr<DispatchQueue> target)
    : label_(std::move(label))
    , qos_(qos)
    , kind_(kind)
    , target_(std::move(target))
    , d_(std::make_unique<Private>()) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label, DispatchQoS qos,
                                                     std::shared_ptr<DispatchQueue> target) {
    return std::shared_ptr<DispatchQueue>(
        new DispatchQueue(std::move(label), qos, Kind::serial, std::move(target)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(DispatchQoS qos) {
    // Never destroyed: timer and pool threads may still reach them while the process exits.
    static const auto* queues = new std::array<std::shared_ptr<DispatchQueue>, 5>([] {
        auto make = [](const char* label, DispatchQoS q) {
            return std::shared_ptr<DispatchQueue>(new DispatchQueue(label, q, Kind::concurrent, nullptr));
        };
        return std::array<std::shared_ptr<DispatchQueue>, 5>{
            make("global.background", DispatchQoS::background),
            make("global.utility", DispatchQoS::utility),
            make("global.default", DispatchQoS::standard),
            make("global.user-initiated", DispatchQoS::userInitiated),
            make("global.user-interactive", DispatchQoS::userInteractive),
        };
    }());
    return (*queues)[static_cast<size_t>(qos)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const auto* queue = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue("main", DispatchQoS::userInteractive, Kind::main, nullptr));
    return *queue;
}

void DispatchQueue::registerMainThread(std::function<void(Work)> post) {
    auto& m = mainThread();
    std::lock_guard lock(m.mutex);
    m.post = std::move(post);
    m.id = std::this_thread::get_id();
    m.registered = true;
}

bool DispatchQueue::isMainThread() {
    auto& m = mainThread();
    {
        std::lock_guard lock(m.mutex);
        if (m.registered && m.id == std::this_thread::get_id()) {
            return true;
        }
    }
    return main()->isCurrent();
}

void DispatchQueue::async(Work work) {
    if (kind_ == Kind::concurrent) {
        ThreadPool::forQoS(qos_).submit(qos_, [self = shared_from_this(), work = std::move(work)] {
            ScopedCurrent current(self.get());
            runGuarded(*self, work);
        });
        return;
    }
    {
        std::lock_guard lock(d_->mutex);
        d_->items.push_back(std::move(work));
        if (d_->drainScheduled) {
            return;
        }
        d_->drainScheduled = true;
    }
    submitDrain();
}

void DispatchQueue::asyncAfter(Clock::duration delay, Work work) {
    asyncAt(Clock::now() + delay, std::move(work));
}

void DispatchQueue::asyncAt(Clock::time_point deadline, Work work) {
    DispatchInternal::scheduleAt(deadline, [self = shared_from_this(), work = std::move(work)]() mutable {
        self->async(std::move(work));
    });
}

void DispatchQueue::submitDrain() {
    auto self = shared_from_this();
    if (kind_ == Kind::main) {
        std::function<void(Work)> post;
        {
            auto& m = mainThread();
            std::lock_guard lock(m.mutex);
            post = m.post;
        }
        if (post) {
            post([self] { self->drain(); });
            return;
        }
    }
    auto target = target_ ? target_ : global(qos_);
    target->async([self] { self->drain(); });
}

// Runs a batch of items, then hands the rest back to the target so that queues sharing a target take
// turns.
void DispatchQueue::drain() {
    ScopedCurrent current(this);
    for (size_t n = 0; n < drainBatch; ++n) {
        Work work;
        {
            std::lock_guard lock(d_->mutex);
            if (d_->items.empty()) {
                d_->drainScheduled = false;
                return;
            }
            work = std::move(d_->items.front());
            d_->items.pop_front();
        }
        runGuarded(*this, work);
    }
    {
        std::lock_guard lock(d_->mutex);
        if (d_->items.empty()) {
            d_->drainScheduled = false;
            return;
        }
    }
    submitDrain();
}

bool DispatchQueue::isCurrent() const {
    return onStack(this);
}

void DispatchQueue::throwIfSyncWouldDeadlock() const {
    if (kind_ == Kind::main && isMainThread()) {
        throw std::logic_error("sync onto the main queue from the main thread");
    }
    for (const DispatchQueue* q = this; q != nullptr; q = q->target_.get()) {
        if (q->isSerial() && onStack(q)) {
            throw std::logic_error("sync onto queue \"" + label_ + "\" from inside its own serial context");
        }
    }
}

void DispatchQueue::setSpecificValue(const void* key, std::shared_ptr<const void> value) {
    std::lock_guard lock(d_->mutex);
    if (value) {
        d_->specifics[key] = std::move(value);
    } else {
        d_->specifics.erase(key);
    }
}

std::shared_ptr<const void> DispatchQueue::specificValue(const void* key) const {
    std::lock_guard lock(d_->mutex);
    auto found = d_->specifics.find(key);
    return found != d_->specifics.end() ? found->second : nullptr;
}

std::shared_ptr<const void> DispatchQueue::currentSpecificValue(const void* key) {
    for (auto it = currentQueues.rbegin(); it != currentQueues.rend(); ++it) {
        if (auto value = (*it)->specificValue(key)) {
            return value;
        }
    }
    return nullptr;
}
