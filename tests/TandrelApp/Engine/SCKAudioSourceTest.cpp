// Screen-capture audio sources against the emulated server's simulated applications: what reaches the
// fan-out, the errors of a start that cannot be made, and how a capture ends, by the owner, by the
// system or by releasing the source.
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
#include "Platform/ScreenCapture/SCShareableContent.h"
#include "Platform/System/ScreenCapturePermission.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/AudioFormatSummary.h"
#include "TandrelApp/Engine/SCKAudioSource.h"

namespace {

using namespace std::chrono_literals;
using CaptureTestSupport::amplitudeAt;
using CaptureTestSupport::waitFor;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "name": "Speakers", "outputStreams": [2] } ],
  "applications": [
    { "pid": 7401, "bundleID": "org.example.player", "name": "Player", "signal": {"sine": 1000, "level": -20} },
    { "pid": 7402, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -12} },
    { "pid": 7403, "bundleID": "org.example.player.renderer", "name": "Renderer",
      "activationPolicy": "prohibited", "signal": {"sine": 2000, "level": -26} },
    { "pid": 7404, "bundleID": "qorvix.tandrel.test-helper", "name": "Helper", "signal": {"sine": 3000, "level": -20} }
  ]
})";

double amplitudeOf(double dBFS) {
    return std::pow(10.0, dBFS / 20);
}

CaptureError startFailure(const std::shared_ptr<SCKAudioSource>& source) {
    auto error = QCoro::waitFor(CaptureTestSupport::startCatching<CaptureError>(source));
    if (!error) {
        throw std::runtime_error("the start did not fail with a capture error");
    }
    return *error;
}

class SCKAudioSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-scksource-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
    }
    void TearDown() override {
        sources.stopAll();
        ScreenCapturePermission::setGranted(true);
        SCShareableContent::setDisplays(SCShareableContent::defaultDisplays());
        Workspace::setOwnBundleIdentifier(std::nullopt);
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::shared_ptr<SCKAudioSource> make(CaptureTarget target) {
        return sources.add(std::make_shared<SCKAudioSource>(std::move(target), 48000));
    }

    std::vector<float> listen(SCKAudioSource& source, double seconds) {
        return sources.listen(source, seconds);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    CaptureTestSupport::CaptureSources<SCKAudioSource> sources;
};

TEST_F(SCKAudioSourceTest, ApplicationCaptureDeliversItsTonesAtThePlayedLevelAndNothingElse) {
    auto source = make(CaptureTarget::application("org.example.player", "Player"));
    EXPECT_EQ(source->statistics().sourceFormat, "-");
    EXPECT_EQ(source->statistics().callbacks, 0u);
    QCoro::waitFor(source->start());
    ASSERT_NE(source->stream(), nullptr);
    const auto& configuration = source->stream()->configuration();
    EXPECT_EQ(configuration.sampleRate, 48000);
    EXPECT_TRUE(configuration.excludesCurrentProcessAudio);
    EXPECT_EQ(configuration.width, 2u);

    const auto left = listen(*source, 0.5);
    ASSERT_EQ(left.size(), 24000u);
    EXPECT_NEAR(amplitudeAt(left, 1000), amplitudeOf(-20), 0.003);
    // Its helper, whose bundle identifier extends the application's, is captured with it.
    EXPECT_NEAR(amplitudeAt(left, 2000), amplitudeOf(-26), 0.003);
    EXPECT_LT(amplitudeAt(left, 440), 0.002);
    EXPECT_LT(amplitudeAt(left, 3000), 0.002);

    const auto stats = source->statistics();
    EXPECT_GT(stats.callbacks, 0u);
    EXPECT_EQ(stats.lastCallbackFrames, 480u);
    EXPECT_NE(stats.sourceFormat, "-");
    EXPECT_EQ(stats.tappedProcesses, std::nullopt);
}

TEST_F(SCKAudioSourceTest, WholeSystemCaptureLeavesOutThisProgramsApplicationsAndOwnProcess) {
    Workspace::setOwnBundleIdentifier("qorvix.tandrel.test-helper");
    ApplicationSpec self;
    self.pid = Workspace::ownPid();
    self.bundleID = "org.example.self";
    self.name = "Self";
    self.signal = InputSignal::sine(700, -20);
    server->addApplication(self);

    auto source = make(CaptureTarget::systemAudio());
    EXPECT_EQ(source->producerName(), "System Audio");
    QCoro::waitFor(source->start());
    const auto left = listen(*source, 0.5);
    EXPECT_NEAR(amplitudeAt(left, 1000), amplitudeOf(-20), 0.003);
    EXPECT_NEAR(amplitudeAt(left, 440), amplitudeOf(-12), 0.003);
    EXPECT_LT(amplitudeAt(left, 3000), 0.002) << "this program's helper application was captured";
    EXPECT_LT(amplitudeAt(left, 700), 0.002) << "this process was captured";
    server->removeApplication(self.pid);
}

TEST_F(SCKAudioSourceTest, StartsThatCannotBeMadeFailWithTheirTextsAndLeaveTheSourceStopped) {
    auto source = make(CaptureTarget::application("org.example.absent", "Absent App"));
    const auto absent = startFailure(source);
    EXPECT_EQ(absent.kind(), CaptureError::Kind::applicationNotFound);
    EXPECT_EQ(absent.localizedDescription(),
              "アプリが見つかりません: org.example.absent（起動していますか？）");

    SCShareableContent::setDisplays({});
    const auto noDisplay = startFailure(source);
    EXPECT_EQ(noDisplay.kind(), CaptureError::Kind::noDisplay);
    EXPECT_EQ(noDisplay.localizedDescription(), "キャプチャ可能なディスプレイがありません");

    ScreenCapturePermission::setGranted(false);
    auto system = make(CaptureTarget::systemAudio());
    const auto denied = startFailure(system);
    EXPECT_EQ(denied.kind(), CaptureError::Kind::permissionDenied);
    EXPECT_EQ(denied.localizedDescription(),
              "画面と音声の収録が許可されていません（システム設定 > プライバシーとセキュリティ）");

    EXPECT_EQ(source->stream(), nullptr);
    EXPECT_EQ(system->stream(), nullptr);
    EXPECT_EQ(system->statistics().callbacks, 0u);
}

TEST_F(SCKAudioSourceTest, SystemStopCallsOnStopOnceWithItsErrorAndLaterStopsDoNothing) {
    auto source = make(CaptureTarget::application("org.example.radio", "Radio"));
    std::atomic<int> calls{0};
    std::string message;
    source->setOnStop([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            message = e.what();
        }
        calls.fetch_add(1);
    });
    QCoro::waitFor(source->start());
    auto stream = source->stream();
    ASSERT_NE(stream, nullptr);

    stream->stopBySystem(std::make_exception_ptr(std::runtime_error("display disconnected")));
    stream->stopBySystem(std::make_exception_ptr(std::runtime_error("again")));
    ASSERT_TRUE(waitFor([&] { return calls.load() > 0; }));
    EXPECT_EQ(source->stream(), nullptr);
    QCoro::waitFor(source->stop());
    QCoro::waitFor(source->stop());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(message, "display disconnected");
}

