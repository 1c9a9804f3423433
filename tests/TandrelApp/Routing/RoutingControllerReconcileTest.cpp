// The reconcile pass against the emulated audio server with the real driver loaded: a tone from an
// input device reaches a line and a monitor at the configured gains, edits keep or rebuild routes, a
// line feeds a monitor through its input, line levels go to the driver once, and failures of the
// server end up where the user sees them. Each case runs in a child process of its own, because the
// driver keeps process-wide state.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "RoutingControllerTestAccess.h"
#include "Support/DeviceCallbacksStopped.h"
#include "Support/DriverTestProcess.h"
#include "Support/GuiThreadGaps.h"
#include "Support/ToneLevel.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TemporaryDataHome.h"

using namespace std::chrono_literals;

namespace {

using Access = RoutingControllerTestAccess;

constexpr const char* kChildVariable = "TANDREL_RECONCILE_TEST_CHILD";
constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr double kToneDB = -12;

// An interface whose two inputs play 1 kHz at -12 dBFS, and two plain stereo outputs.
const char* kProfile = R"({"devices": [
  {"uid": "interface", "name": "Interface", "sampleRate": 48000, "sampleRates": [48000], "inputStreams": [2],
   "inputSignal": {"sine": [{"frequency": 1000, "level": -12}, {"frequency": 1000, "level": -12}]}},
  {"uid": "speakers", "name": "Speakers", "sampleRate": 48000, "sampleRates": [48000], "outputStreams": [2]},
  {"uid": "phones", "name": "Phones", "sampleRate": 48000, "sampleRates": [48000], "outputStreams": [2]}
]})";

// The level of the 1 kHz tone in dBFS: the median over 10 ms windows, so that a few blocks lost to a
// busy machine's scheduling do not count.
double toneLevel(const std::vector<float>& samples) {
    constexpr size_t kWindow = 480;
    std::vector<double> levels;
    for (size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        const std::vector<float> window(samples.begin() + start, samples.begin() + start + kWindow);
        levels.push_back(CaptureTestSupport::amplitudeAt(window, 1000));
    }
    if (levels.empty()) {
        return -200;
    }
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    return 20 * std::log10(std::max(levels[levels.size() / 2], 1e-9));
}

