// A line device's five objects: their property tables, settable rules, setters and the volume and mute
// announcements.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"

namespace tandrel::driver::test {
namespace {

class DriverDeviceProperties : public DriverFixture {
protected:
    void SetUp() override {
        startDriver();
        stereo = deviceOfLine(1);
        wide = deviceOfLine(2);
        ASSERT_NE(stereo, 0u);
        ASSERT_NE(wide, 0u);
    }
    AudioObjectID input() const { return stereo + 1; }
    AudioObjectID output() const { return stereo + 2; }
    AudioObjectID volume() const { return stereo + 3; }
    AudioObjectID mute() const { return stereo + 4; }

    AudioObjectID stereo = 0;
    AudioObjectID wide = 0;
};

struct Row {
    int object; // 0 device, 1 input, 2 output, 3 volume, 4 mute
    const char* selector;
    uint32_t value;
};

TEST_F(DriverDeviceProperties, FixedValuesOfEveryObject) {
    const Row rows[] = {
        {0, "bcls", code("aobj")},
        {0, "clas", code("adev")},
        {0, "stdv", 1},
        {0, "tran", code("virt")},
        {0, "clkd", 0},
        {0, "livn", 1},
        {0, "goin", 0},
        {0, "dflt", 1},
        {0, "sflt", 0},
        {0, "hidn", 0},
        {0, "ltnc", 0},
        {0, "saft", 0},
        {0, "ring", 16384},
        {1, "bcls", code("aobj")},
        {1, "clas", code("astr")},
        {1, "sact", 1},
        {1, "sdir", 1},
        {1, "term", code("line")},
        {1, "schn", 1},
        {1, "ltnc", 0},
        {2, "sdir", 0},
        {2, "sact", 1},
        {3, "bcls", code("levl")},
        {3, "clas", code("vlme")},
        {3, "cscp", code("outp")},
        {3, "celm", 0},
        {4, "bcls", code("togl")},
        {4, "clas", code("mute")},
        {4, "cscp", code("outp")},
        {4, "celm", 0},
        {4, "bcvl", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.selector) + " on object " + std::to_string(row.object));
        const AudioObjectID id = stereo + row.object;
        uint32_t size = 0;
        ASSERT_EQ(sizeOf(id, code(row.selector), size), kAudioHardwareNoError);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(getValue<uint32_t>(id, code(row.selector)), row.value);
        uint32_t value = 0, written = 0;
        EXPECT_EQ(get(id, code(row.selector), &value, 3, written), kAudioHardwareBadPropertySizeError);
    }
    for (int object = 1; object <= 4; ++object) {
        EXPECT_EQ(getValue<uint32_t>(stereo + object, code("stdv")), stereo);
        EXPECT_TRUE(getIDs(stereo + object, code("ownd")).empty());
    }
}

TEST_F(DriverDeviceProperties, NamesAndIdentifiers) {
    EXPECT_EQ(text(getRef(stereo, code("lnam")).get()), "Line 1");
    EXPECT_EQ(text(getRef(stereo, code("uid ")).get()), "qorvix.tandrel.device.line1");
    EXPECT_EQ(text(getRef(stereo, code("muid")).get()), "qorvix.tandrel.model");
    EXPECT_EQ(text(getRef(stereo, code("lmak")).get()), "qorvix");
    uint64_t small = 0;
    uint32_t written = 0;
    EXPECT_EQ(get(stereo, code("lnam"), &small, 4, written), kAudioHardwareBadPropertySizeError);
}

TEST_F(DriverDeviceProperties, ObjectListsFollowTheScopeAndFillShortBuffersPartially) {
    const AudioObjectID in = input(), out = output(), vol = volume(), mu = mute();
    EXPECT_EQ(getIDs(stereo, code("stm#"), code("inpt")), (std::vector<AudioObjectID>{in}));
    EXPECT_EQ(getIDs(stereo, code("stm#"), code("outp")), (std::vector<AudioObjectID>{out}));
    EXPECT_EQ(getIDs(stereo, code("stm#"), code("glob")), (std::vector<AudioObjectID>{in, out}));
    EXPECT_TRUE(getIDs(stereo, code("stm#"), code("zzzz")).empty());
    EXPECT_EQ(getIDs(stereo, code("ownd"), code("inpt")), (std::vector<AudioObjectID>{in}));
    EXPECT_EQ(getIDs(stereo, code("ownd"), code("outp")), (std::vector<AudioObjectID>{out, vol, mu}));
    EXPECT_EQ(getIDs(stereo, code("ownd"), code("glob")), (std::vector<AudioObjectID>{in, out, vol, mu}));
    EXPECT_EQ(getIDs(stereo, code("ctrl")), (std::vector<AudioObjectID>{vol, mu}));
    EXPECT_EQ(getIDs(stereo, code("akin")), (std::vector<AudioObjectID>{stereo}));

    AudioObjectID ids[4] = {};
    uint32_t written = 0;
    ASSERT_EQ(get(stereo, code("ownd"), ids, 11, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 8u);
    ASSERT_EQ(get(stereo, code("akin"), ids, 3, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 0u);
}

TEST_F(DriverDeviceProperties, RatesAndFormats) {
    EXPECT_EQ(getValue<double>(stereo, code("nsrt")), 48000.0);

    AudioValueRange ranges[6] = {};
    uint32_t written = 0;
    uint32_t size = 0;
    ASSERT_EQ(sizeOf(stereo, code("nsr#"), size), kAudioHardwareNoError);
    EXPECT_EQ(size, 96u);
    ASSERT_EQ(get(stereo, code("nsr#"), ranges, 40, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 32u);
    ASSERT_EQ(get(stereo, code("nsr#"), ranges, sizeof(ranges), written), kAudioHardwareNoError);
    const double rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ranges[i].mMinimum, rates[i]);
        EXPECT_EQ(ranges[i].mMaximum, rates[i]);
    }

    for (const char* selector : {"pft ", "sfmt"}) {
        const auto format = getValue<AudioStreamBasicDescription>(wide + 2, code(selector));
        EXPECT_EQ(format.mSampleRate, 48000.0);
        EXPECT_EQ(format.mFormatID, code("lpcm"));
        EXPECT_EQ(format.mFormatFlags, 9u);
        EXPECT_EQ(format.mBytesPerPacket, 256u);
        EXPECT_EQ(format.mFramesPerPacket, 1u);
        EXPECT_EQ(format.mBytesPerFrame, 256u);
        EXPECT_EQ(format.mChannelsPerFrame, 64u);
        EXPECT_EQ(format.mBitsPerChannel, 32u);
    }

    AudioStreamRangedDescription formats[6] = {};
    ASSERT_EQ(sizeOf(input(), code("sfma"), size), kAudioHardwareNoError);
    EXPECT_EQ(size, 336u);
    ASSERT_EQ(get(input(), code("pfta"), formats, 120, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 112u);
    ASSERT_EQ(get(input(), code("sfma"), formats, sizeof(formats), written), kAudioHardwareNoError);
    EXPECT_EQ(formats[5].mFormat.mSampleRate, 192000.0);
    EXPECT_EQ(formats[5].mSampleRateRange.mMinimum, 192000.0);
    EXPECT_EQ(formats[5].mFormat.mChannelsPerFrame, 2u);
}

TEST_F(DriverDeviceProperties, ChannelLayoutAndStereoPair) {
    const uint32_t pair[2] = {1, 2};
    uint32_t got[2] = {};
    uint32_t written = 0;
    ASSERT_EQ(get(stereo, code("dch2"), got, 8, written), kAudioHardwareNoError);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 2), std::vector<uint32_t>(pair, pair + 2));

    std::vector<uint8_t> buffer(TD_AUDIO_CHANNEL_LAYOUT_SIZE(64));
    uint32_t size = 0;
    ASSERT_EQ(sizeOf(stereo, code("srnd"), size), kAudioHardwareNoError);
    EXPECT_EQ(size, 52u);
    EXPECT_EQ(get(stereo, code("srnd"), buffer.data(), 51, written), kAudioHardwareBadPropertySizeError);
    ASSERT_EQ(get(stereo, code("srnd"), buffer.data(), 52, written), kAudioHardwareNoError);
    auto* layout = reinterpret_cast<AudioChannelLayout*>(buffer.data());
    EXPECT_EQ(layout->mChannelLayoutTag, 0u);
    EXPECT_EQ(layout->mNumberChannelDescriptions, 2u);
    EXPECT_EQ(layout->mChannelDescriptions[0].mChannelLabel, 1u);
    EXPECT_EQ(layout->mChannelDescriptions[1].mChannelLabel, 2u);

    ASSERT_EQ(get(wide, code("srnd"), buffer.data(), static_cast<uint32_t>(buffer.size()), written),
              kAudioHardwareNoError);
    EXPECT_EQ(written, 12u + 20u * 64u);
    EXPECT_EQ(layout->mNumberChannelDescriptions, 64u);
    EXPECT_EQ(layout->mChannelDescriptions[0].mChannelLabel, 65536u);
    EXPECT_EQ(layout->mChannelDescriptions[63].mChannelLabel, 65536u + 63u);
}

TEST_F(DriverDeviceProperties, SettableRulesPerObject) {
    struct Case {
        int object;
        const char* selector;
        bool settable;
    };
    const Case cases[] = {
        {0, "nsrt", true}, {0, "lcgn", true},  {0, "lnam", false}, {0, "bcls", false}, {1, "pft ", true},
        {1, "sfmt", true}, {1, "sact", true},  {2, "sfmt", true},  {2, "sdir", false}, {3, "lcsv", true},
        {3, "lcdv", true}, {3, "lcdr", false}, {4, "bcvl", true},  {4, "cscp", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.selector) + " on object " + std::to_string(c.object));
        OSStatus status = -1;
        EXPECT_EQ(settable(stereo + c.object, code(c.selector), &status), c.settable);
        EXPECT_EQ(status, kAudioHardwareNoError);
    }
    OSStatus status = 0;
    settable(volume(), code("bcvl"), &status);
    EXPECT_EQ(status, kAudioHardwareUnknownPropertyError);
}

