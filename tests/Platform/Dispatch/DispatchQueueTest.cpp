#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Platform/Dispatch/DispatchTimer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Waits (bounded) until every earlier item of `queue` has run.
void flush(const std::shared_ptr<DispatchQueue>& queue) {
    queue->sync([] {});
}

TEST(DispatchQueue, SerialQueueRunsItemsInOrderOneAtATime) {
    auto queue = DispatchQueue::serial("test.serial");
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i) {
        queue->async([&, i] {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            inside.fetch_sub(1);
        });
    }
    flush(queue);
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, SyncReturnsTheValueAndRethrows) {
    auto queue = DispatchQueue::serial("test.sync");
    EXPECT_EQ(queue->sync([] { return 42; }), 42);
    EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    bool ranOnQueue = false;
    queue->sync([&] { ranOnQueue = queue->isCurrent(); });
    EXPECT_TRUE(ranOnQueue);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueue, SyncThatWouldDeadlockThrowsInsteadOfHanging) {
    auto outer = DispatchQueue::serial("test.outer");
    auto inner = DispatchQueue::serial("test.inner", DispatchQoS::standard, outer);
    int thrownSelf = 0;
    int thrownTargeting = 0;
    outer->sync([&] {
        try {
            outer->sync([] {});
        } catch (const std::logic_error&) {
            ++thrownSelf;
        }
        try {
            inner->sync([] {}); // inner's drain needs outer, which this thread holds
        } catch (const std::logic_error&) {
            ++thrownTargeting;
        }
    });
    EXPECT_EQ(thrownSelf, 1);
    EXPECT_EQ(thrownTargeting, 1);
}

TEST(DispatchQueue, CurrentQueueAndSpecificsFollowTheTargetChain) {
    static DispatchSpecificKey<int> key;
    auto outer = DispatchQueue::serial("test.outer");
    outer->setSpecific(key, 7);
    auto inner = DispatchQueue::serial("test.inner", DispatchQoS::standard, outer);
    EXPECT_EQ(inner->target(), outer);

    struct Seen {
        bool innerCurrent = false, outerCurrent = false;
        std::optional<int> value;
    };
    Seen fromInner = inner->sync([&] {
        return Seen{inner->isCurrent(), outer->isCurrent(), DispatchQueue::currentSpecific(key)};
    });
    EXPECT_TRUE(fromInner.innerCurrent);
    EXPECT_TRUE(fromInner.outerCurrent);
    EXPECT_EQ(fromInner.value, 7);

    Seen fromOuter = outer->sync([&] { return Seen{inner->isCurrent(), outer->isCurrent(), {}}; });
    EXPECT_FALSE(fromOuter.innerCurrent);
    EXPECT_TRUE(fromOuter.outerCurrent);

    auto unrelated = DispatchQueue::serial("test.unrelated");
    EXPECT_EQ(unrelated->sync([] { return DispatchQueue::currentSpecific(key); }), std::nullopt);
    EXPECT_EQ(DispatchQueue::currentSpecific(key), std::nullopt);
}

TEST(DispatchQueue, QueuesSharingASerialTargetNeverRunTogether) {
    auto shared = DispatchQueue::serial("test.shared");
    auto a = DispatchQueue::serial("test.a", DispatchQoS::standard, shared);
    auto b = DispatchQueue::serial("test.b", DispatchQoS::standard, shared);
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto work = [&] {
        if (inside.fetch_add(1) != 0) {
            overlapped = true;
        }
        std::this_thread::sleep_for(50us);
        inside.fetch_sub(1);
    };
    for (int i = 0; i < 200; ++i) {
        a->async(work);
        b->async(work);
        shared->async(work);
    }
    flush(a);
    flush(b);
    flush(shared);
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, SerialQueueOnAConcurrentTargetStaysSerial) {
    auto queue = DispatchQueue::serial("test.on-global", DispatchQoS::utility, DispatchQueue::global());
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 300; ++i) {
        queue->async([&] {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            std::this_thread::yield();
            inside.fetch_sub(1);
        });
    }
    flush(queue);
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, ABlockedQueueDoesNotStarveOthers) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::vector<std::shared_ptr<DispatchQueue>> blocked;
    for (int i = 0; i < 16; ++i) {
        blocked.push_back(DispatchQueue::serial("test.blocked"));
        blocked.back()->async([released] { released.wait(); });
    }
    auto free = DispatchQueue::serial("test.free");
    auto done = std::async(std::launch::async, [&] { return free->sync([] { return 1; }); });
    EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
    release.set_value();
    for (auto& q : blocked) {
        flush(q);
    }
}