// The driver's current per-channel gains of a line.
std::vector<float> driverGains(AudioObjectID line) {
    const AudioObjectPropertyAddress address{
        kTandrelPropertyLineChannelGains, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    PLRef list = nullptr;
    uint32_t size = sizeof list;
    std::vector<float> gains;
    if (AudioObjectGetPropertyData(line, &address, 0, nullptr, &size, &list) == 0 && list != nullptr) {
        for (size_t i = 0; i < PLArrayGetCount(list); ++i) {
            float gain = 0;
            PLNumberGetFloat32(PLArrayGetValueAtIndex(list, i), &gain);
            gains.push_back(gain);
        }
        PLRelease(list);
    }
    return gains;
}

// The emulated server from the profile above, and the teardown every controller test here needs: the
// controller first, then its device callbacks, then the server.
class EmulatedServerTest : public ::testing::Test {
protected:
    void startServer(bool withDriver) {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-reconcile-test-" + std::to_string(::getpid()));
        std::optional<std::vector<std::filesystem::path>> plugIns;
        if (withDriver) {
            plugIns = std::vector{DriverTestProcess::driverBundle()};
        }
        server = AudioServer::start(
            {.profile = nlohmann::json::parse(kProfile), .home = home, .plugIns = plugIns});
    }

    void TearDown() override {
        if (!server) {
            return;
        }
        CoreAudioCall::simulatedDelay = 0;
        controller.reset();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        CoreAudioCall::sync([] {});
        releaseTestObjects();
        server.reset();
        AudioServer::stop();
        DeferredWork::runPendingNow();
        std::filesystem::remove_all(home);
    }
    // What a test still holds once the device callbacks have stopped.
    virtual void releaseTestObjects() {}

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    TemporaryDataHome dataHome;
    std::shared_ptr<RoutingController> controller;
};

class RoutingControllerReconcileTest : public EmulatedServerTest {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << DriverTestProcess::driverBundle();
        }
        if (!DriverTestProcess::inChild(kChildVariable)) {
            return;
        }
        startServer(true);
        source.id = UUID::random();
        source.kind = SourceKind::inputDevice("interface");
        source.name = "Interface";
        config.sources = {source};
        config.monitorDeviceUIDs = {"speakers", "phones"};
        for (const auto& uid : config.monitorDeviceUIDs) {
            ASSERT_TRUE(server->recordOutput(uid, kMonitorFrames));
        }
        // Large device buffers and margins, so a busy machine's scheduling cannot starve a route.
        config.latency = LatencyPreset::safe;
    }

    void releaseTestObjects() override { CaptureTestSupport::freeRings(detached); }

    // What a monitor's level is judged on: the last listening window at 48 kHz.
    static constexpr int kListenMs = static_cast<int>(ToneLevel::kListenSeconds * 1000);
    static constexpr uint32_t kMonitorFrames = kListenMs * 48;

    bool ranInChild() { return DriverTestProcess::ranInChild(kChildVariable); }

    Connection connect(Endpoint from, std::string to, float gainDB = 0) {
        Connection connection;
        connection.id = UUID::random();
        connection.from = std::move(from);
        connection.toDeviceUID = std::move(to);
        connection.gainDB = gainDB;
        return connection;
    }

    void start(RoutingController::Timings timings = {.saveDelay = 100ms}) {
        controller = RoutingController::create(config, false, false, timings);
    }

    // Applies an edit of the live configuration and waits until the passes it caused are over.
    void edit(const std::function<void(RoutingConfig&)>& change) {
        RoutingConfig next = controller->config();
        change(next);
        controller->setConfig(std::move(next));
        settle();
    }
    void settle() { QCoro::waitFor(controller->waitForReconcile()); }

    // Opening the devices can take seconds on a busy machine; only routes that never come fail.
    bool waitForRoutes(std::size_t count) {
        return CaptureTestSupport::waitFor([&] { return Access::routes(*controller) == count; }, 20000ms);
    }

    // Level of the tone in what the line's input gives back, left channel.
    double lineLevel() {
        auto input = Access::lineInput(*controller, kLine1);
        if (!input) {
            return -200;
        }
        QTest::qWait(150); // let the last edit reach the ring's far end
        return toneLevel(
            CaptureTestSupport::listenLeft(input->fanout(), ToneLevel::kListenSeconds, detached));
    }
    // Level of the tone in what a monitor played, left channel.
    double monitorLevel(const std::string& uid) {
        // What it played from a quarter of a second after the last edit on.
        QTest::qWait(250 + kListenMs);
        auto recorded = server->recordedOutput(uid, kMonitorFrames);
        if (!recorded || recorded->channels == 0) {
            return -200;
        }
        std::vector<float> left;
        for (uint32_t f = 0; f < recorded->frames(); ++f) {
            left.push_back(recorded->samples[f * recorded->channels]);
        }
        return toneLevel(left);
    }

    SourceConfig source;
    RoutingConfig config;
    std::vector<TDRingBuffer*> detached;
};

TEST_F(RoutingControllerReconcileTest, ToneReachesLineAndMonitorAtTheirGainsAndEditsKeepOrRebuildRoutes) {
    if (ranInChild()) {
        return;
    }
    const Connection toLine = connect(Endpoint::source(source.id), kLine1, -6);
    const Connection toSpeakers = connect(Endpoint::source(source.id), "speakers");
    config.connections = {toLine, toSpeakers};
    start();
    ASSERT_TRUE(waitForRoutes(2));
    EXPECT_EQ(controller->sourceStatus().at(source.id),
              RoutingController::SourceStatus::running("入力デバイス"));
    EXPECT_NEAR(lineLevel(), kToneDB - 6, 0.5);
    EXPECT_NEAR(monitorLevel("speakers"), kToneDB, 0.5);

    // Level edits are applied to the running routes.
    const auto lineRoute = Access::route(*controller, toLine.id);
    const auto speakerRoute = Access::route(*controller, toSpeakers.id);
    edit([&](RoutingConfig& c) { c.connections[0].gainDB = -12; });
    EXPECT_EQ(Access::route(*controller, toLine.id), lineRoute);
    EXPECT_NEAR(lineLevel(), kToneDB - 12, 0.5);
    edit([&](RoutingConfig& c) { c.connections[1].isMuted = true; });
    EXPECT_EQ(Access::route(*controller, toSpeakers.id), speakerRoute);
    EXPECT_LT(monitorLevel("speakers"), -60);
    edit([&](RoutingConfig& c) { c.sources[0].volumeDB = -6; });
    EXPECT_EQ(Access::route(*controller, toLine.id), lineRoute);
    EXPECT_NEAR(lineLevel(), kToneDB - 18, 0.5);

    // Another channel mapping needs another route.
    edit([&](RoutingConfig& c) { c.connections[0].mode = MappingMode::swapped; });
    ASSERT_NE(Access::route(*controller, toLine.id), nullptr);
    EXPECT_NE(Access::route(*controller, toLine.id), lineRoute);
    EXPECT_NEAR(lineLevel(), kToneDB - 18, 0.5);

    // The last connection to a monitor closes it.
    ASSERT_NE(Access::destination(*controller, "speakers"), nullptr);
    edit([&](RoutingConfig& c) { c.connections.pop_back(); });
    EXPECT_EQ(Access::destination(*controller, "speakers"), nullptr);
    EXPECT_EQ(Access::routes(*controller), 1u);
    EXPECT_EQ(Access::engine(*controller).routes().size(), 1u);
}

