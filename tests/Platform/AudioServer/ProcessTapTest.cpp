// Simulated applications, process taps and private aggregate devices of the emulated server: what a
// tap hears through the input of the aggregate that holds it, and the lists and notices around them.
#include "Platform/AudioServer/ProcessTap.h"
#include "Platform/AudioServer/AggregateDevice.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/Workspace/Workspace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Support/Polling.h"
#include "Support/ToneLevel.h"

namespace {

using namespace std::chrono_literals;
using ToneLevel::amplitudeAt;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "name": "Speakers", "sampleRate": 48000, "bufferFrameSize": 256,
                 "outputStreams": [2], "clockDriftPpm": 30 },
               { "uid": "other", "sampleRate": 44100, "outputStreams": [2] } ],
  "applications": [
    { "pid": 7101, "bundleID": "org.example.player", "name": "Player", "signal": {"sine": 1000, "level": -20} },
    { "pid": 7102, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -12} },
    { "pid": 7103, "bundleID": "org.example.quiet", "name": "Quiet", "activationPolicy": "accessory" }
  ]
})";

constexpr AudioObjectPropertyAddress global(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    return Polling::waitFor(condition, limit, 1ms);
}

PLRef string(const std::string& text) {
    return PLStringCreate(text.c_str());
}

// A dictionary of string keys; takes over the values.
PLRef dictionary(std::vector<std::pair<const char*, PLRef>> entries) {
    std::vector<const char*> keys;
    std::vector<PLRef> values;
    for (auto& [k, v] : entries) {
        keys.push_back(k);
        values.push_back(v);
    }
    PLRef d = PLDictionaryCreate(keys.data(), values.data(), keys.size());
    for (PLRef v : values) {
        PLRelease(v);
    }
    return d;
}

PLRef arrayOf(PLRef only) {
    PLRef a = PLArrayCreate(&only, 1);
    PLRelease(only);
    return a;
}

class ProcessTapTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() /
               ("tandrel-tap-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
    }
    void TearDown() override {
        server.reset();
        AudioServer::stop();
        EXPECT_EQ(AudioServer::runningIOCount(), 0u);
        EXPECT_FALSE(Workspace::shared().runningApplication(7101)) << "the server left its applications";
        std::filesystem::remove_all(home);
    }

    AudioObjectID process(int32_t pid) {
        AudioObjectID id = 0;
        uint32_t size = sizeof id;
        auto address = global(kAudioHardwarePropertyTranslatePIDToProcessObject);
        EXPECT_EQ(
            AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof pid, &pid, &size, &id), 0);
        return id;
    }

    AudioObjectID makeTap(const CATapDescription& description) {
        AudioObjectID tap = 0;
        EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap), 0);
        return tap;
    }

    // An aggregate clocked by "out" holding the tap, as the process tap source describes it.
    OSStatus makeAggregate(const std::string& uid, const std::string& tapUUID, AudioObjectID* id) {
        PLRef description = dictionary({
            {"name", string("Tap (" + uid + ")")},
            {"uid", string(uid)},
            {"master", string("out")},
            {"private", PLBooleanCreate(true)},
            {"stacked", PLBooleanCreate(false)},
            {"tapautostart", PLBooleanCreate(true)},
            {"subdevices", arrayOf(dictionary({{"uid", string("out")}}))},
            {"taps", arrayOf(dictionary({{"drift", PLBooleanCreate(true)}, {"uid", string(tapUUID)}}))},
        });
        OSStatus status = AudioHardwareCreateAggregateDevice(description, id);
        PLRelease(description);
        return status;
    }

    // The first input buffer's left channel over about `seconds`, and the buffer count seen.
    std::vector<float> listen(AudioObjectID device, double seconds, uint32_t* buffers = nullptr) {
        const size_t frames = size_t(seconds * 48000);
        auto samples = std::make_shared<std::vector<float>>(frames + 4096);
        auto filled = std::make_shared<std::atomic<size_t>>(0);
        auto count = std::make_shared<std::atomic<uint32_t>>(0);
        AudioDeviceIOProcID proc = nullptr;
        EXPECT_EQ(
            AudioDeviceCreateIOProcIDWithBlock(
                &proc, device, nullptr,
                [samples, filled, count](const AudioTimeStamp*, const AudioBufferList* in,
                                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*) {
                    count->store(in->mNumberBuffers);
                    if (in->mNumberBuffers == 0) {
                        return;
                    }
                    const auto& b = in->mBuffers[0];
                    const auto* data = static_cast<const float*>(b.mData);
                    size_t at = filled->load();
                    for (uint32_t f = 0;
                         f < b.mDataByteSize / (4 * b.mNumberChannels) && at < samples->size(); ++f) {
                        (*samples)[at++] = data[f * b.mNumberChannels];
                    }
                    filled->store(at);
                }),
            0);
        EXPECT_EQ(AudioDeviceStart(device, proc), 0);
        EXPECT_TRUE(waitFor([&] { return filled->load() >= frames; }));
        AudioDeviceDestroyIOProcID(device, proc);
        if (buffers != nullptr) {
            *buffers = count->load();
        }
        samples->resize(std::min(filled->load(), frames));
        return *samples;
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(ProcessTapTest, ApplicationsAreRunningApplicationsAndProcessObjectsThatSayWhetherTheyPlay) {
    auto player = Workspace::shared().runningApplication(7101);
    ASSERT_TRUE(player);
    EXPECT_EQ(player->localizedName, "Player");
    EXPECT_EQ(Workspace::shared().runningApplication(7103)->activationPolicy, ActivationPolicy::accessory);

    auto isRunningOutput = [&](int32_t pid) {
        uint32_t value = 7, size = sizeof value;
        auto address = global(kAudioProcessPropertyIsRunningOutput);
        EXPECT_EQ(AudioObjectGetPropertyData(process(pid), &address, 0, nullptr, &size, &value), 0);
        return value;
    };
    EXPECT_EQ(isRunningOutput(7101), 1u);
    EXPECT_EQ(isRunningOutput(7103), 0u);

    std::atomic<int> notices{0};
    AudioObjectPropertyListenerToken token = 0;
    auto piro = global(kAudioProcessPropertyIsRunningOutput);
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  process(7103), &piro, DispatchQueue::serial("test"),
                  [&](uint32_t, const AudioObjectPropertyAddress*) { ++notices; }, &token),
              0);
    EXPECT_TRUE(server->setApplicationSignal(7103, InputSignal::sine(300, -30)));
    EXPECT_TRUE(server->setApplicationSignal(7103, InputSignal::sine(500, -30))); // still playing: no notice
    EXPECT_TRUE(waitFor([&] { return notices.load() == 1; }));
    EXPECT_EQ(isRunningOutput(7103), 1u);
    EXPECT_FALSE(server->setApplicationSignal(7103, InputSignal::loopback()));
    EXPECT_FALSE(server->setApplicationSignal(4242, InputSignal::silence()));

    std::atomic<int> listChanges{0};
    auto prs = global(kAudioHardwarePropertyProcessObjectList);
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &prs, DispatchQueue::serial("test"),
                  [&](uint32_t, const AudioObjectPropertyAddress*) { ++listChanges; }, &token),
              0);
    EXPECT_TRUE(server->removeApplication(7103));
    EXPECT_FALSE(server->removeApplication(7103));
    EXPECT_TRUE(waitFor([&] { return listChanges.load() == 1; }));
    EXPECT_FALSE(Workspace::shared().runningApplication(7103));

    ApplicationSpec taken;
    taken.pid = 7101;
    taken.bundleID = "org.example.again";
    EXPECT_THROW(server->addApplication(taken), std::invalid_argument);
}

