#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "CoreTestSupport.h"

namespace {

// A destination fed by one primed 48 kHz route carrying a constant per channel.
class Fed {
public:
    Fed(uint32_t channels, std::vector<float> levels, bool withFanout = true)
        : channels(channels)
        , fanout(TDFanoutCreate(channels))
        , route(TDRouteCreate(channels, 4096, identity(static_cast<uint16_t>(channels)).data(), channels,
                              48000, 48000))
        , destination(TDDestinationCreate(channels, 4096, withFanout))
        , producer(fanout, channels, 48000, [levels](uint64_t, uint32_t c) { return levels[c]; }) {
        TDFanoutAdd(fanout, TDRouteRing(route));
        TDPlanFree(TDDestinationSetRoutes(destination, &route, 1));
        // Render past the silent history and the filter's ringing at the onset, so what follows sees
        // the steady level.
        DeviceBuffers warmup({channels}, 512);
        for (int i = 0; i < 8; ++i) {
            render(warmup.list(), 512);
        }
    }
    // Keeps the ring above what the next render needs, then renders.
    void render(AudioBufferList* list, uint32_t frames) {
        while (TDRingBufferAvailableToRead(TDRouteRing(route)) < 1000 + frames) {
            producer.write(256, kSecond);
        }
        TDDestinationRender(destination, list, frames, kSecond);
    }
    ~Fed() {
        TDDestinationDestroy(destination);
        TDFanoutRemove(fanout, TDRouteRing(route));
        TDRouteDestroy(route);
        TDFanoutDestroy(fanout);
    }
    uint32_t channels;
    TDFanout* fanout;
    TDRoute* route;
    TDDestination* destination;
    TestProducer producer;
};

TEST(Destination, CreateRefusesBadShapes) {
    EXPECT_EQ(TDDestinationCreate(65, 4096, false), nullptr);
    EXPECT_EQ(TDDestinationCreate(0, 4096, false), nullptr);
    EXPECT_EQ(TDDestinationCreate(2, 0, true), nullptr);
    TDDestinationDestroy(nullptr);
    TDPlanFree(nullptr);
    TDDestination* d = TDDestinationCreate(64, 4096, true);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(TDDestinationChannels(d), 64u);
    EXPECT_EQ(TDFanoutChannels(TDDestinationFanout(d)), 64u);
    TDDestinationDestroy(d);
}

TEST(Destination, LongCallbackIsRenderedInChunksOfMaxFrames) {
    TDDestination* d = TDDestinationCreate(2, 4096, true);
    TDRingBuffer* listener = TDRingBufferCreate(2, 16384);
    TDFanoutAdd(TDDestinationFanout(d), listener);
    DeviceBuffers out({2}, 10000, 9.0f);
    TDDestinationRender(d, out.list(), 10000, kSecond);
    TDFanout* own = TDDestinationFanout(d);
    EXPECT_EQ(TDFanoutWriteCount(own), 3u);
    EXPECT_EQ(TDFanoutFramesWritten(own), 10000u);
    EXPECT_EQ(TDFanoutLastWriteFrames(own), 1808u);
    EXPECT_EQ(TDRingBufferMaxWriteFrames(listener), 4096u);
    EXPECT_EQ(TDRingBufferAvailableToRead(listener), 10000u);
    for (float s : out.buffer(0)) {
        ASSERT_EQ(s, 0.0f) << "without a plan the device gets silence";
    }
    EXPECT_EQ(TDDestinationRenderCount(d), 1u);
    TDFanoutRemove(own, listener);
    TDRingBufferDestroy(listener);
    TDDestinationDestroy(d);
}

TEST(Destination, LongCallbackCarriesTheRouteAcrossChunks) {
    Fed fed(1, {0.5f});
    // Enough for two chunks, and below the overrun limit of the first one.
    while (TDRingBufferAvailableToRead(TDRouteRing(fed.route)) < 9000) {
        fed.producer.write(256, kSecond);
    }
    DeviceBuffers out({1}, 8192);
    TDDestinationRender(fed.destination, out.list(), 8192, kSecond);
    EXPECT_EQ(TDRouteGetStats(fed.route).underruns, 0u);
    EXPECT_EQ(TDRouteGetStats(fed.route).overruns, 0u);
    for (size_t i = 0; i < 8192; ++i) {
        ASSERT_NEAR(out.buffer(0)[i], 0.5f, 0.001f) << "chunk boundaries carry the signal on, frame " << i;
    }
}

TEST(Destination, DeinterleavesIntoAnyBufferLayout) {
    Fed fed(2, {0.25f, -0.5f});
    const float left = 0.25f;
    const float right = -0.5f;

    DeviceBuffers twoMono({1, 1}, 256);
    fed.render(twoMono.list(), 256);
    EXPECT_NEAR(twoMono.buffer(0)[255], left, 1e-4f);
    EXPECT_NEAR(twoMono.buffer(1)[255], right, 1e-4f);

    DeviceBuffers quad({4}, 256, 9.0f);
    fed.render(quad.list(), 256);
    EXPECT_NEAR(quad.buffer(0)[4 * 255 + 0], left, 1e-4f);
    EXPECT_NEAR(quad.buffer(0)[4 * 255 + 1], right, 1e-4f);
    EXPECT_EQ(quad.buffer(0)[4 * 255 + 2], 0.0f);
    EXPECT_EQ(quad.buffer(0)[4 * 255 + 3], 0.0f);

    // A buffer without data or channels is skipped but still takes its place in the channel order;
    // a buffer shorter than the callback is written only as far as it reaches.
    DeviceBuffers odd({1, 0, 1}, 256, 9.0f);
    odd.list()->mBuffers[0].mData = nullptr;
    odd.list()->mBuffers[2].mDataByteSize = 100 * sizeof(float);
    fed.render(odd.list(), 256);
    EXPECT_EQ(odd.buffer(0)[0], 9.0f);
    EXPECT_NEAR(odd.buffer(2)[99], right, 1e-4f);
    EXPECT_EQ(odd.buffer(2)[100], 9.0f);

    TDDestinationRender(fed.destination, nullptr, 64, kSecond); // no device buffers at all
}

TEST(Destination, ChannelGainScalesDeviceOutputPeaksAndOwnFanout) {
    Fed fed(2, {0.5f, 0.5f});
    TDRingBuffer* tap = TDRingBufferCreate(2, 8192);
    TDFanoutAdd(TDDestinationFanout(fed.destination), tap);
    TDDestinationSetChannelGain(fed.destination, 1, 0.5f);
    TDDestinationSetChannelGain(fed.destination, 2, 0.0f); // beyond the count: ignored
    DeviceBuffers out({2}, 1024);
    fed.render(out.list(), 1024);
    EXPECT_FLOAT_EQ(out.buffer(0)[2047], out.buffer(0)[2046] * 0.5f);
    EXPECT_FLOAT_EQ(TDDestinationPeak(fed.destination, 1), TDDestinationPeak(fed.destination, 0) * 0.5f);
    EXPECT_EQ(TDDestinationPeak(fed.destination, 2), 0.0f);
    std::vector<float> published(2048);
    ASSERT_EQ(TDRingBufferRead(tap, published.data(), 1024), 1024u);
    EXPECT_EQ(published, out.buffer(0));
    TDFanoutRemove(TDDestinationFanout(fed.destination), tap);
    TDRingBufferDestroy(tap);
}

TEST(Destination, PeaksDescribeOnlyTheLastCallback) {
    Fed fed(1, {0.8f});
    DeviceBuffers out({1}, 512);
    fed.render(out.list(), 512);
    EXPECT_NEAR(TDDestinationPeak(fed.destination, 0), 0.8f, 0.001f);
    TDRoutePlan* old = TDDestinationSetRoutes(fed.destination, nullptr, 0);
    EXPECT_NE(old, nullptr);
    TDPlanFree(old);
    TDDestinationRender(fed.destination, out.list(), 512, kSecond);
    EXPECT_EQ(TDDestinationPeak(fed.destination, 0), 0.0f);
    for (float s : out.buffer(0)) {
        ASSERT_EQ(s, 0.0f);
    }
    TDDestinationRender(fed.destination, out.list(), 0, kSecond);
    EXPECT_EQ(TDDestinationRenderCount(fed.destination), 8u + 3u);
}

TEST(Destination, SetRoutesReturnsThePreviousPlanOnce) {
    TDDestination* d = TDDestinationCreate(2, 4096, false);
    EXPECT_EQ(TDDestinationSetRoutes(d, nullptr, 0), nullptr);
    TDRoutePlan* first = TDDestinationSetRoutes(d, nullptr, 0);
    EXPECT_NE(first, nullptr);
    TDPlanFree(first);
    EXPECT_EQ(TDDestinationSetRoutes(d, nullptr, 2), nullptr) << "a count without routes is refused";
    TDDestinationDestroy(d); // frees the plan still in force
}

TEST(Destination, PeaksOfEveryLayoutIgnoreNotANumber) {
    for (uint32_t channels : {1u, 2u, 3u, 4u, 5u, 8u, 12u}) {
        std::vector<float> levels;
        for (uint32_t c = 0; c < channels; ++c) {
            levels.push_back(c == 2 ? std::nanf("") : (c % 2 == 0 ? 1.0f : -1.0f) * 0.05f * (c + 1));
        }
        Fed fed(channels, levels);
        TDFanout* own = TDDestinationFanout(fed.destination);
        for (uint32_t c = 0; c < channels; ++c) {
            TDFanoutTakePeak(own, c);
        }
        DeviceBuffers out({channels}, 509);
        fed.render(out.list(), 509);
        for (uint32_t c = 0; c < channels; ++c) {
            float expected = 0.0f;
            for (uint32_t i = 0; i < 509; ++i) {
                const float a = std::fabs(out.buffer(0)[i * channels + c]);
                if (a > expected) {
                    expected = a;
                }
            }
            if (c == 2) {
                EXPECT_EQ(expected, 0.0f);
            } else {
                EXPECT_NEAR(expected, std::fabs(levels[c]), 1e-3f);
            }
            EXPECT_EQ(TDDestinationPeak(fed.destination, c), expected)
                << channels << " channels, channel " << c;
            EXPECT_EQ(TDFanoutTakePeak(own, c), expected) << channels << " channels, channel " << c;
        }
    }
}

#if defined(__x86_64__)
TEST(Destination, RenderFlushesDenormalsOnlyForItsOwnDuration) {
    Fed fed(1, {1e-39f});
    DeviceBuffers out({1}, 512);
    const unsigned callerMode = _mm_getcsr();
    ASSERT_EQ(callerMode & 0x8040u, 0u) << "the test starts from the default mode";
    fed.render(out.list(), 512);
    for (float s : out.buffer(0)) {
        ASSERT_EQ(s, 0.0f) << "denormal input reads as zero inside the render";
    }
    EXPECT_EQ(_mm_getcsr(), callerMode);
    volatile float tiny = 1e-30f;
    EXPECT_NE(tiny * 1e-10f, 0.0f) << "the caller's arithmetic keeps its denormals";

    _mm_setcsr(callerMode | 0x8040u);
    fed.render(out.list(), 512);
    EXPECT_EQ(_mm_getcsr(), callerMode | 0x8040u) << "a caller that flushes already keeps flushing";
    _mm_setcsr(callerMode);
}
#endif

} // namespace