TEST_F(DriverDeviceProperties, UnsettableSelectorsAreRefused) {
    uint32_t value = 1;
    EXPECT_EQ(set(stereo, code("lnam"), &value, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(input(), code("sdir"), &value, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(mute(), code("lcsv"), &value, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(volume(), code("bcvl"), &value, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(stereo, code("nsrt"), &value, 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(input(), code("sfmt"), &value, 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(input(), code("sact"), &value, 2), kAudioHardwareBadPropertySizeError);
}

std::vector<float> gainsOf(const Ref& list) {
    std::vector<float> gains;
    for (size_t i = 0; i < PLArrayGetCount(list.get()); ++i) {
        float g = -1;
        EXPECT_TRUE(PLNumberGetFloat32(PLArrayGetValueAtIndex(list.get(), i), &g));
        gains.push_back(g);
    }
    return gains;
}

TEST_F(DriverDeviceProperties, ChannelGainsAreClampedAndResetBeyondTheGivenItems) {
    applyLines(array({line(1, 8), line(2, 64)}));
    // The channel change is requested, not made; carry it out as the host would.
    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), stereo, (1ull << 32) + 8, nullptr),
              kAudioHardwareNoError);

    EXPECT_EQ(gainsOf(getRef(stereo, code("lcgn"))), std::vector<float>(8, 1.0f));
    ASSERT_EQ(setRef(stereo, code("lcgn"), array({real(0.5), real(20.0), real(-1.0), str("x")})),
              kAudioHardwareNoError);
    EXPECT_EQ(gainsOf(getRef(stereo, code("lcgn"))), (std::vector<float>{0.5f, 16.0f, 0.0f, 1, 1, 1, 1, 1}));

    ASSERT_EQ(setRef(stereo, code("lcgn"), array({real(0.25)})), kAudioHardwareNoError);
    EXPECT_EQ(gainsOf(getRef(stereo, code("lcgn"))), (std::vector<float>{0.25f, 1, 1, 1, 1, 1, 1, 1}));

    ASSERT_EQ(setRef(stereo, code("lcgn"), array({})), kAudioHardwareNoError);
    EXPECT_EQ(gainsOf(getRef(stereo, code("lcgn"))), std::vector<float>(8, 1.0f));

    EXPECT_EQ(setRef(stereo, code("lcgn"), str("0.5")), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setRef(stereo, code("lcgn"), Ref()), kAudioHardwareIllegalOperationError);
    float raw = 0.5f;
    EXPECT_EQ(set(stereo, code("lcgn"), &raw, 4), kAudioHardwareBadPropertySizeError);
    uint32_t size = 0;
    ASSERT_EQ(sizeOf(stereo, code("lcgn"), size), kAudioHardwareNoError);
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(host_->notifications().empty() || host_->notifications().back().objectID == 1)
        << "gains are not announced";
}

TEST_F(DriverDeviceProperties, NonFiniteChannelGainCountsAsUnity) {
    const double inf = std::numeric_limits<double>::infinity();
    ASSERT_EQ(setRef(stereo, code("lcgn"), array({real(std::nan("")), real(inf), real(-inf)})),
              kAudioHardwareNoError);
    EXPECT_EQ(gainsOf(getRef(stereo, code("lcgn"))), (std::vector<float>{1.0f, 1.0f}));
    const auto gains = gainsOf(getRef(stereo, code("lcgn")));
    EXPECT_TRUE(std::all_of(gains.begin(), gains.end(), [](float g) { return std::isfinite(g); }));
}

TEST_F(DriverDeviceProperties, VolumeScalarAndDecibelsShareOneClampedValue) {
    EXPECT_EQ(getValue<float>(volume(), code("lcsv")), 1.0f);
    EXPECT_EQ(getValue<float>(volume(), code("lcdv")), 0.0f);
    EXPECT_EQ(setValue(volume(), code("lcsv"), 1.5f), kAudioHardwareNoError);
    EXPECT_EQ(getValue<float>(volume(), code("lcsv")), 1.0f);
    EXPECT_EQ(setValue(volume(), code("lcdv"), -0.25f), kAudioHardwareNoError);
    EXPECT_EQ(getValue<float>(volume(), code("lcsv")), 0.75f);
    EXPECT_EQ(getValue<float>(volume(), code("lcdv")), -0.25f);
    EXPECT_EQ(setValue(volume(), code("lcsv"), -3.0f), kAudioHardwareNoError);
    EXPECT_EQ(getValue<float>(volume(), code("lcsv")), 0.0f);

    const auto range = getValue<AudioValueRange>(volume(), code("lcdr"));
    EXPECT_EQ(range.mMinimum, -1.0);
    EXPECT_EQ(range.mMaximum, 0.0);

    const uint16_t shortValue = 0;
    EXPECT_EQ(set(volume(), code("lcdv"), &shortValue, 2), kAudioHardwareBadPropertySizeError);
}

TEST_F(DriverDeviceProperties, NonFiniteVolumeIsRefusedAndChangesNothing) {
    ASSERT_EQ(setValue(volume(), code("lcsv"), 0.5f), kAudioHardwareNoError);
    runtime_->runDue();
    host_->clearRecords();
    EXPECT_EQ(setValue(volume(), code("lcsv"), std::nanf("")), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setValue(volume(), code("lcdv"), std::numeric_limits<float>::infinity()),
              kAudioHardwareIllegalOperationError);
    runtime_->advance(std::chrono::seconds(2));
    EXPECT_EQ(getValue<float>(volume(), code("lcsv")), 0.5f);
    EXPECT_TRUE(host_->notifications().empty());
}

TEST_F(DriverDeviceProperties, VolumeAndMuteAnnounceOnlyRealChangesAndLater) {
    ASSERT_EQ(setValue(volume(), code("lcsv"), 0.5f), kAudioHardwareNoError);
    ASSERT_EQ(setValue(volume(), code("lcsv"), 0.5f), kAudioHardwareNoError);
    EXPECT_TRUE(host_->notifications().empty()) << "announcements never run on the caller's thread";
    runtime_->runDue();
    EXPECT_EQ(host_->notifications(), (std::vector<Notification>{{volume(), {code("lcsv"), code("lcdv")}}}));

    host_->clearRecords();
    ASSERT_EQ(setValue(mute(), code("bcvl"), uint32_t{2}), kAudioHardwareNoError);
    ASSERT_EQ(setValue(mute(), code("bcvl"), uint32_t{1}), kAudioHardwareNoError);
    runtime_->runDue();
    EXPECT_EQ(host_->notifications(), (std::vector<Notification>{{mute(), {code("bcvl")}}}));
    EXPECT_EQ(getValue<uint32_t>(mute(), code("bcvl")), 1u);
    EXPECT_EQ(setValue(mute(), code("bcvl"), uint16_t{0}), kAudioHardwareBadPropertySizeError);
}

TEST_F(DriverDeviceProperties, StreamActivityIsAnnouncedAtOnce) {
    ASSERT_EQ(setValue(output(), code("sact"), uint32_t{0}), kAudioHardwareNoError);
    EXPECT_EQ(host_->notifications(), (std::vector<Notification>{{output(), {code("sact")}}}));
    EXPECT_EQ(getValue<uint32_t>(output(), code("sact")), 0u);
    EXPECT_EQ(getValue<uint32_t>(input(), code("sact")), 1u);
}

TEST_F(DriverDeviceProperties, SampleRateRequestsGoThroughTheHost) {
    EXPECT_EQ(setValue(stereo, code("nsrt"), 48000.0), kAudioHardwareNoError);
    EXPECT_EQ(setValue(stereo, code("nsrt"), 22050.0), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setValue(stereo, code("nsrt"), std::nan("")), kAudioHardwareIllegalOperationError);
    runtime_->runDue();
    EXPECT_TRUE(host_->configurationRequests().empty());

    EXPECT_EQ(setValue(stereo, code("nsrt"), 96000.0), kAudioHardwareNoError);
    EXPECT_TRUE(host_->configurationRequests().empty()) << "the request is made from a global queue";
    runtime_->runDue();
    EXPECT_EQ(host_->configurationRequests(), (std::vector<ConfigurationRequest>{{stereo, 96000}}));
    EXPECT_EQ(getValue<double>(stereo, code("nsrt")), 48000.0)
        << "nothing changes until the host performs it";

    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), stereo, 96000, nullptr),
              kAudioHardwareNoError);
    EXPECT_EQ(getValue<double>(stereo, code("nsrt")), 96000.0);
    EXPECT_EQ(getValue<AudioStreamBasicDescription>(input(), code("sfmt")).mSampleRate, 96000.0);
    EXPECT_EQ(table().PerformDeviceConfigurationChange(driver(), stereo, 12345, nullptr),
              kAudioHardwareBadObjectError);
}

TEST_F(DriverDeviceProperties, StreamFormatMustMatchTheLineExceptForTheRate) {
    auto format = getValue<AudioStreamBasicDescription>(input(), code("sfmt"));
    format.mSampleRate = 44100;
    auto refused = [&](auto change) {
        auto f = format;
        change(f);
        return setValue(output(), code("pft "), f);
    };
    EXPECT_EQ(refused([](auto& f) { f.mFormatID = code("aac "); }), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mFormatFlags = kAudioFormatFlagIsFloat; }),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mChannelsPerFrame = 4; }), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mBitsPerChannel = 16; }), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mBytesPerFrame = 4; }), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mFramesPerPacket = 2; }), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(refused([](auto& f) { f.mSampleRate = 8000; }), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(refused([](auto& f) { f.mFormatFlags |= kAudioFormatFlagIsNonInterleaved; }),
              kAudioHardwareNoError)
        << "flags beyond float and packed are not looked at";
    runtime_->runDue();
    EXPECT_EQ(host_->configurationRequests(), (std::vector<ConfigurationRequest>{{stereo, 44100}}));
}

} // namespace
} // namespace tandrel::driver::test
