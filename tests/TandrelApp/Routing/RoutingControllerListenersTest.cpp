#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QTest>
#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/Log.h"

#include "ControllerTestSupport.h"
#include "RoutingControllerTestAccess.h"
#include "Support/DeviceCallbacksStopped.h"

using Access = RoutingControllerTestAccess;
using namespace std::chrono_literals;

namespace {

using ControllerTestSupport::catching;
using ControllerTestSupport::uids;

constexpr const char* line1 = "qorvix.tandrel.device.line1";

QCoro::Task<std::vector<AudioDeviceInfo>> fetchDevices(std::shared_ptr<RoutingController> controller) {
    auto fetching = Access::fetchDevices(*controller);
    co_return co_await std::move(fetching);
}

// Notes the state of the flags each pass starts with; a quiet one runs no pass at all.
class ListeningController : public RoutingController {
public:
    struct Pass {
        bool deviceCheck;
        bool rebuild;
        bool captureRestart;
    };

    ListeningController(RoutingConfig config, Timings timings, bool quiet)
        : RoutingController(std::move(config), false, false, timings)
        , quiet_(quiet) {}
    static std::shared_ptr<ListeningController> create(RoutingConfig config, Timings timings, bool quiet) {
        return make<ListeningController>(std::move(config), timings, quiet);
    }

