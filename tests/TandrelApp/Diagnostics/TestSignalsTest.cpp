// The self-tests' signals: the tone and click producers' tick arithmetic under a clock the test moves,
// the click detector's onsets on synthetic buffers and on a device, and the pairing of onsets with the
// emitted clicks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>
#include <vector>

#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Support/Polling.h"
#include "TandrelApp/Diagnostics/ClickDetector.h"
#include "TandrelApp/Diagnostics/ClickSource.h"
#include "TandrelApp/Diagnostics/ToneSource.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Engine/RoutingEngine.h"
#include "TandrelCore/TandrelCore.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kSecond = 1'000'000'000; // host ticks are nanoseconds here
constexpr uint64_t kStart = 1000 * kSecond;

// The clock the producers read: it stands still until the test moves it.
std::atomic<uint64_t> fakeNow{kStart};
uint64_t fakeClock() {
    return fakeNow.load();
}

// A consumer ring on a producer's fan-out, freed only after the producer has stopped.
struct Listener {
    Listener(AudioFanout& fanout, uint32_t channels)
        : fanout(fanout)
        , ring(TDRingBufferCreate(channels, 1 << 17)) {
        TDFanoutAdd(fanout.raw(), ring);
    }
    ~Listener() {
        TDFanoutRemove(fanout.raw(), ring);
        TDRingBufferDestroy(ring);
    }
    uint32_t available() const { return TDRingBufferAvailableToRead(ring); }
    bool waitForFrames(uint32_t frames) {
        return Polling::waitFor([&] { return available() >= frames; }, 3s);
    }
    std::vector<float> read(uint32_t frames, uint32_t channels) {
        std::vector<float> samples(size_t(frames) * channels);
        samples.resize(size_t(TDRingBufferRead(ring, samples.data(), frames)) * channels);
        return samples;
    }

    AudioFanout& fanout;
    TDRingBuffer* ring;
};

class SignalProducers : public ::testing::Test {
protected:
    void SetUp() override { fakeNow = kStart; }
    // Gives the producer's timer (2 ms or 1 ms) time to tick at the clock's new reading.
    static void advance(uint64_t ticks) { fakeNow += ticks; }
    static void letTimersRun() { std::this_thread::sleep_for(30ms); }
};

TEST_F(SignalProducers, ToneWritesWholeChunksDueByTheClockStampedWithTheTick) {
    auto tone = std::make_shared<ToneSource>(std::vector<double>{440}, 0.2f, 44100, 441, fakeClock);
    Listener listener(tone->fanout(), 1);
    tone->start();
    letTimersRun();
    EXPECT_EQ(listener.available(), 0u) << "nothing is due at the start";

    advance(35 * kSecond / 1000); // 3.5 chunks of 10 ms
    ASSERT_TRUE(listener.waitForFrames(3 * 441));
    letTimersRun();
    EXPECT_EQ(listener.available(), 3u * 441) << "the half chunk waits";
    EXPECT_EQ(TDFanoutWriteCount(tone->fanout().raw()), 3u) << "one write per chunk";
    EXPECT_EQ(TDRingBufferLastWriteTime(listener.ring), kStart + 35 * kSecond / 1000);

    advance(5 * kSecond / 1000); // the other half
    ASSERT_TRUE(listener.waitForFrames(4 * 441));
    tone->stop();

    const auto samples = listener.read(4 * 441, 1);
    ASSERT_EQ(samples.size(), 4u * 441);
    EXPECT_EQ(samples[0], 0.0f);
    double worst = 0;
    for (size_t n = 0; n < samples.size(); ++n) {
        const double expected = 0.2 * std::sin(2 * std::numbers::pi * 440 * double(n) / 44100);
        worst = std::max(worst, std::abs(samples[n] - expected));
    }
    EXPECT_LT(worst, 1e-6) << "the phase continues without a jump from chunk to chunk";
}

TEST_F(SignalProducers, ToneHasOneChannelPerFrequencyAndIsNamedByTheirIntegerParts) {
    ToneSource tone({600.7, 900}, 0.2f, 48000, 480, fakeClock);
    EXPECT_EQ(tone.producerName(), "Tone 600/900 Hz");
    EXPECT_EQ(tone.channelCount(), 2u);
    EXPECT_EQ(TDFanoutChannels(tone.fanout().raw()), 2u);
    EXPECT_EQ(tone.sampleRate(), 48000);
}

