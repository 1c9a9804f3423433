// A line's audio path and clock through the IO entry points: the loop-back ring and its window, the
// per-channel gain ramp, IO start and stop, zero time stamps and rate changes on a running line.
#include <gtest/gtest.h>

#include <numeric>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"

namespace tandrel::driver::test {
namespace {

constexpr uint32_t kPeriod = 16384;

class DriverLineIO : public DriverFixture {
protected:
    void SetUp() override {
        startDriver();
        line1 = deviceOfLine(1);
        ASSERT_EQ(table().StartIO(driver(), line1, 0), kAudioHardwareNoError);
    }

    // Distinct, non-zero samples: frame f channel c of a block starting at time t.
    static std::vector<float> block(int64_t t, uint32_t frames, uint32_t channels = 2) {
        std::vector<float> out(size_t{frames} * channels);
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channels; ++c) {
                out[size_t{f} * channels + c] = static_cast<float>((t + f) % 100000 + 1) + 0.5f * c;
            }
        }
        return out;
    }

    static bool silent(const std::vector<float>& samples) {
        return std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; });
    }

    void zeroTimeStamp(double& sample, uint64_t& host) {
        uint64_t seed = 0;
        ASSERT_EQ(table().GetZeroTimeStamp(driver(), line1, 0, &sample, &host, &seed), kAudioHardwareNoError);
        EXPECT_EQ(seed, 1u);
    }

    AudioObjectID line1 = 0;
};

TEST_F(DriverLineIO, BlockWrittenAtATimeIsReadBackAtThatTime) {
    for (int64_t t : {int64_t{0}, int64_t{1000}, int64_t{16200}, int64_t{3 * kPeriod - 100}}) {
        SCOPED_TRACE(t);
        auto written = block(t, 512);
        writeMix(line1, t, written, 512);
        EXPECT_EQ(readInput(line1, t, 512, 2), block(t, 512));
    }
}

TEST_F(DriverLineIO, ReadsOutsideTheWrittenWindowAreSilent) {
    EXPECT_TRUE(silent(readInput(line1, 0, 256, 2))) << "nothing written yet";

    auto first = block(0, 4096);
    for (int64_t t = 0; t < 5 * 4096; t += 4096) {
        first = block(t, 4096);
        writeMix(line1, t, first, 4096);
    }
    // The window is [0, 20480); only its last 16384 frames are still in the ring.
    EXPECT_TRUE(silent(readInput(line1, 0, 4096, 2)));
    EXPECT_EQ(readInput(line1, 4096, 4096, 2), block(4096, 4096));
    EXPECT_TRUE(silent(readInput(line1, 20480, 128, 2))) << "not written yet";

    // A read straddling the window's end: the written part, then silence.
    const auto straddle = readInput(line1, 20480 - 64, 128, 2);
    const auto expected = block(20480 - 64, 64);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), straddle.begin()));
    EXPECT_TRUE(silent(std::vector<float>(straddle.begin() + 128, straddle.end())));
}

// A line nothing plays into skips copying its silence; sound written after a whole ring of it is heard
// again, and sound stays heard under the silence written after it.
TEST_F(DriverLineIO, SoundAfterAWholeRingOfSilenceIsReadBackAndSilenceAfterSoundKeepsIt) {
    auto sound = block(0, 512);
    writeMix(line1, 0, sound, 512);
    std::vector<float> quiet(2 * 512, 0.0f);
    int64_t t = 512;
    for (; t < 512 + kPeriod; t += 512) {
        writeMix(line1, t, quiet, 512);
    }
    EXPECT_TRUE(silent(readInput(line1, t - 1024, 1024, 2)));
    sound = block(t, 512);
    writeMix(line1, t, sound, 512);
    writeMix(line1, t + 512, quiet, 512);
    EXPECT_EQ(readInput(line1, t, 512, 2), block(t, 512));
    EXPECT_TRUE(silent(readInput(line1, t + 512, 512, 2)));
}

