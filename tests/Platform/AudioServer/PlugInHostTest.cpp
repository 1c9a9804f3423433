// The plug-in host with the real driver bundle of the build tree: loading, id mapping, the properties
// the server adds, notifications, IO through the driver, configuration changes and storage.
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/AudioServer/PlugInStorage.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "Support/DriverTestProcess.h"
#include "Support/Polling.h"
#include "Support/PropertyChangeRecorder.h"
#include "Support/PropertyReads.h"

namespace {

using namespace std::chrono_literals;

constexpr AudioObjectPropertySelector kVolume = TD_FOURCC('v', 'o', 'l', 'm');
constexpr AudioObjectPropertySelector kMute = TD_FOURCC('m', 'u', 't', 'e');
constexpr AudioObjectPropertySelector kLines = TD_FOURCC('l', 'n', 'e', 's');
constexpr const char* kChildVariable = "TANDREL_PLUGIN_HOST_TEST_CHILD";

using DriverTestProcess::driverBundle;
using Polling::waitFor;
using PropertyReads::at;
using PropertyReads::channels;
using PropertyReads::readIDs;

bool ranInChild() {
    return DriverTestProcess::ranInChild(kChildVariable);
}

template <typename T>
T read(AudioObjectID object, AudioObjectPropertyAddress address, OSStatus* outStatus = nullptr) {
    T value{};
    uint32_t size = sizeof value;
    OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
    if (outStatus) {
        *outStatus = status;
    } else {
        EXPECT_EQ(status, 0) << "reading " << std::hex << address.mSelector;
    }
    return value;
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    PLRef ref = read<PLRef>(object, at(selector));
    std::string text = PLGetType(ref) == PLTypeString ? PLStringGetUTF8(ref) : "";
    PLRelease(ref);
    return text;
}

AudioObjectID translate(AudioObjectPropertySelector selector, const char* text) {
    PLRef qualifier = PLStringCreate(text);
    AudioObjectID id = 0;
    uint32_t size = sizeof id;
    auto address = at(selector);
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof qualifier, &qualifier,
                                         &size, &id),
              0);
    PLRelease(qualifier);
    return id;
}

class PlugInHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << driverBundle();
        }
        home = std::filesystem::temp_directory_path() / ("plugin-host-" + std::to_string(getpid()));
        std::filesystem::remove_all(home);
    }
    void TearDown() override {
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }
    void startServer() {
        server = AudioServer::start({.profile = std::nullopt, .home = home, .plugIns = {{driverBundle()}}});
        plugIn = translate(kAudioHardwarePropertyTranslateBundleIDToPlugIn, "qorvix.tandrel.driver");
        line1 = translate(kAudioHardwarePropertyTranslateUIDToDevice, "qorvix.tandrel.device.line1");
        line2 = translate(kAudioHardwarePropertyTranslateUIDToDevice, "qorvix.tandrel.device.line2");
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    AudioObjectID plugIn = 0, line1 = 0, line2 = 0;
};

