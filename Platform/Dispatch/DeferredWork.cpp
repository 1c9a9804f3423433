#include "Platform/Dispatch/DeferredWork.h"

#include <map>
#include <mutex>
#include <utility>

#include "Platform/Dispatch/TimerService.h"

namespace DeferredWork {
namespace {

using Key = std::pair<DispatchQueue::Clock::time_point, uint64_t>;

struct Pending {
    std::mutex mutex;
    std::map<Key, std::function<void()>> items;
    uint64_t next = 0;
};

Pending& pending() {
    static Pending* instance = new Pending();
    return *instance;
}

// Takes one item out; whoever takes it runs it, so an item runs once even when a flush races its timer.
std::function<void()> take(const Key& key) {
    auto& p = pending();
    std::lock_guard lock(p.mutex);
    auto found = p.items.find(key);
    if (found == p.items.end()) {
        return nullptr;
    }
    auto work = std::move(found->second);
    p.items.erase(found);
    return work;
}

} // namespace

void schedule(DispatchQueue::Clock::duration delay, std::function<void()> work, DispatchQoS qos) {
    auto& p = pending();
    Key key;
    {
        std::lock_guard lock(p.mutex);
        key = {DispatchQueue::Clock::now() + delay, p.next++};
        p.items.emplace(key, std::move(work));
    }
    DispatchQueue::global(qos)->asyncAt(key.first, [key] {
        if (auto work = take(key)) {
            work();
        }
    });
}

std::size_t pendingCount() {
    auto& p = pending();
    std::lock_guard lock(p.mutex);
    return p.items.size();
}

void runPendingNow() {
    for (;;) {
        std::function<void()> work;
        {
            auto& p = pending();
            std::lock_guard lock(p.mutex);
            if (p.items.empty()) {
                return;
            }
            work = std::move(p.items.begin()->second);
            p.items.erase(p.items.begin());
        }
        work();
    }
}

} // namespace DeferredWork
