#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioProcess.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"

#include <filesystem>
#include <string>

#include <unistd.h>
#include <unordered_set>

#include <gtest/gtest.h>

namespace {

class AudioDeviceCatalogTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-catalog-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({
          "devices": [
            { "uid": "qorvix.tandrel.device.line10", "name": "Line 10", "inputStreams": [2], "outputStreams": [2] },
            { "uid": "speakers", "name": "Speakers", "sampleRate": 44100, "outputStreams": [2],
              "bufferFrameSizeRange": [128, 4096] },
            { "uid": "qorvix.tandrel.tap.0001", "name": "Corvane Tap", "inputStreams": [2] },
            { "uid": "interface", "name": "Interface", "inputStreams": [2, 6], "outputStreams": [8] },
            { "uid": "qorvix.tandrel.device.line2", "name": "Line 2", "outputStreams": [2] },
            { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "outputStreams": [2] }
          ]})"),
                                     .home = home});
    }
    void TearDown() override {
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }
    std::vector<std::string> uids(const std::vector<AudioDeviceInfo>& devices) {
        std::vector<std::string> out;
        for (const auto& d : devices) {
            out.push_back(d.uid);
        }
        return out;
    }
    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(AudioDeviceCatalogTest, ListsDevicesInServerOrderWithChannelsSummedOverStreams) {
    auto devices = AudioDeviceCatalog::all();
    ASSERT_EQ(devices.size(), 6u);
    EXPECT_EQ(devices[0].uid, "qorvix.tandrel.device.line10");
    const auto& interface = devices[3];
    EXPECT_EQ(interface.id, server->deviceID("interface"));
    EXPECT_EQ(interface.name, "Interface");
    EXPECT_EQ(interface.inputChannels, 8u);
    EXPECT_EQ(interface.outputChannels, 8u);
    EXPECT_EQ(devices[1].inputChannels, 0u);
    EXPECT_EQ(devices[1].sampleRate, 44100);
    EXPECT_EQ(AudioDeviceCatalog::device("speakers")->name, "Speakers");
    EXPECT_FALSE(AudioDeviceCatalog::device("absent").has_value());
}

TEST_F(AudioDeviceCatalogTest, SkipsDevicesWithoutAUIDAndFallsBackForTheRest) {
    AudioObjectID speakers = server->deviceID("speakers");
    AudioObjectID interface = server->deviceID("interface");
    AudioObjectID line1 = server->deviceID("qorvix.tandrel.device.line1");
    server->refuseProperty(speakers, kAudioDevicePropertyDeviceUID, kAudioHardwareUnspecifiedError);
    server->refuseProperty(line1, kAudioDevicePropertyDeviceUID, 0); // answers without a string
    server->refuseProperty(interface, kAudioObjectPropertyName, kAudioHardwareUnspecifiedError);
    server->refuseProperty(interface, kAudioDevicePropertyNominalSampleRate, kAudio_ParamError);
    server->refuseProperty(interface, kAudioDevicePropertyStreamConfiguration,
                           kAudioHardwareUnspecifiedError);
    auto devices = AudioDeviceCatalog::all();
    EXPECT_EQ(uids(devices),
              (std::vector<std::string>{"qorvix.tandrel.device.line10", "qorvix.tandrel.tap.0001",
                                        "interface", "qorvix.tandrel.device.line2"}));
    EXPECT_EQ(devices[2].name, "interface");
    EXPECT_EQ(devices[2].sampleRate, 0);
    EXPECT_EQ(devices[2].inputChannels, 0u);

    server->refuseProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                           kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(AudioDeviceCatalog::all().empty());
}

TEST_F(AudioDeviceCatalogTest, LinesAreOrderedByNumberAndOtherDevicesLeftOut) {
    EXPECT_EQ(uids(AudioDeviceCatalog::tandrelLines()),
              (std::vector<std::string>{"qorvix.tandrel.device.line1", "qorvix.tandrel.device.line2",
                                        "qorvix.tandrel.device.line10"}));
}

TEST_F(AudioDeviceCatalogTest, BufferSizesAreClampedToTheDeviceRange) {
    AudioObjectID speakers = server->deviceID("speakers");
    EXPECT_EQ(AudioDeviceCatalog::setBufferFrameSize(speakers, 64), 128u);
    EXPECT_EQ(AudioDeviceCatalog::setBufferFrameSize(speakers, 100000), 4096u);
    EXPECT_EQ(AudioDeviceCatalog::setBufferFrameSize(speakers, 256), 256u);
    // Without a readable range the size goes unclamped; the device refuses it and keeps its own.
    server->refuseProperty(speakers, kAudioDevicePropertyBufferFrameSizeRange,
                           kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioDeviceCatalog::setBufferFrameSize(speakers, 64), 256u);
    // Nothing readable back: the size that was asked for.
    server->refuseProperty(speakers, kAudioDevicePropertyBufferFrameSize, kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioDeviceCatalog::setBufferFrameSize(speakers, 300), 300u);
}