TEST(DispatchQueue, AsyncAfterWaitsForTheDelay) {
    auto queue = DispatchQueue::serial("test.after");
    auto start = DispatchQueue::Clock::now();
    std::promise<DispatchQueue::Clock::time_point> ran;
    queue->asyncAfter(30ms, [&] { ran.set_value(DispatchQueue::Clock::now()); });
    auto when = ran.get_future().get();
    EXPECT_GE(when - start, 30ms);
}

TEST(DispatchQueue, AnEscapingExceptionDoesNotStopTheQueue) {
    auto queue = DispatchQueue::serial("test.throws");
    queue->async([] { throw std::runtime_error("expected in test"); });
    EXPECT_EQ(queue->sync([] { return 3; }), 3);
}

// Like the platform's, the work of a quality of service runs on threads of its priority: user-interactive
// work (the audio-minded kind) strictly above the machine's ordinary threads, background work after them.
TEST(DispatchQueue, ItemsRunAtThePriorityOfTheirQualityOfService) {
    struct Priority {
        int nice = 0;
        int policy = SCHED_OTHER;
        int realTime = 0;
    };
    auto priorityOn = [](const std::shared_ptr<DispatchQueue>& queue) {
        return queue->sync([] {
            Priority p;
            sched_param param{};
            pthread_getschedparam(pthread_self(), &p.policy, &param);
            p.realTime = param.sched_priority;
            p.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
            return p;
        });
    };
    bool raisable = false;
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = 1;
        raisable = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0 &&
                   setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -5) == 0;
    });
    probe.join();
    EXPECT_EQ(priorityOn(DispatchQueue::global(DispatchQoS::background)).nice, 10);
    EXPECT_EQ(priorityOn(DispatchQueue::global(DispatchQoS::utility)).nice, 5);
    const Priority standard = priorityOn(DispatchQueue::global());
    EXPECT_EQ(standard.nice, 0);
    EXPECT_EQ(standard.policy, SCHED_OTHER);
    if (!raisable) {
        GTEST_SKIP() << "this system refuses raised priorities; the raised services keep the default";
    }
    EXPECT_EQ(priorityOn(DispatchQueue::global(DispatchQoS::userInitiated)).nice, -5);
    const Priority interactive =
        priorityOn(DispatchQueue::serial("test.interactive", DispatchQoS::userInteractive));
    EXPECT_EQ(interactive.policy, SCHED_FIFO) << "a serial queue drains on the global queue of its service";
    EXPECT_EQ(interactive.realTime, 10);
}

TEST(DispatchTimer, RepeatsUntilCancelledAndNeverRunsAfterCancelOnItsQueue) {
    auto queue = DispatchQueue::serial("test.timer");
    std::atomic<int> ticks{0};
    auto timer = DispatchTimer::repeating(queue, 5ms, 1ms, [&] { ticks.fetch_add(1); });
    auto deadline = DispatchQueue::Clock::now() + 5s;
    while (ticks.load() < 3 && DispatchQueue::Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GE(ticks.load(), 3);
    queue->sync([&] { timer->cancel(); });
    int atCancel = ticks.load();
    std::this_thread::sleep_for(30ms);
    flush(queue);
    EXPECT_EQ(ticks.load(), atCancel);
    EXPECT_TRUE(timer->isCancelled());
}

TEST(DispatchTimer, DestroyingTheTimerStopsIt) {
    auto queue = DispatchQueue::serial("test.timer-destroy");
    auto ticks = std::make_shared<std::atomic<int>>(0);
    auto timer = DispatchTimer::repeating(
        queue, 2ms, 0ms, [ticks] { ticks->fetch_add(1); }, 0ms);
    std::this_thread::sleep_for(10ms);
    queue->sync([&] { timer.reset(); });
    int atDestroy = ticks->load();
    std::this_thread::sleep_for(20ms);
    flush(queue);
    EXPECT_EQ(ticks->load(), atDestroy);
}

TEST(DeferredWork, RunsLaterOrWhenFlushedButOnlyOnce) {
    std::atomic<int> runs{0};
    std::promise<void> ran;
    DeferredWork::schedule(20ms, [&] {
        runs.fetch_add(1);
        ran.set_value();
    });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(runs.load(), 1);

    std::atomic<int> flushed{0};
    for (int i = 0; i < 50; ++i) {
        DeferredWork::schedule(i % 2 ? 0ms : 10s, [&] { flushed.fetch_add(1); });
    }
    DeferredWork::runPendingNow();
    auto deadline = DispatchQueue::Clock::now() + 5s;
    while (flushed.load() < 50 && DispatchQueue::Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(flushed.load(), 50);
    EXPECT_EQ(DeferredWork::pendingCount(), 0u);
}

} // namespace
