// The application's line calls against the real driver bundle of the build tree, loaded by the emulated
// audio server: the default lines, audio looped through a line, line-list edits and their
// notifications, gains, volume and mute, and what survives a restart of the server.
#include <gtest/gtest.h>

#include "Support/DriverTestProcess.h"
#include "Support/Polling.h"
#include "Support/PropertyChangeRecorder.h"
#include "Support/PropertyReads.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/LineConfigurator.h"

namespace {

using namespace std::chrono_literals;

constexpr AudioObjectPropertySelector kVolume = TD_FOURCC('v', 'o', 'l', 'm');
constexpr AudioObjectPropertySelector kMute = TD_FOURCC('m', 'u', 't', 'e');
constexpr const char* kChildVariable = "TANDREL_LINE_DRIVER_TEST_CHILD";
constexpr const char* kHomeVariable = "TANDREL_LINE_DRIVER_TEST_HOME";
constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";

using DriverTestProcess::driverBundle;
using Polling::waitFor;
using PropertyReads::at;

bool runChild(const std::vector<std::string>& extraEnvironment) {
    return DriverTestProcess::runChild(kChildVariable, extraEnvironment);
}

bool inChild() {
    return DriverTestProcess::inChild(kChildVariable);
}

AudioObjectID deviceID(const std::string& uid) {
    auto device = AudioDeviceCatalog::device(uid);
    return device ? device->id : AudioObjectID{kAudioObjectUnknown};
}

// One proc plays a tone into a line, another keeps the last second of the line's first input channel.
class ToneLoop {
public:
    static constexpr double kFrequency = 1000;
    static constexpr float kAmplitude = 0.5f;

    explicit ToneLoop(AudioObjectID line)
        : line_(line)
        , captured_(48000) {
        EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&player_, line, nullptr,
                                                     [this](const AudioTimeStamp*, const AudioBufferList*,
                                                            const AudioTimeStamp*, AudioBufferList* out,
                                                            const AudioTimeStamp*) { play(out); }),
                  0);
        EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&listener_, line, nullptr,
                                                     [this](const AudioTimeStamp*, const AudioBufferList* in,
                                                            const AudioTimeStamp*, AudioBufferList*,
                                                            const AudioTimeStamp*) { capture(in); }),
                  0);
        EXPECT_EQ(AudioDeviceStart(line, player_), 0);
        EXPECT_EQ(AudioDeviceStart(line, listener_), 0);
    }
    ~ToneLoop() {
        AudioDeviceDestroyIOProcID(line_, player_);
        AudioDeviceDestroyIOProcID(line_, listener_);
    }

    // The amplitude of the tone in what was captured from now on for `span`.
    float levelOver(std::chrono::milliseconds span) {
        std::this_thread::sleep_for(span);
        const size_t end = written_.load(std::memory_order_acquire);
        const size_t n = std::min<size_t>(end, 24000);
        float peak = 0;
        for (size_t i = end - n; i < end; ++i) {
            peak = std::max(peak, std::abs(captured_[i % captured_.size()].load(std::memory_order_relaxed)));
        }
        return peak;
    }
    // The tone's frequency over the last half second captured, from the median spacing of its rising zero
    // crossings: a cycle that a busy machine skips leaves a gap in what was captured, which would take
    // crossings from a count but moves the median by nothing.
    double frequency() {
        const size_t end = written_.load(std::memory_order_acquire);
        const size_t n = std::min<size_t>(end, 24000);
        std::vector<size_t> spacings;
        std::optional<size_t> last;
        for (size_t i = end - n + 1; i < end; ++i) {
            if (captured_[(i - 1) % captured_.size()].load() < 0 &&
                captured_[i % captured_.size()].load() >= 0) {
                if (last) {
                    spacings.push_back(i - *last);
                }
                last = i;
            }
        }
        if (spacings.empty()) {
            return 0;
        }
        std::nth_element(spacings.begin(), spacings.begin() + spacings.size() / 2, spacings.end());
        return 48000.0 / double(spacings[spacings.size() / 2]);
    }

