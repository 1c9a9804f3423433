// The screen-capture stand-in against the emulated server's simulated applications: what the shareable
// content lists and when it is refused, which applications' audio a filter lets through, on which queues
// the outputs hear it, and how a stream ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>

#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/ScreenCapture/SCShareableContent.h"
#include "Platform/ScreenCapture/SCStream.h"
#include "Platform/ScreenCapture/ScreenCaptureError.h"
#include "Platform/System/ScreenCapturePermission.h"
#include "Platform/Workspace/Workspace.h"
#include "Support/Polling.h"
#include "Support/ToneLevel.h"

namespace {

using namespace std::chrono_literals;
using ToneLevel::amplitudeAt;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "name": "Speakers", "outputStreams": [2] } ],
  "applications": [
    { "pid": 7301, "bundleID": "org.example.player", "name": "Player", "signal": {"sine": 1000, "level": -20} },
    { "pid": 7302, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -12} }
  ]
})";

// Collects what a stream hands over and checks that it arrives on the queue it was promised.
struct Recorder : SCStreamOutput, SCStreamDelegate {
    std::shared_ptr<DispatchQueue> audioQueue = DispatchQueue::serial("test.audio");
    std::shared_ptr<DispatchQueue> screenQueue = DispatchQueue::serial("test.screen");
    std::mutex mutex;
    std::vector<float> left, right;
    std::chrono::steady_clock::time_point started; // just before the capture was started
    std::vector<std::chrono::steady_clock::time_point> screenFrames;
    int wrongQueue = 0;
    int badFormat = 0;
    std::atomic<int> stops{0};
    std::exception_ptr stopError;