TEST_F(ProcessTapTest, BuiltInProfileHasOnePlayingAndOneSilentApplicationFirstThenOthersOnTonesOfTheirOwn) {
    auto builtIn = HardwareProfile::fromJSON(HardwareProfile::builtInJSON());
    ASSERT_GE(builtIn.applications.size(), 2u);
    EXPECT_EQ(builtIn.applications[0].signal, InputSignal::sine(1000, -20));
    EXPECT_EQ(builtIn.applications[1].signal, InputSignal::silence());
    std::set<double> frequencies{1000};
    for (std::size_t i = 2; i < builtIn.applications.size(); ++i) {
        const auto& app = builtIn.applications[i];
        ASSERT_EQ(app.signal.kind, InputSignal::Kind::sine) << app.bundleID;
        EXPECT_TRUE(frequencies.insert(app.signal.tones.front().frequency).second)
            << app.bundleID << " plays a tone another application plays";
    }
    for (const auto& app : builtIn.applications) {
        EXPECT_FALSE(app.name.empty()) << app.bundleID;
        EXPECT_FALSE(app.icon.isEmpty()) << app.bundleID;
    }
    EXPECT_THROW(
        HardwareProfile::fromJSON(nlohmann::json::parse(
            R"({"devices": [], "applications": [{"bundleID": "a", "activationPolicy": "daemon"}]})")),
        HardwareProfileError);
}

TEST_F(ProcessTapTest, ApplicationIconIsAnImagePathOrAnXPMImageAndReachesTheWorkspace) {
    auto profile = HardwareProfile::fromJSON(nlohmann::json::parse(R"({"devices": [], "applications": [
        {"bundleID": "org.example.a", "icon": "/icons/a.png"},
        {"bundleID": "org.example.b", "icon": {"xpm": ["1 1 1 1", ". c #000000", "."]}}]})"));
    ASSERT_EQ(profile.applications.size(), 2u);
    EXPECT_EQ(profile.applications[0].icon.path, "/icons/a.png");
    const auto& data = profile.applications[1].icon.imageData;
    EXPECT_EQ(std::string(data.begin(), data.end()),
              "/* XPM */\nstatic const char* icon[] = {\n\"1 1 1 1\",\n\". c #000000\",\n\".\"\n};\n");
    for (const char* bad : {R"({"xpm": [1]})", R"({"xpm": []})", R"({"png": "x"})", "3"}) {
        EXPECT_THROW(
            HardwareProfile::fromJSON(nlohmann::json::parse(
                std::string(R"({"devices": [], "applications": [{"bundleID": "c", "icon": )") + bad + "}]}")),
            HardwareProfileError)
            << bad;
    }

    const int32_t pid = server->addApplication(profile.applications[1]);
    const auto launched = Workspace::shared().runningApplication(pid);
    ASSERT_TRUE(launched.has_value());
    EXPECT_EQ(launched->icon, profile.applications[1].icon);
    server->removeApplication(pid);
}

TEST_F(ProcessTapTest, MixdownTapCarriesOnlyItsProcessesAtTheirLevelAndFollowsDescriptionChanges) {
    auto description = CATapDescription::stereoMixdownOfProcesses({process(7101)});
    AudioObjectID tap = makeTap(description);

    AudioStreamBasicDescription format{};
    uint32_t size = sizeof format;
    auto tfmt = global(kAudioTapPropertyFormat);
    ASSERT_EQ(AudioObjectGetPropertyData(tap, &tfmt, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(format.mSampleRate, 48000);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);

    AudioObjectID aggregate = 0;
    ASSERT_EQ(makeAggregate("agg.1", description.uuid(), &aggregate), 0);
    uint32_t buffers = 0;
    auto heard = listen(aggregate, 0.5, &buffers);
    EXPECT_EQ(buffers, 1u);
    EXPECT_NEAR(amplitudeAt(heard, 1000, 48000), std::pow(10.0, -20 / 20.0), 0.003);
    EXPECT_LT(amplitudeAt(heard, 440, 48000), 0.001);

    // The radio joins from the next cycle on; a refused write keeps the old processes.
    description.setProcesses({process(7101), process(7102)});
    auto tdsc = global(kAudioTapPropertyDescription);
    const CATapDescription* reference = &description;
    server->refuseProperty(tap, kAudioTapPropertyDescription, kAudioHardwareUnspecifiedError,
                           AudioServer::set);
    EXPECT_NE(AudioObjectSetPropertyData(tap, &tdsc, 0, nullptr, sizeof reference, &reference), 0);
    EXPECT_LT(amplitudeAt(listen(aggregate, 0.3), 440, 48000), 0.001);
    server->clearRefusals();
    ASSERT_EQ(AudioObjectSetPropertyData(tap, &tdsc, 0, nullptr, sizeof reference, &reference), 0);
    heard = listen(aggregate, 0.5);
    EXPECT_NEAR(amplitudeAt(heard, 440, 48000), std::pow(10.0, -12 / 20.0), 0.005);
    EXPECT_NEAR(amplitudeAt(heard, 1000, 48000), std::pow(10.0, -20 / 20.0), 0.003);

    // A tap destroyed under its aggregate leaves the input silent.
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), 0);
    heard = listen(aggregate, 0.2);
    EXPECT_EQ(*std::max_element(heard.begin(), heard.end()), 0.0f);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(aggregate), 0);
}