private:
    void play(AudioBufferList* out) {
        const uint32_t channels = out->mBuffers[0].mNumberChannels;
        const uint32_t frames = out->mBuffers[0].mDataByteSize / 4 / channels;
        auto* samples = static_cast<float*>(out->mBuffers[0].mData);
        for (uint32_t f = 0; f < frames; ++f) {
            const float v = kAmplitude * static_cast<float>(std::sin(2 * std::numbers::pi * phase_));
            phase_ += kFrequency / 48000;
            phase_ -= std::floor(phase_);
            for (uint32_t c = 0; c < channels; ++c) {
                samples[f * channels + c] = v;
            }
        }
    }
    void capture(const AudioBufferList* in) {
        const uint32_t channels = in->mBuffers[0].mNumberChannels;
        const uint32_t frames = in->mBuffers[0].mDataByteSize / 4 / channels;
        const auto* samples = static_cast<const float*>(in->mBuffers[0].mData);
        size_t w = written_.load(std::memory_order_relaxed);
        for (uint32_t f = 0; f < frames; ++f, ++w) {
            captured_[w % captured_.size()].store(samples[f * channels], std::memory_order_relaxed);
        }
        written_.store(w, std::memory_order_release);
    }

    const AudioObjectID line_;
    AudioDeviceIOProcID player_ = nullptr, listener_ = nullptr;
    double phase_ = 0;
    std::vector<std::atomic<float>> captured_;
    std::atomic<size_t> written_{0};
};

class LineDriverIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << driverBundle();
        }
        if (const char* given = std::getenv(kHomeVariable)) {
            home = given;
        } else {
            home =
                std::filesystem::temp_directory_path() / ("tandrel-line-driver-" + std::to_string(getpid()));
            std::filesystem::remove_all(home);
            ownsHome = true;
        }
    }
    void TearDown() override {
        AudioServer::stop();
        if (ownsHome) {
            std::filesystem::remove_all(home);
        }
    }
    void startServer() {
        server = AudioServer::start({.profile = std::nullopt, .home = home, .plugIns = {{driverBundle()}}});
        line1 = deviceID(kLine1);
        line2 = deviceID(kLine2);
    }
    // True in the parent, which has run the test in a child and checked it.
    bool ranInChild() { return DriverTestProcess::ranInChild(kChildVariable); }

    std::filesystem::path home;
    bool ownsHome = false;
    std::shared_ptr<AudioServer> server;
    AudioObjectID line1 = 0, line2 = 0;
};

TEST_F(LineDriverIntegration, DefaultLinesAreDevicesWithTheirUIDsAndChannels) {
    if (ranInChild()) {
        return;
    }
    startServer();
    const auto lines = AudioDeviceCatalog::tandrelLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].uid, kLine1);
    EXPECT_EQ(lines[0].name, "Line 1");
    EXPECT_EQ(lines[0].inputChannels, 2u);
    EXPECT_EQ(lines[0].outputChannels, 2u);
    EXPECT_EQ(lines[1].uid, kLine2);
    EXPECT_EQ(lines[1].name, "Line 2");
    EXPECT_EQ(lines[1].inputChannels, 64u);
    EXPECT_EQ(lines[1].outputChannels, 64u);
    EXPECT_EQ(lines[0].sampleRate, 48000.0);
    EXPECT_TRUE(LineConfigurator::pluginID().has_value());
}

TEST_F(LineDriverIntegration, AToneLoopsThroughALineAtItsLevelAndGainsScaleIt) {
    if (ranInChild()) {
        return;
    }
    startServer();
    ToneLoop loop(line1);
    EXPECT_NEAR(loop.levelOver(600ms), ToneLoop::kAmplitude, 0.01);
    EXPECT_NEAR(loop.frequency(), ToneLoop::kFrequency, 10);

    ASSERT_TRUE(LineChannelGains::write(line1, {0.5f, 0.5f}));
    EXPECT_NEAR(loop.levelOver(600ms), ToneLoop::kAmplitude * 0.5f, 0.01);
    ASSERT_TRUE(LineChannelGains::write(line1, {}));
    EXPECT_NEAR(loop.levelOver(600ms), ToneLoop::kAmplitude, 0.01);
}

