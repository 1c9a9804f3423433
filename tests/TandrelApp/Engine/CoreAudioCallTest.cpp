#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// How one awaited call ended: its value, or the label of the time-out, or another error's text.
struct Outcome {
    int value = -1;
    std::string timedOutLabel;
    std::string error;
};

QCoro::Task<Outcome> callAndCatch(std::string label, double timeout, std::function<int()> body) {
    Outcome outcome;
    try {
        outcome.value = co_await CoreAudioCall::run(label, timeout, std::move(body));
    } catch (const CoreAudioCall::TimedOut& e) {
        outcome.timedOutLabel = e.label();
        outcome.error = e.localizedDescription();
    } catch (const AppError& e) {
        outcome.error = e.localizedDescription();
    }
    co_return outcome;
}

class CoreAudioCallTest : public ::testing::Test {
protected:
    void TearDown() override {
        CoreAudioCall::simulatedDelay = 0;
        CoreAudioCall::queue()->sync([] {}); // let late bodies finish before the next test
    }
};

TEST_F(CoreAudioCallTest, ReturnsTheValueOrTheBodysErrorWithItsText) {
    auto ok = QCoro::waitFor(callAndCatch("値", 5, [] { return 42; }));
    EXPECT_EQ(ok.value, 42);
    EXPECT_TRUE(ok.error.empty());

    auto failed = QCoro::waitFor(callAndCatch("ライン構成の書き込み", 5, []() -> int {
        throw CoreAudioError::osStatus("ライン構成の書き込み", -50);
    }));
    EXPECT_EQ(failed.error, "ライン構成の書き込み に失敗しました (OSStatus -50)");
    EXPECT_TRUE(failed.timedOutLabel.empty());

    EXPECT_EQ(CoreAudioCall::TimedOut("応答確認").localizedDescription(),
              "オーディオシステム（coreaudiod）が応答しません（応答確認）。");
}

TEST_F(CoreAudioCallTest, ALateBodyIsDroppedButKeepsItsObjectAliveAndHoldsTheQueue) {
    auto object = std::make_shared<int>(1);
    std::weak_ptr<int> watch = object;
    auto firstDone = std::make_shared<std::atomic<bool>>(false);

    auto slow = callAndCatch("遅い呼び出し", 0.05, [object, firstDone] {
        std::this_thread::sleep_for(300ms);
        *firstDone = true;
        return *object;
    });
    object.reset();
    auto next = callAndCatch("次", 5, [firstDone] { return firstDone->load() ? 2 : 0; });
    auto late = QCoro::waitFor(slow);
    EXPECT_EQ(late.timedOutLabel, "遅い呼び出し");
    EXPECT_EQ(late.value, -1);
    EXPECT_FALSE(watch.expired());            // the body still runs and holds what it captured
    EXPECT_EQ(QCoro::waitFor(next).value, 2); // the next call waited for the slow body
    CoreAudioCall::queue()->sync([] {});
    EXPECT_TRUE(watch.expired()); // released once the body ended
}

TEST_F(CoreAudioCallTest, BodyAndTimeOutRacingFinishEachCallExactlyOnce) {
    std::atomic<int> bodies{0};
    std::vector<QCoro::Task<Outcome>> calls;
    for (int i = 0; i < 400; ++i) {
        calls.push_back(callAndCatch("競合", 0.0005, [&bodies, i] {
            bodies.fetch_add(1);
            return i;
        }));
    }
    int values = 0, timeouts = 0;
    for (int i = 0; i < 400; ++i) {
        Outcome o = QCoro::waitFor(calls[i]);
        if (o.value == i) {
            ++values;
        } else if (o.timedOutLabel == "競合") {
            ++timeouts;
        }
    }
    EXPECT_EQ(values + timeouts, 400);
    CoreAudioCall::queue()->sync([] {});
    EXPECT_EQ(bodies.load(), 400); // every body still ran, even those whose caller timed out
}

TEST_F(CoreAudioCallTest, SimulatedDelayHoldsEveryCallUntilCleared) {
    CoreAudioCall::simulatedDelay = 30;
    auto first = callAndCatch("一", 0.1, [] { return 1; });
    auto second = callAndCatch("二", 0.1, [] { return 2; });
    EXPECT_EQ(QCoro::waitFor(first).timedOutLabel, "一");
    EXPECT_EQ(QCoro::waitFor(second).timedOutLabel, "二");
    CoreAudioCall::simulatedDelay = 0;
    QElapsedTimer timer;
    timer.start();
    auto after = QCoro::waitFor(callAndCatch("三", 5, [] { return 3; }));
    EXPECT_EQ(after.value, 3);
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST_F(CoreAudioCallTest, SyncRunsInPlaceOnTheQueueAndOnAQueueTargetingIt) {
    EXPECT_FALSE(CoreAudioCall::isOnQueue());
    EXPECT_EQ(CoreAudioCall::sync([] { return CoreAudioCall::isOnQueue() ? 1 : 0; }), 1);
    auto nested =
        QCoro::waitFor(callAndCatch("入れ子", 5, [] { return CoreAudioCall::sync([] { return 5; }); }));
    EXPECT_EQ(nested.value, 5);

    auto control = DispatchQueue::serial("test.control", DispatchQoS::userInitiated, CoreAudioCall::queue());
    int viaTarget =
        control->sync([] { return CoreAudioCall::sync([] { return CoreAudioCall::isOnQueue() ? 6 : 0; }); });
    EXPECT_EQ(viaTarget, 6);
}

TEST_F(CoreAudioCallTest, TheGUIThreadKeepsProcessingEventsWhileTheServerHangs) {
    auto home = std::filesystem::temp_directory_path() / "tandrel-call-hang-test";
    AudioServer::start({.profile = std::nullopt, .home = home});
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    QElapsedTimer timer;
    timer.start();
    auto hung = QCoro::waitFor(callAndCatch("デバイス一覧の取得", 0.3, [] {
        std::this_thread::sleep_for(1500ms); // a server that does not answer
        return static_cast<int>(AudioDeviceCatalog::all().size());
    }));
    qint64 elapsed = timer.elapsed();
    ticker.stop();
    EXPECT_EQ(hung.timedOutLabel, "デバイス一覧の取得");
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 1400); // answered by the time-out, not by the hung body
    EXPECT_GE(ticks, 10);     // events kept flowing meanwhile
    CoreAudioCall::queue()->sync([] {});
    AudioServer::stop();
    std::filesystem::remove_all(home);
}

} // namespace
