// The engine and latency self-tests run in-process against emulated lines that play back what they are
// given, as the driver's do: what the reports hold for a tone, a captured application, the microphone
// and a monitor, how missing lines show, and how the latency test times clicks through a line. Levels
// are judged loosely (a signal is there, or it is not): whether the audio keeps up on a busy machine is
// the business of the self-tests run by ctest, not of these.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <qcoro/qcorotask.h>

#include "Support/EmulatedServerRun.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"

namespace {

using Report = SelfTestReport::Report;

constexpr const char* kProfile = R"({
  "devices": [
    { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2],
      "inputSignal": "loopback", "bufferFrameSize": 256 },
    { "uid": "qorvix.tandrel.device.line2", "name": "Line 2", "inputStreams": [8], "outputStreams": [8],
      "inputSignal": "loopback", "bufferFrameSize": 256 },
    { "uid": "speakers", "name": "Speakers", "outputStreams": [2] },
    { "uid": "mic", "name": "Microphone", "inputStreams": [1], "inputSignal": {"sine": 330, "level": -30} }
  ],
  "applications": [
    { "pid": 8201, "bundleID": "org.example.toneplayer", "name": "Tone Player",
      "signal": {"sine": 1000, "level": -20} }
  ],
  "defaultInput": "mic",
  "defaultOutput": "speakers"
})";

constexpr const char* kNoLines = R"({ "devices": [ { "uid": "speakers", "outputStreams": [2] } ] })";

class EngineTestRunnerTest : public ::testing::Test {
protected:
    void start(const char* profile) {
        emulated = std::make_unique<EmulatedServerRun>("engine-runner-test", profile);
        reportPath = emulated->home / "report.json";
    }
    void TearDown() override { emulated.reset(); }

    std::pair<int, Report> run(std::vector<std::string> options) {
        std::vector<std::string> elements{"TandrelApp"};
        elements.insert(elements.end(), options.begin(), options.end());
        elements.insert(elements.end(), {"--report", reportPath.string()});
        const int status = QCoro::waitFor(EngineTestRunner::execute(SelfTestArguments(std::move(elements))));
        std::ifstream file(reportPath);
        return {status, Report::parse(file)};
    }

    std::unique_ptr<EmulatedServerRun> emulated;
    std::filesystem::path reportPath;
};

TEST_F(EngineTestRunnerTest, ToneCaptureMicrophoneAndMonitorArriveWhereTheyWereRouted) {
    start(kProfile);
    const auto [status, report] =
        run({"--engine-test", "--seconds", "1", "--capture", "org.example.toneplayer", "--mic", "--monitor",
             "absent,,speakers", "--monitor-gain", "0.5"});
    EXPECT_EQ(report["lines"], (Report{"Line 1: 2ch @ 48000Hz", "Line 2: 8ch @ 48000Hz"}));
    EXPECT_EQ(report["captureBackend"], "processTap");
    EXPECT_NEAR(report["line1"]["ch1"]["440"].get<double>(), 0.2, 0.05);
    EXPECT_NEAR(report["line1"]["ch2"]["1000"].get<double>(), 0.1, 0.025);
    EXPECT_NEAR(report["line2"]["ch7"]["440"].get<double>(), 0.2, 0.05) << "the tone plays on the last pair";
    EXPECT_NEAR(report["line2"]["ch4"]["1000"].get<double>(), 0.1, 0.025);
    EXPECT_LT(report["line2"]["ch1"]["440"].get<double>(), 0.002);
    EXPECT_FALSE(report["line2"].contains("ch5")) << "only the channels the checks read are reported";
    EXPECT_EQ(report["mic"]["device"], "Microphone");
    EXPECT_GT(report["mic"]["peakCh5"].get<double>(), 0.01);
    EXPECT_EQ(report["mic"]["peakCh5"], report["mic"]["peakCh6"]);

    ASSERT_EQ(report["monitors"].size(), 1u) << "an unknown UID and an empty part are skipped";
    EXPECT_EQ(report["monitors"][0]["device"], "Speakers");
    EXPECT_GT(report["monitors"][0]["renders"].get<uint64_t>(), 0u);

    std::vector<std::string> labels;
    for (const auto& route : report["routes"]) {
        labels.push_back(route["route"]);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{
                          "tone → Line1 ch1-2 (dual mono)", "tone → Line2 ch7-8 (dual mono)",
                          "capture → Line1 ch1-2", "capture → Line2 ch3-4",
                          "mic(Microphone, 1ch) → Line2 ch5-6 (dual mono)", "Line1 mix → Speakers"}));
    EXPECT_DOUBLE_EQ(report["routes"][0]["nominalRatio"].get<double>(), 44100.0 / 48000.0);
    EXPECT_EQ(report["checks"].size(), 10u);
    EXPECT_EQ(status, SelfTestReport::exitStatus(report));
}

TEST_F(EngineTestRunnerTest, WithoutTheLinesBothTestsFailInTheErrorForm) {
    start(kNoLines);
    const auto [engineStatus, engine] = run({"--engine-test"});
    EXPECT_EQ(engineStatus, 1);
    EXPECT_EQ(
        engine,
        (Report{{"ok", false},
                {"error", "Line 1 / Line 2 の検出（ドライバを再インストールしてください） に失敗しました "
                          "(OSStatus -1)"}}));
    const auto [latencyStatus, latency] = run({"--latency-test"});
    EXPECT_EQ(latencyStatus, 1);
    EXPECT_EQ(latency, (Report{{"ok", false}, {"error", "Line 1 の検出 に失敗しました (OSStatus -1)"}}));
}

TEST_F(EngineTestRunnerTest, TheLatencyTestTimesClicksThroughLine1WithTheBufferAskedFor) {
    start(kProfile);
    const auto [status, report] =
        run({"--latency-test", "--buffer", "128", "--seconds", "2", "--safety-ms", "4"});
    EXPECT_EQ(report["bufferFramesRequested"], 128);
    EXPECT_EQ(report["bufferFramesActual"], 128);
    EXPECT_EQ(report["safetyMs"], 4.0);
    EXPECT_GT(report["samples"].get<int>(), 0);
    ASSERT_TRUE(report.contains("latencyMsMedian"));
    EXPECT_LE(report["latencyMsMin"].get<double>(), report["latencyMsMedian"].get<double>());
    EXPECT_LE(report["latencyMsMedian"].get<double>(), report["latencyMsMax"].get<double>());
    EXPECT_GT(report["routeTargetMs"].get<double>(), 0);
    EXPECT_EQ(status, SelfTestReport::exitStatus(report));
}

TEST_F(EngineTestRunnerTest, ADelayLongerThanTheClickIntervalIsNotTakenForAShortOne) {
    start(kProfile);
    // A 230 ms safety margin holds each click about a click interval (250 ms) in the route's ring.
    const auto [status, report] = run({"--latency-test", "--seconds", "2", "--safety-ms", "230"});
    const double target = report["routeTargetMs"].get<double>();
    ASSERT_GT(target, 230);
    ASSERT_TRUE(report.contains("latencyMsMedian")) << report.dump();
    EXPECT_GT(report["latencyMsMedian"].get<double>(), target / 2) << report.dump();
    EXPECT_LT(report["latencyMsMedian"].get<double>(), target + 125) << report.dump();
}

} // namespace