TEST_F(PlugInHost, DriverObjectsGetServerIdsAndEveryIdAnswerIsTranslated) {
    if (ranInChild()) {
        return;
    }
    startServer();
    ASSERT_NE(plugIn, 0u);
    EXPECT_NE(plugIn, AudioObjectID{kAudioObjectSystemObject}); // the driver calls itself 1
    ASSERT_NE(line1, 0u);
    ASSERT_NE(line2, 0u);
    EXPECT_EQ(read<AudioClassID>(plugIn, at(kAudioObjectPropertyClass)), AudioClassID{kAudioPlugInClassID});
    EXPECT_EQ(read<AudioObjectID>(plugIn, at(kAudioObjectPropertyOwner)),
              AudioObjectID{kAudioObjectSystemObject});

    const auto system = readIDs(kAudioObjectSystemObject, at(kAudioHardwarePropertyDevices));
    EXPECT_EQ(std::count(system.begin(), system.end(), line1), 1);
    EXPECT_EQ(std::count(system.begin(), system.end(), line2), 1);
    EXPECT_EQ(readIDs(plugIn, at(kAudioHardwarePropertyDevices)), (std::vector<AudioObjectID>{line1, line2}));
    EXPECT_EQ(read<AudioObjectID>(line1, at(kAudioObjectPropertyOwner)), plugIn);
    EXPECT_EQ(readIDs(line1, at(TD_FOURCC('a', 'k', 'i', 'n'))), std::vector<AudioObjectID>{line1});

    const auto inputs = readIDs(line1, at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    const auto controls = readIDs(line1, at(TD_FOURCC('c', 't', 'r', 'l')));
    ASSERT_EQ(inputs.size(), 1u);
    ASSERT_EQ(controls.size(), 2u);
    for (AudioObjectID object : {inputs[0], controls[0], controls[1]}) {
        EXPECT_EQ(read<AudioObjectID>(object, at(kAudioObjectPropertyOwner)), line1);
    }
    EXPECT_EQ(read<uint32_t>(inputs[0], at(kAudioStreamPropertyDirection)), 1u);
    EXPECT_EQ(readString(line2, kAudioObjectPropertyName), "Line 2");
}

TEST_F(PlugInHost, ServerAddsLayoutBufferSizeAndOutputVolumeToDriverDevices) {
    if (ranInChild()) {
        return;
    }
    startServer();
    EXPECT_EQ(channels(line1, kAudioObjectPropertyScopeInput), 2u);
    EXPECT_EQ(channels(line2, kAudioObjectPropertyScopeOutput), 64u);
    auto global = at(kAudioDevicePropertyStreamConfiguration);
    EXPECT_FALSE(AudioObjectHasProperty(line1, &global));

    EXPECT_EQ(read<uint32_t>(line1, at(kAudioDevicePropertyBufferFrameSize)), 512u);
    bool settable = false;
    auto frameSize = at(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(AudioObjectIsPropertySettable(line1, &frameSize, &settable), 0);
    EXPECT_TRUE(settable);
    uint32_t tooLarge = 100000;
    EXPECT_NE(AudioObjectSetPropertyData(line1, &frameSize, 0, nullptr, 4, &tooLarge), 0);
    auto range = read<AudioValueRange>(line1, at(kAudioDevicePropertyBufferFrameSizeRange));
    EXPECT_LT(range.mMinimum, range.mMaximum);

    PropertyChangeRecorder heard;
    heard.listen(line1, at(kVolume, kAudioObjectPropertyScopeOutput));
    heard.listen(line1, at(kMute, kAudioObjectPropertyScopeOutput));
    auto volume = at(kVolume, kAudioObjectPropertyScopeOutput);
    auto mute = at(kMute, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(AudioObjectIsPropertySettable(line1, &volume, &settable), 0);
    EXPECT_TRUE(settable);
    float half = 0.5f;
    uint32_t on = 1;
    ASSERT_EQ(AudioObjectSetPropertyData(line1, &volume, 0, nullptr, 4, &half), 0);
    ASSERT_EQ(AudioObjectSetPropertyData(line1, &mute, 0, nullptr, 4, &on), 0);
    EXPECT_FLOAT_EQ(read<float>(line1, volume), 0.5f);
    EXPECT_EQ(read<uint32_t>(line1, mute), 1u);
    EXPECT_TRUE(heard.saw(line1, kVolume, kAudioObjectPropertyScopeOutput));
    EXPECT_TRUE(heard.saw(line1, kMute, kAudioObjectPropertyScopeOutput));
    // The driver stores volumes a second later; its timer must not fire while the process exits.
    EXPECT_TRUE(waitFor([&] {
        std::ifstream file(home / "PlugInStorage" / "qorvix.tandrel.driver.json");
        return std::string(std::istreambuf_iterator<char>(file), {}).find("volumes") != std::string::npos;
    }));

    // Only the main element of the output scope has them.
    for (auto absent :
         {at(kVolume, kAudioObjectPropertyScopeOutput, 1), at(kVolume, kAudioObjectPropertyScopeInput),
          at(kMute, kAudioObjectPropertyScopeOutput, 2)}) {
        EXPECT_FALSE(AudioObjectHasProperty(line1, &absent));
    }
}

// Fills each frame of the proc's output with `value`, and records the first input channel.
struct LoopProcs {
    std::atomic<float> heard{0};
    std::atomic<int> cycles{0};
    AudioDeviceIOProcID player = nullptr, listener = nullptr;

    void install(AudioObjectID device, float value) {
        ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                      &player, device, nullptr,
                      [value](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                              AudioBufferList* out, const AudioTimeStamp*) {
                          auto* samples = static_cast<float*>(out->mBuffers[0].mData);
                          std::fill_n(samples, out->mBuffers[0].mDataByteSize / 4, value);
                      }),
                  0);
        ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                      &listener, device, nullptr,
                      [this](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                             AudioBufferList*, const AudioTimeStamp*) {
                          heard.store(static_cast<const float*>(in->mBuffers[0].mData)[0]);
                          cycles.fetch_add(1);
                      }),
                  0);
        ASSERT_EQ(AudioDeviceStart(device, player), 0);
        ASSERT_EQ(AudioDeviceStart(device, listener), 0);
    }
};

