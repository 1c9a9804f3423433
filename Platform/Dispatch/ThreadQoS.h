// How a quality of service becomes a thread's scheduling priority: the global queues' pool threads and
// the timer thread take theirs once, when they start, as the platform's threads of that service do.
// Internal to Platform/Dispatch.
#pragma once

#include "Platform/Dispatch/DispatchQueue.h"

namespace DispatchInternal {

// The nice value of a quality of service: background work runs after the machine's ordinary threads,
// user-initiated work before them.
int niceValue(DispatchQoS qos);

// The real-time priority that puts user-interactive work strictly above every ordinary thread of the
// machine, as the platform's fixed priority band does (a nice value cannot: it only weighs threads
// against others of their own group). Below the audio IO threads' own.
inline constexpr int userInteractivePriority = 10;

// Gives the calling thread the priority of `qos`; where the system refuses a raise, the thread keeps
// the nearest it may have.
void applyQoS(DispatchQoS qos);

} // namespace DispatchInternal
