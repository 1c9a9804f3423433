// The engine and latency self-tests' judgement of what they measured: each check at its thresholds, the
// checks that only some runs make, a Line 2 too small for the channels the checks read, and the latency
// figures after the first four values are dropped.
#include <gtest/gtest.h>

#include "TandrelApp/Diagnostics/EngineTestRunner.h"

namespace {

using Measurements = EngineTestRunner::EngineMeasurements;

const std::string kLine1 = "line1 dual mono: ch1/ch2 に 440Hz が同レベル";
const std::string kLastPair = "line2 ch63-64 に 440Hz（デュアルモノ）";
const std::string kFirstPairSilent = "line2 ch1-2 は無音";
const std::string kNoToneInCapturePair = "line2 ch3-4 に tone が混入しない";
const std::string kCaptureInLine1 = "line1 ch1-2 に capture(1000Hz) が入る";
const std::string kCaptureInLine2 = "line2 ch3-4 に capture(1000Hz) が入る";
const std::string kNoCaptureInLastPair = "line2 ch63-64 に capture が混入しない";
const std::string kUnderruns = "測定中のアンダーラン 0";
const std::string kMic = "mic デュアルモノ: Line2 ch5 と ch6 が同一で無音でない";
const std::string kMonitors = "モニター出力が動作";

// A healthy run over a Line 2 of `n` (at least 6) channels: the tone at 0.2 on Line 1 and on Line 2's
// last pair, the capture's 1 kHz at 0.1 on Line 1 and Line 2 ch3-4, the microphone on ch5-6.
Measurements healthy(uint32_t n = 64) {
    Measurements m;
    m.line1 = {{0.2, 0.1}, {0.2, 0.1}};
    m.line2.assign(n, {0.0, 0.0});
    m.line2[2] = m.line2[3] = {0.0, 0.1};
    m.line2[n - 2] = m.line2[n - 1] = {0.2, 0.0};
    m.line2Levels.peak.assign(n, 0.0f);
    m.line2Levels.rms.assign(n, 0.0f);
    m.line2Levels.peak[4] = m.line2Levels.peak[5] = 0.0316f;
    m.line2Levels.rms[4] = m.line2Levels.rms[5] = 0.0223f;
    m.line2Channels = n;
    m.capture = true;
    m.microphone = true;
    m.monitorRenders = {900};
    m.underrunsDuringTest = {0, 0, 0, 0, 0, 0};
    return m;
}

bool allPass(const std::map<std::string, bool>& checks) {
    return std::all_of(checks.begin(), checks.end(), [](const auto& c) { return c.second; });
}

TEST(EngineTestChecks, AHealthyRunPassesEveryCheckAndAPlainRunMakesOnlyTheFiveAlwaysMade) {
    const auto full = EngineTestRunner::checks(healthy());
    EXPECT_EQ(full.size(), 10u);
    EXPECT_TRUE(allPass(full));

    Measurements plain = healthy();
    plain.capture = plain.microphone = false;
    plain.monitorRenders.clear();
    const auto five = EngineTestRunner::checks(plain);
    std::vector<std::string> names;
    for (const auto& [name, passed] : five) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{kLine1, kFirstPairSilent, kNoToneInCapturePair, kLastPair,
                                               kUnderruns}));
}

TEST(EngineTestChecks, ToneLevelsAreJudgedWithinTwoHundredthsOfTheirTarget) {
    for (auto [level, passes] : std::vector<std::pair<double, bool>>{
             {0.1805, true}, {0.2195, true}, {0.1795, false}, {0.2205, false}}) {
        Measurements m = healthy();
        m.line1[0][0] = m.line1[1][0] = level;
        m.line2[62][0] = m.line2[63][0] = level;
        const auto checks = EngineTestRunner::checks(m);
        EXPECT_EQ(checks.at(kLine1), passes) << level;
        EXPECT_EQ(checks.at(kLastPair), passes) << level;
    }
    Measurements uneven = healthy();
    uneven.line1[1][0] = 0.2019;
    EXPECT_TRUE(EngineTestRunner::checks(uneven).at(kLine1));
    uneven.line1[1][0] = 0.2021;
    EXPECT_FALSE(EngineTestRunner::checks(uneven).at(kLine1)) << "ch1 and ch2 must agree within 0.002";
}