TEST_F(LineDriverIntegration, AWrittenListAddsRenamesAndResizesLinesAndIsAnnounced) {
    if (ranInChild()) {
        return;
    }
    startServer();
    PropertyChangeRecorder announcements;
    announcements.listen(kAudioObjectSystemObject, at(kAudioHardwarePropertyDevices));
    announcements.listen(line1, at(kAudioObjectPropertyName));
    announcements.listen(line2, at(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput));
    announcements.listen(line2, at(kAudioDevicePropertyStreams));

    const std::vector<LineSpec> lines{{1, 2, " Mic "}, {2, 8, "Eight"}, {5, 4, "Five"}};
    LineConfigurator::write(lines);
    EXPECT_TRUE(announcements.saw(kAudioObjectSystemObject, at(kAudioHardwarePropertyDevices)));
    EXPECT_TRUE(announcements.saw(line1, at(kAudioObjectPropertyName)));
    EXPECT_TRUE(announcements.saw(
        line2, at(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput)));
    EXPECT_TRUE(announcements.saw(line2, at(kAudioDevicePropertyStreams)));

    EXPECT_EQ(LineConfigurator::read(),
              (std::vector<LineSpec>{{1, 2, "Mic"}, {2, 8, "Eight"}, {5, 4, "Five"}}));
    EXPECT_EQ(AudioDeviceCatalog::device(kLine1)->name, "Mic");
    EXPECT_EQ(AudioDeviceCatalog::channelCount(line2, kAudioObjectPropertyScopeOutput), 8u);
    EXPECT_EQ(AudioDeviceCatalog::channelCount(line2, kAudioObjectPropertyScopeInput), 8u);
    const auto five = AudioDeviceCatalog::device("qorvix.tandrel.device.line5");
    ASSERT_TRUE(five.has_value());
    EXPECT_EQ(five->name, "Five");
    EXPECT_EQ(five->outputChannels, 4u);
}

