#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/PropertyReads.h"

namespace {

constexpr AudioObjectPropertyAddress
address(AudioObjectPropertySelector selector,
        AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

using PropertyReads::channels;
using PropertyReads::readIDs;

class AudioServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() /
               ("tandrel-server-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(home);
        server = AudioServer::start({.profile = std::nullopt, .home = home});
    }
    void TearDown() override {
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::vector<AudioObjectID> devices() {
        return readIDs(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices));
    }

    std::string readString(AudioObjectID object, AudioObjectPropertySelector selector,
                           OSStatus* status = nullptr) {
        PLRef ref = nullptr;
        uint32_t size = sizeof ref;
        auto a = address(selector);
        OSStatus s = AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &ref);
        if (status != nullptr) {
            *status = s;
        }
        std::string text = ref != nullptr ? PLStringGetUTF8(ref) : "<null>";
        PLRelease(ref);
        return text;
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(AudioServerTest, TheBuiltInProfileListsItsDevicesInOrderWithTheirStreams) {
    auto ids = devices();
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(readString(ids[0], kAudioDevicePropertyDeviceUID), "tandrel.sim.speakers");
    EXPECT_EQ(readString(ids[1], kAudioObjectPropertyName), "Built-in Microphone");
    EXPECT_EQ(readString(ids[2], kAudioDevicePropertyDeviceUID), "tandrel.sim.interface");
    EXPECT_EQ(channels(ids[0], kAudioObjectPropertyScopeOutput), 2u);
    EXPECT_EQ(channels(ids[0], kAudioObjectPropertyScopeInput), 0u);
    EXPECT_EQ(channels(ids[2], kAudioObjectPropertyScopeInput), 8u); // streams of 2 and 6
    EXPECT_EQ(readString(ids[3], kAudioObjectPropertyName), "Loopback");

    AudioObjectID output = 0;
    uint32_t size = sizeof output;
    auto sOut = address(kAudioHardwarePropertyDefaultSystemOutputDevice);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &sOut, 0, nullptr, &size, &output), 0);
    EXPECT_EQ(output, ids[0]);
    EXPECT_TRUE(std::filesystem::is_directory(home));
}

TEST_F(AudioServerTest, SizesStatusesAndBuffersFollowTheClientRules) {
    auto ids = devices();
    auto dev = address(kAudioHardwarePropertyDevices);
    AudioObjectID two[2] = {};
    uint32_t size = 2 * sizeof(AudioObjectID) + 2; // arrays fill whole elements only
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &dev, 0, nullptr, &size, two), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(two[1], ids[1]);

    double rate = 0;
    size = 4; // a fixed-size value does not fit
    auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(ids[0], &nsrt, 0, nullptr, &size, &rate),
              kAudioHardwareBadPropertySizeError);
    size = sizeof rate;
    EXPECT_EQ(AudioObjectGetPropertyData(999, &nsrt, 0, nullptr, &size, &rate), kAudioHardwareBadObjectError);
    auto bogus = address(TD_FOURCC('z', 'z', 'z', 'z'));
    EXPECT_EQ(AudioObjectGetPropertyData(ids[0], &bogus, 0, nullptr, &size, &rate),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(AudioObjectHasProperty(ids[0], &bogus));
    EXPECT_TRUE(AudioObjectHasProperty(ids[0], &nsrt));
    auto slayGlobal = address(kAudioDevicePropertyStreamConfiguration);
    EXPECT_FALSE(AudioObjectHasProperty(ids[0], &slayGlobal));

    bool settable = false;
    auto uid = address(kAudioDevicePropertyDeviceUID);
    ASSERT_EQ(AudioObjectIsPropertySettable(ids[0], &uid, &settable), 0);
    EXPECT_FALSE(settable);
    PLRef text = PLStringCreate("x");
    EXPECT_EQ(AudioObjectSetPropertyData(ids[0], &uid, 0, nullptr, sizeof text, &text),
              kAudioHardwareIllegalOperationError);
    PLRelease(text);
}

