// A churn soak of the routing controller against the emulated server with the real driver: from a fixed
// seed it changes the world at random, the way a long day at the desk does (devices plugged and
// unplugged, applications started, quit and paused, lines added, renamed and resized, rates, buffer
// sizes, layouts, levels, connections, sources, monitors, capture method and latency), and after each
// round it puts a few canary routes back and checks that their tones arrive, that routing.json holds the
// configuration, and that memory, threads and descriptors do not grow from round to round.
//
// TANDREL_SOAK_MINUTES (default 1.25) and TANDREL_SOAK_SEED (default 4, whose sequence soon quits and
// restarts the Tone Player under screen capture) choose the length and the sequence; every change is
// printed with its round and time, so a failing run can be read back.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/AudioServer/IOClock.h"
#include "Platform/Workspace/Workspace.h"
#include "Support/DriverTestProcess.h"
#include "Support/EmulatedServerRun.h"
#include "Support/TemporaryXdgHome.h"
#include "Support/ToneProbe.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerTestAccess.h"
#include "TandrelApp/Support/HeapSettings.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Status = RoutingController::SourceStatus;
using Access = RoutingControllerTestAccess;

constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";
constexpr const char* kSpeakers = "soak.speakers";
constexpr const char* kMicrophone = "soak.microphone";
// A device that plays its output back into its input, chosen as a monitor: what a line sends to the
// monitor is heard there.
constexpr const char* kMonitor = "soak.monitor";
constexpr const char* kTonePlayer = "org.example.toneplayer";
constexpr const char* kMusicBox = "org.example.musicbox";

double environmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    try {
        return std::stod(text);
    } catch (const std::exception&) {
        ADD_FAILURE() << name << " is not a number: " << text;
        return fallback;
    }
}

DeviceSpec deviceSpec(std::string uid, std::string name, std::vector<uint32_t> inputs,
                      std::vector<uint32_t> outputs, InputSignal signal = {}) {
    DeviceSpec device;
    device.uid = std::move(uid);
    device.name = std::move(name);
    device.sampleRates = {44100, 48000, 96000};
    device.inputStreams = std::move(inputs);
    device.outputStreams = std::move(outputs);
    device.inputSignal = std::move(signal);
    return device;
}

ApplicationSpec applicationSpec(std::string bundleID, std::string name, std::optional<double> frequency,
                                double level = -20) {
    ApplicationSpec application;
    application.bundleID = std::move(bundleID);
    application.name = std::move(name);
    if (frequency) {
        application.signal = InputSignal::sine(*frequency, level);
    }
    return application;
}

// The devices the canaries need, as plugged in at the start.
const std::vector<DeviceSpec>& canaryDevices() {
    static const std::vector<DeviceSpec> devices{
        deviceSpec(kSpeakers, "Speakers", {}, {2}),
        deviceSpec(kMicrophone, "Microphone", {1}, {}, InputSignal::sine(330, -30)),
        deviceSpec(kMonitor, "Monitor Loopback", {2}, {2}, InputSignal::loopback())};
    return devices;
}

// Devices that come and go.
const std::vector<DeviceSpec>& extraDevices() {
    static const std::vector<DeviceSpec> devices{
        deviceSpec("soak.usb.headset", "USB Headset", {1}, {2}, InputSignal::sine(440, -30)),
        deviceSpec("soak.hdmi", "HDMI Display", {}, {8}),
        deviceSpec("soak.interface", "Field Interface", {2, 2}, {4}, InputSignal::sine(620, -24))};
    return devices;
}

// The Tone Player (1 kHz at -20 dBFS) and the Music Box (523.25 Hz at -18 dBFS) are the canaries' tones.
const std::vector<ApplicationSpec>& applications() {
    static const std::vector<ApplicationSpec> apps{
        applicationSpec(kTonePlayer, "Tone Player", 1000),
        applicationSpec(kMusicBox, "Music Box", 523.25, -18),
        applicationSpec("org.example.notes", "Notes", std::nullopt),
        applicationSpec("org.example.podcast", "Podcast", 700, -24),
        applicationSpec("org.example.videocall", "Video Call", 880, -26)};
    return apps;
}

// A route that must carry its tone after every round, and where it is heard.
struct Canary {
    const char* name;
    const char* deviceUID;
    uint32_t channel;
    double frequency;
    double threshold; // a third of the tone's amplitude
};