TEST_F(SignalProducers, ClickBurstsEveryIntervalAndRecordsWhenEachWasGenerated) {
    auto click = std::make_shared<ClickSource>(48000, 480, 0.25, fakeClock);
    EXPECT_EQ(click->producerName(), "Click");
    EXPECT_EQ(click->intervalFrames(), 12000u);
    EXPECT_EQ(click->burstFrames(), 48u);
    Listener listener(click->fanout(), 1);
    click->start();
    advance(kSecond * 6 / 10); // 28,800 frames: bursts at 0, 12,000 and 24,000
    ASSERT_TRUE(listener.waitForFrames(28800));
    click->stop();

    EXPECT_EQ(click->burstTimes(),
              (std::vector<uint64_t>{kStart, kStart + kSecond / 4, kStart + kSecond / 2}));
    const auto samples = listener.read(28800, 1);
    for (uint32_t burst : {0u, 12000u, 24000u}) {
        for (uint32_t i = 0; i < 48; ++i) {
            EXPECT_FLOAT_EQ(samples[burst + i],
                            float(0.5 * std::sin(2 * std::numbers::pi * 1000 * i / 48000)));
        }
        for (uint32_t i = 48; i < 12000 && burst + i < samples.size(); ++i) {
            ASSERT_EQ(samples[burst + i], 0.0f) << "silence after the burst, frame " << burst + i;
        }
    }
}

TEST_F(SignalProducers, ClickIntervalShorterThanAFrameGivesSilence) {
    auto click = std::make_shared<ClickSource>(48000, 480, 0.00001, fakeClock);
    EXPECT_EQ(click->intervalFrames(), 0u);
    Listener listener(click->fanout(), 1);
    click->start();
    advance(kSecond / 10);
    ASSERT_TRUE(listener.waitForFrames(4800));
    click->stop();
    EXPECT_TRUE(click->burstTimes().empty());
    for (float sample : listener.read(4800, 1)) {
        ASSERT_EQ(sample, 0.0f);
    }
}

TEST_F(SignalProducers, RestartedClickContinuesItsFrameCount) {
    auto click = std::make_shared<ClickSource>(48000, 480, 0.01, fakeClock);
    Listener listener(click->fanout(), 1);
    click->start();
    advance(kSecond / 50); // frames 0 ... 959: bursts at 0 and 480
    ASSERT_TRUE(listener.waitForFrames(960));
    click->stop();

    advance(kSecond); // restarted a second later
    const uint64_t restart = fakeNow.load();
    click->start();
    advance(kSecond * 3 / 100); // 1,440 frames due since the restart, 960 already made
    ASSERT_TRUE(listener.waitForFrames(1440));
    click->stop();
    EXPECT_EQ(click->burstTimes(),
              (std::vector<uint64_t>{kStart, kStart + kSecond / 100, restart + kSecond / 50}));
}

// One interleaved buffer of `frames` frames, silent but for the listed loud frames on `channel`.
struct SyntheticInput {
    SyntheticInput(uint32_t channels, uint32_t frames, uint32_t channel, std::vector<uint32_t> loud)
        : samples(size_t(frames) * channels, 0.01f) {
        for (uint32_t f : loud) {
            samples[size_t(f) * channels + channel] = -0.5f;
        }
        list.mNumberBuffers = 1;
        list.mBuffers[0].mNumberChannels = channels;
        list.mBuffers[0].mDataByteSize = uint32_t(samples.size() * sizeof(float));
        list.mBuffers[0].mData = samples.data();
    }
    std::vector<float> samples;
    AudioBufferList list{};
};

TEST(ClickDetectorOnsets, LoudFrameAfterTenQuietMillisecondsIsAnOnset) {
    ClickDetector::Onsets onsets(1, 48000);
    EXPECT_EQ(onsets.quietLimit, 480u);
    // The quiet count starts at 0: a click in the first 10 ms is not an onset.
    SyntheticInput first(2, 512, 1, {100});
    onsets.consume(&first.list, 5 * kSecond);
    EXPECT_EQ(onsets.count, 0u);
    EXPECT_EQ(onsets.quietFrames, 411u);

    // 411 + 60 quiet frames: still not enough.
    SyntheticInput second(2, 512, 1, {60});
    onsets.consume(&second.list, 6 * kSecond);
    EXPECT_EQ(onsets.count, 0u);

    // 451 + 30 = 481 quiet frames, spanning two buffers: an onset. A loud frame 5 ms later is the same
    // click.
    SyntheticInput third(2, 512, 1, {30, 270});
    onsets.consume(&third.list, 7 * kSecond);
    ASSERT_EQ(onsets.count, 1u);
    EXPECT_EQ(onsets.arrivals[0], 7 * kSecond + uint64_t(30 * (double(kSecond) / 48000)));
    EXPECT_EQ(onsets.quietFrames, 512u - 271);
}

TEST(ClickDetectorOnsets, BurstsAQuarterSecondApartAreTwoOnsets) {
    ClickDetector::Onsets onsets(0, 48000);
    std::vector<uint32_t> loud;
    for (uint32_t burst : {1000u, 13000u}) {
        for (uint32_t i = 1; i < 48; ++i) {
            loud.push_back(burst + i);
        }
    }
    SyntheticInput input(1, 24000, 0, loud);
    onsets.consume(&input.list, 0);
    ASSERT_EQ(onsets.count, 2u);
    EXPECT_EQ(onsets.arrivals[1] - onsets.arrivals[0], uint64_t(12000 * (double(kSecond) / 48000)));
}