TEST_F(AudioServerTest, BufferSizeAndRateWritesAreCheckedAgainstTheDevice) {
    AudioObjectID interface = server->deviceID("tandrel.sim.interface");
    auto fsiz = address(kAudioDevicePropertyBufferFrameSize);
    uint32_t frames = 16; // range 32...2048
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &fsiz, 0, nullptr, 4, &frames),
              kAudioHardwareIllegalOperationError);
    frames = 128;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &fsiz, 0, nullptr, 4, &frames), 0);
    uint32_t now = 0, size = 4;
    ASSERT_EQ(AudioObjectGetPropertyData(interface, &fsiz, 0, nullptr, &size, &now), 0);
    EXPECT_EQ(now, 128u);

    auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
    double rate = 12345;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &nsrt, 0, nullptr, 8, &rate),
              kAudioDeviceUnsupportedFormatError);
    rate = 96000;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &nsrt, 0, nullptr, 8, &rate), 0);
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &nsrt, 0, nullptr, 4, &rate),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(AudioServerTest, ListenersRunOnTheirQueueAfterTheChange) {
    auto queue = DispatchQueue::serial("test.listener");
    AudioObjectID mic = server->deviceID("tandrel.sim.microphone");
    auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
    std::promise<std::pair<bool, double>> seen;
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  mic, &nsrt, queue,
                  [&](uint32_t count, const AudioObjectPropertyAddress* addresses) {
                      double rate = 0;
                      uint32_t size = sizeof rate;
                      AudioObjectGetPropertyData(mic, &nsrt, 0, nullptr, &size, &rate);
                      bool right = count == 1 &&
                                   addresses[0].mSelector == kAudioDevicePropertyNominalSampleRate &&
                                   queue->isCurrent();
                      seen.set_value({right, rate});
                  },
                  &token),
              0);
    // The queue is held while the change happens, so the delivery cannot have run inline.
    std::promise<void> release;
    queue->async([f = release.get_future().share()] { f.wait(); });
    ASSERT_TRUE(server->setNominalSampleRate("tandrel.sim.microphone", 44100));
    release.set_value();
    auto result = seen.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto [right, rate] = result.get();
    EXPECT_TRUE(right);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &nsrt, token), 0);
}

TEST_F(AudioServerTest, ARemovedListenerIsNeverCalledEvenWithADeliveryQueued) {
    auto queue = DispatchQueue::serial("test.removal");
    auto all =
        AudioObjectPropertyAddress{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                                   kAudioObjectPropertyElementWildcard};
    std::atomic<int> calls{0};
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &all, queue,
                  [&](uint32_t, const AudioObjectPropertyAddress*) { calls.fetch_add(1); }, &token),
              0);
    std::promise<void> release;
    queue->async([f = release.get_future().share()] { f.wait(); });
    server->addProcess({.pid = 4321, .bundleID = "com.example.player", .runningOutput = false});
    EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &all, token), 0);
    release.set_value();
    server->removeProcess(4321);
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
    EXPECT_NE(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &all, token), 0);
}

TEST_F(AudioServerTest, DeviceHooksAnnounceTheDeviceListAndMoveDefaults) {
    auto queue = DispatchQueue::serial("test.devices");
    auto dev = address(kAudioHardwarePropertyDevices);
    std::atomic<int> announcements{0};
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &dev, queue,
                  [&](uint32_t, const AudioObjectPropertyAddress*) { announcements.fetch_add(1); }, &token),
              0);
    DeviceSpec line;
    line.uid = "test.line";
    line.inputStreams = {2};
    line.outputStreams = {2};
    AudioObjectID added = server->addDevice(line);
    EXPECT_EQ(devices().back(), added);
    EXPECT_THROW(server->addDevice(line), HardwareProfileError);

    AudioObjectID speakers = server->deviceID("tandrel.sim.speakers");
    ASSERT_TRUE(server->removeDevice("tandrel.sim.speakers"));
    double rate = 0;
    uint32_t size = sizeof rate;
    auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(speakers, &nsrt, 0, nullptr, &size, &rate),
              kAudioHardwareBadObjectError);
    AudioObjectID output = 0;
    size = sizeof output;
    auto dOut = address(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &dOut, 0, nullptr, &size, &output), 0);
    EXPECT_EQ(output, server->deviceID("tandrel.sim.interface")); // next device with outputs

    ASSERT_TRUE(server->setStreamLayout("test.line", kAudioObjectPropertyScopeOutput, {4, 4}));
    EXPECT_EQ(channels(added, kAudioObjectPropertyScopeOutput), 8u);
    ASSERT_TRUE(server->renameDevice("test.line", "Renamed"));
    EXPECT_EQ(readString(added, kAudioObjectPropertyName), "Renamed");

    queue->sync([] {});
    EXPECT_EQ(announcements.load(), 2);
}

