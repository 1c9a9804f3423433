// The capture self-test run in-process against the emulated server: what its report says about a
// simulated application playing a known tone through each backend, and how a start that fails, a
// recording that cannot be made and a capture the system ends show in the report and the exit status.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include <QTimer>
#include <qcoro/qcorotask.h>
#include <sndfile.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/SelfTestReport.h"
#include "TandrelApp/Engine/SCKAudioSource.h"

namespace {

using SelfTestReport::Report;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "name": "Speakers", "outputStreams": [2] } ],
  "applications": [
    { "pid": 8101, "bundleID": "org.example.toneplayer", "name": "Tone Player",
      "signal": {"sine": 1000, "level": -20} },
    { "pid": 8102, "bundleID": "org.example.notes", "name": "Notes", "signal": "silence" }
  ]
})";
const double kToneAmplitude = std::pow(10.0, -20.0 / 20); // 0.1

class CaptureTestRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() /
               ("tandrel-capture-runner-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
        reportPath = home / "report.json";
    }
    void TearDown() override {
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    // Runs the test with these options and the report path; returns the exit status and the report.
    std::pair<int, Report> run(std::vector<std::string> options, CaptureTestRunner::SourceMaker maker = {}) {
        std::vector<std::string> elements{"TandrelApp", "--capture-test"};
        elements.insert(elements.end(), options.begin(), options.end());
        elements.insert(elements.end(), {"--report", reportPath.string()});
        const int status = QCoro::waitFor(
            CaptureTestRunner::execute(SelfTestArguments(std::move(elements)), std::move(maker)));
        std::ifstream file(reportPath);
        return {status, Report::parse(file)};
    }

    std::filesystem::path home;
    std::filesystem::path reportPath;
    std::shared_ptr<AudioServer> server;
};

TEST_F(CaptureTestRunnerTest, HearsTheTonePlayerThroughEitherBackend) {
    for (const char* backend : {"processTap", "screenCaptureKit"}) {
        SCOPED_TRACE(backend);
        const auto [status, report] = run({"--target", "org.example.toneplayer", "--seconds", "0.6",
                                           "--backend", backend, "--freqs", "440,1000"});
        EXPECT_EQ(status, 0);
        EXPECT_EQ(report["ok"], true);
        EXPECT_EQ(report["backend"], backend);
        EXPECT_EQ(report["target"], "org.example.toneplayer");
        EXPECT_EQ(report["seconds"], 0.6);
        EXPECT_EQ(report["screenCapturePermission"], true);
        EXPECT_EQ(report["sampleRate"], 48000.0);
        EXPECT_GT(report["callbacks"].get<uint64_t>(), 0u);
        EXPECT_GT(report["framesReceived"].get<uint64_t>(), 0u);
        EXPECT_GT(report["framesPerCallback"].get<uint32_t>(), 0u);
        const auto consumed = report["framesConsumed"].get<uint64_t>();
        EXPECT_GT(consumed, 0u);
        EXPECT_EQ(consumed % 2400, 0u);
        EXPECT_EQ(report["droppedFrames"], 0);
        EXPECT_NEAR(report["receivedSeconds"].get<double>(), 0.6, 0.25);
        EXPECT_GE(report["elapsedSeconds"].get<double>(), 0.6);
        EXPECT_NEAR(report["probe"]["1000"].get<double>(), kToneAmplitude, kToneAmplitude * 0.01);
        EXPECT_LT(report["probe"]["440"].get<double>(), kToneAmplitude / 100);
        ASSERT_EQ(report["lastPeak"].size(), 2u);
        EXPECT_NEAR(report["lastPeak"][0].get<double>(), kToneAmplitude, kToneAmplitude * 0.01);
        EXPECT_FALSE(report.contains("error"));
        EXPECT_FALSE(report.contains("stopError"));
        if (std::string(backend) == "processTap") {
            EXPECT_EQ(report["tappedProcesses"], 1);
        } else {
            EXPECT_FALSE(report.contains("tappedProcesses"));
        }
    }
}

TEST_F(CaptureTestRunnerTest, ASilentApplicationPassesButItsProbeShowsNothing) {
    const auto [status, report] =
        run({"--target", "org.example.notes", "--seconds", "0.3", "--freqs", "1000"});
    EXPECT_EQ(status, 0) << "the capture test measures delivery, not content";
    EXPECT_EQ(report["backend"], "processTap") << "automatic on this system";
    EXPECT_GT(report["framesReceived"].get<uint64_t>(), 0u);
    EXPECT_LT(report["probe"]["1000"].get<double>(), 1e-6);
}

