// A process-wide service for "run this in N seconds on a global queue": the routing engine hands it
// the reclaim of core objects that an audio thread may still be reading. Independent of Qt, so engines
// on test threads and headless runs use it alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "Platform/Dispatch/DispatchQueue.h"

namespace DeferredWork {

// Runs `work` on the global queue of `qos` once `delay` has passed.
void schedule(DispatchQueue::Clock::duration delay, std::function<void()> work,
              DispatchQoS qos = DispatchQoS::standard);

// Work scheduled and not yet started.
std::size_t pendingCount();

// Runs every pending item now, on the calling thread, in deadline order (tests, and shutdown, where
// nothing may be left behind). Items scheduled meanwhile run too.
void runPendingNow();

} // namespace DeferredWork
