// Waiting in a test for something another thread brings about: the condition is polled until it holds
// or the time is up.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace Polling {

// True as soon as `condition` holds, false when it still does not after `limit`; looks every `interval`.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(5),
                    std::chrono::milliseconds interval = std::chrono::milliseconds(2)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace Polling