TEST_F(RoutingControllerReconcileTest, LineFeedsAMonitorThroughItsInputAndItsLevelsGoToTheDriverOnce) {
    if (ranInChild()) {
        return;
    }
    config.connections = {connect(Endpoint::source(source.id), kLine1),
                          connect(Endpoint::line(kLine1), "phones", -3)};
    config.deviceVolumes[kLine1].masterDB = -6;
    start();
    ASSERT_TRUE(waitForRoutes(2));
    settle();

    // The driver applies the line's volume; its destination plays at unity.
    const AudioObjectID line = AudioDeviceCatalog::device(kLine1)->id;
    const float half = std::pow(10.0f, -6.0f / 20);
    ASSERT_TRUE(Access::lineGainsSent(*controller, kLine1).has_value());
    EXPECT_NEAR((*Access::lineGainsSent(*controller, kLine1))[0], half, 1e-5);
    EXPECT_EQ(driverGains(line), *Access::lineGainsSent(*controller, kLine1));
    EXPECT_NEAR(lineLevel(), kToneDB - 6, 0.5);
    EXPECT_NEAR(monitorLevel("phones"), kToneDB - 6 - 3, 0.5);

    // Unchanged levels are not sent again: gains put into the driver behind the controller's back stay.
    ASSERT_TRUE(LineChannelGains::write(line, {1.0f, 1.0f}));
    controller->scheduleReconcile();
    settle();
    EXPECT_EQ(driverGains(line), (std::vector<float>{1.0f, 1.0f}));

    // A changed level is.
    edit([&](RoutingConfig& c) { c.deviceVolumes[kLine1].masterDB = -12; });
    const float quarter = std::pow(10.0f, -12.0f / 20);
    ASSERT_EQ(driverGains(line).size(), 2u);
    EXPECT_NEAR(driverGains(line)[0], quarter, 1e-5);
    EXPECT_NEAR(driverGains(line)[1], quarter, 1e-5);
}

// Connections that cannot be routed open no destination and get no route, pass after pass.
TEST_F(RoutingControllerReconcileTest, InvalidConnectionsAreNeverRouted) {
    if (ranInChild()) {
        return;
    }
    const std::string line2 = "qorvix.tandrel.device.line2";
    config.monitorDeviceUIDs = {"speakers"};
    Connection beyond = connect(Endpoint::source(source.id), "speakers");
    beyond.pair = 2;
    config.connections = {connect(Endpoint::source(source.id), "phones"), // no chosen monitor
                          connect(Endpoint::line(kLine1), line2),         // a line never feeds a line
                          beyond,                                         // the speakers have 2 channels
                          connect(Endpoint::source(source.id), kLine1)};
    start();
    ASSERT_TRUE(waitForRoutes(1));
    settle();
    controller->scheduleReconcile();
    settle();
    EXPECT_EQ(Access::routes(*controller), 1u);
    EXPECT_NE(Access::route(*controller, config.connections[3].id), nullptr);
    EXPECT_EQ(Access::destination(*controller, "phones"), nullptr);
    EXPECT_EQ(Access::destination(*controller, "speakers"), nullptr);
    EXPECT_EQ(Access::destination(*controller, line2), nullptr);
    EXPECT_EQ(Access::engine(*controller).routes().size(), 1u);
}