TEST_F(DriverLineIO, NonContiguousWriteRestartsTheWindow) {
    auto a = block(1000, 512), b = block(5000, 512);
    writeMix(line1, 1000, a, 512);
    writeMix(line1, 5000, b, 512);
    EXPECT_TRUE(silent(readInput(line1, 1000, 512, 2)));
    EXPECT_EQ(readInput(line1, 5000, 512, 2), block(5000, 512));
}

TEST_F(DriverLineIO, GainChangesRampOverOneBlock) {
    Ref gains = array({real(0.5)});
    ASSERT_EQ(setRef(line1, code("lcgn"), gains), kAudioHardwareNoError);
    std::vector<float> ones(8, 1.0f);
    writeMix(line1, 0, ones, 4);
    EXPECT_EQ(readInput(line1, 0, 4, 2), (std::vector<float>{0.875f, 1, 0.75f, 1, 0.625f, 1, 0.5f, 1}));
    writeMix(line1, 4, ones, 4);
    EXPECT_EQ(readInput(line1, 4, 4, 2), (std::vector<float>{0.5f, 1, 0.5f, 1, 0.5f, 1, 0.5f, 1}));

    // Back to unity ramps up from where the last block ended.
    ASSERT_EQ(setRef(line1, code("lcgn"), array({})), kAudioHardwareNoError);
    writeMix(line1, 8, ones, 2);
    EXPECT_EQ(readInput(line1, 8, 2, 2), (std::vector<float>{0.75f, 1, 1, 1}));
}

TEST_F(DriverLineIO, RampedBlockAcrossTheRingEndLandsOnTheTarget) {
    ASSERT_EQ(setRef(line1, code("lcgn"), array({real(0.0), real(0.0)})), kAudioHardwareNoError);
    std::vector<float> ones(2 * 512, 1.0f);
    writeMix(line1, kPeriod - 256, ones, 512);
    const auto out = readInput(line1, kPeriod - 256, 512, 2);
    EXPECT_FLOAT_EQ(out[0], 1.0f - 1.0f / 512);
    EXPECT_FLOAT_EQ(out[2 * 256], 1.0f - 257.0f / 512) << "the ramp continues across the wrap";
    EXPECT_EQ(out[2 * 511], 0.0f);
}

TEST_F(DriverLineIO, IOAddressedToTheWrongStreamIsIgnored) {
    auto data = block(0, 64);
    AudioServerPlugInIOCycleInfo cycle{};
    ASSERT_EQ(
        table().DoIOOperation(driver(), line1, line1 + 1, 0, code("rite"), 64, &cycle, data.data(), nullptr),
        kAudioHardwareNoError);
    EXPECT_TRUE(silent(readInput(line1, 0, 64, 2)));
    writeMix(line1, 0, data, 64);
    std::vector<float> untouched(128, -1.0f);
    ASSERT_EQ(table().DoIOOperation(driver(), line1, line1 + 2, 0, code("read"), 64, &cycle, untouched.data(),
                                    nullptr),
              kAudioHardwareNoError);
    EXPECT_EQ(untouched, std::vector<float>(128, -1.0f));
}

