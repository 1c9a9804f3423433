#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Platform/Dispatch/DeferredWork.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Engine/RoutingEngine.h"

namespace {

class FakeProducer : public AudioProducer {
public:
    FakeProducer(std::string name, uint32_t channels, double rate = 48000)
        : name_(std::move(name))
        , channels_(channels)
        , rate_(rate)
        , fanout_(std::max(channels, 1u)) {}
    std::string producerName() const override { return name_; }
    AudioFanout& fanout() const override { return fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return rate_; }

    void write(uint32_t frames, float value) {
        std::vector<float> block(static_cast<size_t>(frames) * channels_, value);
        TDFanoutWriteInterleaved(fanout_.raw(), block.data(), channels_, frames, 1);
    }

private:
    std::string name_;
    uint32_t channels_;
    double rate_;
    mutable AudioFanout fanout_;
};

std::shared_ptr<OutputDestination> makeDestination(std::string name, uint32_t channels = 2) {
    AudioDeviceInfo device;
    device.id = 77;
    device.uid = "test." + name;
    device.name = std::move(name);
    device.outputChannels = channels;
    device.sampleRate = 48000;
    return std::make_shared<OutputDestination>(device);
}

ChannelMapping stereo() {
    return ChannelMapping{{{0, 0, 1.0f}, {1, 1, 1.0f}}};
}

class RoutingEngineTest : public ::testing::Test {
protected:
    void TearDown() override {
        engine.reset();
        DeferredWork::runPendingNow();
    }
    std::unique_ptr<RoutingEngine> engine = std::make_unique<RoutingEngine>();
};

TEST_F(RoutingEngineTest, ChannelsOutsideEitherSideFailBeforeAnythingIsMade) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2);
    auto out = makeDestination("Speakers", 2);
    try {
        engine->connect(mic, out, ChannelMapping{{{0, 0, 1.0f}, {2, 1, 1.0f}}}, 1.0f);
        FAIL() << "expected a channel error";
    } catch (const RoutingEngine::RoutingError& error) {
        EXPECT_EQ(error.kind(), RoutingEngine::RoutingError::Kind::channelOutOfRange);
        EXPECT_EQ(error.payload(), "Mic ch3");
        EXPECT_STREQ(error.what(), "チャンネル指定が範囲外です: Mic ch3");
    }
    try {
        engine->connect(mic, out, ChannelMapping{{{1, 2, 1.0f}}}, 1.0f);
        FAIL() << "expected a channel error";
    } catch (const RoutingEngine::RoutingError& error) {
        EXPECT_EQ(error.payload(), "Speakers ch3");
    }
    EXPECT_TRUE(engine->routes().empty());
    EXPECT_EQ(DeferredWork::pendingCount(), 0u);
    EXPECT_FALSE(out->planState.published);

    auto silent = std::make_shared<FakeProducer>("Nothing", 0);
    EXPECT_THROW(engine->connect(silent, out, ChannelMapping{}, 1.0f), RoutingEngine::RoutingError)
        << "a producer without channels cannot make a core route";
}

TEST_F(RoutingEngineTest, ThirtyThirdConsumerIsRefusedUntilOneLeaves) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2);
    auto out = makeDestination("Speakers");
    std::vector<std::shared_ptr<RoutingEngine::Route>> routes;
    for (int i = 0; i < 32; ++i) {
        routes.push_back(engine->connect(mic, out, stereo(), 1.0f));
    }
    try {
        engine->connect(mic, out, stereo(), 1.0f);
        FAIL() << "expected too many consumers";
    } catch (const RoutingEngine::RoutingError& error) {
        EXPECT_EQ(error.kind(), RoutingEngine::RoutingError::Kind::tooManyConsumers);
        EXPECT_STREQ(error.what(), "Mic の接続数が上限に達しています");
    }
    EXPECT_EQ(engine->routes().size(), 32u);
    engine->disconnect(routes[7]);
    EXPECT_NO_THROW(engine->connect(mic, out, stereo(), 1.0f));
    EXPECT_EQ(out->planState.routes.size(), 32u);
}

