#include <memory>
#include <vector>

#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeMeterView.h"
#include "TandrelApp/Routing/MeterStore.h"

namespace {

using ::testing::ElementsAre;
using ::testing::FloatEq;

// A provider that hands out one scripted poll after another (nothing once the script is used up) and
// counts its calls.
struct ScriptedPeaks {
    std::vector<MeterStore::Levels> polls;
    int calls = 0;

    MeterStore::Provider provider() {
        return [this] {
            const auto index = static_cast<std::size_t>(calls++);
            return index < polls.size() ? polls[index] : MeterStore::Levels{};
        };
    }
};

const MeterKey mic = MeterKey::source(UUID::random());
const MeterKey speakers = MeterKey::device("speakers");

TEST(MeterStoreTest, LevelsJumpToEachPeakAndFallByTheHoldFactor) {
    MeterStore store(QStringList{});
    ScriptedPeaks script{.polls = {
                             {{mic, {1.0f, 0.5f}}, {speakers, {0.25f}}},
                             {{mic, {0.0f, 0.5f}}, {speakers, {0.0f}}},
                             {{mic, {0.0f}}, {speakers, {0.9f}}},
                             {{mic, {0.0f}}},
                         }};
    store.setProvider(script.provider());
    FakeMeterView left(mic, 0);
    FakeMeterView right(mic, 1);
    FakeMeterView out(speakers, 0);
    store.addView(left);
    store.addView(right);
    store.addView(out);

    store.tick();
    EXPECT_FLOAT_EQ(store.level(mic, 0), 1.0f) << "a new key starts at its peak";
    EXPECT_FLOAT_EQ(store.level(speakers, 0), 0.25f);
    store.tick();
    EXPECT_FLOAT_EQ(store.level(mic, 0), 0.8f);
    EXPECT_FLOAT_EQ(store.level(mic, 1), 0.5f) << "a constant peak stays";
    store.tick();
    EXPECT_FLOAT_EQ(store.level(mic, 0), 0.64f);
    EXPECT_FLOAT_EQ(store.level(mic, 1), 0.0f) << "a channel the provider no longer returns is gone";
    EXPECT_FLOAT_EQ(store.level(speakers, 0), 0.9f);
    store.tick();
    EXPECT_FLOAT_EQ(store.level(mic, 0), 0.512f);
    EXPECT_FLOAT_EQ(store.level(speakers, 0), 0.0f) << "a key the provider no longer returns is gone";
    EXPECT_FLOAT_EQ(store.level(mic, -1), 0.0f);

    // Each view is redrawn only when its level changed.
    EXPECT_THAT(left.drawn, ElementsAre(FloatEq(1.0f), FloatEq(0.8f), FloatEq(0.64f), FloatEq(0.512f)));
    EXPECT_THAT(right.drawn, ElementsAre(FloatEq(0.5f), FloatEq(0.0f)));
    EXPECT_THAT(out.drawn, ElementsAre(FloatEq(0.25f), FloatEq(0.2f), FloatEq(0.9f), FloatEq(0.0f)));
}

TEST(MeterStoreTest, NothingIsPolledWhileNoRegisteredViewIsOnScreen) {
    MeterStore store(QStringList{});
    ScriptedPeaks script{.polls = {{{mic, {0.5f}}}}};
    store.tick(); // no provider yet
    store.setProvider(script.provider());
    store.tick();
    EXPECT_EQ(script.calls, 0) << "no view registered";

    FakeMeterView hidden(mic, 0, false);
    store.addView(hidden);
    {
        FakeMeterView released(mic, 0);
        store.addView(released);
    }
    store.tick();
    EXPECT_EQ(script.calls, 0) << "a hidden view and a released one";

    FakeMeterView shown(mic, 0);
    store.addView(shown);
    store.addView(shown);
    store.tick();
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(shown.drawn, std::vector<float>{0.5f});
    EXPECT_TRUE(hidden.drawn.empty()) << "views in hidden windows are left as they are";
    EXPECT_FLOAT_EQ(hidden.value(), 0.0f);
}

TEST(MeterStoreTest, TimerPollsFifteenTimesASecondUnlessMetersAreOff) {
    ScriptedPeaks on;
    ScriptedPeaks off{.polls = {{{mic, {0.5f}}}}};
    MeterStore polling(QStringList{QStringLiteral("TandrelApp")});
    MeterStore silent(QStringList{QStringLiteral("TandrelApp"), QStringLiteral("--no-meters")});
    polling.setProvider(on.provider());
    silent.setProvider(off.provider());
    FakeMeterView first(mic, 0);
    FakeMeterView second(mic, 0);
    polling.addView(first);
    silent.addView(second);

    QTest::qWait(400);

    EXPECT_GE(on.calls, 3);
    EXPECT_LE(on.calls, 7);
    EXPECT_EQ(off.calls, 0);
    EXPECT_FLOAT_EQ(silent.level(mic, 0), 0.0f);
}

} // namespace