    void stream(SCStream&, const SampleBuffer& buffer, SCStreamOutputType type) override {
        std::lock_guard lock(mutex);
        if (type == SCStreamOutputType::screen) {
            wrongQueue += screenQueue->isCurrent() ? 0 : 1;
            screenFrames.push_back(std::chrono::steady_clock::now());
            return;
        }
        wrongQueue += audioQueue->isCurrent() ? 0 : 1;
        const auto* format = buffer.audioFormat();
        const auto* list = buffer.audioBufferList();
        if (format == nullptr || list == nullptr || list->mNumberBuffers != 2 ||
            (format->mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0 ||
            (format->mFormatFlags & kAudioFormatFlagIsFloat) == 0 || format->mSampleRate != 48000) {
            ++badFormat;
            return;
        }
        const auto* l = static_cast<const float*>(list->mBuffers[0].mData);
        const auto* r = static_cast<const float*>(list->mBuffers[1].mData);
        left.insert(left.end(), l, l + buffer.frames());
        right.insert(right.end(), r, r + buffer.frames());
    }
    void streamDidStop(SCStream&, std::exception_ptr error) override {
        std::lock_guard lock(mutex);
        stopError = error;
        stops.fetch_add(1);
    }
    size_t frames() {
        std::lock_guard lock(mutex);
        return left.size();
    }
};

class SCStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() / ("tandrel-sck-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
    }
    void TearDown() override {
        ScreenCapturePermission::setGranted(true);
        SCShareableContent::setDisplays(SCShareableContent::defaultDisplays());
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    static std::shared_ptr<const SCShareableContent> content() {
        std::promise<std::shared_ptr<const SCShareableContent>> promise;
        SCShareableContent::getShareableContent(false, false, [&](auto content, std::exception_ptr error) {
            if (error) {
                promise.set_exception(error);
            } else {
                promise.set_value(content);
            }
        });
        return promise.get_future().get();
    }

    static SCRunningApplication app(const SCShareableContent& content, const std::string& bundleID) {
        for (const auto& a : content.applications()) {
            if (a.bundleIdentifier == bundleID) {
                return a;
            }
        }
        ADD_FAILURE() << bundleID << " is not in the content";
        return {};
    }

    static std::exception_ptr call(const std::function<void(SCStream::Completion)>& operation) {
        std::promise<std::exception_ptr> done;
        operation([&](std::exception_ptr error) { done.set_value(error); });
        return done.get_future().get();
    }

    // Runs a stream with the filter until the recorder holds `seconds` of audio, then stops it.
    std::shared_ptr<Recorder> capture(SCContentFilter filter, double seconds, bool excludeOwnProcess = true) {
        auto recorder = std::make_shared<Recorder>();
        SCStreamConfiguration configuration;
        configuration.capturesAudio = true;
        configuration.excludesCurrentProcessAudio = excludeOwnProcess;
        auto stream = SCStream::create(std::move(filter), configuration, recorder);
        stream->addStreamOutput(recorder, SCStreamOutputType::audio, recorder->audioQueue);
        stream->addStreamOutput(recorder, SCStreamOutputType::screen, recorder->screenQueue);
        recorder->started = std::chrono::steady_clock::now();
        EXPECT_EQ(call([&](auto done) { stream->startCapture(done); }), nullptr);
        Polling::waitFor([&] { return recorder->frames() >= size_t(seconds * 48000); }, 5s, 5ms);
        EXPECT_EQ(call([&](auto done) { stream->stopCapture(done); }), nullptr);
        return recorder;
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(SCStreamTest, ContentListsRunningApplicationsAndSettableDisplaysAndIsRefusedWithoutPermission) {
    auto listed = content();
    ASSERT_EQ(listed->displays().size(), 1u);
    EXPECT_EQ(app(*listed, "org.example.radio").processID, 7302);
    EXPECT_EQ(app(*listed, "org.example.radio").applicationName, "Radio");

    SCShareableContent::setDisplays({});
    EXPECT_TRUE(content()->displays().empty());

    ScreenCapturePermission::setGranted(false);
    EXPECT_FALSE(ScreenCapturePermission::preflight());
    try {
        content();
        FAIL() << "content without permission";
    } catch (const ScreenCaptureError& e) {
        EXPECT_EQ(e.code(), ScreenCaptureError::Code::permissionDenied);
    }
}

TEST_F(SCStreamTest, IncludingFilterDeliversOnlyThoseApplicationsAsPlanarFloatOnTheGivenQueues) {
    auto listed = content();
    auto recorder =
        capture(SCContentFilter::including(listed->displays()[0], {app(*listed, "org.example.player")}), 1.0);
    EXPECT_EQ(recorder->wrongQueue, 0);
    EXPECT_EQ(recorder->badFormat, 0);
    ASSERT_FALSE(recorder->screenFrames.empty());
    // At most one frame a second, counted from the start: a frame handed over late may be followed by one
    // on time, but the n-th never comes before n seconds have passed.
    for (size_t i = 1; i < recorder->screenFrames.size(); ++i) {
        EXPECT_GE(recorder->screenFrames[i] - recorder->started, i * 1s)
            << "screen frame " << i << " too early";
    }
    // The phase runs on across blocks: a broken phase would smear the tone's level.
    EXPECT_NEAR(amplitudeAt(recorder->left, 1000, 48000), 0.1, 0.002);
    EXPECT_NEAR(amplitudeAt(recorder->right, 1000, 48000), 0.1, 0.002);
    EXPECT_LT(amplitudeAt(recorder->left, 440, 48000), 0.002);
}

TEST_F(SCStreamTest, ExcludingFilterLeavesOutTheListedApplicationsAndTheOwnProcess) {
    ApplicationSpec self;
    self.pid = Workspace::ownPid();
    self.bundleID = "org.example.self";
    self.name = "Self";
    self.signal = InputSignal::sine(700, -20);
    const int own = server->addApplication(self);
    auto listed = content();
    auto recorder =
        capture(SCContentFilter::excluding(listed->displays()[0], {app(*listed, "org.example.player")}), 0.5);
    EXPECT_NEAR(amplitudeAt(recorder->left, 440, 48000), std::pow(10.0, -12.0 / 20), 0.003);
    EXPECT_LT(amplitudeAt(recorder->left, 1000, 48000), 0.002);
    EXPECT_LT(amplitudeAt(recorder->left, 700, 48000), 0.002);

    recorder = capture(SCContentFilter::excluding(listed->displays()[0], {}), 0.5, false);
    EXPECT_NEAR(amplitudeAt(recorder->left, 700, 48000), 0.1, 0.003);
    server->removeApplication(own);
}

TEST_F(SCStreamTest, SystemStopTellsTheDelegateOnceAndEndsTheOutputs) {
    auto listed = content();
    auto recorder = std::make_shared<Recorder>();
    SCStreamConfiguration configuration;
    configuration.capturesAudio = true;
    auto stream =
        SCStream::create(SCContentFilter::excluding(listed->displays()[0], {}), configuration, recorder);
    stream->addStreamOutput(recorder, SCStreamOutputType::audio, recorder->audioQueue);
    EXPECT_EQ(call([&](auto done) { stream->startCapture(done); }), nullptr);
    EXPECT_NE(call([&](auto done) { stream->startCapture(done); }), nullptr) << "started twice";

    stream->stopBySystem(std::make_exception_ptr(std::runtime_error("display gone")));
    stream->stopBySystem(nullptr);
    EXPECT_FALSE(stream->isCapturing());
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (recorder->stops.load() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(2ms);
    }
    recorder->audioQueue->sync([] {});
    const size_t frames = recorder->frames();
    std::this_thread::sleep_for(50ms);
    recorder->audioQueue->sync([] {});
    EXPECT_EQ(recorder->frames(), frames) << "audio after the stop";
    EXPECT_EQ(recorder->stops.load(), 1);
    ASSERT_NE(recorder->stopError, nullptr);
    EXPECT_NE(call([&](auto done) { stream->stopCapture(done); }), nullptr)
        << "a stopped stream stopped again";
}

} // namespace
