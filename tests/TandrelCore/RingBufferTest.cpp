#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "TandrelCore/TandrelCore.h"

namespace {

struct RingDeleter {
    void operator()(TDRingBuffer* r) const { TDRingBufferDestroy(r); }
};
using Ring = std::unique_ptr<TDRingBuffer, RingDeleter>;

std::vector<float> ramp(uint32_t frames, uint32_t channels, float start = 0.0f) {
    std::vector<float> v(static_cast<size_t>(frames) * channels);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(RingBuffer, CapacityIsSmallestPowerOfTwoUpTo2Pow30) {
    struct Case {
        uint32_t frames;
        uint32_t capacity;
    };
    for (Case c : {Case{1, 1}, Case{3, 4}, Case{4, 4}, Case{4800, 8192}, Case{33600, 65536}}) {
        Ring ring(TDRingBufferCreate(2, c.frames));
        ASSERT_NE(ring, nullptr);
        EXPECT_EQ(TDRingBufferCapacity(ring.get()), c.capacity) << c.frames;
    }
}

TEST(RingBuffer, HugeRequestIsCappedAt2Pow30Frames) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a 4 GiB ring takes minutes under a sanitizer's shadow memory";
#endif
    Ring huge(TDRingBufferCreate(1, 1u << 31));
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(TDRingBufferCapacity(huge.get()), 1u << 30);
}

TEST(RingBuffer, CreateRefusesZeroAndOverflowingSizes) {
    EXPECT_EQ(TDRingBufferCreate(0, 16), nullptr);
    EXPECT_EQ(TDRingBufferCreate(2, 0), nullptr);
    // 2^30 frames × 2^32-1 channels × 4 bytes cannot be addressed.
    EXPECT_EQ(TDRingBufferCreate(UINT32_MAX, 1u << 30), nullptr);
    TDRingBufferDestroy(nullptr);
}

TEST(RingBuffer, FullRingCutsTheBlockAndCountsTheRest) {
    Ring ring(TDRingBufferCreate(1, 8));
    auto five = ramp(5, 1);
    ASSERT_EQ(TDRingBufferWriteInterleaved(ring.get(), five.data(), 1, 5), 5u);
    auto ten = ramp(10, 1, 100.0f);
    EXPECT_EQ(TDRingBufferWriteInterleaved(ring.get(), ten.data(), 1, 10), 3u);
    EXPECT_EQ(TDRingBufferDroppedFrames(ring.get()), 7u);
    EXPECT_EQ(TDRingBufferMaxWriteFrames(ring.get()), 10u);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring.get()), 8u);

    std::vector<float> out(8);
    ASSERT_EQ(TDRingBufferRead(ring.get(), out.data(), 8), 8u);
    // Nothing already in the ring was overwritten: the head of the cut block follows it.
    EXPECT_EQ(out, (std::vector<float>{0, 1, 2, 3, 4, 100, 101, 102}));

    // A full ring still publishes (n = 0) and counts every offered frame.
    auto more = ramp(8, 1);
    TDRingBufferWriteInterleaved(ring.get(), more.data(), 1, 8);
    EXPECT_EQ(TDRingBufferWriteInterleaved(ring.get(), more.data(), 1, 4), 0u);
    EXPECT_EQ(TDRingBufferDroppedFrames(ring.get()), 11u);
}

TEST(RingBuffer, ZeroSourceChannelsChangesNothing) {
    Ring ring(TDRingBufferCreate(2, 8));
    float sample = 1.0f;
    EXPECT_EQ(TDRingBufferWriteInterleaved(ring.get(), &sample, 0, 20), 0u);
    EXPECT_EQ(TDRingBufferDroppedFrames(ring.get()), 0u);
    EXPECT_EQ(TDRingBufferMaxWriteFrames(ring.get()), 0u);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring.get()), 0u);
}

TEST(RingBuffer, ChannelMismatchRepeatsLastSourceChannelOrDropsExtras) {
    Ring stereo(TDRingBufferCreate(2, 8));
    std::vector<float> mono{1, 2, 3};
    const float* monoPlanar[] = {mono.data()};
    TDRingBufferWritePlanar(stereo.get(), monoPlanar, 1, 3);
    std::vector<float> out(6);
    TDRingBufferRead(stereo.get(), out.data(), 3);
    EXPECT_EQ(out, (std::vector<float>{1, 1, 2, 2, 3, 3}));

    auto quad = ramp(2, 4); // frames {0,1,2,3}, {4,5,6,7}
    TDRingBufferWriteInterleaved(stereo.get(), quad.data(), 4, 2);
    std::vector<float> kept(4);
    TDRingBufferRead(stereo.get(), kept.data(), 2);
    EXPECT_EQ(kept, (std::vector<float>{0, 1, 4, 5}));
}

TEST(RingBuffer, ReadAcrossThePhysicalEndKeepsOrder) {
    Ring ring(TDRingBufferCreate(2, 8));
    auto first = ramp(6, 2);
    TDRingBufferWriteInterleaved(ring.get(), first.data(), 2, 6);
    EXPECT_EQ(TDRingBufferSkip(ring.get(), 5), 5u);
    auto second = ramp(6, 2, 100.0f); // wraps: frames 6, 7 at the end, then 0..3
    ASSERT_EQ(TDRingBufferWriteInterleaved(ring.get(), second.data(), 2, 6), 6u);
    std::vector<float> out(14, -1.0f);
    ASSERT_EQ(TDRingBufferRead(ring.get(), out.data(), 20), 7u);
    std::vector<float> expected{10, 11};
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(TDRingBufferRead(ring.get(), out.data(), 1), 0u);
    EXPECT_EQ(TDRingBufferSkip(ring.get(), 1), 0u);
}

TEST(RingBuffer, RepeatedWrapAroundStaysInStep) {
    Ring ring(TDRingBufferCreate(1, 4));
    std::vector<float> out(3);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        float block[3] = {float(cycle), float(cycle) + 0.25f, float(cycle) + 0.5f};
        ASSERT_EQ(TDRingBufferWriteInterleaved(ring.get(), block, 1, 3), 3u);
        ASSERT_EQ(TDRingBufferRead(ring.get(), out.data(), 3), 3u);
        ASSERT_EQ(out[0], float(cycle));
        ASSERT_EQ(out[2], float(cycle) + 0.5f);
    }
}

} // namespace