// Once the last device of a kind has gone, the next one plugged in becomes the default, as on the real
// system; with a default in place, a new device leaves it alone.
TEST_F(AudioServerTest, ADevicePluggedInWhenNoneOfItsKindIsLeftBecomesTheDefault) {
    const auto defaultDevice = [](AudioObjectPropertySelector selector) {
        AudioObjectID device = 0;
        uint32_t size = sizeof device;
        auto a = address(selector);
        EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, &device), 0);
        return device;
    };
    for (const char* uid :
         {"tandrel.sim.speakers", "tandrel.sim.interface", "qorvix.tandrel.test.loopback"}) {
        ASSERT_TRUE(server->removeDevice(uid));
    }
    ASSERT_EQ(defaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice), kAudioObjectUnknown);

    DeviceSpec headset;
    headset.uid = "test.headset";
    headset.inputStreams = {1};
    headset.outputStreams = {2};
    const AudioObjectID added = server->addDevice(headset);
    EXPECT_EQ(defaultDevice(kAudioHardwarePropertyDefaultOutputDevice), added);
    EXPECT_EQ(defaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice), added);
    EXPECT_EQ(defaultDevice(kAudioHardwarePropertyDefaultInputDevice),
              server->deviceID("tandrel.sim.microphone"));
}

TEST_F(AudioServerTest, RefusedPropertiesFailOrAnswerNothing) {
    AudioObjectID mic = server->deviceID("tandrel.sim.microphone");
    server->refuseProperty(mic, kAudioDevicePropertyDeviceUID, kAudioHardwareUnspecifiedError);
    OSStatus status = 0;
    readString(mic, kAudioDevicePropertyDeviceUID, &status);
    EXPECT_EQ(status, kAudioHardwareUnspecifiedError);
    server->refuseProperty(mic, kAudioObjectPropertyName, 0, AudioServer::get);
    EXPECT_EQ(readString(mic, kAudioObjectPropertyName, &status), "<null>");
    EXPECT_EQ(status, 0);
    server->clearRefusals();
    EXPECT_EQ(readString(mic, kAudioObjectPropertyName), "Built-in Microphone");
}

TEST_F(AudioServerTest, ProcessObjectsAreFoundByPidAndAnnounceTheirOutput) {
    AudioObjectID process =
        server->addProcess({.pid = 777, .bundleID = "com.example.player", .runningOutput = false});
    EXPECT_EQ(server->addProcess({.pid = 777, .bundleID = "", .runningOutput = false}),
              AudioObjectID{kAudioObjectUnknown});
    auto id2p = address(kAudioHardwarePropertyTranslatePIDToProcessObject);
    int32_t pid = 777;
    AudioObjectID found = 0;
    uint32_t size = sizeof found;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &id2p, sizeof pid, &pid, &size, &found),
              0);
    EXPECT_EQ(found, process);
    pid = 1;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &id2p, sizeof pid, &pid, &size, &found),
              0);
    EXPECT_EQ(found, AudioObjectID{kAudioObjectUnknown});
    EXPECT_EQ(readString(process, kAudioProcessPropertyBundleID), "com.example.player");

    auto queue = DispatchQueue::serial("test.process");
    auto piro = address(kAudioProcessPropertyIsRunningOutput);
    std::promise<uint32_t> running;
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  process, &piro, queue,
                  [&](uint32_t, const AudioObjectPropertyAddress*) {
                      uint32_t value = 0, s = 4;
                      AudioObjectGetPropertyData(process, &piro, 0, nullptr, &s, &value);
                      running.set_value(value);
                  },
                  &token),
              0);
    ASSERT_TRUE(server->setProcessRunningOutput(777, true));
    EXPECT_EQ(running.get_future().get(), 1u);
}

TEST_F(AudioServerTest, StoppedServerAnswersNotRunningAndDeliversNothing) {
    auto queue = DispatchQueue::serial("test.stop");
    auto dev = address(kAudioHardwarePropertyDevices);
    std::atomic<int> calls{0};
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &dev, queue,
                  [&](uint32_t, const AudioObjectPropertyAddress*) { calls.fetch_add(1); }, &token),
              0);
    std::promise<void> release;
    queue->async([f = release.get_future().share()] { f.wait(); });
    DeviceSpec record;
    record.uid = "late";
    server->addDevice(record);
    AudioServer::stop();
    release.set_value();
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
    uint32_t size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &dev, 0, nullptr, &size),
              kAudioHardwareNotRunningError);
    EXPECT_EQ(server->getPropertyDataSize(kAudioObjectSystemObject, dev, 0, nullptr, &size),
              kAudioHardwareBadObjectError);
}