// A line whose driver has no 'lcgn' is probed once and never written to: its volume is applied in the
// channel gains of the destination that renders into it.
TEST_F(RoutingControllerReconcileTest, ALineWithoutChannelGainsGetsItsVolumeFromItsDestination) {
    if (ranInChild()) {
        return;
    }
    const AudioObjectID line = AudioDeviceCatalog::device(kLine1)->id;
    const auto untouched = driverGains(line);
    server->hideProperty(line, kTandrelPropertyLineChannelGains);
    config.connections = {connect(Endpoint::source(source.id), kLine1)};
    config.deviceVolumes[kLine1].masterDB = -6;
    start();
    ASSERT_TRUE(waitForRoutes(1));
    settle();
    EXPECT_EQ(Access::lineGainSupport(*controller, kLine1), false);
    EXPECT_EQ(Access::lineGainsSent(*controller, kLine1), std::nullopt);
    EXPECT_NEAR(lineLevel(), kToneDB - 6, 0.5);

    controller->scheduleReconcile();
    settle();
    EXPECT_EQ(Access::lineGainSupport(*controller, kLine1), false) << "probed once, remembered";
    server->clearRefusals();
    EXPECT_EQ(driverGains(line), untouched) << "gains were written to a line without the property";
    EXPECT_NEAR(lineLevel(), kToneDB - 6, 0.5);
}

// A line that refuses its gains keeps nothing in the cache: the next pass sends them again.
TEST_F(RoutingControllerReconcileTest, RefusedLineGainsAreNotRememberedAndAreSentAgainOnTheNextPass) {
    if (ranInChild()) {
        return;
    }
    const AudioObjectID line = AudioDeviceCatalog::device(kLine1)->id;
    const auto untouched = driverGains(line);
    server->refuseProperty(line, kTandrelPropertyLineChannelGains, kAudioHardwareIllegalOperationError,
                           AudioServer::set);
    config.connections = {connect(Endpoint::source(source.id), kLine1)};
    config.deviceVolumes[kLine1].masterDB = -6;
    start();
    ASSERT_TRUE(waitForRoutes(1));
    settle();
    EXPECT_EQ(Access::lineGainSupport(*controller, kLine1), true);
    EXPECT_EQ(Access::lineGainsSent(*controller, kLine1), std::nullopt);
    EXPECT_EQ(driverGains(line), untouched);

    server->clearRefusals();
    controller->scheduleReconcile();
    settle();
    const float half = std::pow(10.0f, -6.0f / 20);
    ASSERT_TRUE(Access::lineGainsSent(*controller, kLine1).has_value());
    EXPECT_EQ(driverGains(line), *Access::lineGainsSent(*controller, kLine1));
    ASSERT_EQ(driverGains(line).size(), 2u);
    EXPECT_NEAR(driverGains(line)[0], half, 1e-5);
    EXPECT_NEAR(lineLevel(), kToneDB - 6, 0.5);
}

TEST_F(RoutingControllerReconcileTest, DestinationThatCannotOpenSetsTheMessageAndTheRestStillRuns) {
    if (ranInChild()) {
        return;
    }
    server->refuseDeviceStart(server->deviceID("speakers"), kAudioHardwareIllegalOperationError);
    config.connections = {connect(Endpoint::source(source.id), "speakers"),
                          connect(Endpoint::source(source.id), kLine1)};
    start();
    ASSERT_TRUE(waitForRoutes(1));
    settle();
    ASSERT_TRUE(controller->message().has_value());
    EXPECT_TRUE(controller->message()->starts_with("Speakers を開けません: ")) << *controller->message();
    EXPECT_EQ(Access::destination(*controller, "speakers"), nullptr);
    EXPECT_NE(Access::route(*controller, config.connections[1].id), nullptr);
    EXPECT_TRUE(controller->audioSystemResponsive());

    // The next pass tries again.
    server->refuseDeviceStart(server->deviceID("speakers"), kAudioHardwareNoError);
    controller->scheduleReconcile();
    ASSERT_TRUE(waitForRoutes(2));
}

TEST_F(RoutingControllerReconcileTest, TimeOutEndsThePassWithoutBlockingTheGUIThread) {
    if (ranInChild()) {
        return;
    }
    // Every server call now takes 3 s, and the controller waits for 1 s. A pass that waited for the
    // answer would take the 3 s; one that waited on the GUI thread would hold it still for the whole
    // second, far longer than a busy machine's scheduling ever does.
    CoreAudioCall::simulatedDelay = 3.0;
    const GuiThreadGaps gaps;
    start({.saveDelay = 100ms, .callTimeout = 1.0});

    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->audioSystemResponsive(); }, 5000));
    EXPECT_LT(gaps.elapsedMs(), 3000) << "the pass waits only for its time-out";
    EXPECT_LT(gaps.longestMs(), 1000) << "the GUI thread kept running its events";
    EXPECT_FALSE(controller->devicesLoaded());
    EXPECT_FALSE(controller->message().has_value()) << "a time-out is not an error message";
    settle();
}

} // namespace

