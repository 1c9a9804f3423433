// How a quality of service becomes a thread's scheduling priority: the global queues' pool threads and
// the timer thread take theirs once, when they start, as the platform's threads of that service do.
// Internal to Platform/Dispatch.
#pragma once

#include "Platform/Dispatch/DispatchQueue.h"

namespace DispatchInternal {

// The nice value of a quality of service: user-interactive work runs before ordinary threads of the
// machine, background work after them.
int niceValue(DispatchQoS qos);

// Gives the calling thread that priority; where the system refuses a raise, the thread keeps its own.
void applyQoS(DispatchQoS qos);

} // namespace DispatchInternal