TEST(EngineTestChecks, SilenceIsBelowTwoThousandthsAndACaptureIsHeardAboveOneHundredth) {
    Measurements leak = healthy();
    leak.line2[1][1] = 0.0019;
    leak.line2[3][0] = 0.0019;
    leak.line2[63][1] = 0.0019;
    EXPECT_TRUE(allPass(EngineTestRunner::checks(leak)));
    leak.line2[1][1] = 0.002;
    leak.line2[3][0] = 0.002;
    leak.line2[63][1] = 0.002;
    const auto checks = EngineTestRunner::checks(leak);
    EXPECT_FALSE(checks.at(kFirstPairSilent));
    EXPECT_FALSE(checks.at(kNoToneInCapturePair));
    EXPECT_FALSE(checks.at(kNoCaptureInLastPair));

    Measurements faint = healthy();
    faint.line1[1][1] = 0.01;
    faint.line2[2][1] = 0.01;
    const auto faintChecks = EngineTestRunner::checks(faint);
    EXPECT_FALSE(faintChecks.at(kCaptureInLine1));
    EXPECT_FALSE(faintChecks.at(kCaptureInLine2));
}

TEST(EngineTestChecks, OneUnderrunOrAMonitorThatNeverRenderedFails) {
    Measurements m = healthy();
    m.underrunsDuringTest[3] = 1;
    m.monitorRenders = {900, 0};
    const auto checks = EngineTestRunner::checks(m);
    EXPECT_FALSE(checks.at(kUnderruns));
    EXPECT_FALSE(checks.at(kMonitors));
    m.underrunsDuringTest.clear();
    EXPECT_TRUE(EngineTestRunner::checks(m).at(kUnderruns)) << "no routes, no underruns";
}

TEST(EngineTestChecks, TheMicrophoneMustGiveTheSameNonSilentLevelsOnBothChannelsExactly) {
    Measurements m = healthy();
    m.line2Levels.rms[5] = std::nextafter(m.line2Levels.rms[4], 1.0f);
    EXPECT_FALSE(EngineTestRunner::checks(m).at(kMic));
    m = healthy();
    m.line2Levels.peak[4] = m.line2Levels.peak[5] = 0;
    m.line2Levels.rms[4] = m.line2Levels.rms[5] = 0;
    EXPECT_FALSE(EngineTestRunner::checks(m).at(kMic)) << "silence is no microphone";
}

// A Line 2 of two channels has no ch3-4 and no ch5-6: whatever needs them fails, nothing crashes. The
// last pair is then ch1-2, which carries the tone, so its silence check fails too.
TEST(EngineTestChecks, MissingChannelsOfASmallLine2CountAsFailedChecks) {
    Measurements m = healthy();
    m.line2Channels = 2;
    m.line2 = {{0.2, 0.0}, {0.2, 0.0}};
    m.line2Levels = {{0.2f, 0.2f}, {0.14f, 0.14f}};
    const auto checks = EngineTestRunner::checks(m);
    EXPECT_TRUE(checks.at(kLastPair));
    EXPECT_FALSE(checks.at(kNoToneInCapturePair));
    EXPECT_FALSE(checks.at(kCaptureInLine2));
    EXPECT_FALSE(checks.at(kMic));
    EXPECT_FALSE(checks.at(kFirstPairSilent));

    Measurements nothing;
    nothing.capture = nothing.microphone = true;
    const auto none = EngineTestRunner::checks(nothing);
    EXPECT_EQ(std::count_if(none.begin(), none.end(), [](const auto& c) { return c.second; }), 1)
        << "only the underrun check holds without any measurement";
}

TEST(EngineTestLatency, TheFirstFourValuesAreDroppedAndTheMedianIsTheUpperMiddle) {
    const auto summary = EngineTestRunner::summarize({90, 80, 70, 60, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(summary.values, (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(summary.median, 4.0);
    EXPECT_EQ(summary.minimum, 1.0);
    EXPECT_EQ(summary.maximum, 6.0);

    const auto odd = EngineTestRunner::summarize({0, 0, 0, 0, 7.5, 2.5, 5});
    EXPECT_EQ(odd.median, 5.0);

    for (const auto& few : std::vector<std::vector<double>>{{}, {1, 2, 3, 4}}) {
        const auto summary = EngineTestRunner::summarize(few);
        EXPECT_TRUE(summary.values.empty());
        EXPECT_FALSE(summary.median.has_value());
        EXPECT_FALSE(summary.minimum.has_value());
    }
}

TEST(EngineTestTexts, LinesAndTheToneRouteIntoLine2AreNamedByTheirChannels) {
    EXPECT_EQ(EngineTestRunner::lineText({1, "qorvix.tandrel.device.line1", "Line 1", 2, 2, 48000.0}),
              "Line 1: 2ch @ 48000Hz");
    EXPECT_EQ(EngineTestRunner::lineText({2, "qorvix.tandrel.device.line2", "Line 2", 64, 64, 44100.7}),
              "Line 2: 64ch @ 44100Hz");
    EXPECT_EQ(EngineTestRunner::toneIntoLine2Label(64), "tone → Line2 ch63-64 (dual mono)");
    EXPECT_EQ(EngineTestRunner::toneIntoLine2Label(16), "tone → Line2 ch15-16 (dual mono)");
}

} // namespace