TEST_F(DriverLineIO, OnlyTheFirstStartResetsTheLineAndStopsAreCounted) {
    auto data = block(100, 64);
    writeMix(line1, 100, data, 64);
    EXPECT_EQ(getValue<uint32_t>(line1, code("goin")), 1u);
    ASSERT_EQ(table().StartIO(driver(), line1, 1), kAudioHardwareNoError);
    EXPECT_EQ(readInput(line1, 100, 64, 2), block(100, 64)) << "a second start keeps the ring";

    EXPECT_EQ(table().StopIO(driver(), line1, 1), kAudioHardwareNoError);
    EXPECT_EQ(table().StopIO(driver(), line1, 0), kAudioHardwareNoError);
    EXPECT_EQ(table().StopIO(driver(), line1, 0), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(getValue<uint32_t>(line1, code("goin")), 0u);

    ASSERT_EQ(table().StartIO(driver(), line1, 0), kAudioHardwareNoError);
    EXPECT_TRUE(silent(readInput(line1, 100, 64, 2))) << "a fresh start clears the ring";
}

TEST_F(DriverLineIO, ZeroTimeStampsAdvanceOnePeriodPerCall) {
    const uint64_t start = runtime_->hostNow();
    const double period = 1e9 / 48000 * kPeriod;
    double sample = -1;
    uint64_t host = 0;
    zeroTimeStamp(sample, host);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, start);

    runtime_->setHostTime(start + static_cast<uint64_t>(3.5 * period));
    for (uint64_t n = 1; n <= 3; ++n) {
        zeroTimeStamp(sample, host);
        EXPECT_EQ(sample, static_cast<double>(n * kPeriod));
        EXPECT_EQ(host, start + static_cast<uint64_t>(static_cast<double>(n) * period));
    }
    zeroTimeStamp(sample, host);
    EXPECT_EQ(sample, 3.0 * kPeriod) << "caught up: the count stays";
}

TEST_F(DriverLineIO, RateChangeOnARunningLineKeepsTheCurrentTimeStamp) {
    const uint64_t start = runtime_->hostNow();
    const double oldPeriod = 1e9 / 48000 * kPeriod;
    runtime_->setHostTime(start + static_cast<uint64_t>(10.2 * oldPeriod));
    double sample = 0;
    uint64_t host = 0;
    for (int i = 0; i < 10; ++i) {
        zeroTimeStamp(sample, host);
    }
    ASSERT_EQ(sample, 10.0 * kPeriod);
    const uint64_t before = host;

    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), line1, 96000, nullptr),
              kAudioHardwareNoError);
    zeroTimeStamp(sample, host);
    EXPECT_EQ(sample, 10.0 * kPeriod);
    EXPECT_NEAR(static_cast<double>(host), static_cast<double>(before), 1.0);

    // From there the clock runs at the new period.
    const double newPeriod = 1e9 / 96000 * kPeriod;
    runtime_->setHostTime(before + static_cast<uint64_t>(1.5 * newPeriod));
    zeroTimeStamp(sample, host);
    EXPECT_EQ(sample, 11.0 * kPeriod);
    EXPECT_NEAR(static_cast<double>(host), static_cast<double>(before) + newPeriod, 2.0);

    // Going down in rate re-bases the other way.
    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), line1, 44100, nullptr),
              kAudioHardwareNoError);
    const uint64_t current = host;
    zeroTimeStamp(sample, host);
    EXPECT_EQ(sample, 11.0 * kPeriod);
    EXPECT_NEAR(static_cast<double>(host), static_cast<double>(current), 2.0);
}

TEST_F(DriverLineIO, RateChangeKeepsTheRingAndChannelChangeClearsIt) {
    auto data = block(0, 256);
    writeMix(line1, 0, data, 256);
    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), line1, 44100, nullptr),
              kAudioHardwareNoError);
    EXPECT_EQ(readInput(line1, 0, 256, 2), block(0, 256));

    EXPECT_EQ(table().PerformDeviceConfigurationChange(driver(), line1, (1ull << 32) + 66, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(readInput(line1, 0, 256, 2), block(0, 256)) << "a refused change leaves the ring";

    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), line1, (1ull << 32) + 4, nullptr),
              kAudioHardwareNoError);
    EXPECT_TRUE(silent(readInput(line1, 0, 256, 4)));
    auto wide = block(256, 256, 4);
    writeMix(line1, 256, wide, 256);
    EXPECT_EQ(readInput(line1, 256, 256, 4), block(256, 256, 4));
}

} // namespace
} // namespace tandrel::driver::test
