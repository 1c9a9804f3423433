#include "Platform/Dispatch/TimerService.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "Platform/Dispatch/ThreadQoS.h"

namespace DispatchInternal {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

// Never destroyed, so its detached thread outlives static destruction safely.
class TimerService {
public:
    static TimerService& shared() {
        static TimerService* service = new TimerService();
        return *service;
    }

    void scheduleAt(TimePoint deadline, std::function<void()> fire) {
        std::lock_guard lock(mutex_);
        bool earliest = entries_.empty() || deadline < entries_.begin()->first.first;
        entries_.emplace(std::make_pair(deadline, next_++), std::move(fire));
        if (!started_) {
            started_ = true;
            std::thread([this] {
                // Deadlines of every service pass through here, the most urgent among them.
                applyQoS(DispatchQoS::userInteractive);
                run();
            }).detach();
        } else if (earliest) {
            wake_.notify_one();
        }
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = entries_.begin();
            if (first->first.first > std::chrono::steady_clock::now()) {
                wake_.wait_until(lock, first->first.first);
                continue;
            }
            auto fire = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            fire();
            fire = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    // Keyed by deadline, then by submission order, so equal deadlines fire in order.
    std::map<std::pair<TimePoint, uint64_t>, std::function<void()>> entries_;
    uint64_t next_ = 0;
    bool started_ = false;
};

} // namespace

void scheduleAt(std::chrono::steady_clock::time_point deadline, std::function<void()> fire) {
    TimerService::shared().scheduleAt(deadline, std::move(fire));
}

} // namespace DispatchInternal