TEST_F(SCKAudioSourceTest, OwnerStopEndsTheStreamWithoutOnStopAndReleaseStopsARunningOne) {
    auto source = make(CaptureTarget::application("org.example.radio", "Radio"));
    std::atomic<int> calls{0};
    source->setOnStop([&](std::exception_ptr) { calls.fetch_add(1); });
    QCoro::waitFor(source->start());
    auto stream = source->stream();
    QCoro::waitFor(source->stop());
    EXPECT_FALSE(stream->isCapturing());
    // The system's word comes too late: the owner has stopped the stream already.
    stream->stopBySystem(nullptr);
    std::this_thread::sleep_for(20ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls.load(), 0);

    auto released =
        std::make_shared<SCKAudioSource>(CaptureTarget::application("org.example.radio", "Radio"), 48000);
    QCoro::waitFor(released->start());
    stream = released->stream();
    ASSERT_TRUE(waitFor([&] { return released->statistics().callbacks > 2; }));
    released.reset();
    EXPECT_FALSE(stream->isCapturing());
}

} // namespace

namespace {

TEST(SCKAudioSourceBuffers, OnlyUsableAudioBuffersReachTheFanoutAndTheFirstSetsTheFormatText) {
    auto source = std::make_shared<SCKAudioSource>(CaptureTarget::systemAudio(), 48000);
    auto stream = SCStream::create(SCContentFilter::excluding(SCDisplay{1, 2, 2}, {}), {}, source);
    const auto planar = *SampleBuffer::audio(48000, 2, 480)->audioFormat();

    source->stream(*stream, *SampleBuffer::audio(48000, 2, 480), SCStreamOutputType::screen);
    source->stream(*stream, *SampleBuffer::malformed(false, planar, true), SCStreamOutputType::audio);
    source->stream(*stream, *SampleBuffer::malformed(true, std::nullopt, true), SCStreamOutputType::audio);
    source->stream(*stream, *SampleBuffer::malformed(true, planar, false), SCStreamOutputType::audio);
    EXPECT_EQ(source->statistics().callbacks, 0u);
    EXPECT_EQ(source->statistics().sourceFormat, "-");

    source->stream(*stream, *SampleBuffer::audio(48000, 2, 480), SCStreamOutputType::audio);
    const std::string first = source->statistics().sourceFormat;
    EXPECT_NE(first, "-");
    source->stream(*stream, *SampleBuffer::audio(44100, 2, 441), SCStreamOutputType::audio);
    EXPECT_EQ(source->statistics().callbacks, 2u);
    EXPECT_EQ(source->statistics().framesReceived, 921u);
    EXPECT_EQ(source->statistics().sourceFormat, first);
}

// A buffer the fan-out refuses (16-bit integers) is not what the source captures: the format text waits
// for the first buffer actually written and describes that one.
TEST(SCKAudioSourceBuffers, TheFormatTextDescribesTheFirstBufferWrittenNotOneTheFanoutDropped) {
    auto source = std::make_shared<SCKAudioSource>(CaptureTarget::systemAudio(), 48000);
    auto stream = SCStream::create(SCContentFilter::excluding(SCDisplay{1, 2, 2}, {}), {}, source);
    AudioStreamBasicDescription integers = *SampleBuffer::audio(44100, 2, 441)->audioFormat();
    integers.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    integers.mBitsPerChannel = 16;

    source->stream(*stream, *SampleBuffer::malformed(true, integers, true), SCStreamOutputType::audio);
    EXPECT_EQ(source->statistics().callbacks, 0u) << "the fan-out took a buffer of integers";
    EXPECT_EQ(source->statistics().sourceFormat, "-");

    const auto floats = SampleBuffer::audio(48000, 2, 480);
    source->stream(*stream, *floats, SCStreamOutputType::audio);
    EXPECT_EQ(source->statistics().callbacks, 1u);
    EXPECT_EQ(source->statistics().sourceFormat, summary(*floats->audioFormat()));
}

} // namespace
