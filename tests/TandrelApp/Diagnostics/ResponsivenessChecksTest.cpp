// The responsiveness self-test's judgement of what it measured: the checks at their boundaries and the
// report's figures when a measurement never happened.
#include <gtest/gtest.h>

#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"

namespace {

using Measurements = ResponsivenessTestRunner::Measurements;

const std::string kGap = "応答待ちの間もメインスレッドが止まらない（最大間隔 < 250ms）";
const std::string kDetection = "5〜7 秒で「応答なし」を検出";
const std::string kRecovery = "応答が戻ると自動で復旧し、デバイス一覧を読み込む";

Measurements healthy() {
    return {0.06, 5.05, 3.2, {"Line 1", "Line 2"}};
}

TEST(ResponsivenessChecks, DetectionWindowIncludesBothEnds) {
    for (auto [detected, passes] : std::vector<std::pair<double, bool>>{
             {4.8, false}, {4.9, true}, {5.0, true}, {7.0, true}, {7.1, false}}) {
        auto measured = healthy();
        measured.detectedAfterSeconds = detected;
        EXPECT_EQ(ResponsivenessTestRunner::checks(measured).at(kDetection), passes) << detected;
    }
    auto never = healthy();
    never.detectedAfterSeconds.reset();
    EXPECT_FALSE(ResponsivenessTestRunner::checks(never).at(kDetection));
}

TEST(ResponsivenessChecks, MainThreadMayStallLessThanAQuarterSecond) {
    auto measured = healthy();
    measured.hangGapSeconds = 0.249;
    EXPECT_TRUE(ResponsivenessTestRunner::checks(measured).at(kGap));
    measured.hangGapSeconds = 0.25;
    EXPECT_FALSE(ResponsivenessTestRunner::checks(measured).at(kGap));
}

TEST(ResponsivenessChecks, RecoveryNeedsTheDevicesAndSomeLines) {
    EXPECT_TRUE(ResponsivenessTestRunner::checks(healthy()).at(kRecovery));
    auto notLoaded = healthy();
    notLoaded.recoveredAfterSeconds.reset();
    EXPECT_FALSE(ResponsivenessTestRunner::checks(notLoaded).at(kRecovery));
    auto noLines = healthy();
    noLines.linesAfterRecovery.clear();
    EXPECT_FALSE(ResponsivenessTestRunner::checks(noLines).at(kRecovery));
}

TEST(ResponsivenessChecks, ReportShowsMissingMeasurementsAsMinusOne) {
    SelfTestReport::Report report = SelfTestReport::Report::object();
    ResponsivenessTestRunner::fillReport(report, {0.12, std::nullopt, std::nullopt, {}});
    EXPECT_EQ(report["maxMainThreadGapWhileHungMs"], 120.0);
    EXPECT_EQ(report["unresponsiveDetectedAfterSec"], -1.0);
    EXPECT_EQ(report["recoveredAfterSec"], -1.0);
    EXPECT_EQ(report["linesAfterRecovery"], SelfTestReport::Report::array());
    EXPECT_EQ(report["checks"],
              (SelfTestReport::Report{{kGap, true}, {kDetection, false}, {kRecovery, false}}));
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(SelfTestReport::exitStatus(report), 1);

    SelfTestReport::Report passing = SelfTestReport::Report::object();
    ResponsivenessTestRunner::fillReport(passing, healthy());
    EXPECT_EQ(passing["ok"], true);
    EXPECT_EQ(passing["linesAfterRecovery"], (SelfTestReport::Report{"Line 1", "Line 2"}));
}

} // namespace