TEST_F(LineDriverIntegration, AnInvalidListIsRefusedWithItsMessageAndChangesNothing) {
    if (ranInChild()) {
        return;
    }
    startServer();
    const auto before = LineConfigurator::read();
    try {
        LineConfigurator::write({{1, 2, "A"}, {2, 3, "B"}});
        ADD_FAILURE() << "an odd channel count was accepted";
    } catch (const LineConfigurator::ConfiguratorError& error) {
        EXPECT_EQ(error.kind(), LineConfigurator::ConfiguratorError::Kind::invalid);
        EXPECT_STREQ(error.what(), "チャンネル数は 2〜64 の偶数です");
    }
    // The driver refuses it too when it arrives unchecked.
    const char* keys[] = {"number", "channels"};
    PLRef values[] = {PLNumberCreateInt64(1), PLNumberCreateInt64(3)};
    PLRef entry = PLDictionaryCreate(keys, values, 2);
    PLRef list = PLArrayCreate(&entry, 1);
    const auto address = at(kTandrelPropertyLines);
    EXPECT_EQ(
        AudioObjectSetPropertyData(*LineConfigurator::pluginID(), &address, 0, nullptr, sizeof list, &list),
        kAudioHardwareIllegalOperationError);
    for (PLRef v : {values[0], values[1], entry, list}) {
        PLRelease(v);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(LineConfigurator::read(), before);
    EXPECT_EQ(AudioDeviceCatalog::tandrelLines().size(), 2u);
}

// A driver installed before lines could be edited has no 'lnes': reading says so in the user's words.
TEST_F(LineDriverIntegration, ReadingFromADriverWithoutTheLineListSaysItIsUnsupported) {
    if (ranInChild()) {
        return;
    }
    startServer();
    const auto plugin = LineConfigurator::pluginID();
    ASSERT_TRUE(plugin.has_value());
    server->hideProperty(*plugin, kTandrelPropertyLines);
    try {
        LineConfigurator::read();
        ADD_FAILURE() << "read a list the driver does not have";
    } catch (const LineConfigurator::ConfiguratorError& error) {
        EXPECT_EQ(error.kind(), LineConfigurator::ConfiguratorError::Kind::unsupported);
        EXPECT_STREQ(error.what(), "インストールされているドライバはラインの変更に対応していません。"
                                   "最新のインストーラで更新してください。");
    }
}

// What another driver version may answer: entries without a number or channels are dropped, a line
// without a name is called after its number, equal numbers keep their order, and anything but an array
// of dictionaries is a failed read.
TEST_F(LineDriverIntegration, ReadingDropsIncompleteEntriesAndNamesANamelessLine) {
    if (ranInChild()) {
        return;
    }
    startServer();
    const auto plugin = LineConfigurator::pluginID();
    ASSERT_TRUE(plugin.has_value());
    const auto entry = [](std::vector<std::pair<const char*, PLRef>> fields) {
        std::vector<const char*> keys;
        std::vector<PLRef> values;
        for (auto& [key, value] : fields) {
            keys.push_back(key);
            values.push_back(value);
        }
        PLRef made = PLDictionaryCreate(keys.data(), values.data(), values.size());
        for (PLRef value : values) {
            PLRelease(value);
        }
        return made;
    };
    const PLRef entries[] = {
        entry({{"number", PLNumberCreateInt64(7)},
               {"channels", PLNumberCreateInt64(4)},
               {"name", PLStringCreate("Seven")}}),
        entry({{"number", PLNumberCreateInt64(2)}, {"channels", PLNumberCreateFloat64(64.0)}}),
        entry({{"channels", PLNumberCreateInt64(2)}, {"name", PLStringCreate("No number")}}),
        entry({{"number", PLNumberCreateInt64(3)}, {"name", PLStringCreate("No channels")}}),
        entry({{"number", PLStringCreate("4")}, {"channels", PLNumberCreateInt64(2)}}),
        entry({{"number", PLNumberCreateInt64(2)},
               {"channels", PLNumberCreateInt64(2)},
               {"name", PLNumberCreateInt64(9)}}),
    };
    PLRef list = PLArrayCreate(entries, std::size(entries));
    server->answerProperty(*plugin, kTandrelPropertyLines, list);
    EXPECT_EQ(LineConfigurator::read(),
              (std::vector<LineSpec>{{2, 64, "Line 2"}, {2, 2, "Line 2"}, {7, 4, "Seven"}}));

    PLRef notDictionaries[] = {entries[0], PLNumberCreateInt64(1)};
    PLRef mixed = PLArrayCreate(notDictionaries, 2);
    server->answerProperty(*plugin, kTandrelPropertyLines, mixed);
    try {
        LineConfigurator::read();
        ADD_FAILURE() << "read an array that is not all dictionaries";
    } catch (const CoreAudioError& error) {
        EXPECT_EQ(error.operation(), "ライン構成の読み込み");
        EXPECT_EQ(error.status(), 0);
    }
    for (PLRef value : {list, mixed, notDictionaries[1]}) {
        PLRelease(value);
    }
    for (PLRef value : entries) {
        PLRelease(value);
    }
}

TEST_F(LineDriverIntegration, VolumeAndMuteWrittenThroughTheDeviceAreReadBackAndAnnounced) {
    if (ranInChild()) {
        return;
    }
    startServer();
    PropertyChangeRecorder announcements;
    auto volume = at(kVolume, kAudioObjectPropertyScopeOutput);
    auto mute = at(kMute, kAudioObjectPropertyScopeOutput);
    announcements.listen(line2, volume);
    announcements.listen(line2, mute);
    float quarter = 0.25f;
    uint32_t muted = 1;
    ASSERT_EQ(AudioObjectSetPropertyData(line2, &volume, 0, nullptr, sizeof quarter, &quarter), 0);
    ASSERT_EQ(AudioObjectSetPropertyData(line2, &mute, 0, nullptr, sizeof muted, &muted), 0);
    EXPECT_TRUE(announcements.saw(line2, volume));
    EXPECT_TRUE(announcements.saw(line2, mute));
    float readVolume = 0;
    uint32_t readMute = 0, size = 4;
    ASSERT_EQ(AudioObjectGetPropertyData(line2, &volume, 0, nullptr, &size, &readVolume), 0);
    size = 4;
    ASSERT_EQ(AudioObjectGetPropertyData(line2, &mute, 0, nullptr, &size, &readMute), 0);
    EXPECT_FLOAT_EQ(readVolume, 0.25f);
    EXPECT_EQ(readMute, 1u);
    // The driver stores volumes a second later; its timer must not fire while the process exits.
    EXPECT_TRUE(waitFor([&] {
        std::ifstream file(home / "PlugInStorage" / "qorvix.tandrel.driver.json");
        return std::string(std::istreambuf_iterator<char>(file), {}).find("volumes") != std::string::npos;
    }));
}

// Two fresh processes on one server home: the first edits and waits for the driver's delayed saves,
// the second starts the server again and finds everything back.
TEST_F(LineDriverIntegration, TheEditedListNamesAndVolumesSurviveARestartOfTheServer) {
    const char* phase = std::getenv("TANDREL_LINE_DRIVER_TEST_PHASE");
    if (!inChild()) {
        const std::string homeVariable = std::string(kHomeVariable) + "=" + home.string();
        EXPECT_TRUE(runChild({"TANDREL_LINE_DRIVER_TEST_PHASE=edit", homeVariable}));
        EXPECT_TRUE(runChild({"TANDREL_LINE_DRIVER_TEST_PHASE=verify", homeVariable}));
        return;
    }
    ASSERT_NE(phase, nullptr);
    startServer();
    auto volume = at(kVolume, kAudioObjectPropertyScopeOutput);
    if (std::string(phase) == "edit") {
        LineConfigurator::write({{1, 4, "Voice"}, {3, 2, "Music"}});
        ASSERT_TRUE(waitFor([] { return deviceID("qorvix.tandrel.device.line3") != 0; }));
        const AudioObjectID line3 = deviceID("qorvix.tandrel.device.line3");
        float level = 0.4f;
        ASSERT_EQ(AudioObjectSetPropertyData(line3, &volume, 0, nullptr, sizeof level, &level), 0);
        // The driver saves about a second after the last change.
        const auto storage = home / "PlugInStorage" / "qorvix.tandrel.driver.json";
        EXPECT_TRUE(waitFor(
            [&] {
                std::ifstream file(storage);
                const std::string text((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
                return text.find("Music") != std::string::npos && text.find("volumes") != std::string::npos &&
                       text.find("0.4") != std::string::npos;
            },
            10s));
        return;
    }
    EXPECT_EQ(LineConfigurator::read(), (std::vector<LineSpec>{{1, 4, "Voice"}, {3, 2, "Music"}}));
    EXPECT_EQ(AudioDeviceCatalog::device(kLine1)->name, "Voice");
    EXPECT_EQ(AudioDeviceCatalog::channelCount(deviceID(kLine1), kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(deviceID(kLine2), 0u);
    const AudioObjectID line3 = deviceID("qorvix.tandrel.device.line3");
    ASSERT_NE(line3, 0u);
    float level = 0;
    uint32_t size = sizeof level;
    ASSERT_EQ(AudioObjectGetPropertyData(line3, &volume, 0, nullptr, &size, &level), 0);
    EXPECT_NEAR(level, 0.4f, 1e-6);
}

} // namespace