namespace {

// Input-device sources without the driver: their statuses as devices come and go from the list.
using RoutingControllerSourceStatus = EmulatedServerTest;

TEST_F(RoutingControllerSourceStatus, InputSourcesRunWaitForTheirDeviceAndLeaveWithTheirConfiguration) {
    startServer(false);
    const auto inputSource = [](std::string uid) {
        SourceConfig source;
        source.id = UUID::random();
        source.kind = SourceKind::inputDevice(uid);
        source.name = uid;
        return source;
    };
    const SourceConfig present = inputSource("interface");
    const SourceConfig absent = inputSource("unplugged");
    RoutingConfig config;
    config.sources = {present, absent};
    controller = RoutingController::create(config, false, false, {.saveDelay = 100ms});
    QCoro::waitFor(controller->waitForReconcile());

    using Status = RoutingController::SourceStatus;
    EXPECT_EQ(controller->sourceStatus().at(present.id), Status::running("入力デバイス"));
    EXPECT_EQ(controller->sourceStatus().at(absent.id), Status::waiting("デバイスが接続されていません"));
    EXPECT_EQ(Access::sources(*controller), 1u);

    // A waiting source is left alone by later passes, and tried again on request.
    QSignalSpy statusSpy(controller.get(), &RoutingController::sourceStatusChanged);
    controller->scheduleReconcile();
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_EQ(statusSpy.count(), 0);
    controller->retrySources();
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_GE(statusSpy.count(), 2) << "cleared, then starting, then waiting again";
    EXPECT_EQ(controller->sourceStatus().at(absent.id), Status::waiting("デバイスが接続されていません"));

    // A running source that leaves the configuration is stopped and forgotten.
    RoutingConfig next = controller->config();
    next.sources = {absent};
    controller->setConfig(next);
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_FALSE(controller->sourceStatus().contains(present.id));
    EXPECT_EQ(Access::sources(*controller), 0u);
    EXPECT_TRUE(QTest::qWaitFor([] { return AudioServer::runningIOCount() == 0; }, 3000))
        << "the removed source's device callback was stopped";
}

} // namespace

namespace {

// Runs no pass of its own: the test plays the pass's part in a source's start.
class PasslessController : public RoutingController {
public:
    explicit PasslessController(RoutingConfig config)
        : RoutingController(std::move(config), false, false, {.saveDelay = 100ms}) {}
    static std::shared_ptr<PasslessController> create(RoutingConfig config) {
        return make<PasslessController>(std::move(config));
    }

protected:
    QCoro::Task<> reconcile() override { co_return; }
};

// A capture restart turns a starting source idle and the same pass starts it again at once, so the first
// start finds the status "starting" again when it finishes. Only the latest start may enter the source.
TEST_F(RoutingControllerSourceStatus, StartSupersededByARestartNeverEntersItsSource) {
    startServer(false);
    SourceConfig source;
    source.id = UUID::random();
    source.kind = SourceKind::inputDevice("interface");
    source.name = "Interface";
    RoutingConfig config;
    config.sources = {source};
    controller = PasslessController::create(config);
    Access::publishDevices(*controller, {}, {}, {*AudioDeviceCatalog::device("interface")});

    using Status = RoutingController::SourceStatus;
    const auto first = Access::beginStart(*controller, source.id);
    auto firstStart = Access::startSource(*controller, source, first);
    // The restart, while the first start waits for the server.
    Access::setStatus(*controller, source.id, Status::idle());
    const auto second = Access::beginStart(*controller, source.id);
    QCoro::waitFor(std::move(firstStart));
    EXPECT_EQ(Access::sources(*controller), 0u) << "the superseded start is stopped, not entered";
    EXPECT_EQ(controller->sourceStatus().at(source.id), Status::starting());

    auto secondStart = Access::startSource(*controller, source, second);
    QCoro::waitFor(std::move(secondStart));
    EXPECT_EQ(controller->sourceStatus().at(source.id), Status::running("入力デバイス"));
    ASSERT_NE(Access::sourceProducer(*controller, source.id), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([] { return AudioServer::runningIOCount() == 1; }, 3000))
        << "the superseded start's device callback was stopped";
}

} // namespace
