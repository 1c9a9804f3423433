// The routing self-test's pure parts: the pairs the lines offer and which signal plays into which, the
// level a configuration should give, the report's texts, and the stages' checks at their thresholds,
// including measurements that are missing altogether.
#include <gtest/gtest.h>

#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Engine/CoreAudioCall.h"

namespace {

using Runner = RoutingTestRunner;
using Slot = Runner::Slot;

AudioDeviceInfo line(AudioObjectID id, const std::string& name, uint32_t channels) {
    return {id, "qorvix.tandrel.device.line" + std::to_string(id), name, channels, channels, 48000};
}

const AudioDeviceInfo kLine1 = line(1, "Line 1", 2);
const AudioDeviceInfo kLine2 = line(2, "Line 2", 64);

std::vector<std::string> labels(const std::vector<Slot>& pairs) {
    std::vector<std::string> out;
    for (const auto& slot : pairs) {
        out.push_back(slot.label());
    }
    return out;
}

TEST(RoutingTestSlots, EveryWholePairOfEveryLineInOrder) {
    const auto pairs =
        Runner::slotsOf({line(1, "Line 1", 2), line(3, "Odd", 5), line(4, "Mono", 1), line(5, "L", 4)});
    EXPECT_EQ(labels(pairs),
              (std::vector<std::string>{"Line 1 ch1-2", "Odd ch1-2", "Odd ch3-4", "L ch1-2", "L ch3-4"}));
    EXPECT_EQ(pairs[2].pair, 2);
    EXPECT_EQ(Runner::slotsOf({kLine1, kLine2}).size(), 33u);
}

TEST(RoutingTestSlots, TonesTakeTheFirstTwoPairsThenTheCapturesAndLastTheMicrophone) {
    const auto pairs = Runner::slotsOf({kLine1, kLine2});
    const auto plain = Runner::assign(pairs, 0, false);
    EXPECT_EQ(plain.a.label(), "Line 1 ch1-2");
    EXPECT_EQ(plain.b.label(), "Line 2 ch1-2");
    EXPECT_FALSE(plain.c.has_value());
    EXPECT_FALSE(plain.d.has_value());
    EXPECT_TRUE(plain.further.empty());

    const auto one = Runner::assign(pairs, 1, false);
    EXPECT_EQ(one.c->label(), "Line 2 ch3-4");
    EXPECT_TRUE(one.further.empty());

    const auto many = Runner::assign(pairs, 3, true);
    EXPECT_EQ(many.c->label(), "Line 2 ch3-4");
    EXPECT_EQ(labels(many.further), (std::vector<std::string>{"Line 2 ch5-6", "Line 2 ch7-8"}));
    EXPECT_EQ(many.d->label(), "Line 2 ch9-10");
}

TEST(RoutingTestSlots, TooFewPairsFailWithTheNumberNeeded) {
    const auto pairs = Runner::slotsOf({kLine1, line(2, "Line 2", 4)});
    EXPECT_NO_THROW(Runner::assign(pairs, 1, false));
    try {
        Runner::assign(pairs, 1, true);
        FAIL() << "four pairs are needed, three are there";
    } catch (const CoreAudioError& e) {
        EXPECT_STREQ(e.what(),
                     "検証に必要なステレオペア（4 組）がラインにありません に失敗しました (OSStatus -1)");
        EXPECT_EQ(e.status(), -1);
    }
}

struct RoutingTestExpected : ::testing::Test {
    RoutingTestExpected() {
        source.id = UUID::random();
        source.name = "Tone B";
        connection.id = UUID::random();
        connection.from = Endpoint::source(source.id);
        connection.toDeviceUID = kLine2.uid;
        connection.pair = 2;
        config.sources = {source};
        config.connections = {connection};
    }
    std::optional<double> expected(int offset = 0) const {
        return Runner::expected(config, source.id, connection.id, slot, offset);
    }
    SourceConfig source;
    Connection connection;
    RoutingConfig config;
    Slot slot{kLine2, 2};
};

TEST_F(RoutingTestExpected, AFullScaleToneIsPointTwoScaledByConnectionSourceAndDeviceChannel) {
    EXPECT_DOUBLE_EQ(*expected(), 0.2);
    config.connections[0].gainDB = -6;
    config.sources[0].volumeDB = -6;
    config.deviceVolumes[kLine2.uid].masterDB = -6;
    config.deviceVolumes[kLine2.uid].pairDB[2] = -6;
    const float g = std::pow(10.0f, -6.0f / 20.0f);
    EXPECT_DOUBLE_EQ(*expected(), 0.2 * double(g * g * (g * g)));
    config.deviceVolumes[kLine2.uid].mutedChannels = {3};
    EXPECT_GT(*expected(0), 0);
    EXPECT_EQ(*expected(1), 0.0) << "channel pair + 1 is muted";
}

TEST_F(RoutingTestExpected, MutedOrSilentSourcesGiveZeroButTheConnectionsOwnMuteDoesNotCount) {
    config.connections[0].isMuted = true;
    EXPECT_DOUBLE_EQ(*expected(), 0.2);
    config.sources[0].volumeDB = -60;
    EXPECT_EQ(*expected(), 0.0);
    config.sources[0].volumeDB = 0;
    config.sources[0].isMuted = true;
    EXPECT_EQ(*expected(), 0.0);
}

TEST_F(RoutingTestExpected, AConnectionOrSourceThatIsGoneHasNoExpectation) {
    config.connections.clear();
    EXPECT_FALSE(expected().has_value());
    config.connections = {connection};
    config.sources.clear();
    EXPECT_FALSE(expected().has_value());
}

TEST(RoutingTestTexts, SourceStatusesReadLikeTheirCases) {
    using S = RoutingController::SourceStatus;
    EXPECT_EQ(Runner::statusText(S::running("injected")), "running(detail: \"injected\")");
    EXPECT_EQ(Runner::statusText(S::waiting("再生待ち")), "waiting(\"再生待ち\")");
    EXPECT_EQ(Runner::statusText(S::failed("アプリが見つかりません")), "failed(\"アプリが見つかりません\")");
    EXPECT_EQ(Runner::statusText(S::idle()), "idle");
    EXPECT_EQ(Runner::statusText(S::starting()), "starting");
    EXPECT_EQ(Runner::statusText(S::standby()), "standby");
}

TEST(RoutingTestTexts, ConnectionsOfSourceBShowPairWidthModeMaskAndTheirTwoChannelMapping) {
    RoutingConfig config;
    const UUID b = UUID::random();
    Connection stereo;
    stereo.from = Endpoint::source(b);
    stereo.pair = 0;
    stereo.mode = MappingMode::stereo;
    Connection masked = stereo;
    masked.routeMask = 7;
    Connection mono = stereo;
    mono.width = 1;
    mono.pair = 1;
    mono.monoMix = true;
    Connection other = stereo;
    other.from = Endpoint::source(UUID::random());
    config.connections = {stereo, other, masked, mono};

    EXPECT_EQ(Runner::connectionsText(config, b),
              (std::vector<std::string>{
                  R"(pair 0 w2 mode stereo sc 0 mask nil map ["0->0x1.0", "1->1x1.0"])",
                  R"(pair 0 w2 mode stereo sc 0 mask Optional(7) map ["0->0x0.5", "0->1x1.0", "1->0x0.5"])",
                  R"(pair 1 w1 mode stereo sc 0 mask nil map ["0->1x0.5", "1->1x0.5"])",
              }));
}

// ---- Checks

using Measurements = Runner::Measurements;

// Both lines silent, with room for every channel the checks read.
Measurements silence() {
    Measurements m;
    for (const auto& l : {kLine1, kLine2}) {
        m[l.uid].amps.assign(l.outputChannels, std::vector<double>(4, 0.0));
        m[l.uid].levels.peak.assign(l.outputChannels, 0.0f);
        m[l.uid].levels.rms.assign(l.outputChannels, 0.0f);
    }
    return m;
}

constexpr size_t k440 = 0, k600 = 1, k900 = 2, k1000 = 3;

void set(Measurements& m, const Slot& slot, int offset, size_t probe, double value) {
    m[slot.line.uid].amps[size_t(slot.pair + offset)][probe] = value;
}

struct RoutingTestChecks : ::testing::Test {
    Runner::Assignment assigned = Runner::assign(Runner::slotsOf({kLine1, kLine2}), 1, true);
    Runner::Checks checks{assigned};