TEST(HardwareProfile, BadProfilesAreRejectedWithTheReason) {
    auto expectError = [](const char* text, const char* fragment) {
        try {
            HardwareProfile::fromJSON(nlohmann::json::parse(text));
            ADD_FAILURE() << "accepted " << text;
        } catch (const HardwareProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    };
    expectError(R"({})", "\"devices\"");
    expectError(R"({"devices":[{"name":"x"}]})", "uid");
    expectError(R"({"devices":[{"uid":"a"},{"uid":"a"}]})", "taken");
    expectError(R"({"devices":[{"uid":"a","inputStreams":[0]}]})", "inputStreams");
    expectError(R"({"devices":[{"uid":"a","sampleRate":"fast"}]})", "sampleRate");
    expectError(R"({"devices":[{"uid":"a","bufferFrameSize":8,"bufferFrameSizeRange":[16,64]}]})",
                "bufferFrameSize");
    expectError(R"({"devices":[{"uid":"a"}],"defaultOutput":"b"})", "\"b\"");

    auto p =
        HardwareProfile::fromJSON(nlohmann::json::parse(R"({"devices":[{"uid":"a","sampleRate":22050}]})"));
    EXPECT_EQ(p.devices[0].name, "a");
    EXPECT_NE(std::find(p.devices[0].sampleRates.begin(), p.devices[0].sampleRates.end(), 22050.0),
              p.devices[0].sampleRates.end());
}

// A value the emulated hardware cannot run, or an integer field given a number that is no whole number
// it can hold, is refused rather than wrapped, truncated or handed to the device's IO: the message names
// the file, the device or application, the field and the value. Records of the test hooks meet the same
// checks.
TEST(HardwareProfile, ValuesTheHardwareCannotRunAreRefusedNamingTheirFieldAndValue) {
    const auto device = [](const std::string& fields) {
        return R"({"devices":[{"uid":"dev","outputStreams":[2],)" + fields + "}]}";
    };
    const auto application = [](const std::string& fields) {
        return R"({"devices":[{"uid":"dev"}],"applications":[{"bundleID":"org.app",)" + fields + "}]}";
    };
    const auto many = [](const std::string& item, std::size_t count) {
        std::string list;
        for (std::size_t i = 0; i < count; ++i) {
            list += (i > 0 ? "," : "") + item;
        }
        return list;
    };
    struct Case {
        std::string profile;
        std::vector<std::string> named; // besides the file
    };
    const Case cases[] = {
        {device(R"("bufferFrameSize":1e10)"), {"device \"dev\"", "\"bufferFrameSize\"", "10000000000"}},
        {device(R"("bufferFrameSize":4294967808)"), {"device \"dev\"", "\"bufferFrameSize\"", "4294967808"}},
        {device(R"("bufferFrameSize":512.5)"), {"device \"dev\"", "\"bufferFrameSize\"", "512.5"}},
        {device(R"("bufferFrameSizeRange":[15,1e10])"), {"device \"dev\"", "\"bufferFrameSizeRange\""}},
        {device(R"("bufferFrameSizeRange":[-1,4096])"), {"device \"dev\"", "\"bufferFrameSizeRange\"", "-1"}},
        {device(R"("bufferFrameSizeRange":[15,40000])"),
         {"device \"dev\"", "\"bufferFrameSizeRange\"", "40000"}},
        {R"({"devices":[{"uid":"dev","outputStreams":[64],"bufferFrameSize":2000000000,
             "bufferFrameSizeRange":[15,2000000000]}]})",
         {"device \"dev\"", "2000000000"}},
        {R"({"devices":[{"uid":"dev","outputStreams":[2.9]}]})",
         {"device \"dev\"", "\"outputStreams\"", "2.9"}},
        {R"({"devices":[{"uid":"dev","inputStreams":[4294967298]}]})",
         {"device \"dev\"", "\"inputStreams\"", "4294967298"}},
        {R"({"devices":[{"uid":"dev","inputStreams":[256],"outputStreams":[257]}]})",
         {"device \"dev\"", "\"outputStreams\"", "513"}},
        {R"({"devices":[{"uid":"dev","inputStreams":[)" + many("1", 513) + "]}]}",
         {"device \"dev\"", "\"inputStreams\"", "513"}},
        {device(R"("sampleRate":48)"), {"device \"dev\"", "\"sampleRate\"", "48,"}},
        {device(R"("sampleRate":0.001)"), {"device \"dev\"", "\"sampleRate\"", "0.001"}},
        {device(R"("sampleRate":1e300)"), {"device \"dev\"", "\"sampleRate\"", "1e+300"}},
        {device(R"("sampleRate":800000)"), {"device \"dev\"", "\"sampleRate\"", "800000"}},
        {device(R"("sampleRates":[48000,4000])"), {"device \"dev\"", "\"sampleRates\"", "4000"}},
        {application(R"("pid":1e10)"), {"application \"org.app\"", "\"pid\"", "10000000000"}},
        {application(R"("pid":-3)"), {"application \"org.app\"", "\"pid\"", "-3"}},
        {application(R"("pid":4100.5)"), {"application \"org.app\"", "\"pid\"", "4100.5"}},
        {application(R"("responsiblePid":4294967296)"),
         {"application \"org.app\"", "\"responsiblePid\"", "4294967296"}},
        {R"({"devices":[)" + many(R"({"uid":"d"})", 257) + "]}", {"\"devices\"", "257"}},
        {R"({"devices":[],"applications":[)" + many(R"({"bundleID":"a"})", 1025) + "]}",
         {"\"applications\"", "1025"}},
        {R"({"devices":[{"uid":"dev"}],"defaultOutput":"gone"})", {"\"defaultOutput\"", "\"gone\""}},
    };
    for (const auto& [profile, named] : cases) {
        SCOPED_TRACE(profile.substr(0, 200));
        try {
            HardwareProfile::fromJSON(nlohmann::json::parse(profile), "/home/u/profile.json");
            ADD_FAILURE() << "accepted";
        } catch (const HardwareProfileError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with("/home/u/profile.json: ")) << message;
            for (const auto& text : named) {
                EXPECT_NE(message.find(text), std::string::npos) << text << " is not in: " << message;
            }
        }
    }

    // The test hooks' records: a device whose IO could not run, an application with a negative pid.
    DeviceSpec slow;
    slow.uid = "hooked";
    slow.sampleRate = 0.001;
    DeviceSpec wide = slow;
    wide.sampleRate = 48000;
    wide.outputStreams = {64};
    wide.bufferFrameSize = 2'000'000'000;
    wide.bufferFrameSizeMaximum = 2'000'000'000;
    ApplicationSpec app;
    app.bundleID = "org.hooked";
    app.pid = -1;
    for (const auto& check :
         std::vector<std::function<void()>>{[&] { slow.validate(); }, [&] { wide.validate(); },
                                            [&] {
                                                app.validate();
                                            }}) {
        EXPECT_THROW(check(), HardwareProfileError);
    }

    // The bounds themselves, and whole numbers written with a fraction, are accepted.
    auto edges = HardwareProfile::fromJSON(nlohmann::json::parse(
        R"({"devices":[{"uid":"low","sampleRate":8000,"bufferFrameSize":1,"bufferFrameSizeRange":[1,16384],
                        "inputStreams":[256],"outputStreams":[255,1.0]},
                       {"uid":"high","sampleRate":768000,"bufferFrameSize":16384.0,
                        "bufferFrameSizeRange":[1,16384]}],
            "applications":[{"bundleID":"org.app","pid":2147483647,"responsiblePid":1}]})"));
    EXPECT_EQ(edges.devices[0].outputStreams, (std::vector<uint32_t>{255, 1}));
    EXPECT_EQ(edges.devices[1].bufferFrameSize, 16384u);
    EXPECT_EQ(edges.applications[0].pid, 2147483647);
}