TEST_F(ProcessTapTest, GlobalTapHearsEveryPlayingProcessButTheExcludedOnes) {
    const int32_t own = ::getpid();
    ASSERT_NE(server->addProcess({own, "qorvix.tandrel.app", false}), 0u);
    ASSERT_TRUE(server->setApplicationSignal(own, InputSignal::sine(3000, -6)));
    auto description = CATapDescription::stereoGlobalTapButExcludeProcesses({process(own)});
    makeTap(description);
    AudioObjectID aggregate = 0;
    ASSERT_EQ(makeAggregate("agg.global", description.uuid(), &aggregate), 0);

    auto heard = listen(aggregate, 0.5);
    EXPECT_NEAR(amplitudeAt(heard, 1000, 48000), 0.1, 0.003);
    EXPECT_NEAR(amplitudeAt(heard, 440, 48000), std::pow(10.0, -12 / 20.0), 0.005);
    EXPECT_LT(amplitudeAt(heard, 3000, 48000), 0.001);

    // An application that starts later is heard without any change to the tap.
    ApplicationSpec late;
    late.bundleID = "org.example.late";
    late.signal = InputSignal::sine(2000, -20);
    const int32_t pid = server->addApplication(late);
    EXPECT_NEAR(amplitudeAt(listen(aggregate, 0.3), 2000, 48000), 0.1, 0.003);
    EXPECT_TRUE(server->setApplicationSignal(pid, InputSignal::silence()));
    EXPECT_LT(amplitudeAt(listen(aggregate, 0.3), 2000, 48000), 0.001);
}

TEST_F(ProcessTapTest, AggregatesAreDevicesClockedByTheirMainDeviceAndAnnounceCreationAndDestruction) {
    std::atomic<int> deviceListChanges{0};
    AudioObjectPropertyListenerToken token = 0;
    auto dev = global(kAudioHardwarePropertyDevices);
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &dev, DispatchQueue::serial("test"),
                  [&](uint32_t, const AudioObjectPropertyAddress*) { ++deviceListChanges; }, &token),
              0);
    // The announcement device: a name and a UID only.
    PLRef announcement = dictionary({{"name", string("Corvane")}, {"uid", string("refresh.1")}});
    AudioObjectID id = 0;
    ASSERT_EQ(AudioHardwareCreateAggregateDevice(announcement, &id), 0);
    EXPECT_EQ(server->deviceID("refresh.1"), id);
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(announcement, &id), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(server->deviceID("refresh.1")), 0);
    EXPECT_EQ(server->deviceID("refresh.1"), kAudioObjectUnknown);
    EXPECT_TRUE(waitFor([&] { return deviceListChanges.load() == 2; }));
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(server->deviceID("out")), kAudioHardwareBadDeviceError);

    server->failAggregateCreation(kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(announcement, &id), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(id, kAudioObjectUnknown);
    server->failAggregateCreation(kAudioHardwareNoError);
    PLRelease(announcement);

    auto description = CATapDescription::stereoMixdownOfProcesses({});
    makeTap(description);
    EXPECT_EQ(makeAggregate("agg.x", "no-such-tap", &id), kAudioHardwareBadObjectError);
    ASSERT_EQ(makeAggregate("agg.x", description.uuid(), &id), 0);
    double rate = 0;
    uint32_t size = sizeof rate;
    auto nsrt = global(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectGetPropertyData(id, &nsrt, 0, nullptr, &size, &rate), 0);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(server->aggregateDeviceList(), std::vector<AudioObjectID>{id});
    EXPECT_EQ(server->tapList().size(), 1u);

    PLRef malformed = dictionary({{"name", string("x")}});
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(malformed, &id), kAudio_ParamError);
    PLRelease(malformed);
}

} // namespace