const std::vector<Canary> canaries{
    {"Tone Player → Line 1", kLine1, 0, 1000, 0.033},
    {"Microphone → Line 2 ch1-2", kLine2, 0, 330, 0.0105},
    {"System audio → Line 2 ch5-6", kLine2, 4, 523.25, 0.042},
    {"Line 1 → Monitor", kMonitor, 0, 1000, 0.033},
};

// What the process holds, without the IO clock's thread, which lives while any device runs.
struct Footprint {
    long rssMB = 0;
    long heapMB = 0; // allocated and not freed, whatever the allocator keeps from the system
    long threads = 0;
    long fds = 0;
};

long entries(const char* folder) {
    long count = 0;
    if (DIR* dir = opendir(folder)) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

Footprint footprint() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    const struct mallinfo2 heap = mallinfo2();
    return {resident * sysconf(_SC_PAGESIZE) / (1024 * 1024), long((heap.uordblks + heap.hblkhd) >> 20),
            entries("/proc/self/task") - static_cast<long>(IOClock::threadCount()), entries("/proc/self/fd")};
}

// Ends the process when the run outlives its time by far: a hang must fail, not stall the CI.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                std::cerr << "churn soak: no end after " << limit.count() << " s, giving up\n";
                std::abort();
            }
        }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

class ChurnSoak : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << DriverTestProcess::driverBundle();
        }
        emulated = std::make_unique<EmulatedServerRun>("soak", R"({"devices": []})",
                                                       std::vector{DriverTestProcess::driverBundle()});
        server = emulated->server;
        for (const auto& device : canaryDevices()) {
            server->addDevice(device);
        }
        for (const auto& app : applications()) {
            server->addApplication(app);
        }
        writeLines({{1, 2, "Line 1"}, {2, 8, "Line 2"}});
        controller = RoutingController::create({}, true, true);
    }

    // The controller goes first, then the server with everything that plays audio.
    void TearDown() override {
        controller.reset();
        server.reset();
        emulated.reset();
    }

    // ---- Reading and writing the world

    void log(const std::string& text) const {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::cout << "[round " << round << " +" << std::fixed << std::setprecision(1) << seconds << " s] "
                  << text << std::endl;
    }

    template <class T>
    const T& pick(const std::vector<T>& items) {
        return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(rng)];
    }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng); }

    std::vector<LineSpec> readLines() {
        return CoreAudioCall::sync([] { return LineConfigurator::read(); });
    }
    void writeLines(std::vector<LineSpec> lines) {
        try {
            CoreAudioCall::sync([&lines] { LineConfigurator::write(lines); });
        } catch (const std::exception& error) {
            log(std::string("line list refused: ") + error.what());
        }
    }
    std::vector<AudioDeviceInfo> devices() {
        return CoreAudioCall::sync([] { return AudioDeviceCatalog::all(); });
    }
    std::optional<AudioDeviceInfo> device(const std::string& uid) {
        for (auto& info : devices()) {
            if (info.uid == uid) {
                return info;
            }
        }
        return std::nullopt;
    }
    std::vector<RunningApplication> running(const std::string& bundleID) const {
        return Workspace::shared().runningApplications(bundleID);
    }
    bool isPlaying(int pid) const {
        for (const auto& app : server->applications()) {
            if (app.pid == pid) {
                return app.signal.kind == InputSignal::Kind::sine;
            }
        }
        return false;
    }
    void edit(const std::function<void(RoutingConfig&)>& change) {
        RoutingConfig next = controller->config();
        change(next);
        controller->setConfig(std::move(next));
    }
    std::vector<std::string> destinationUIDs() const {
        std::vector<std::string> uids = controller->config().monitorDeviceUIDs;
        for (const auto& line : controller->lines()) {
            uids.push_back(line.uid);
        }
        return uids;
    }

    // ---- The churn: one random change of the world

    void churn() {
        using Change = void (ChurnSoak::*)();
        // Weights, then changes.
        const std::vector<std::pair<int, Change>> changes{
            {3, &ChurnSoak::plugOrUnplug},
            {4, &ChurnSoak::startQuitOrPause},
            {3, &ChurnSoak::relaunchTonePlayer},
            {3, &ChurnSoak::changeLines},
            {2, &ChurnSoak::changeRate},
            {1, &ChurnSoak::changeBufferSize},
            {1, &ChurnSoak::changeLayout},
            {4, &ChurnSoak::changeLevel},
            {4, &ChurnSoak::changeConnection},
            {2, &ChurnSoak::changeSources},
            {2, &ChurnSoak::changeCaptureMode},
            {2, &ChurnSoak::changeLatency},
            {1, &ChurnSoak::retry},
        };
        int total = 0;
        for (const auto& [weight, change] : changes) {
            total += weight;
        }
        int chosen = between(0, total - 1);
        for (const auto& [weight, change] : changes) {
            if ((chosen -= weight) < 0) {
                (this->*change)();
                return;
            }
        }
    }

    // The Tone Player quits and, a moment later, starts again under a new process.
    void relaunchTonePlayer() {
        const auto instances = running(kTonePlayer);
        if (instances.empty()) {
            return;
        }
        const int pause = between(200, 2000);
        log("quit " + std::string(kTonePlayer) + " and start it again after " + std::to_string(pause) +
            " ms");
        server->removeApplication(instances.front().pid);
        QTimer::singleShot(pause, [weak = std::weak_ptr(server)] {
            auto live = weak.lock();
            if (live && Workspace::shared().runningApplications(kTonePlayer).empty()) {
                live->addApplication(applications().front());
            }
        });
    }

    void plugOrUnplug() {
        std::vector<DeviceSpec> present, absent;
        for (const auto& device : extraDevices()) {
            (server->deviceID(device.uid) == kAudioObjectUnknown ? absent : present).push_back(device);
        }
        // Now and then a device a canary needs goes too; the round's end plugs it back in.
        if (chance(0.25)) {
            present = canaryDevices();
            std::erase_if(present, [this](const DeviceSpec& device) {
                return server->deviceID(device.uid) == kAudioObjectUnknown;
            });
        }
        if (!absent.empty() && (present.empty() || chance(0.5))) {
            const DeviceSpec& device = pick(absent);
            log("plug in " + device.uid);
            server->addDevice(device);
        } else if (!present.empty()) {
            const DeviceSpec& device = pick(present);
            log("unplug " + device.uid);
            server->removeDevice(device.uid);
        }
    }

    void startQuitOrPause() {
        const ApplicationSpec& application = chance(0.4) ? applications().front() : pick(applications());
        const auto instances = running(application.bundleID);
        if (instances.empty()) {
            log("start " + application.bundleID);
            server->addApplication(application);
            return;
        }
        const int pid = instances.front().pid;
        switch (between(0, 2)) {
        case 0:
            log("quit " + application.bundleID + " (pid " + std::to_string(pid) + ")");
            server->removeApplication(pid);
            break;
        case 1:
            log("pause " + application.bundleID);
            server->setApplicationSignal(pid, InputSignal::silence());
            break;
        default:
            log("play " + application.bundleID);
            server->setApplicationSignal(pid, application.signal);
            break;
        }
    }

    void changeLines() {
        std::vector<LineSpec> lines = readLines();
        const std::vector<int64_t> channels{2, 4, 8, 16};
        switch (between(0, 3)) {
        case 0: {
            int64_t number = between(1, 6);
            if (std::ranges::find(lines, number, &LineSpec::number) != lines.end()) {
                return;
            }
            lines.push_back({number, pick(channels), "Line " + std::to_string(number)});
            log("add line " + std::to_string(number));
            break;
        }
        case 1: {
            if (lines.size() < 2 || (lines.size() == 2 && chance(0.7))) {
                return;
            }
            const int index = between(0, int(lines.size()) - 1);
            log("remove line " + std::to_string(lines[size_t(index)].number));
            lines.erase(lines.begin() + index);
            break;
        }
        case 2: {
            LineSpec& line = lines[size_t(between(0, int(lines.size()) - 1))];
            line.name = pick(std::vector<std::string>{"Stream", "Recorder", "ミックス", "Line"}) + " " +
                        std::to_string(between(1, 99));
            log("rename line " + std::to_string(line.number) + " to " + line.name);
            break;
        }
        default: {
            LineSpec& line = lines[size_t(between(0, int(lines.size()) - 1))];
            line.channels = pick(channels);
            log("resize line " + std::to_string(line.number) + " to " + std::to_string(line.channels));
            break;
        }
        }
        writeLines(lines);
    }

    // A device of the server, the lines included; none when there is none.
    std::optional<AudioDeviceInfo> anyDevice() {
        auto all = devices();
        std::erase_if(all,
                      [](const AudioDeviceInfo& info) { return info.uid.starts_with("qorvix.tandrel.tap"); });
        if (all.empty()) {
            return std::nullopt;
        }
        return pick(all);
    }

    void changeRate() {
        const auto target = anyDevice();
        if (!target) {
            return;
        }
        const double rate = pick(std::vector<double>{44100, 48000, 96000});
        log("rate of " + target->uid + " to " + std::to_string(int(rate)));
        setRate(*target, rate);
    }

    // A line's rate is asked of its driver, as another program would; a simulated device just changes.
    void setRate(const AudioDeviceInfo& target, double rate) {
        if (!target.uid.starts_with("qorvix.tandrel.device.line")) {
            server->setNominalSampleRate(target.uid, rate);
            return;
        }
        CoreAudioCall::sync([id = target.id, rate] {
            const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            AudioObjectSetPropertyData(id, &address, 0, nullptr, sizeof rate, &rate);
        });
    }

    void changeBufferSize() {
        const auto target = anyDevice();
        if (!target) {
            return;
        }
        const uint32_t frames = pick(std::vector<uint32_t>{64, 128, 256, 512, 1024});
        log("buffer of " + target->uid + " to " + std::to_string(frames));
        CoreAudioCall::sync([id = target->id, frames] {
            const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            AudioObjectSetPropertyData(id, &address, 0, nullptr, sizeof frames, &frames);
        });
    }

    void changeLayout() {
        struct Layout {
            const char* uid;
            AudioObjectPropertyScope scope;
            std::vector<uint32_t> channels;
        };
        const std::vector<Layout> layouts{
            {kMicrophone, kAudioObjectPropertyScopeInput, {2}},
            {kMicrophone, kAudioObjectPropertyScopeInput, {}},
            {kMonitor, kAudioObjectPropertyScopeOutput, {4}},
            {kSpeakers, kAudioObjectPropertyScopeOutput, {6}},
            {"soak.interface", kAudioObjectPropertyScopeInput, {6}},
            {"soak.usb.headset", kAudioObjectPropertyScopeOutput, {1}},
        };
        const Layout& layout = pick(layouts);
        if (server->setStreamLayout(layout.uid, layout.scope, layout.channels)) {
            log("layout of " + std::string(layout.uid) + " to " + std::to_string(layout.channels.size()) +
                " streams");
            relaid.insert(layout.uid);
        }
    }

    void changeLevel() {
        const auto& config = controller->config();
        const float dB = float(between(-70, 12));
        switch (between(0, 4)) {
        case 0:
            if (!config.sources.empty()) {
                const SourceConfig& source = pick(config.sources);
                log("volume of " + source.name + " to " + std::to_string(int(dB)) + " dB");
                chance(0.3) ? controller->setSourceMuted(source.id, chance(0.5))
                            : controller->setSourceVolume(source.id, dB);
            }
            break;
        case 1:
            if (!config.sources.empty()) {
                const SourceConfig& source = pick(config.sources);
                log("channel level of " + source.name);
                chance(0.5) ? controller->setSourceChannelVolume(source.id, between(0, 1), dB)
                            : controller->setSourceChannelMuted(source.id, between(0, 1), chance(0.5));
            }
            break;
        case 2:
            if (!config.connections.empty()) {
                const UUID id = pick(config.connections).id;
                const bool mute = chance(0.3);
                log("level of a connection");
                edit([&](RoutingConfig& next) {
                    for (auto& connection : next.connections) {
                        if (connection.id == id) {
                            mute ? void(connection.isMuted = !connection.isMuted)
                                 : void(connection.gainDB = dB);
                        }
                    }
                });
            }
            break;
        case 3: {
            const auto uids = destinationUIDs();
            if (!uids.empty()) {
                const std::string uid = pick(uids);
                log("device level of " + uid);
                switch (between(0, 3)) {
                case 0:
                    controller->setDeviceVolume(uid, dB);
                    break;
                case 1:
                    controller->setDeviceMuted(uid, chance(0.5));
                    break;
                case 2:
                    controller->setPairVolume(uid, 2 * between(0, 2), dB);
                    break;
                default:
                    controller->setChannelMuted(uid, between(0, 5), chance(0.5));
                    break;
                }
            }
            break;
        }
        default: {
            const auto target = anyDevice();
            if (target && target->outputChannels > 0) {
                const float scalar = float(between(0, 10)) / 10;
                const bool muted = chance(0.3);
                log("hardware volume of " + target->uid + " to " + std::to_string(scalar));
                // From the controller or, like another program, straight at the device.
                if (chance(0.5)) {
                    controller->setHardwareVolume(target->uid, scalar, muted);
                } else {
                    CoreAudioCall::sync([id = target->id, scalar, muted] {
                        RoutingController::HardwareVolume::write(id, scalar, muted);
                    });
                }
            }
            break;
        }
        }
    }

    void changeConnection() {
        const auto& config = controller->config();
        std::vector<Endpoint> from;
        for (const auto& source : config.sources) {
            from.push_back(Endpoint::source(source.id));
        }
        for (const auto& line : controller->lines()) {
            from.push_back(Endpoint::line(line.uid));
        }
        const auto to = destinationUIDs();
        if (from.empty() || to.empty()) {
            return;
        }
        const Endpoint endpoint = pick(from);
        const std::string uid = pick(to);
        const int64_t pair = 2 * between(0, 3);
        switch (between(0, 3)) {
        case 0:
        case 1:
            log("toggle a connection into " + uid + " pair " + std::to_string(pair));
            controller->toggleConnection(endpoint, uid, pair, chance(0.8) ? 2 : 1);
            break;
        case 2:
            log("toggle a route into " + uid + " pair " + std::to_string(pair));
            controller->toggleRoute(endpoint, uid, pair, 2, int64_t(1) << between(0, 3));
            break;
        default:
            log("split " + uid + " pair " + std::to_string(pair));
            controller->setSplit(!controller->isSplit(uid, pair), uid, pair);
            break;
        }
    }

    void changeSources() {
        const auto& config = controller->config();
        switch (between(0, 5)) {
        case 0: {
            const ApplicationSpec& app = pick(applications());
            log("add source " + app.bundleID);
            controller->addSource(SourceKind::application(app.bundleID), app.name);
            break;
        }
        case 1:
            if (!config.sources.empty()) {
                const SourceConfig& source = pick(config.sources);
                log("remove source " + source.name);
                controller->removeSource(source.id);
            }
            break;
        case 2: {
            const ApplicationSpec& app = pick(applications());
            log((chance(0.5) ? "exclude " : "include ") + app.bundleID);
            chance(0.5) ? controller->excludeApp(app.bundleID) : controller->includeApp(app.bundleID);
            break;
        }
        case 3:
            if (!controller->inputDevices().empty()) {
                const AudioDeviceInfo input = pick(controller->inputDevices());
                log("add source " + input.uid);
                controller->addSource(SourceKind::inputDevice(input.uid), input.name);
            }
            break;
        case 4:
            if (!controller->outputDevices().empty()) {
                const std::string uid = pick(controller->outputDevices()).uid;
                log("add monitor " + uid);
                controller->addMonitor(uid);
            }
            break;
        default:
            if (!config.monitorDeviceUIDs.empty()) {
                const std::string uid = pick(config.monitorDeviceUIDs);
                log("remove monitor " + uid);
                controller->removeMonitor(uid);
            }
            break;
        }
    }

    void changeCaptureMode() {
        const auto [mode, name] =
            pick(std::vector(kCaptureModeRawValues.begin(), kCaptureModeRawValues.end()));
        log("capture method " + std::string(name));
        edit([mode](RoutingConfig& next) { next.captureMode = mode; });
    }

    void changeLatency() {
        const LatencyPreset preset = pick(std::vector(allLatencyPresets.begin(), allLatencyPresets.end()));
        log("latency " + std::string(rawValue(preset)));
        edit([preset](RoutingConfig& next) { next.latency = preset; });
    }

    // The mixer's retry: after an unplugged device or a stopped capture, what a user presses.
    void retry() {
        log("retry");
        if (chance(0.5)) {
            controller->requestRebuild();
        }
        controller->retrySources();
    }

    // ---- The world put back

    // The devices, lines and rates of the start, the canaries' applications playing and their routes
    // in place at full level. Whatever else the churn left in the configuration stays. With the same
    // devices at the same rates after every round, the footprints of the rounds compare.
    void restoreWorld() {
        for (const auto& device : extraDevices()) {
            server->removeDevice(device.uid);
        }
        for (const auto& device : canaryDevices()) {
            if (server->deviceID(device.uid) == kAudioObjectUnknown) {
                server->addDevice(device);
            } else if (relaid.contains(device.uid)) {
                server->setStreamLayout(device.uid, kAudioObjectPropertyScopeInput, device.inputStreams);
                server->setStreamLayout(device.uid, kAudioObjectPropertyScopeOutput, device.outputStreams);
            }
        }
        relaid.clear();
        const std::vector<LineSpec> lines{{1, 2, "Line 1"}, {2, 8, "Line 2"}};
        if (readLines() != lines) {
            writeLines(lines);
        }
        for (const auto& info : devices()) {
            if (info.sampleRate != 48000) {
                setRate(info, 48000);
            }
            if (info.uid == kLine1 || info.uid == kLine2 || info.uid == kMonitor) {
                CoreAudioCall::sync([id = info.id] {
                    const RoutingController::HardwareVolume full{1.0f, false};
                    if (!(RoutingController::HardwareVolume::read(id) == full)) {
                        RoutingController::HardwareVolume::write(id, full.scalar, full.muted);
                    }
                });
            }
        }
        for (const auto& application : {applications()[0], applications()[1]}) {
            const auto instances = running(application.bundleID);
            if (instances.empty()) {
                server->addApplication(application);
            } else if (!isPlaying(instances.front().pid)) {
                server->setApplicationSignal(instances.front().pid, application.signal);
            }
        }
        edit([](RoutingConfig& next) { restoreCanaryConfig(next); });
    }

    static void restoreCanaryConfig(RoutingConfig& config) {
        const UUID tonePlayer = ensureSource(config, SourceKind::application(kTonePlayer), "Tone Player");
        const UUID microphone = ensureSource(config, SourceKind::inputDevice(kMicrophone), "Microphone");
        const UUID system = ensureSource(config, SourceKind::systemAudio(), "システム全体");
        config.autoAdd.dismissedApps.erase(kTonePlayer);
        config.autoAdd.dismissedApps.erase(kMusicBox);
        if (std::ranges::find(config.monitorDeviceUIDs, kMonitor) == config.monitorDeviceUIDs.end()) {
            config.monitorDeviceUIDs.push_back(kMonitor);
        }
        config.autoAdd.dismissedMonitors.erase(kMonitor);
        ensureConnection(config, Endpoint::source(tonePlayer), kLine1, 0);
        ensureConnection(config, Endpoint::source(microphone), kLine2, 0);
        ensureConnection(config, Endpoint::source(system), kLine2, 4);
        ensureConnection(config, Endpoint::line(kLine1), kMonitor, 0);
        for (const char* uid : {kLine1, kLine2, kMonitor}) {
            config.deviceVolumes.erase(uid);
        }
    }

    // The source of that kind at full level, added when missing; its id.
    static UUID ensureSource(RoutingConfig& config, const SourceKind& kind, const std::string& name) {
        auto source = std::ranges::find(config.sources, kind, &SourceConfig::kind);
        if (source == config.sources.end()) {
            SourceConfig added;
            added.id = UUID::random();
            added.kind = kind;
            added.name = name;
            config.sources.push_back(added);
            source = config.sources.end() - 1;
        }
        source->volumeDB = 0;
        source->isMuted = false;
        source->channelDB.clear();
        source->mutedChannels.clear();
        return source->id;
    }

    // A plain stereo connection into the pair, at 0 dB; single channels of the endpoint on the pair go.
    static void ensureConnection(RoutingConfig& config, const Endpoint& from, const std::string& to,
                                 int64_t pair) {
        if (auto split = config.splitPairs.find(to); split != config.splitPairs.end()) {
            split->second.erase(pair);
            if (split->second.empty()) {
                config.splitPairs.erase(split);
            }
        }
        std::erase_if(config.connections, [&](const Connection& c) {
            return c.from == from && c.toDeviceUID == to && c.width == 1 &&
                   (c.pair == pair || c.pair == pair + 1);
        });
        auto found = std::ranges::find_if(config.connections, [&](const Connection& c) {
            return c.from == from && c.toDeviceUID == to && c.pair == pair && c.width == 2;
        });
        if (found == config.connections.end()) {
            Connection added;
            added.id = UUID::random();
            added.from = from;
            added.toDeviceUID = to;
            added.pair = pair;
            config.connections.push_back(added);
            return;
        }
        found->mode = MappingMode::automatic;
        found->sourceChannel = 0;
        found->monoMix = true;
        found->routeMask.reset();
        found->gainDB = 0;
        found->isMuted = false;
    }

    // ---- The checks of a round

    // Lets the controller finish what the round asked of it (no pass running, no source starting, twice
    // in a row); false when it never does.
    bool settle(std::chrono::seconds limit = 30s) {
        const auto idle = [this] {
            return !Access::reconcileRunning(*controller) &&
                   std::ranges::none_of(controller->sourceStatus(), [](const auto& entry) {
                       return std::holds_alternative<Status::Starting>(entry.second.value);
                   });
        };
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            if (QTest::qWaitFor(idle, 1000)) {
                QTest::qWait(300);
                if (idle()) {
                    return true;
                }
            }
        }
        return false;
    }

    std::string statusText(const UUID& id) const {
        const auto& statuses = controller->sourceStatus();
        const auto found = statuses.find(id);
        return found == statuses.end() ? "none" : RoutingTestRunner::statusText(found->second);
    }

    std::string describeWorld() const {
        const auto& config = controller->config();
        std::string text = "capture " +
                           std::string(kCaptureModeRawValues[size_t(config.captureMode)].second) +
                           ", latency " + std::string(rawValue(config.latency)) + "; sources:";
        for (const auto& source : config.sources) {
            text += " " + source.name + "=" + statusText(source.id);
        }
        text += "; lines:";
        for (const auto& line : controller->lines()) {
            text += " " + line.name + "(" + std::to_string(line.outputChannels) + ")";
        }
        if (controller->message()) {
            text += "; message: " + *controller->message();
        }
        text += "; routes:";
        for (const auto& connection : config.connections) {
            const bool canary = connection.toDeviceUID == kMonitor || connection.toDeviceUID == kLine1 ||
                                connection.toDeviceUID == kLine2;
            if (!canary) {
                continue;
            }
            text += " →" + connection.toDeviceUID + "/" + std::to_string(connection.pair) + "w" +
                    std::to_string(connection.width);
            if (const auto info = controller->routeInfo(connection.id)) {
                text += "(" + std::to_string(int(info->bufferMs)) + " ms, " +
                        std::to_string(info->underruns) + " underruns)";
            } else {
                text += "(no route)";
            }
        }
        text += "; hardware volumes:";
        for (const auto& [uid, volume] : controller->hardwareVolumes()) {
            text += " " + uid + "=" + std::to_string(volume.scalar) + (volume.muted ? " muted" : "");
        }
        return text;
    }

    // Every canary's tone on its device within the limit.
    void checkTones() {
        std::map<std::string, std::unique_ptr<ToneProbe>> probes;
        for (const auto& canary : canaries) {
            if (probes.contains(canary.deviceUID)) {
                continue;
            }
            const auto info = device(canary.deviceUID);
            if (!info) {
                ADD_FAILURE() << "round " << round << ": " << canary.deviceUID << " is missing";
                return;
            }
            probes[canary.deviceUID] = std::make_unique<ToneProbe>(*info);
        }
        for (const auto& canary : canaries) {
            ++checks;
            const auto heard = probes.at(canary.deviceUID)
                                   ->waitForTone(canary.channel, canary.frequency, canary.threshold, 10000ms);
            if (heard) {
                slowest = std::max(slowest, *heard);
                if (*heard > 2s) {
                    log(std::string(canary.name) + " took " + std::to_string(heard->count()) + " ms; " +
                        describeWorld());
                }
                continue;
            }
            ++failedChecks;
            ToneProbe& probe = *probes.at(canary.deviceUID);
            const auto recent = probe.recent(canary.channel);
            double mean = 0;
            for (float sample : recent) {
                mean += sample / double(recent.size());
            }
            ADD_FAILURE() << "round " << round << ": no tone for " << canary.name << " ("
                          << probe.toneLevel(canary.channel, canary.frequency) << "; heard "
                          << ToneLevel::crossingFrequency(recent, probe.sampleRate()) << " Hz, mean " << mean
                          << ", peak " << probe.peak() << " in " << probe.framesHeard() << " frames at "
                          << probe.sampleRate() << " Hz); " << describeWorld();
        }
    }

    // routing.json holds the configuration once the save delay has passed.
    void checkSavedConfiguration() {
        const std::string path = RoutingConfigStore::url().toStdString();
        const auto until = Clock::now() + 5s;
        std::string problem;
        while (Clock::now() < until) {
            QTest::qWait(250);
            try {
                std::ifstream file(path);
                const RoutingConfig saved = nlohmann::json::parse(file).get<RoutingConfig>();
                if (saved == controller->config()) {
                    return;
                }
                problem = "it differs from the configuration";
            } catch (const std::exception& error) {
                problem = error.what();
            }
        }
        ADD_FAILURE() << "round " << round << ": routing.json does not hold the configuration: " << problem;
    }

    // After the first rounds have warmed up the caches, what the process holds stays within reach of
    // what it held then. Memory counts as what is allocated and not freed: the resident size also holds
    // what the allocator keeps of freed blocks (the emulated devices' output records are large), so it is
    // only shown. The dispatch pool grows with the work of the running streams and with the machine's
    // load, and sheds idle threads later, hence the loose bounds on threads; the devices' IO is counted
    // apart, through the process taps and aggregate devices that must match the running sources.
    void checkFootprint() {
        const Footprint now = footprint();
        log("footprint: " + std::to_string(now.rssMB) + " MB resident, " + std::to_string(now.heapMB) +
            " MB allocated, " + std::to_string(now.threads) + " threads, " + std::to_string(now.fds) +
            " descriptors");
        history.push_back(now);
        if (history.size() == warmUpRounds) {
            baseline = now;
        }
        if (history.size() <= warmUpRounds) {
            return;
        }
        EXPECT_LE(now.heapMB, baseline.heapMB + 64) << "round " << round << ": memory grew";
        EXPECT_LE(now.threads, baseline.threads + 64) << "round " << round << ": threads grew";
        EXPECT_LE(now.fds, baseline.fds + 16) << "round " << round << ": descriptors grew";
    }

    // Every process tap and its aggregate device belong to a tap source that runs; none outlives its source.
    void checkTaps() {
        const auto tapSources = [this] {
            return std::ranges::count_if(controller->sourceStatus(), [](const auto& entry) {
                return entry.second == Status::running("Process Tap");
            });
        };
        const bool matching = QTest::qWaitFor(
            [&] {
                return long(server->tapList().size()) == tapSources() &&
                       long(server->aggregateDeviceList().size()) == tapSources();
            },
            5000);
        EXPECT_TRUE(matching) << "round " << round << ": " << server->tapList().size() << " taps and "
                              << server->aggregateDeviceList().size() << " aggregate devices for "
                              << tapSources() << " running tap sources";
    }

    // Over a longer run the lowest values of the last third may not stand above those of the second.
    void checkTrend() const {
        if (history.size() < 12) {
            return;
        }
        const size_t third = history.size() / 3;
        const auto lowest = [&](size_t from, long Footprint::*field) {
            long value = history[from].*field;
            for (size_t i = from; i < from + third; ++i) {
                value = std::min(value, history[i].*field);
            }
            return value;
        };
        const size_t middle = third, last = history.size() - third;
        EXPECT_LE(lowest(last, &Footprint::heapMB), lowest(middle, &Footprint::heapMB) + 16)
            << "memory creeps up";
        EXPECT_LE(lowest(last, &Footprint::threads), lowest(middle, &Footprint::threads) + 24)
            << "threads creep up";
        EXPECT_LE(lowest(last, &Footprint::fds), lowest(middle, &Footprint::fds) + 4)
            << "descriptors creep up";
    }

    static constexpr size_t warmUpRounds = 2;

    TemporaryXdgHome dataHome{"XDG_DATA_HOME"};
    TemporaryXdgHome configHome{"XDG_CONFIG_HOME"};
    std::unique_ptr<EmulatedServerRun> emulated;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
    std::mt19937_64 rng;
    Clock::time_point started = Clock::now();
    int round = 0;
    int checks = 0;
    int failedChecks = 0;
    std::chrono::milliseconds slowest{0};
    std::set<std::string> relaid;
    std::vector<Footprint> history;
    Footprint baseline;
};