    std::vector<Pass> passes;

protected:
    QCoro::Task<> reconcile() override {
        passes.push_back({Access::pendingDeviceCheck(*this), Access::pendingRebuild(*this),
                          Access::pendingCaptureRestart(*this)});
        if (quiet_) {
            co_return;
        }
        auto pass = RoutingController::reconcile();
        co_await std::move(pass);
    }

private:
    const bool quiet_;
};

float volumeOf(const char* uid, AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    AudioObjectPropertyAddress address{kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput,
                                       element};
    float scalar = -1;
    uint32_t size = sizeof(scalar);
    AudioObjectGetPropertyData(AudioServer::shared()->deviceID(uid), &address, 0, nullptr, &size, &scalar);
    return scalar;
}

void setVolumeFromOutside(const char* uid, float scalar) {
    AudioObjectPropertyAddress address{kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput,
                                       kAudioObjectPropertyElementMain};
    ASSERT_EQ(AudioObjectSetPropertyData(AudioServer::shared()->deviceID(uid), &address, 0, nullptr,
                                         sizeof(scalar), &scalar),
              0);
}

class RoutingControllerListenersTest : public ::testing::Test {
protected:
    // Four devices, three of them with outputs; the headphones have channel volumes only.
    static constexpr std::size_t perDeviceListeners = 5 * 4 + 4 * 3;

    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-listeners-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({
          "devices": [
            { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2] },
            { "uid": "speakers", "name": "Speakers", "outputStreams": [2] },
            { "uid": "headphones", "name": "Headphones", "outputStreams": [2], "volume": "channels" },
            { "uid": "mic", "name": "Mic", "inputStreams": [1] }
          ]})"),
                                     .home = home});
    }
    void TearDown() override {
        CoreAudioCall::simulatedDelay = 0;
        controller.reset();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    void start(RoutingConfig config, bool quiet,
               double callTimeout = RoutingController::Timings{}.callTimeout) {
        controller = ListeningController::create(std::move(config),
                                                 {.callTimeout = callTimeout,
                                                  .announceDelay = 100ms,
                                                  .volumeSettle = 20ms,
                                                  .volumeEchoWindow = 500ms},
                                                 quiet);
        QCoro::waitFor(controller->waitForReconcile());
    }
    // Fetched first, so that a hang set up by the caller only meets the registrations.
    std::optional<std::string> apply(double hang = 0) {
        auto devices = QCoro::waitFor(fetchDevices(controller));
        CoreAudioCall::simulatedDelay = hang;
        auto error = QCoro::waitFor(catching(Access::applyDevices(*controller, std::move(devices))));
        CoreAudioCall::simulatedDelay = 0;
        return error;
    }
    bool passSince(std::size_t mark, bool deviceCheck, bool rebuild, bool captureRestart) {
        return QTest::qWaitFor(
            [&] {
                const auto& passes = controller->passes;
                return std::any_of(passes.begin() + static_cast<std::ptrdiff_t>(mark), passes.end(),
                                   [&](auto p) {
                                       return p.deviceCheck == deviceCheck && p.rebuild == rebuild &&
                                              p.captureRestart == captureRestart;
                                   });
            },
            3000);
    }
    std::optional<AudioDeviceInfo> output(const std::string& uid) {
        auto found = std::ranges::find(controller->outputDevices(), uid, &AudioDeviceInfo::uid);
        return found == controller->outputDevices().end() ? std::nullopt : std::optional(*found);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<ListeningController> controller;
};

TEST_F(RoutingControllerListenersTest, ServerChangesLeadToChecksRebuildsNameTakeoversAndAnnouncements) {
    start({}, false);
    ASSERT_TRUE(controller->devicesLoaded());

    // Device-list changes the server announces, with the time of each.
    std::vector<std::chrono::steady_clock::time_point> listChanges;
    AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    AudioObjectPropertyListenerToken token = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(
                  kAudioObjectSystemObject, &devices, DispatchQueue::main(),
                  [&listChanges](uint32_t, const AudioObjectPropertyAddress*) {
                      listChanges.push_back(std::chrono::steady_clock::now());
                  },
                  &token),
              0);

    std::size_t mark = controller->passes.size();
    DeviceSpec usb;
    usb.uid = "usb";
    usb.name = "USB";
    usb.outputStreams = {2};
    server->addDevice(usb);
    EXPECT_TRUE(passSince(mark, true, false, false));
    EXPECT_TRUE(QTest::qWaitFor([&] { return output("usb").has_value(); }, 3000));

    ASSERT_TRUE(server->removeDevice("usb"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !output("usb").has_value(); }, 3000));
    // The lists are published before the new device listeners are in place; a change made before the
    // pass is over would go unheard.
    QCoro::waitFor(controller->waitForReconcile());

    mark = controller->passes.size();
    ASSERT_TRUE(server->setStreamLayout("speakers", kAudioObjectPropertyScopeOutput, {4}));
    EXPECT_TRUE(passSince(mark, true, false, false));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return output("speakers") && output("speakers")->outputChannels == 4; }, 3000));

    // An output device's new name is taken over silently; a line's is announced to every client.
    QCoro::waitFor(controller->waitForReconcile());
    listChanges.clear();
    ASSERT_TRUE(server->renameDevice("speakers", "Desk Speakers"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return output("speakers")->name == "Desk Speakers"; }, 3000));
    QTest::qWait(250);
    EXPECT_TRUE(listChanges.empty());

    const auto renamed = std::chrono::steady_clock::now();
    ASSERT_TRUE(server->renameDevice(line1, "Stream"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->lines().at(0).name == "Stream"; }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !listChanges.empty(); }, 3000));
    ASSERT_FALSE(listChanges.empty());
    EXPECT_GE(listChanges.front() - renamed, 100ms);
    EXPECT_TRUE(server->aggregateDeviceList().empty()) << "the announcement's aggregate is destroyed again";

    // A rate change on any device, here one with inputs only, forces a rebuild with a capture restart.
    QCoro::waitFor(controller->waitForReconcile());
    mark = controller->passes.size();
    ASSERT_TRUE(server->setNominalSampleRate("mic", 44100));
    EXPECT_TRUE(passSince(mark, false, true, true));

    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devices, token);
    QCoro::waitFor(controller->waitForReconcile());
}