TEST(ClickDetectorOnsets, AfterItsCapacityOnlyTheQuietCountResets) {
    ClickDetector::Onsets onsets(0, 48000);
    SyntheticInput input(1, 600, 0, {599});
    for (size_t i = 0; i < ClickDetector::capacity + 10; ++i) {
        onsets.consume(&input.list, i * kSecond);
    }
    EXPECT_EQ(onsets.count, ClickDetector::capacity);
    EXPECT_EQ(onsets.quietFrames, 0u);
    EXPECT_EQ(onsets.arrivals[ClickDetector::capacity - 1],
              (ClickDetector::capacity - 1) * kSecond + uint64_t(599 * (double(kSecond) / 48000)));
}

TEST(ClickDetectorOnsets, BuffersItCannotReadRecordNothing) {
    ClickDetector::Onsets onsets(2, 48000); // a third channel
    SyntheticInput stereo(2, 2000, 1, {1000, 1500});
    onsets.consume(&stereo.list, 0);
    EXPECT_EQ(onsets.count, 0u);
    EXPECT_EQ(onsets.quietFrames, 0u) << "a buffer without the channel is not read at all";

    ClickDetector::Onsets first(0, 48000);
    SyntheticInput partial(2, 1, 0, {0});
    partial.list.mBuffers[0].mDataByteSize = 4; // less than one frame
    first.consume(&partial.list, 0);
    AudioBufferList empty{};
    first.consume(&empty, 0);
    first.consume(nullptr, 0);
    EXPECT_EQ(first.quietFrames, 0u);
}

TEST(ClickDetectorLatencies, EachOnsetPairsWithTheLatestClickAtOrBeforeIt) {
    const std::vector<uint64_t> emitted{kSecond, 2 * kSecond, 3 * kSecond};
    const std::vector<uint64_t> arrivals{kSecond / 2, kSecond + kSecond / 100, 2 * kSecond,
                                         3 * kSecond + kSecond / 4, 2 * kSecond + kSecond / 2};
    const auto latencies = ClickDetector::latencies(arrivals, emitted);
    ASSERT_EQ(latencies.size(), 4u) << "the arrival before every click counts for nothing";
    EXPECT_NEAR(latencies[0], 10, 1e-9);
    EXPECT_NEAR(latencies[1], 0, 1e-9);
    EXPECT_NEAR(latencies[2], 250, 1e-9);
    EXPECT_NEAR(latencies[3], 500, 1e-9);
    EXPECT_TRUE(ClickDetector::latencies(arrivals, std::vector<uint64_t>{}).empty());
}

class ClickDetectorOnDevice : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() / ("tandrel-clicks-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({
          "devices": [ { "uid": "loop", "name": "Loop", "inputStreams": [2], "outputStreams": [2],
                         "bufferFrameSize": 256, "inputSignal": "loopback" } ] })"),
                                     .home = home});
    }
    void TearDown() override {
        // A destination released on this thread stops on the call queue, and routes are reclaimed a
        // second later: both finish here, while the server still runs, and not during the exit.
        CoreAudioCall::sync([] {});
        DeferredWork::runPendingNow();
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(ClickDetectorOnDevice, HearsClicksPlayedIntoALoopbackDevice) {
    auto device = AudioDeviceCatalog::device("loop");
    ASSERT_TRUE(device);
    RoutingEngine engine;
    auto destination = std::make_shared<OutputDestination>(*device);
    CoreAudioCall::sync([&] { destination->start(256); });
    auto click = std::make_shared<ClickSource>(48000, 256, 0.1);
    auto route = engine.connect(click, destination, ChannelMapping{{{0, 0, 1.0f}, {0, 1, 1.0f}}}, 1.0f);
    ClickDetector detector(*device, 1);
    detector.start(256);
    click->start();
    std::this_thread::sleep_for(1200ms);
    click->stop();
    detector.stop();
    engine.disconnect(route);
    route.reset();
    destination.reset();

    const auto latencies = detector.latencies(click->burstTimes());
    EXPECT_GE(latencies.size(), 8u);
    for (double ms : latencies) {
        EXPECT_GT(ms, 0);
        EXPECT_LT(ms, 100) << "a click comes back within the route's and the device's buffers";
    }
}

TEST_F(ClickDetectorOnDevice, AChannelTheDeviceLacksRecordsNothingAndAnUnknownDeviceFails) {
    auto device = AudioDeviceCatalog::device("loop");
    ASSERT_TRUE(device);
    ClickDetector beyond(*device, 5);
    beyond.start(std::nullopt);
    std::this_thread::sleep_for(100ms);
    beyond.stop();
    EXPECT_TRUE(beyond.arrivals().empty());

    AudioDeviceInfo missing = *device;
    missing.id = 9999;
    ClickDetector nowhere(missing, 0);
    try {
        nowhere.start(std::nullopt);
        FAIL() << "the start should fail";
    } catch (const CoreAudioError& e) {
        EXPECT_EQ(e.operation(), "AudioDeviceCreateIOProcIDWithBlock");
        EXPECT_NE(e.status(), 0);
    }
}

} // namespace
