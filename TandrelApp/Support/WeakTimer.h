// Repeating dispatch timers that tick a member function of an object only while the object lives: the
// timer holds it weakly, so it never keeps its owner alive, and a tick after the owner is gone does
// nothing. The capture analyzer's drain and the test signal producers tick this way.
#pragma once

#include <memory>

#include "Platform/Dispatch/DispatchTimer.h"

// Calls (owner->*tick)() on `queue` every `interval`, the first time at once, with no leeway.
template <typename T>
std::unique_ptr<DispatchTimer> repeatingWhileAlive(std::shared_ptr<DispatchQueue> queue,
                                                   DispatchTimer::Duration interval, std::weak_ptr<T> owner,
                                                   void (T::*tick)()) {
    return DispatchTimer::repeating(
        std::move(queue), interval, DispatchTimer::Duration::zero(),
        [owner = std::move(owner), tick] {
            if (auto self = owner.lock()) {
                (self.get()->*tick)();
            }
        },
        DispatchTimer::Duration::zero());
}
