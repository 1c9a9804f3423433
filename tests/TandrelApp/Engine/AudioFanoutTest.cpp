#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/AudioFormatSummary.h"
#include "TandrelApp/Engine/AudioRingBuffer.h"

namespace {

AudioStreamBasicDescription floatFormat(uint32_t channels, bool interleaved, double rate = 48000) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                     (interleaved ? 0u : static_cast<uint32_t>(kAudioFormatFlagIsNonInterleaved));
    f.mBitsPerChannel = 32;
    f.mChannelsPerFrame = channels;
    f.mBytesPerFrame = interleaved ? 4 * channels : 4;
    f.mBytesPerPacket = f.mBytesPerFrame;
    f.mFramesPerPacket = 1;
    return f;
}

// A buffer list over caller-owned sample vectors.
struct List {
    explicit List(std::vector<std::vector<float>*> buffers, std::vector<uint32_t> channels = {})
        : raw(static_cast<AudioBufferList*>(std::calloc(1, TD_AUDIO_BUFFER_LIST_SIZE(buffers.size())))) {
        raw->mNumberBuffers = static_cast<uint32_t>(buffers.size());
        for (size_t b = 0; b < buffers.size(); ++b) {
            raw->mBuffers[b].mNumberChannels = channels.empty() ? 1 : channels[b];
            raw->mBuffers[b].mDataByteSize = static_cast<uint32_t>(buffers[b]->size() * sizeof(float));
            raw->mBuffers[b].mData = buffers[b]->data();
        }
    }
    ~List() { std::free(raw); }
    AudioBufferList* raw;
};

class AudioFanoutWrite : public ::testing::Test {
protected:
    AudioFanoutWrite()
        : fanout(2)
        , ring(2, 1024) {
        TDFanoutAdd(fanout.raw(), ring.raw());
    }
    ~AudioFanoutWrite() override { TDFanoutRemove(fanout.raw(), ring.raw()); }
    AudioFanout fanout;
    AudioRingBuffer ring;
};

TEST_F(AudioFanoutWrite, AcceptsInterleavedFloat) {
    std::vector<float> samples(2 * 64, 0.5f);
    List list({&samples}, {2});
    EXPECT_EQ(fanout.write(list.raw, floatFormat(2, true), 5), 64u);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring.raw()), 64u);
    EXPECT_EQ(TDRingBufferLastWriteTime(ring.raw()), 5u);
}

TEST_F(AudioFanoutWrite, NonInterleavedBuffersBecomeChannels) {
    std::vector<float> left(128, 0.25f), right(128, -0.25f);
    List list({&left, &right});
    EXPECT_EQ(fanout.write(list.raw, floatFormat(2, false), 1), 128u);
    std::vector<float> out(4);
    TDRingBufferRead(ring.raw(), out.data(), 2);
    EXPECT_EQ(out, (std::vector<float>{0.25f, -0.25f, 0.25f, -0.25f}));
}

TEST_F(AudioFanoutWrite, NonInterleavedBlockIsAsLongAsItsShortestChannel) {
    std::vector<float> left(128, 0.25f), right(100, -0.25f);
    List list({&left, &right});
    EXPECT_EQ(fanout.write(list.raw, floatFormat(2, false), 1), 100u);
    EXPECT_EQ(TDRingBufferAvailableToRead(ring.raw()), 100u);
}

TEST_F(AudioFanoutWrite, RefusesWhatItCannotReadSafely) {
    std::vector<float> samples(256, 0.5f);
    std::vector<float> tiny(1, 0.5f);
    const auto stereo = floatFormat(2, true);

    auto int16 = stereo;
    int16.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    int16.mBitsPerChannel = 16;
    int16.mBytesPerFrame = 4;
    auto zeroFrame = stereo;
    zeroFrame.mBytesPerFrame = 0;
    auto notPCM = stereo;
    notPCM.mFormatID = TD_FOURCC('a', 'a', 'c', ' ');
    auto float64 = stereo;
    float64.mBitsPerChannel = 64;
    auto narrowFrame = stereo; // claims two channels in 4-byte frames
    narrowFrame.mBytesPerFrame = 4;

    List list({&samples}, {2});
    for (const auto& format : {int16, zeroFrame, notPCM, float64, narrowFrame}) {
        EXPECT_EQ(fanout.write(list.raw, format, 1), 0u);
    }
    List shortList({&tiny}, {2});
    EXPECT_EQ(fanout.write(shortList.raw, stereo, 1), 0u) << "first buffer smaller than one frame";

    List nullData({&samples}, {2});
    nullData.raw->mBuffers[0].mData = nullptr;
    EXPECT_EQ(fanout.write(nullData.raw, stereo, 1), 0u);

    List planarWithHole({&samples, &samples});
    planarWithHole.raw->mBuffers[1].mData = nullptr;
    EXPECT_EQ(fanout.write(planarWithHole.raw, floatFormat(2, false), 1), 0u);

    List empty({});
    EXPECT_EQ(fanout.write(empty.raw, stereo, 1), 0u);
    EXPECT_EQ(fanout.write(nullptr, stereo, 1), 0u);

    EXPECT_EQ(TDRingBufferAvailableToRead(ring.raw()), 0u);
    EXPECT_EQ(TDFanoutWriteCount(fanout.raw()), 0u) << "refused blocks leave the counters alone";
}

TEST(AudioFanoutOwnership, BorrowedFanoutOutlivesItsWrapper) {
    TDFanout* raw = TDFanoutCreate(2);
    {
        AudioFanout view(raw);
        EXPECT_FALSE(view.owned());
        std::vector<float> samples(8, 0.5f);
        List list({&samples}, {2});
        EXPECT_EQ(view.write(list.raw, floatFormat(2, true), 1), 4u);
    }
    EXPECT_EQ(TDFanoutWriteCount(raw), 1u);
    TDFanoutDestroy(raw);
}

TEST(AudioFormatSummary, DescribesRateChannelsSampleTypeAndLayout) {
    EXPECT_EQ(summary(floatFormat(2, true)), "48000 Hz, 2 ch, Float32 interleaved");
    EXPECT_EQ(summary(floatFormat(2, false, 96000)), "96000 Hz, 2 ch, Float32 non-interleaved");
    AudioStreamBasicDescription int16{};
    int16.mSampleRate = 44100.0;
    int16.mFormatID = kAudioFormatLinearPCM;
    int16.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    int16.mChannelsPerFrame = 2;
    int16.mBitsPerChannel = 16;
    EXPECT_EQ(summary(int16), "44100 Hz, 2 ch, Int16 interleaved");
}

TEST(AudioWrappersDeathTest, CreationFailureStopsWithItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(AudioRingBuffer(0, 16), "TDRingBufferCreate failed \\(channels: 0, capacity: 16\\)");
    EXPECT_DEATH(AudioFanout(0u), "TDFanoutCreate failed \\(channels: 0\\)");
}

} // namespace