TEST_F(PlugInHost, IOCyclesLoopOneProcsOutputToAnothersInputAndSurviveARateChange) {
    if (ranInChild()) {
        return;
    }
    startServer();
    LoopProcs procs;
    procs.install(line1, 0.25f);
    EXPECT_TRUE(waitFor([&] { return procs.heard.load() == 0.25f; }));

    PropertyChangeRecorder heard;
    heard.listen(line1, at(kAudioDevicePropertyNominalSampleRate));
    double rate = 96000;
    auto nominal = at(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectSetPropertyData(line1, &nominal, 0, nullptr, sizeof rate, &rate), 0);
    EXPECT_TRUE(heard.saw(line1, kAudioDevicePropertyNominalSampleRate));
    EXPECT_EQ(read<double>(line1, nominal), 96000.0);

    procs.heard.store(0);
    const int before = procs.cycles.load();
    EXPECT_TRUE(waitFor([&] { return procs.cycles.load() > before + 10 && procs.heard.load() == 0.25f; }));
    EXPECT_EQ(AudioDeviceDestroyIOProcID(line1, procs.player), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(line1, procs.listener), 0);
}

TEST_F(PlugInHost, LineListChangesReachListenersAndSurviveARestart) {
    if (ranInChild()) {
        return;
    }
    startServer();
    PropertyChangeRecorder heard;
    heard.listen(kAudioObjectSystemObject, at(kAudioHardwarePropertyDevices));
    const char* keys[] = {"number", "channels", "name"};
    PLRef values[] = {PLNumberCreateInt64(7), PLNumberCreateInt64(4), PLStringCreate("Seven")};
    PLRef entry = PLDictionaryCreate(keys, values, 3);
    PLRef list = PLArrayCreate(&entry, 1);
    auto lines = at(kLines);
    ASSERT_EQ(AudioObjectSetPropertyData(plugIn, &lines, 0, nullptr, sizeof list, &list), 0);
    for (PLRef v : {values[0], values[1], values[2], entry, list}) {
        PLRelease(v);
    }
    EXPECT_TRUE(heard.saw(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    EXPECT_TRUE(waitFor([&] {
        return translate(kAudioHardwarePropertyTranslateUIDToDevice, "qorvix.tandrel.device.line7") != 0;
    }));
    EXPECT_EQ(translate(kAudioHardwarePropertyTranslateUIDToDevice, "qorvix.tandrel.device.line1"), 0u);

    // The driver saves a second after the change; a new server reads the same storage.
    const auto storage = home / "PlugInStorage" / "qorvix.tandrel.driver.json";
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(storage); }));
    AudioServer::stop();
    startServer();
    const AudioObjectID line7 =
        translate(kAudioHardwarePropertyTranslateUIDToDevice, "qorvix.tandrel.device.line7");
    ASSERT_NE(line7, 0u);
    EXPECT_EQ(readString(line7, kAudioObjectPropertyName), "Seven");
    EXPECT_EQ(channels(line7, kAudioObjectPropertyScopeOutput), 4u);
}

