// Process tap sources against the emulated server's simulated applications: what reaches the fan-out,
// how the tap follows an application's processes, and that nothing outlives a stop or a failed start.
#include <gtest/gtest.h>

#include "CaptureTestSupport.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <numbers>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>
#include <qcoro/qcorotask.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/ProcessPath.h"
#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/ProcessTapSource.h"

namespace {

using namespace std::chrono_literals;
using CaptureTestSupport::amplitudeAt;
using CaptureTestSupport::waitFor;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "name": "Speakers", "sampleRate": 48000, "bufferFrameSize": 256,
                 "outputStreams": [2] } ],
  "applications": [
    { "pid": 7201, "bundleID": "org.example.player", "name": "Player", "bundlePath": "/opt/Player",
      "signal": {"sine": 1000, "level": -20} },
    { "pid": 7202, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -12} },
    { "pid": 7203, "bundleID": "org.example.player.renderer", "name": "Renderer",
      "activationPolicy": "prohibited" }
  ]
})";

double dB(double amplitude) {
    return 20 * std::log10(amplitude);
}

class ProcessTapSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-tapsource-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
    }
    void TearDown() override {
        sources.stopAll();
        EXPECT_TRUE(server->tapList().empty()) << "a tap was left behind";
        EXPECT_TRUE(server->aggregateDeviceList().empty()) << "an aggregate device was left behind";
        EXPECT_EQ(AudioServer::runningIOCount(), 0u) << "an IO thread was left running";
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::shared_ptr<ProcessTapSource> make(CaptureTarget target) {
        return sources.add(std::make_shared<ProcessTapSource>(std::move(target)));
    }

    std::vector<float> listen(ProcessTapSource& source, double seconds) {
        return sources.listen(source, seconds);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    CaptureTestSupport::CaptureSources<ProcessTapSource> sources;
};

TEST_F(ProcessTapSourceTest, ApplicationTapDeliversItsToneAtThePlayedLevelAndNothingElse) {
    auto source = make(CaptureTarget::application("org.example.player", "Player"));
    EXPECT_EQ(source->statistics().sourceFormat, "-");
    EXPECT_EQ(source->statistics().tappedProcesses, std::nullopt);
    source->setBufferFrames(128);
    QCoro::waitFor(source->start());
    EXPECT_EQ(source->producerName(), "Player");
    EXPECT_EQ(source->sampleRate(), 48000);

    const auto heard = listen(*source, 0.5);
    ASSERT_GT(heard.size(), 20000u);
    EXPECT_NEAR(dB(amplitudeAt(heard, 1000)), -20, 0.5);
    EXPECT_LT(amplitudeAt(heard, 440), 0.001) << "another application's sound leaked in";
    const auto stats = source->statistics();
    EXPECT_EQ(stats.tappedProcesses, 2) << "the player and its renderer (bundle id prefix)";
    EXPECT_GT(stats.callbacks, 0u);
    EXPECT_NE(stats.sourceFormat, "-");

    const auto uid = server->aggregateDeviceList();
    ASSERT_EQ(uid.size(), 1u);
    QCoro::waitFor(source->stop());
    EXPECT_TRUE(server->aggregateDeviceList().empty());
    EXPECT_EQ(source->statistics().tappedProcesses, 2) << "the last values stay after a stop";
}

TEST_F(ProcessTapSourceTest, SystemTapHearsEveryPlayingApplicationButItsOwnProcess) {
    const int32_t own = ::getpid();
    ASSERT_NE(server->addProcess({own, "qorvix.tandrel.app", false}), 0u);
    ASSERT_TRUE(server->setApplicationSignal(own, InputSignal::sine(3000, -6)));
    auto source = make(CaptureTarget::systemAudio());
    QCoro::waitFor(source->start());
    EXPECT_EQ(source->producerName(), "System Audio");

    const auto heard = listen(*source, 0.5);
    EXPECT_NEAR(dB(amplitudeAt(heard, 1000)), -20, 0.5);
    EXPECT_NEAR(dB(amplitudeAt(heard, 440)), -12, 0.5);
    EXPECT_LT(amplitudeAt(heard, 3000), 0.001) << "the program heard itself";
    EXPECT_EQ(source->statistics().tappedProcesses, std::nullopt);
}

TEST_F(ProcessTapSourceTest, ProcessesThatAppearLaterJoinTheTapAndAFailedUpdateIsRetried) {
    auto source = make(CaptureTarget::application("org.example.late", "Late"));
    QCoro::waitFor(source->start());
    EXPECT_EQ(source->statistics().tappedProcesses, 0) << "an application not yet known still starts";

    // The tap refuses the first update; the description must not pretend it took.
    const AudioObjectID tap = server->tapList().at(0);
    server->refuseProperty(tap, kAudioTapPropertyDescription, kAudioHardwareUnspecifiedError,
                           AudioServer::set);
    ApplicationSpec late;
    late.bundleID = "org.example.late";
    late.name = "Late";
    late.signal = InputSignal::sine(2000, -20);
    server->addApplication(late);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(source->statistics().tappedProcesses, 0);

    server->clearRefusals();
    ApplicationSpec other;
    other.bundleID = "org.example.unrelated";
    server->addApplication(other); // any change of the process list
    ASSERT_TRUE(waitFor([&] { return source->statistics().tappedProcesses == 1; }));
    EXPECT_NEAR(dB(amplitudeAt(listen(*source, 0.3), 2000)), -20, 0.5);
}

TEST_F(ProcessTapSourceTest, ProcessesAreMatchedByResponsibilityAndByExecutablePathWhereTheSystemOffersThem) {
    ApplicationSpec helper;
    helper.bundleID = "com.vendor.helper";
    helper.responsiblePid = 7202;
    helper.signal = InputSignal::sine(5000, -20);
    server->addApplication(helper);
    ApplicationSpec plugin;
    plugin.bundleID = "com.vendor.plugin";
    plugin.executablePath = "/opt/Player/Contents/plugin";
    plugin.signal = InputSignal::sine(6000, -20);
    server->addApplication(plugin);

    auto radio = make(CaptureTarget::application("org.example.radio", "Radio"));
    auto player = make(CaptureTarget::application("org.example.player", "Player"));
    QCoro::waitFor(radio->start());
    QCoro::waitFor(player->start());
    EXPECT_EQ(radio->statistics().tappedProcesses, 2);
    EXPECT_EQ(player->statistics().tappedProcesses, 3);
    QCoro::waitFor(radio->stop());
    QCoro::waitFor(player->stop());

    SystemInfo::setResponsibilityFunction(nullptr);
    ProcessPath::setFunction(nullptr);
    QCoro::waitFor(radio->start());
    QCoro::waitFor(player->start());
    EXPECT_EQ(radio->statistics().tappedProcesses, 1);
    EXPECT_EQ(player->statistics().tappedProcesses, 2);
}

TEST_F(ProcessTapSourceTest, FailedStartLeavesNothingBehindAndSaysWhatFailed) {
    server->failAggregateCreation(kAudioHardwareUnspecifiedError);
    auto source = make(CaptureTarget::application("org.example.player", "Player"));
    auto error = QCoro::waitFor(CaptureTestSupport::startCatching<CoreAudioError>(source));
    ASSERT_TRUE(error) << "the start succeeded";
    EXPECT_EQ(error->operation(), "AudioHardwareCreateAggregateDevice");
    EXPECT_EQ(error->status(), kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(server->tapList().empty()) << "the tap of a failed start survived";
    server->failAggregateCreation(kAudioHardwareNoError);
    QCoro::waitFor(source->start());
    EXPECT_NEAR(dB(amplitudeAt(listen(*source, 0.3), 1000)), -20, 0.5);
}

TEST_F(ProcessTapSourceTest, ReleasingARunningSourceTearsItDown) {
    auto source = std::make_shared<ProcessTapSource>(CaptureTarget::systemAudio());
    QCoro::waitFor(source->start());
    ASSERT_EQ(server->tapList().size(), 1u);
    source.reset();
    EXPECT_TRUE(server->tapList().empty());
    EXPECT_TRUE(server->aggregateDeviceList().empty());
}

// A second start replaces the running capture: the first tap, aggregate device and callback go, so the
// server keeps one of each and releasing the source leaves no callback writing into its freed fan-out.
TEST_F(ProcessTapSourceTest, ASecondStartReplacesTheRunningCapture) {
    auto source =
        std::make_shared<ProcessTapSource>(CaptureTarget::application("org.example.player", "Player"));
    QCoro::waitFor(source->start());
    const auto firstTaps = server->tapList();
    const auto firstAggregates = server->aggregateDeviceList();
    ASSERT_EQ(firstTaps.size(), 1u);
    ASSERT_EQ(firstAggregates.size(), 1u);

    QCoro::waitFor(source->start());
    ASSERT_EQ(server->tapList().size(), 1u) << "the first tap was left in the server";
    ASSERT_EQ(server->aggregateDeviceList().size(), 1u) << "the first aggregate device was left running";
    EXPECT_NE(server->tapList(), firstTaps);
    EXPECT_NE(server->aggregateDeviceList(), firstAggregates);
    const auto before = source->statistics().callbacks;
    ASSERT_TRUE(waitFor([&] { return source->statistics().callbacks > before + 2; }));

    source.reset();
    EXPECT_TRUE(server->tapList().empty());
    EXPECT_TRUE(server->aggregateDeviceList().empty());
    EXPECT_TRUE(waitFor([] { return AudioServer::runningIOCount() == 0; }));
}

} // namespace
