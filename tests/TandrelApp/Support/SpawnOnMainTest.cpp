#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Support/QueueAwait.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <qcoro/qcorotimer.h>

using namespace std::chrono_literals;

namespace {

// Processes GUI events until `done` holds or the time runs out.
template <typename P>
bool pumpUntil(P done, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(SpawnOnMain, StartsAfterTheCurrentEventOnTheGUIThreadAndKeepsItsCapturesAlive) {
    std::vector<std::string> steps;
    std::string captured = "kept";
    spawnOnMain([&steps, captured]() -> QCoro::Task<> {
        steps.push_back("started:" + std::to_string(QThread::currentThread() == qApp->thread()));
        co_await QCoro::sleepFor(10ms);
        steps.push_back(captured); // the closure outlives the suspension
    });
    steps.push_back("after spawn");
    ASSERT_TRUE(pumpUntil([&] { return steps.size() == 3; }));
    EXPECT_EQ(steps, (std::vector<std::string>{"after spawn", "started:1", "kept"}));
}

TEST(SpawnOnMain, AnEscapingExceptionIsContained) {
    bool next = false;
    bool thrown = false;
    spawnOnMain([&thrown]() -> QCoro::Task<> {
        co_await QCoro::sleepFor(1ms);
        thrown = true;
        throw std::runtime_error("expected in test");
    });
    spawnOnMain([&next]() -> QCoro::Task<> {
        next = true;
        co_return;
    });
    EXPECT_TRUE(pumpUntil([&] { return next; }));
    // The failed task ends too (its frame is freed once the exception is logged).
    EXPECT_TRUE(pumpUntil([&] { return thrown; }));
    QCoreApplication::processEvents();
}

TEST(MainQueue, RunsOnTheGUIThread) {
    EXPECT_TRUE(DispatchQueue::isMainThread());
    std::atomic<int> onGUI{-1};
    std::thread([&] {
        EXPECT_FALSE(DispatchQueue::isMainThread());
        DispatchQueue::main()->async([&] { onGUI = QThread::currentThread() == qApp->thread() ? 1 : 0; });
    }).join();
    ASSERT_TRUE(pumpUntil([&] { return onGUI.load() != -1; }));
    EXPECT_EQ(onGUI.load(), 1);
    EXPECT_THROW(DispatchQueue::main()->sync([] {}), std::logic_error);
}

QCoro::Task<> awaitValueAndError(std::shared_ptr<DispatchQueue> queue, std::vector<std::string>* seen) {
    auto valueTask = awaitOnQueue(queue, [queue] { return queue->isCurrent() ? 7 : -1; });
    int value = co_await std::move(valueTask);
    seen->push_back(std::to_string(value) + (QThread::currentThread() == qApp->thread() ? "@gui" : "@other"));
    try {
        auto errorTask = awaitOnQueue(queue, []() -> int { throw std::runtime_error("from queue"); });
        co_await std::move(errorTask);
    } catch (const std::runtime_error& e) {
        seen->push_back(e.what());
    }
}

TEST(QueueAwait, ResumesOnTheAwaitingThreadWithTheValueOrTheError) {
    auto queue = DispatchQueue::serial("test.await");
    std::vector<std::string> seen;
    QCoro::waitFor(awaitValueAndError(queue, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"7@gui", "from queue"}));
}

// The awaiter may hold the last reference to what the work captured, so the work lets its captures go
// before it hands its result over: released afterwards on the queue's thread, they could outlive what
// the awaiter does next. Every hand-over of the result notes whether the capture is gone by then.
TEST(QueueAwait, WhatTheWorkCapturedIsReleasedBeforeItsResultIsHandedOver) {
    struct Result {
        std::weak_ptr<int> capture;
        std::atomic<bool>* goneAtEachHandOver;
        Result(std::weak_ptr<int> c, std::atomic<bool>* gone)
            : capture(std::move(c))
            , goneAtEachHandOver(gone) {}
        Result(Result&& other) noexcept
            : capture(other.capture)
            , goneAtEachHandOver(other.goneAtEachHandOver) {
            if (!capture.expired()) {
                goneAtEachHandOver->store(false);
            }
        }
    };
    auto queue = DispatchQueue::serial("test.await.release");
    std::atomic<bool> gone{true};
    auto captured = std::make_shared<int>(1);
    std::weak_ptr<int> watch = captured;
    auto awaiting = [&]() -> QCoro::Task<> {
        auto task = awaitOnQueue(
            queue, [captured = std::move(captured), watch, &gone] { return Result(watch, &gone); });
        Result result = co_await std::move(task);
    };
    QCoro::waitFor(awaiting());
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(gone.load());
}

TEST(QueueAwait, OnlyTheFirstOfRacingFinishesCounts) {
    for (int round = 0; round < 300; ++round) {
        auto completion = std::make_shared<OneShotCompletion<int>>();
        std::atomic<int> winners{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                bool won = t % 2 ? completion->finish(t) : completion->fail(std::make_exception_ptr(t));
                winners.fetch_add(won ? 1 : 0);
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        ASSERT_EQ(winners.load(), 1);
    }
}

} // namespace