// A registration call that times out still runs once the server answers; what it made must be replaced
// by the next apply, not doubled.
TEST_F(RoutingControllerListenersTest, RegistrationsStayOneSetAcrossAppliesAndHangs) {
    start({}, true, 0.2);
    const std::size_t baseline = server->listenerCount();
    const auto drainCallQueue = [] {
        CoreAudioCall::sync([] {});
    };

    auto error = apply(0.4);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("デバイス監視の登録"), std::string::npos);
    drainCallQueue();
    EXPECT_EQ(server->listenerCount(), baseline + 1);

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(apply(), std::nullopt);
        EXPECT_EQ(server->listenerCount(), baseline + 1 + perDeviceListeners);
    }
    EXPECT_EQ(Access::deviceListeners(*controller), perDeviceListeners);

    error = apply(0.4);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("サンプルレート監視の登録"), std::string::npos);
    EXPECT_EQ(Access::deviceListeners(*controller), 0u);
    drainCallQueue();
    EXPECT_EQ(server->listenerCount(), baseline + 1 + perDeviceListeners);

    EXPECT_EQ(apply(), std::nullopt);
    EXPECT_EQ(server->listenerCount(), baseline + 1 + perDeviceListeners);
    EXPECT_EQ(Access::deviceListeners(*controller), perDeviceListeners);
}

TEST_F(RoutingControllerListenersTest, LineVolumeFollowsItsMonitorsOnceWithoutEcho) {
    RoutingConfig config;
    config.monitorDeviceUIDs = {"speakers", "headphones"};
    for (const char* monitor : {"speakers", "headphones"}) {
        Connection connection;
        connection.id = UUID::random();
        connection.from = Endpoint::line(line1);
        connection.toDeviceUID = monitor;
        config.connections.push_back(connection);
    }
    start(config, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->hardwareVolumes().size() == 3; }, 3000));
    EXPECT_EQ(uids(controller->volumePartners(line1)), (std::vector<std::string>{"speakers", "headphones"}));
    EXPECT_EQ(uids(controller->volumePartners("speakers")), (std::vector<std::string>{line1}));

    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(32);
    sink->set_pattern("%v");
    auto log = Log::app("Controller");
    log->sinks().push_back(sink);
    const auto links = [&sink] {
        std::vector<std::string> lines;
        for (auto& line : sink->last_formatted()) {
            if (line.starts_with("Volume link:")) {
                lines.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
            }
        }
        return lines;
    };

    // The headphones have no main volume: they are written on their first two channels.
    setVolumeFromOutside(line1, 0.5f);
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return volumeOf("speakers") == 0.5f && volumeOf("headphones", 1) == 0.5f &&
                   volumeOf("headphones", 2) == 0.5f;
        },
        3000));
    QTest::qWait(700); // past the echo window: the monitors' own reports have come and gone
    EXPECT_EQ(links(),
              (std::vector<std::string>{"Volume link: Line 1 0.500000 muted false → Speakers, Headphones"}));
    EXPECT_EQ(controller->hardwareVolumes().at("headphones"),
              (RoutingController::HardwareVolume{0.5f, false}));

    // One monitor's change reaches the line, and the line's echo does not pass it on to the other.
    setVolumeFromOutside("speakers", 0.25f);
    EXPECT_TRUE(QTest::qWaitFor([] { return volumeOf(line1) == 0.25f; }, 3000));
    QTest::qWait(700);
    EXPECT_EQ(volumeOf("headphones", 1), 0.5f);
    EXPECT_EQ(links().size(), 2u);

    // A write from the mixer reaches the device and, through its report, the monitors.
    controller->setHardwareVolume(line1, 0.8f, true);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return controller->hardwareVolumes().at("speakers") ==
                   RoutingController::HardwareVolume{0.8f, true};
        },
        3000));

    controller->setLinksMonitorToLineVolume(false, line1);
    EXPECT_TRUE(controller->volumePartners(line1).empty());
    EXPECT_TRUE(controller->volumePartners("speakers").empty());

    log->sinks().pop_back();
    QCoro::waitFor(controller->waitForReconcile());
}

} // namespace
