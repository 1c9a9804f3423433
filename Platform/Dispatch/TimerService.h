// The one thread that waits for deadlines on behalf of asyncAfter, timers and deferred work. It only
// hands work to queues; it never runs callers' code itself. Internal to Platform/Dispatch.
#pragma once

#include <chrono>
#include <functional>

namespace DispatchInternal {

// Calls `fire` on the timer thread at `deadline`; `fire` must only enqueue and return.
void scheduleAt(std::chrono::steady_clock::time_point deadline, std::function<void()> fire);

} // namespace DispatchInternal
