#include "TandrelApp/Engine/CoreAudioCall.h"

namespace {

struct Unit {};
DispatchSpecificKey<Unit> queueKey;

} // namespace

std::shared_ptr<DispatchQueue> CoreAudioCall::queue() {
    static const std::shared_ptr<DispatchQueue> q = [] {
        auto created = DispatchQueue::serial("qorvix.tandrel.coreaudio", DispatchQoS::userInitiated);
        created->setSpecific(queueKey, Unit{});
        return created;
    }();
    return q;
}

bool CoreAudioCall::isOnQueue() {
    return DispatchQueue::currentSpecific(queueKey).has_value();
}

void CoreAudioCall::waitOutSimulatedDelay() {
    auto start = std::chrono::steady_clock::now();
    // Re-read every step, so that clearing the delay releases a waiting call within one step.
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
           simulatedDelay.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
