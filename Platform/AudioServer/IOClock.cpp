#include "Platform/AudioServer/IOClock.h"

#include <pthread.h>
#include <semaphore.h>
#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include "Platform/System/HostClock.h"

namespace IOClock {

namespace {

// Above ordinary threads, well below the kernel's own: the platform runs device IO on real-time threads,
// so a busy machine does not starve the audio. Where the system refuses, the thread runs at normal
// priority.
constexpr int kPriority = 20;
// More devices than any profile, its aggregates and the lines of every plug-in can run at once.
constexpr std::size_t kSlots = 1024;
constexpr uint32_t kLargestGridFrames = 128;

thread_local const Client* tlsCurrent = nullptr;

struct State {
    std::mutex control; // add and remove; the thread takes it only once it finds no client
    std::array<std::atomic<Client*>, kSlots> slots{};
    std::atomic<std::size_t> used{0}; // no client lies at or beyond this slot
    std::size_t clients = 0;          // under `control`
    bool threadAlive = false;         // under `control`
    // The client the thread is looking at; a remove waits until it is another.
    std::atomic<const Client*> inUse{nullptr};
    std::atomic<std::size_t> threads{0};
    sem_t wake; // posted by add and remove, so the thread looks again at once

    State() { sem_init(&wake, 0, 0); }
};

// Never destroyed: the detached thread may still be ending while the process's statics are.
State& state() {
    static State* s = new State;
    return *s;
}

// Until `deadline`, a post or a signal, whichever comes first; the caller looks at the clients again.
void sleepUntil(State& s, uint64_t deadline) {
    if (deadline == kNever) {
        sem_wait(&s.wake);
        return;
    }
    const timespec ts{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
    sem_clockwait(&s.wake, CLOCK_MONOTONIC, &ts);
}

// False, and the thread counts as gone, once no client is left.
bool stillNeeded(State& s) {
    std::lock_guard lock(s.control);
    if (s.clients != 0) {
        return true;
    }
    s.threadAlive = false;
    return false;
}

// Real-time apart from its end. One pass runs every client that is due, in the order of the table.
void loop() {
    State& s = state();
    pthread_setname_np(pthread_self(), "io clock");
    sched_param realTime{};
    realTime.sched_priority = kPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
    // The semaphore's timed wait keeps the thread's timer slack (50 µs by default), which a real-time
    // thread's sleep would ignore: cycles keep to their deadlines to the microsecond.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        uint64_t next = kNever;
        bool any = false;
        uint64_t now = HostClockNow(); // read again after each cycle that ran
        const std::size_t used = s.used.load();
        for (std::size_t i = 0; i < used; ++i) {
            Client* client = s.slots[i].load();
            if (client == nullptr) {
                continue;
            }
            // Announced before the second look: a remove that empties the slot after it sees the client
            // in use and waits; one before it leaves the slot empty for that look.
            s.inUse.store(client);
            if (s.slots[i].load() == client) {
                any = true;
                if (client->deadline != kNever && client->deadline <= now + kEarly) {
                    tlsCurrent = client;
                    client->run();
                    tlsCurrent = nullptr;
                    now = HostClockNow();
                }
                next = std::min(next, client->deadline);
            }
            s.inUse.store(nullptr);
        }
        if (!any && !stillNeeded(s)) {
            break;
        }
        if (next == kNever || next > now + kEarly) {
            sleepUntil(s, next);
        }
    }
    s.threads.fetch_sub(1);
}

} // namespace

bool add(Client* client) {
    State& s = state();
    {
        std::lock_guard lock(s.control);
        std::size_t slot = 0;
        while (slot < kSlots && s.slots[slot].load() != nullptr) {
            ++slot;
        }
        if (slot == kSlots) {
            return false;
        }
        if (!s.threadAlive) {
            s.threads.fetch_add(1);
            try {
                std::thread(loop).detach();
            } catch (const std::system_error&) {
                s.threads.fetch_sub(1);
                return false;
            }
            s.threadAlive = true;
        }
        s.slots[slot].store(client);
        if (slot >= s.used.load()) {
            s.used.store(slot + 1);
        }
        ++s.clients;
    }
    sem_post(&s.wake);
    return true;
}

void remove(Client* client) {
    State& s = state();
    bool found = false;
    {
        std::lock_guard lock(s.control);
        std::size_t used = s.used.load();
        for (std::size_t slot = 0; slot < used; ++slot) {
            if (s.slots[slot].load() == client) {
                s.slots[slot].store(nullptr);
                --s.clients;
                found = true;
                break;
            }
        }
        while (used > 0 && s.slots[used - 1].load() == nullptr) {
            --used;
        }
        s.used.store(used);
    }
    if (found) {
        sem_post(&s.wake); // an idle thread ends
    }
    if (tlsCurrent == client) {
        return; // its own cycle asked: the cycle runs to its end after this returns
    }
    while (s.inUse.load() == client) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

const Client* current() {
    return tlsCurrent;
}

// The grid starts at the host clock's zero. A double holds its instants to a few nanoseconds for years of
// uptime, far finer than kEarly.
uint64_t gridDeadline(uint64_t now, double step) {
    if (!(step > 0)) {
        return now;
    }
    const auto onGrid = static_cast<uint64_t>(std::llround(std::ceil(double(now) / step) * step));
    return std::max(onGrid, now);
}

double gridStep(uint32_t bufferFrames, double ticksPerFrame) {
    const uint32_t lowestBit = bufferFrames & (~bufferFrames + 1);
    return double(std::clamp(lowestBit, 1u, kLargestGridFrames)) * ticksPerFrame;
}

std::size_t threadCount() {
    return state().threads.load();
}

} // namespace IOClock