TEST_F(RoutingEngineTest, DisconnectTakesTheRouteOffTheAirOnceAndFreesItLater) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2);
    auto out = makeDestination("Speakers");
    auto kept = engine->connect(mic, out, stereo(), 1.0f);
    auto gone = engine->connect(mic, out, stereo(), 1.0f);
    DeferredWork::runPendingNow();
    TDRingBuffer* goneRing = TDRouteRing(gone->raw());

    engine->disconnect(gone);
    EXPECT_EQ(DeferredWork::pendingCount(), 2u) << "the replaced plan and the core route";
    engine->disconnect(gone);
    EXPECT_EQ(DeferredWork::pendingCount(), 2u) << "a second disconnect does nothing";

    mic->write(64, 0.5f);
    EXPECT_EQ(TDRingBufferAvailableToRead(goneRing), 0u) << "the fan-out no longer feeds the ring";
    EXPECT_EQ(TDRingBufferAvailableToRead(TDRouteRing(kept->raw())), 64u);
    EXPECT_EQ(out->planState.routes, std::vector<TDRoute*>{kept->raw()});
    ASSERT_EQ(engine->routes().size(), 1u);
    EXPECT_EQ(engine->routes()[0], kept);
    DeferredWork::runPendingNow(); // frees the core route while `gone` still exists
    EXPECT_EQ(gone->producer(), mic);
}

TEST_F(RoutingEngineTest, DisconnectAllWithADestinationLeavesOtherDestinationsAlone) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2);
    auto synth = std::make_shared<FakeProducer>("Synth", 2);
    auto speakers = makeDestination("Speakers");
    auto line = makeDestination("Line 1");
    engine->connect(mic, speakers, stereo(), 1.0f);
    auto micToLine = engine->connect(mic, line, stereo(), 1.0f);
    engine->connect(synth, speakers, stereo(), 1.0f);
    auto synthToLine = engine->connect(synth, line, stereo(), 1.0f);

    engine->disconnectAll(speakers.get());
    EXPECT_EQ(engine->routes(), (std::vector{micToLine, synthToLine}));
    EXPECT_TRUE(engine->routes(speakers.get()).empty());
    EXPECT_TRUE(speakers->planState.routes.empty());

    engine->disconnectAll(synth.get());
    EXPECT_EQ(engine->routes(line.get()), std::vector{micToLine});
    engine->disconnectAll(speakers.get()); // nothing left there
    EXPECT_EQ(engine->routes().size(), 1u);
}

TEST_F(RoutingEngineTest, SafetyMillisecondsBecomeFramesOfTheProducersRate) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2, 48000);
    auto out = makeDestination("Speakers");
    auto route = engine->connect(mic, out, stereo(), 1.0f);
    const auto targetAfterRender = [&] {
        std::vector<float> samples(512 * 2);
        AudioBufferList list{1, {{2, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()}}};
        TDDestinationRender(out->raw(), &list, 512, 1);
        return TDRouteGetStats(route->raw()).target; // safety + one chunk while the ring is empty
    };
    EXPECT_EQ(targetAfterRender(), 240u + 512u) << "5 ms from creation";
    route->setSafetyMilliseconds(10);
    EXPECT_EQ(route->safetyMilliseconds(), 10);
    EXPECT_EQ(targetAfterRender(), 480u + 512u);
    route->setSafetyMilliseconds(-5);
    EXPECT_EQ(targetAfterRender(), 512u);
    route->setSafetyMilliseconds(std::nan(""));
    EXPECT_EQ(targetAfterRender(), 512u);
}

TEST_F(RoutingEngineTest, EngineGoingAwayTakesItsRoutesOffTheirDestinations) {
    auto mic = std::make_shared<FakeProducer>("Mic", 2);
    auto out = makeDestination("Speakers");
    auto route = engine->connect(mic, out, stereo(), 0.5f);
    TDRingBuffer* ring = TDRouteRing(route->raw());
    DeferredWork::runPendingNow();
    engine.reset();
    EXPECT_TRUE(out->planState.routes.empty()) << "the destination no longer renders a freed route";
    mic->write(16, 0.5f);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring), 0u);
    EXPECT_EQ(DeferredWork::pendingCount(), 2u);
}

TEST(ChannelMapping, OrderOfEntriesMatters) {
    const ChannelMapping a{{{0, 0, 1.0f}, {1, 1, 1.0f}}};
    const ChannelMapping b{{{1, 1, 1.0f}, {0, 0, 1.0f}}};
    EXPECT_NE(a, b);
    EXPECT_EQ((ChannelMapping{{{0, 0, 0.0f}}}), (ChannelMapping{{{0, 0, -0.0f}}}));
    const auto entries = matrixEntries(b);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].srcChannel, 1);
    EXPECT_EQ(entries[0].dstChannel, 1);
}

} // namespace