TEST_F(PlugInHost, BundlesThatCannotLoadAreSkippedAndMissingFoldersLoadNothing) {
    if (ranInChild()) {
        return;
    }
    const auto folder = home / "PlugIns";
    std::filesystem::create_directories(folder / "Broken.driver" / "Contents");
    std::ofstream(folder / "Broken.driver" / "Contents" / "Info.json") << "{ not json";
    std::filesystem::create_directories(folder / "NoLibrary.driver" / "Contents");
    std::ofstream(folder / "NoLibrary.driver" / "Contents" / "Info.json")
        << R"({"CFBundleIdentifier": "x.y", "CFBundleExecutable": "none.so"})";
    server = AudioServer::start({.profile = std::nullopt, .home = home});
    EXPECT_EQ(translate(kAudioHardwarePropertyTranslateBundleIDToPlugIn, "x.y"), 0u);
    EXPECT_EQ(readIDs(kAudioObjectSystemObject, at(kAudioHardwarePropertyPlugInList)).size(), 0u);

    server = AudioServer::start({.profile = std::nullopt, .home = home, .plugIns = {{home / "absent"}}});
    EXPECT_EQ(readIDs(kAudioObjectSystemObject, at(kAudioHardwarePropertyPlugInList)).size(), 0u);
}

// ---- Storage ----

TEST(PlugInStorage, ValuesKeepTheirTypesAcrossTheFile) {
    const auto file =
        std::filesystem::temp_directory_path() / ("storage-" + std::to_string(getpid())) / "p.json";
    std::filesystem::remove_all(file.parent_path());
    const unsigned char bytes[] = {0, 1, 2, 250, 251};
    const char* keys[] = {"z", "a", "data", "flag", "nan"};
    PLRef items[] = {PLNumberCreateInt64(2), PLNumberCreateFloat64(2.0), PLDataCreate(bytes, sizeof bytes),
                     PLBooleanCreate(true), PLNumberCreateFloat64(std::nan(""))};
    PLRef dictionary = PLDictionaryCreate(keys, items, 5);
    PLRef text = PLStringCreateWithBytes("a\0b", 3);
    PLRef array[] = {dictionary, text};
    PLRef value = PLArrayCreate(array, 2);
    {
        PlugInStorage storage(file);
        ASSERT_TRUE(storage.write("k", value));
    }
    PlugInStorage reopened(file);
    PLRef back = reopened.copy("k");
    ASSERT_EQ(PLGetType(back), PLTypeArray);
    PLRef d = PLArrayGetValueAtIndex(back, 0);
    EXPECT_STREQ(PLDictionaryGetKeyAtIndex(d, 0), "z"); // creation order, not sorted
    EXPECT_FALSE(PLNumberIsFloat(PLDictionaryGetValue(d, "z")));
    EXPECT_TRUE(PLNumberIsFloat(PLDictionaryGetValue(d, "a")));
    ASSERT_EQ(PLDataGetLength(PLDictionaryGetValue(d, "data")), sizeof bytes);
    EXPECT_EQ(std::memcmp(PLDataGetBytes(PLDictionaryGetValue(d, "data")), bytes, sizeof bytes), 0);
    EXPECT_TRUE(PLBooleanGetValue(PLDictionaryGetValue(d, "flag")));
    double nan = 0;
    EXPECT_TRUE(PLNumberGetFloat64(PLDictionaryGetValue(d, "nan"), &nan) && std::isnan(nan));
    EXPECT_EQ(PLStringGetLength(PLArrayGetValueAtIndex(back, 1)), 3u);
    EXPECT_EQ(reopened.copy("missing"), nullptr);
    for (PLRef r : {items[0], items[1], items[2], items[3], items[4], dictionary, text, value, back}) {
        PLRelease(r);
    }
    std::filesystem::remove_all(file.parent_path());
}