TEST_F(ChurnSoak, CanaryRoutesCarryTheirTonesThroughChurn) {
    HeapSettings::returnLargeBlocksToTheSystem(); // as the program's entry does, so its resident size shows
    const double minutes = environmentNumber("TANDREL_SOAK_MINUTES", 1.25);
    const auto seed = static_cast<uint64_t>(environmentNumber("TANDREL_SOAK_SEED", 4));
    rng.seed(seed);
    std::cout << "churn soak: seed " << seed << ", " << minutes << " minutes" << std::endl;
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    Watchdog watchdog(std::chrono::seconds(static_cast<long>(minutes * 60) + 300));

    ASSERT_TRUE(settle());
    restoreWorld();
    ASSERT_TRUE(settle());
    checkTones();
    ASSERT_EQ(failedChecks, 0) << "the canaries do not sound before any churn";

    started = Clock::now();
    while (Clock::now() - started < length) {
        ++round;
        for (int step = between(3, 8); step > 0; --step) {
            churn();
            QTest::qWait(between(200, 2000));
        }
        ASSERT_TRUE(settle()) << "round " << round << ": the controller never settled; " << describeWorld();
        restoreWorld();
        ASSERT_TRUE(settle()) << "round " << round << ": the controller never settled; " << describeWorld();
        checkTones();
        checkSavedConfiguration();
        checkTaps();
        checkFootprint();
        log(describeWorld());
    }
    checkTrend();
    std::cout << "churn soak: seed " << seed << ", " << round << " rounds, " << checks << " checks, "
              << failedChecks << " failed; the slowest tone took " << slowest.count() << " ms" << std::endl;
}

} // namespace