TEST(HardwareProfile, TheStateDirectoryProfileIsUsedWhenNoneIsGiven) {
    auto home = std::filesystem::temp_directory_path() / "tandrel-server-profile-test";
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home);
    std::ofstream(home / "profile.json") << R"({"devices":[{"uid":"only","outputStreams":[2]}]})";
    auto server = AudioServer::start({.profile = std::nullopt, .home = home});
    EXPECT_NE(server->deviceID("only"), AudioObjectID{kAudioObjectUnknown});
    EXPECT_EQ(server->deviceID("tandrel.sim.speakers"), AudioObjectID{kAudioObjectUnknown});
    AudioServer::stop();
    std::ofstream(home / "profile.json") << "{ not json";
    EXPECT_THROW(AudioServer::start({.profile = std::nullopt, .home = home}), HardwareProfileError);
    // A profile the hardware cannot run is refused in the same way, naming the file and the field.
    std::ofstream(home / "profile.json") << R"({"devices":[{"uid":"only","sampleRate":48}]})";
    try {
        AudioServer::start({.profile = std::nullopt, .home = home});
        ADD_FAILURE() << "started";
    } catch (const HardwareProfileError& e) {
        EXPECT_EQ(std::string(e.what()).find((home / "profile.json").string() +
                                             ": device \"only\": \"sampleRate\""),
                  0u)
            << e.what();
    }
    EXPECT_EQ(AudioServer::shared(), nullptr);
    std::filesystem::remove_all(home);
}

} // namespace