TEST_F(CaptureTestRunnerTest, AnApplicationThatIsNotRunningFailsTheStartInTheErrorFormWithEveryBackend) {
    const std::pair<const char*, const char*> backends[] = {
        {"screenCaptureKit", "screenCaptureKit"}, {"processTap", "processTap"}, {"automatic", "processTap"}};
    for (const auto& [asked, chosen] : backends) {
        SCOPED_TRACE(asked);
        const auto [status, report] =
            run({"--target", "org.example.absent", "--backend", asked, "--freqs", "1000"});
        EXPECT_EQ(status, 1);
        EXPECT_EQ(report,
                  (Report{{"target", "org.example.absent"},
                          {"seconds", 5.0},
                          {"backend", chosen},
                          {"screenCapturePermission", true},
                          {"ok", false},
                          {"error", "アプリが見つかりません: org.example.absent（起動していますか？）"}}));
    }
}

TEST_F(CaptureTestRunnerTest, BeforeProcessTapsExistEveryBackendIsScreenCapture) {
    const OperatingSystemVersion running = SystemInfo::version();
    SystemInfo::setVersion({14, 1, 0});
    const auto [status, report] = run({"--target", "org.example.toneplayer", "--seconds", "0.3", "--backend",
                                       "processTap", "--freqs", "1000"});
    SystemInfo::setVersion(running);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(report["backend"], "screenCaptureKit");
    EXPECT_FALSE(report.contains("tappedProcesses"));
    EXPECT_NEAR(report["probe"]["1000"].get<double>(), kToneAmplitude, kToneAmplitude * 0.01);
}

TEST_F(CaptureTestRunnerTest, RecordsWhatItAnalysed) {
    const auto wav = home / "capture.wav";
    const auto [status, report] =
        run({"--target", "system", "--seconds", "0.4", "--backend", "something else", "--out", wav.string()});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(report["backend"], "processTap");
    EXPECT_EQ(report["probe"], Report::object());
    SF_INFO info{};
    SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    sf_close(file);
    EXPECT_EQ(info.frames, report["framesConsumed"].get<int64_t>());
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
}

TEST_F(CaptureTestRunnerTest, ARecordingThatCannotBeMadeTakesTheErrorForm) {
    const auto [status, report] =
        run({"--seconds", "0.2", "--out", (home / "missing" / "capture.wav").string()});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(report["ok"], false);
    EXPECT_NE(report["error"].get<std::string>().find("録音ファイルを作成できません"), std::string::npos);
    EXPECT_FALSE(report.contains("framesReceived"));
}

TEST_F(CaptureTestRunnerTest, DurationsThatAreNoWaitWaitNothingAndSharedProbeKeysDoNotFail) {
    for (const char* seconds : {"nan", "-3"}) {
        const auto [status, report] =
            run({"--target", "org.example.toneplayer", "--seconds", seconds, "--freqs", "440,440.5,1000"});
        EXPECT_EQ(status, 0);
        EXPECT_EQ(report["seconds"], 0.0);
        EXPECT_LT(report["elapsedSeconds"].get<double>(), 0.5);
        EXPECT_EQ(report["probe"].size(), 2u) << "440 and 440.5 share the key 440";
    }
}

TEST_F(CaptureTestRunnerTest, ACaptureTheSystemEndsFailsWithItsStopError) {
    std::shared_ptr<SCKAudioSource> made;
    auto maker = [&made](CaptureBackend, const CaptureTarget& target) {
        made = std::make_shared<SCKAudioSource>(target, 48000);
        return made;
    };
    // The system ends the capture once it has delivered something, however long a busy machine takes to
    // start it.
    QTimer stopper;
    stopper.setInterval(10);
    QObject::connect(&stopper, &QTimer::timeout, [&made, &stopper] {
        auto stream = made ? made->stream() : nullptr;
        if (stream && made->statistics().framesReceived > 0) {
            stopper.stop();
            stream->stopBySystem(std::make_exception_ptr(std::runtime_error("display disconnected")));
        }
    });
    stopper.start();
    const auto [status, report] =
        run({"--target", "org.example.toneplayer", "--seconds", "2", "--backend", "screenCaptureKit"}, maker);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(report["stopError"], "display disconnected");
    EXPECT_FALSE(report.contains("error"));
    EXPECT_GT(report["framesReceived"].get<uint64_t>(), 0u) << "the rest of the report is filled in";
}

} // namespace
