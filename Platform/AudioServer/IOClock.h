// The one real-time thread that runs the IO cycles of every running emulated device, as one hardware
// clock drives a whole audio graph. DeviceIO adds a client for each run of a device and removes it at
// the run's end; the thread lives while any client is registered.
//
// Each wake-up of the thread runs every client whose cycle is due, so devices whose cycles fall on the
// same instants cost one wake-up between them, not one each. Clients start on a grid of their own clock
// (gridDeadline) for that reason: devices that tick at the same rate with buffers of 128 frames or a
// multiple of 128 then share every wake-up. A cycle due within kEarly of a wake-up runs in it; cycles
// of clocks that drift against each other run when each is due.
//
// Threading. The thread takes no lock and allocates nothing: clients sit in a fixed table of slots that
// add and remove change under a control lock the thread never takes, and a remove waits, without a lock,
// until the thread no longer looks at the client. A client's cycle never runs on two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace IOClock {

// A cycle due this close after a wake-up runs in it (host ticks).
inline constexpr uint64_t kEarly = 100'000;
// The deadline of a client that has nothing more to run until it is removed.
inline constexpr uint64_t kNever = UINT64_MAX;

class Client {
public:
    // The host time of the client's next cycle. Set before add(); afterwards only run() changes it.
    uint64_t deadline = kNever;

    // Real-time: no locks, no allocation. Runs the cycle that is due and sets the next deadline. Only
    // the clock's thread calls it.
    virtual void run() = 0;

protected:
    ~Client() = default;
};

// Registers `client`, whose first cycle is due at its deadline; false when the table is full or the
// thread cannot be started. Not from within a client's own cycle.
bool add(Client* client);
// Unregisters `client`. On return its cycle is not running and never runs again, except when called
// from within that cycle itself: then the cycle finishes, and a later remove (from elsewhere) waits for
// it. Removing a client that is not registered only waits.
void remove(Client* client);
// The client whose cycle runs on the calling thread, or null.
const Client* current();

// The first instant at or after `now` that lies on the grid of `step` ticks every client shares.
uint64_t gridDeadline(uint64_t now, double step);
// A client's grid step: the cycle of the largest power of two of frames, up to 128, that divides its
// buffer, at `ticksPerFrame`.
double gridStep(uint32_t bufferFrames, double ticksPerFrame);

// Threads of the clock alive in this process (0 or 1, briefly 2 while one ends as another starts).
std::size_t threadCount();

} // namespace IOClock
