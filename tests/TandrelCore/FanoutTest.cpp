#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "TandrelCore/TandrelCore.h"

namespace {

struct Fanout {
    explicit Fanout(uint32_t channels)
        : raw(TDFanoutCreate(channels)) {}
    ~Fanout() {
        for (TDRingBuffer* r : rings) {
            TDFanoutRemove(raw, r);
            TDRingBufferDestroy(r);
        }
        TDFanoutDestroy(raw);
    }
    TDRingBuffer* attach(uint32_t channels = 2) {
        TDRingBuffer* r = TDRingBufferCreate(channels, 64);
        rings.push_back(r);
        return TDFanoutAdd(raw, r) ? r : nullptr;
    }
    TDFanout* raw;
    std::vector<TDRingBuffer*> rings;
};

TEST(Fanout, CreateRefusesZeroChannels) {
    EXPECT_EQ(TDFanoutCreate(0), nullptr);
    TDFanoutDestroy(nullptr);
}

TEST(Fanout, ThirtyThirdAttachFailsUntilASlotIsFreed) {
    Fanout fanout(2);
    std::vector<TDRingBuffer*> attached;
    for (int i = 0; i < 32; ++i) {
        attached.push_back(fanout.attach());
        ASSERT_NE(attached.back(), nullptr) << i;
    }
    EXPECT_EQ(fanout.attach(), nullptr);

    TDFanoutRemove(fanout.raw, attached[5]);
    TDRingBuffer* reused = fanout.attach();
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(fanout.attach(), nullptr);

    float block[4] = {1, 2, 3, 4};
    TDFanoutWriteInterleaved(fanout.raw, block, 2, 2, 7);
    EXPECT_EQ(TDRingBufferAvailableToRead(attached[5]), 0u) << "a detached ring receives nothing";
    EXPECT_EQ(TDRingBufferAvailableToRead(reused), 2u);
    EXPECT_EQ(TDRingBufferLastWriteTime(reused), 7u);
    EXPECT_EQ(TDRingBufferLastWriteTime(attached[5]), 0u);
}

TEST(Fanout, RingAttachedTwiceReceivesEveryBlockTwiceAndIsRemovedFromBoth) {
    Fanout fanout(1);
    TDRingBuffer* ring = fanout.attach(1);
    ASSERT_TRUE(TDFanoutAdd(fanout.raw, ring));
    float block[3] = {1, 2, 3};
    TDFanoutWriteInterleaved(fanout.raw, block, 1, 3, 1);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring), 6u);
    TDFanoutRemove(fanout.raw, ring);
    TDFanoutWriteInterleaved(fanout.raw, block, 1, 3, 2);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring), 6u);
}

TEST(Fanout, TakePeakReturnsLargestMagnitudeSinceLastTake) {
    Fanout fanout(2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float first[6] = {0.1f, -0.2f, -0.7f, 0.3f, nan, 0.25f};
    float second[2] = {0.5f, 0.1f};
    TDFanoutWriteInterleaved(fanout.raw, first, 2, 3, 1);
    TDFanoutWriteInterleaved(fanout.raw, second, 2, 1, 2);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(fanout.raw, 0), 0.7f);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(fanout.raw, 1), 0.3f);
    EXPECT_EQ(TDFanoutTakePeak(fanout.raw, 0), 0.0f);
    EXPECT_EQ(TDFanoutTakePeak(fanout.raw, 2), 0.0f);

    float quiet[2] = {0.05f, 0.0f};
    TDFanoutWriteInterleaved(fanout.raw, quiet, 2, 1, 3);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(fanout.raw, 0), 0.05f);
}

TEST(Fanout, InterleavedPeaksStopAt64ChannelsPlanarDoNot) {
    constexpr uint32_t kChannels = 80;
    Fanout fanout(kChannels);
    std::vector<float> interleaved(kChannels, 0.5f);
    TDFanoutWriteInterleaved(fanout.raw, interleaved.data(), kChannels, 1, 1);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(fanout.raw, 63), 0.5f);
    EXPECT_EQ(TDFanoutTakePeak(fanout.raw, 64), 0.0f);
    EXPECT_EQ(TDFanoutTakePeak(fanout.raw, 79), 0.0f);

    std::vector<float> sample(1, 0.75f);
    std::vector<const float*> planar(kChannels, sample.data());
    TDFanoutWritePlanar(fanout.raw, planar.data(), kChannels, 1, 2);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(fanout.raw, 79), 0.75f);
}

TEST(Fanout, CountersAdvanceForEveryWriteIncludingEmptyOnes) {
    Fanout fanout(2);
    float block[8] = {};
    TDFanoutWriteInterleaved(fanout.raw, block, 2, 4, 1);
    TDFanoutWriteInterleaved(fanout.raw, block, 2, 0, 2);
    EXPECT_EQ(TDFanoutWriteCount(fanout.raw), 2u);
    EXPECT_EQ(TDFanoutFramesWritten(fanout.raw), 4u);
    EXPECT_EQ(TDFanoutLastWriteFrames(fanout.raw), 0u);
    EXPECT_EQ(TDFanoutChannels(fanout.raw), 2u);
}

TEST(HostClock, TicksPerSecondAreNanoseconds) {
    EXPECT_DOUBLE_EQ(TDHostTicksPerSecond(), 1e9);
    EXPECT_DOUBLE_EQ(TDHostTicksPerSecond(), 1e9);
}

} // namespace