    Measurements stageOne(double a, double bLeft600, double bRight900) const {
        Measurements m = silence();
        set(m, assigned.a, 0, k440, a);
        set(m, assigned.a, 1, k440, a);
        set(m, assigned.b, 0, k600, bLeft600);
        set(m, assigned.b, 1, k900, bRight900);
        set(m, *assigned.c, 0, k1000, 0.1);
        set(m, *assigned.c, 1, k1000, 0.1);
        m[assigned.d->line.uid].levels.peak[4] = m[assigned.d->line.uid].levels.peak[5] = 0.03f;
        return m;
    }
    bool check(const std::string& name) const { return checks.results().at(name); }
};

TEST_F(RoutingTestChecks, StageOneAcceptsTheTonesWithinTwoHundredthsAndNeedsTheMicrophoneIdentical) {
    checks.stage1(stageOne(0.2199, 0.1801, 0.2));
    EXPECT_EQ(checks.results().size(), 4u);
    EXPECT_TRUE(checks.allPassed());

    Runner::Checks louder{assigned};
    Measurements m = stageOne(0.2201, 0.2, 0.2);
    m[assigned.d->line.uid].levels.peak[5] = std::nextafter(0.03f, 1.0f);
    set(m, assigned.b, 0, k900, 0.003);
    louder.stage1(m);
    EXPECT_FALSE(louder.results().at("1: Tone A（モノラル）が Line 1 ch1-2 に自動でデュアルモノ"));
    EXPECT_FALSE(louder.results().at("1: Tone B ステレオ: Line 2 ch1-2 の L=600Hz, R=900Hz"))
        << "900 Hz on the left is not silence at 0.003";
    EXPECT_FALSE(louder.results().at("1: マイクが Line 2 ch5-6 に同一波形（デュアルモノ）"));
    EXPECT_TRUE(louder.results().at("1: キャプチャが Line 2 ch3-4 に入る"));
}

TEST_F(RoutingTestChecks, LaterStagesCompareWithTheExpectationWithinATenth) {
    const double expectedB = 0.05;
    checks.stage3(silence(), 0.1, expectedB);
    Measurements m = silence();
    set(m, assigned.b, 0, k900, expectedB * 1.09);
    set(m, assigned.b, 1, k600, expectedB * 0.91);
    checks.stage5(m, {});
    EXPECT_TRUE(check("5: 分割後も同じ音（L=900Hz, R=600Hz）"));
    EXPECT_FALSE(check("5: 分割で B の接続が 1ch 接続2本に変わる"));

    Runner::Checks strict{assigned};
    strict.stage3(silence(), 0.1, expectedB);
    set(m, assigned.b, 0, k900, expectedB * 1.11);
    strict.stage5(m, {});
    EXPECT_FALSE(strict.results().at("5: 分割後も同じ音（L=900Hz, R=600Hz）"));
}

TEST_F(RoutingTestChecks, StagesEightAndNineHalveTheLevelOfStageSeven) {
    checks.stage3(silence(), 0.1, 0.05);
    Measurements seven = silence();
    set(seven, assigned.b, 0, k600, 0.05);
    set(seven, assigned.b, 1, k900, 0.05);
    Connection joined;
    checks.stage7(seven, {joined});
    EXPECT_TRUE(check("7: 戻すと B はステレオ接続1本になり音が出る"));

    Measurements eight = silence();
    set(eight, assigned.b, 0, k600, 0.05 * 0.501);
    checks.stage8(eight);
    Measurements nine = silence();
    set(nine, assigned.b, 0, k600, 0.05 * 0.501 * 0.501 * 1.09);
    checks.stage9(nine);
    EXPECT_TRUE(check("8: 音源のチャンネル音量 -6dB（L の 600Hz が約半分）"));
    EXPECT_TRUE(check("8: 出力チャンネルのミュート（R が無音）"));
    EXPECT_TRUE(check("9: 出力チャンネルの音量 -6dB（L がさらに約半分）"));

    SelfTestReport::Report report;
    checks.writeFigures(report);
    EXPECT_DOUBLE_EQ(report["stage8"]["L7"].get<double>(), 0.05);
    EXPECT_DOUBLE_EQ(report["stage8"]["L8"].get<double>(), 0.05 * 0.501);
    EXPECT_TRUE(report["stage10"]["L600"].is_null()) << "not measured yet";
    EXPECT_DOUBLE_EQ(report["stage10"]["full"].get<double>(), 0.05);
}

// A line that was not measured, or that lacks the slot's channels, fails every check that reads it; the
// checks themselves never fail.
TEST_F(RoutingTestChecks, MissingMeasurementsAndChannelsAreFailedChecksNotCrashes) {
    const Measurements nothing;
    Measurements narrow;
    narrow[kLine2.uid].amps = {{0.2, 0.2, 0.2, 0.2}};
    for (const Measurements* m : std::vector<const Measurements*>{&nothing, &narrow}) {
        Runner::Checks c{assigned};
        c.stage1(*m);
        c.stage2(*m);
        c.stage3(*m, std::nullopt, std::nullopt);
        c.stage4(*m);
        c.stage5(*m, {});
        c.stage6(*m);
        c.stage7(*m, {});
        c.stage8(*m);
        c.stage9(*m);
        c.stage10(*m);
        c.stage11(*m);
        EXPECT_EQ(c.results().size(), 19u);
        EXPECT_TRUE(
            std::none_of(c.results().begin(), c.results().end(), [](const auto& r) { return r.second; }));
        EXPECT_FALSE(c.allPassed());
        SelfTestReport::Report report;
        c.writeFigures(report);
        EXPECT_TRUE(report["stage3Expected"]["A"].is_null());
    }
}

} // namespace