TEST_F(AudioDeviceCatalogTest, ReadersNameThePropertyInTheirErrors) {
    AudioObjectID speakers = server->deviceID("speakers");
    auto description = [](auto&& read) {
        try {
            read();
        } catch (const CoreAudioError& e) {
            return e.localizedDescription();
        }
        return std::string("no error");
    };
    server->refuseProperty(speakers, kAudioDevicePropertyNominalSampleRate, kAudio_ParamError);
    EXPECT_EQ(description([&] {
                  CoreAudioProperty::read<double>(speakers, kAudioDevicePropertyNominalSampleRate, 0.0);
              }),
              "プロパティ取得 'nsrt' に失敗しました (OSStatus -50)");
    server->refuseProperty(speakers, kAudioObjectPropertyName, 0);
    EXPECT_EQ(description([&] { CoreAudioProperty::readString(speakers, kAudioObjectPropertyName); }),
              "文字列取得 'lnam' に失敗しました (OSStatus 0)");
    server->refuseProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudio_ParamError,
                           AudioServer::getSize);
    EXPECT_EQ(description([&] {
                  CoreAudioProperty::readArray(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
              }),
              "プロパティサイズ取得 'dev#' に失敗しました (OSStatus -50)");
    server->refuseProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudio_ParamError,
                           AudioServer::get);
    EXPECT_EQ(description([&] {
                  CoreAudioProperty::readArray(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
              }),
              "プロパティ取得 'dev#' に失敗しました (OSStatus -50)");
}

TEST_F(AudioDeviceCatalogTest, ProcessesAreListedWithFallbacksAndFoundByPid) {
    AudioObjectID player =
        server->addProcess({.pid = 501, .bundleID = "com.example.player", .runningOutput = true});
    AudioObjectID silent =
        server->addProcess({.pid = 502, .bundleID = "com.example.silent", .runningOutput = false});
    AudioObjectID broken =
        server->addProcess({.pid = 503, .bundleID = "com.example.broken", .runningOutput = false});
    server->refuseProperty(silent, kAudioProcessPropertyBundleID, kAudioHardwareUnspecifiedError);
    server->refuseProperty(broken, kAudioProcessPropertyPID, kAudioHardwareUnspecifiedError);
    auto processes = CoreAudioProcess::all();
    ASSERT_EQ(processes.size(), 2u);
    EXPECT_EQ(processes[0], (CoreAudioProcess{player, 501, "com.example.player"}));
    EXPECT_EQ(processes[1], (CoreAudioProcess{silent, 502, ""}));
    EXPECT_EQ(CoreAudioProcess::objectIDForPID(501), player);
    EXPECT_EQ(CoreAudioProcess::objectIDForPID(9999), std::nullopt);
}

TEST(FourCC, ReadsPrintableCodesAndFallsBackToDecimal) {
    EXPECT_EQ(fourCC(TD_FOURCC('l', 'n', 'e', 's')), "lnes");
    EXPECT_EQ(fourCC(TD_FOURCC('u', 'i', 'd', ' ')), "uid ");
    EXPECT_EQ(fourCC(0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(fourCC(0x80000000u), "2147483648");
}

TEST(AudioDeviceCatalogOrder, ComparesDigitRunsByValueAndIgnoresCase) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"line2", "line10", -1}, {"Line2", "line2", 0}, {"line02", "line2", 0}, {"line", "line1", -1},
        {"a9b", "a10a", -1},     {"abc", "ABD", -1},    {"x100", "x99", 1},     {"", "", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioDeviceCatalog::compareNaturally(c.a, c.b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(AudioDeviceCatalog::compareNaturally(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
    }
}

TEST(AudioDeviceInfo, EqualityAndHashingCoverEveryField) {
    AudioDeviceInfo a{7, "uid", "Name", 2, 2, 0.0};
    AudioDeviceInfo negativeZero = a;
    negativeZero.sampleRate = -0.0;
    EXPECT_EQ(a, negativeZero);
    EXPECT_EQ(std::hash<AudioDeviceInfo>{}(a), std::hash<AudioDeviceInfo>{}(negativeZero));
    AudioDeviceInfo renamed = a;
    renamed.name = "Other";
    EXPECT_NE(a, renamed);
    std::unordered_set<AudioDeviceInfo> set{a, renamed, negativeZero};
    EXPECT_EQ(set.size(), 2u);
}

} // namespace