// A stored file nested deeper than any value can be is set aside like any unreadable file, both when
// the JSON itself is absurdly deep and when it is a well-formed value one level too deep.
TEST(PlugInStorage, AFileNestedTooDeeplyIsSetAsideAndTheStorageStartsEmpty) {
    const auto dir = std::filesystem::temp_directory_path() / ("storage-deep-" + std::to_string(getpid()));
    const auto typedChain = [](size_t depth) {
        std::string text = "{\"integer\": 1}";
        for (size_t level = 1; level < depth; ++level) {
            text = "{\"array\": [" + text + "]}";
        }
        return text;
    };
    const std::pair<const char*, std::string> files[] = {
        {"100000 levels of JSON", "{\"lines\": " + std::string(100000, '[') + std::string(100000, ']') + "}"},
        {"one level too deep", "{\"lines\": " + typedChain(PL_MAX_DEPTH + 1) + "}"},
    };
    for (const auto& [label, contents] : files) {
        SCOPED_TRACE(label);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "p.json") << contents;
        PlugInStorage storage(dir / "p.json");
        EXPECT_EQ(storage.copy("lines"), nullptr);
        EXPECT_TRUE(std::filesystem::exists(dir / "p.json.unreadable"));
        EXPECT_FALSE(std::filesystem::exists(dir / "p.json"));
    }

    // As deep as a value may be, it is kept and read back whole.
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "p.json") << "{\"lines\": " + typedChain(PL_MAX_DEPTH) + "}";
    PlugInStorage storage(dir / "p.json");
    PLRef back = storage.copy("lines");
    EXPECT_EQ(PLGetDepth(back), size_t(PL_MAX_DEPTH));
    EXPECT_TRUE(storage.write("again", back));
    PLRelease(back);
    EXPECT_FALSE(std::filesystem::exists(dir / "p.json.unreadable"));
    std::filesystem::remove_all(dir);
}

// The typed form is refused past the nesting a value may have by fromJSON itself, whoever calls it: a
// hundred thousand levels are turned down without recursing to the bottom, arrays and dictionaries alike,
// and toJSON writes the deepest value there may be.
TEST(PlugInStorage, TypedValuesNestedDeeperThanAValueMayBeAreRefusedWithoutRecursingToTheBottom) {
    using Json = nlohmann::ordered_json;
    const auto chain = [](const char* container, size_t depth) {
        Json value = {{"integer", 1}};
        for (size_t level = 1; level < depth; ++level) {
            Json items = Json::array();
            if (std::string(container) == "array") {
                items.push_back(std::move(value));
            } else {
                Json entry = Json::array();
                entry.push_back("k");
                entry.push_back(std::move(value));
                items.push_back(std::move(entry));
            }
            value = Json::object();
            value[container] = std::move(items);
        }
        return value;
    };
    for (const char* container : {"array", "dictionary"}) {
        SCOPED_TRACE(container);
        EXPECT_EQ(PlugInStorage::fromJSON(chain(container, 100000)), nullptr);
        EXPECT_EQ(PlugInStorage::fromJSON(chain(container, PL_MAX_DEPTH + 1)), nullptr);
        PLRef deepest = PlugInStorage::fromJSON(chain(container, PL_MAX_DEPTH));
        ASSERT_NE(deepest, nullptr);
        EXPECT_EQ(PLGetDepth(deepest), size_t(PL_MAX_DEPTH));
        EXPECT_EQ(PlugInStorage::toJSON(deepest), chain(container, PL_MAX_DEPTH));
        PLRelease(deepest);
    }
}

// Writing never throws across the plug-in's C callback: a file that cannot be written is a plain
// failure, and the values stored before stay readable.
TEST(PlugInStorage, AWriteThatCannotBeMadeFailsWithoutThrowingAndKeepsWhatWasStored) {
    const auto dir = std::filesystem::temp_directory_path() / ("storage-fail-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    PlugInStorage storage(dir / "p.json");
    PLRef one = PLNumberCreateInt64(1);
    ASSERT_TRUE(storage.write("kept", one));
    // A directory where the temporary file would go.
    std::filesystem::create_directories(dir / "p.json.tmp");
    EXPECT_FALSE(storage.write("lost", one));
    EXPECT_EQ(storage.copy("lost"), nullptr);
    PLRef kept = storage.copy("kept");
    EXPECT_TRUE(PLEqual(kept, one));
    EXPECT_FALSE(storage.write("null", nullptr));
    PLRelease(kept);
    PLRelease(one);
    std::filesystem::remove_all(dir);
}

TEST(PlugInStorage, AnUnreadableFileIsSetAsideNotOverwritten) {
    const auto dir = std::filesystem::temp_directory_path() / ("storage-bad-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "p.json") << "{\"lines\": {\"array\": [";
    PlugInStorage storage(dir / "p.json");
    EXPECT_EQ(storage.copy("lines"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir / "p.json.unreadable"));
    PLRef one = PLNumberCreateInt64(1);
    EXPECT_TRUE(storage.write("x", one));
    PLRelease(one);
    std::filesystem::remove_all(dir);
}

} // namespace
