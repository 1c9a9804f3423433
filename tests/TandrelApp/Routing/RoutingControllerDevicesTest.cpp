#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Routing/RoutingController.h"

#include "ControllerTestSupport.h"
#include "RoutingControllerTestAccess.h"
#include "Support/DeviceCallbacksStopped.h"

using Access = RoutingControllerTestAccess;

namespace {

using ControllerTestSupport::catching;
using ControllerTestSupport::uids;

QCoro::Task<std::vector<AudioDeviceInfo>> fetchCatching(std::shared_ptr<RoutingController> controller,
                                                        std::string* error) {
    try {
        auto fetching = Access::fetchDevices(*controller);
        co_return co_await std::move(fetching);
    } catch (const std::exception& e) {
        *error = e.what();
    }
    co_return {};
}

// Runs no reconcile pass of its own, so each test drives the device methods alone.
class QuietController : public RoutingController {
public:
    QuietController()
        : RoutingController(RoutingConfig{}, false, false, {.callTimeout = 0.5}) {}
    static std::shared_ptr<QuietController> create() { return make<QuietController>(); }

protected:
    QCoro::Task<> reconcile() override { co_return; }
};

class RoutingControllerDevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-devices-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({
          "devices": [
            { "uid": "qorvix.tandrel.device.line10", "name": "Line 10", "inputStreams": [2], "outputStreams": [2] },
            { "uid": "speakers", "name": "Speakers", "outputStreams": [2] },
            { "uid": "qorvix.tandrel.tap.0001", "name": "Corvane Tap", "inputStreams": [2] },
            { "uid": "interface", "name": "Interface", "inputStreams": [2], "outputStreams": [2] },
            { "uid": "qorvix.tandrel.tap.refresh.1", "name": "Refresh", "outputStreams": [2] },
            { "uid": "qorvix.tandrel.device.line2", "name": "Line 2", "inputStreams": [2], "outputStreams": [2] },
            { "uid": "mic", "name": "Mic", "inputStreams": [1] },
            { "uid": "silent", "name": "Silent" }
          ]})"),
                                     .home = home});
        controller = QuietController::create();
    }
    void TearDown() override {
        controller.reset();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::vector<AudioDeviceInfo> fetch() {
        std::string error;
        auto devices = QCoro::waitFor(fetchCatching(controller, &error));
        EXPECT_EQ(error, "");
        return devices;
    }
    void apply(std::vector<AudioDeviceInfo> devices) {
        EXPECT_EQ(QCoro::waitFor(catching(Access::applyDevices(*controller, std::move(devices)))),
                  std::nullopt);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
};

TEST_F(RoutingControllerDevicesTest, FetchLeavesOutTheProgramsOwnAggregatesAndKeepsTheServerOrder) {
    EXPECT_EQ(uids(fetch()),
              (std::vector<std::string>{"qorvix.tandrel.device.line10", "speakers", "interface",
                                        "qorvix.tandrel.device.line2", "mic", "silent"}));
}

TEST_F(RoutingControllerDevicesTest, ApplySortsLinesNumericallyAndSplitsTheOthersByDirection) {
    QSignalSpy linesSpy(controller.get(), &RoutingController::linesChanged);
    QSignalSpy loadedSpy(controller.get(), &RoutingController::devicesLoadedChanged);
    EXPECT_FALSE(controller->devicesLoaded());
    apply(fetch());
    EXPECT_EQ(uids(controller->lines()),
              (std::vector<std::string>{"qorvix.tandrel.device.line2", "qorvix.tandrel.device.line10"}));
    EXPECT_EQ(uids(controller->outputDevices()), (std::vector<std::string>{"speakers", "interface"}));
    EXPECT_EQ(uids(controller->inputDevices()), (std::vector<std::string>{"interface", "mic"}));
    EXPECT_TRUE(controller->devicesLoaded());
    EXPECT_EQ(linesSpy.count(), 1);
    EXPECT_EQ(loadedSpy.count(), 1);

    // Every application publishes again, unchanged or not.
    apply(fetch());
    EXPECT_EQ(linesSpy.count(), 2);
}

TEST_F(RoutingControllerDevicesTest, EmptyListPublishesEmptyListsAndStillLoads) {
    apply(fetch());
    apply({});
    EXPECT_TRUE(controller->lines().empty());
    EXPECT_TRUE(controller->outputDevices().empty());
    EXPECT_TRUE(controller->inputDevices().empty());
    EXPECT_TRUE(controller->devicesLoaded());
}

TEST_F(RoutingControllerDevicesTest, ChannelOrMembershipChangesAreChangesButARenameIsNot) {
    apply(fetch());
    EXPECT_FALSE(Access::deviceSetChanged(*controller, fetch()));

    ASSERT_TRUE(server->renameDevice("interface", "Studio Interface"));
    EXPECT_FALSE(Access::deviceSetChanged(*controller, fetch()));

    ASSERT_TRUE(server->setStreamLayout("interface", kAudioObjectPropertyScopeInput, {}));
    EXPECT_TRUE(Access::deviceSetChanged(*controller, fetch())) << "2/2 became 0/2";
    apply(fetch());
    EXPECT_FALSE(Access::deviceSetChanged(*controller, fetch()));

    ASSERT_TRUE(server->removeDevice("mic"));
    EXPECT_TRUE(Access::deviceSetChanged(*controller, fetch()));
}

// A device removed and added back between two checks has the same UID and channels but a new object id:
// what was opened on the old id is dead, so it is a change of the device set, and the published record
// takes the new id.
TEST_F(RoutingControllerDevicesTest, ADeviceAddedBackUnderANewIdIsAChangeAndTakesTheNewId) {
    const auto speakersID = [&]() -> AudioObjectID {
        for (const auto& device : controller->outputDevices()) {
            if (device.uid == "speakers") {
                return device.id;
            }
        }
        return kAudioObjectUnknown;
    };
    apply(fetch());
    const AudioObjectID before = speakersID();
    ASSERT_TRUE(server->removeDevice("speakers"));
    DeviceSpec speakers;
    speakers.uid = "speakers";
    speakers.name = "Speakers";
    speakers.outputStreams = {2};
    const AudioObjectID after = server->addDevice(speakers);
    ASSERT_NE(after, before);

    const auto devices = fetch();
    EXPECT_TRUE(Access::deviceSetChanged(*controller, devices));
    Access::refreshDeviceNames(*controller, devices);
    EXPECT_EQ(speakersID(), after);
    apply(fetch());
    EXPECT_EQ(speakersID(), after);
    EXPECT_FALSE(Access::deviceSetChanged(*controller, fetch()));
}

// Which connections can be routed: a source feeds any line and the chosen monitors, a line only the
// chosen monitors, and never a pair the destination does not have.
TEST_F(RoutingControllerDevicesTest, OnlyConnectionsToALineOrAChosenMonitorWithinTheDeviceAreValid) {
    apply(fetch());
    SourceConfig mic;
    mic.id = UUID::random();
    mic.kind = SourceKind::inputDevice("mic");
    mic.name = "Mic";
    RoutingConfig config;
    config.sources = {mic};
    config.monitorDeviceUIDs = {"speakers"};
    controller->setConfig(config);

    const std::string line2 = "qorvix.tandrel.device.line2";
    const std::string line10 = "qorvix.tandrel.device.line10";
    struct Case {
        const char* label;
        Endpoint from;
        std::string to;
        std::int64_t pair;
        bool valid;
    };
    const Case cases[] = {
        {"source to a line", Endpoint::source(mic.id), line2, 0, true},
        {"source to a chosen monitor", Endpoint::source(mic.id), "speakers", 0, true},
        {"source to an output that is no monitor", Endpoint::source(mic.id), "interface", 0, false},
        {"source that is not configured", Endpoint::source(UUID::random()), line2, 0, false},
        {"line to a chosen monitor", Endpoint::line(line10), "speakers", 0, true},
        {"line to a line", Endpoint::line(line10), line2, 0, false},
        {"line to an output that is no monitor", Endpoint::line(line10), "interface", 0, false},
        {"line that is not listed", Endpoint::line("qorvix.tandrel.device.line9"), "speakers", 0, false},
        {"pair beyond the device", Endpoint::source(mic.id), "speakers", 2, false},
        {"negative pair", Endpoint::source(mic.id), line2, -1, false},
        {"pair below the channel count", Endpoint::source(mic.id), line2, 1, true},
        {"unknown device", Endpoint::source(mic.id), "absent", 0, false},
    };
    for (const Case& c : cases) {
        Connection connection;
        connection.id = UUID::random();
        connection.from = c.from;
        connection.toDeviceUID = c.to;
        connection.pair = c.pair;
        EXPECT_EQ(Access::isValid(*controller, connection), c.valid) << c.label;
    }
}

// A line the driver publishes without channels is listed, but must not look new on every check, which
// would tear all audio down and rebuild it each time.
TEST_F(RoutingControllerDevicesTest, LineWithoutChannelsIsNoChangeOnTheNextCheck) {
    ASSERT_TRUE(server->setStreamLayout("qorvix.tandrel.device.line2", kAudioObjectPropertyScopeInput, {}));
    ASSERT_TRUE(server->setStreamLayout("qorvix.tandrel.device.line2", kAudioObjectPropertyScopeOutput, {}));
    apply(fetch());
    ASSERT_EQ(controller->lines().size(), 2u);
    EXPECT_FALSE(Access::deviceSetChanged(*controller, fetch()));
}

TEST_F(RoutingControllerDevicesTest, RenamesAreTakenOverInPlaceAndOnlyChangedListsAreAnnounced) {
    apply(fetch());
    QSignalSpy linesSpy(controller.get(), &RoutingController::linesChanged);
    QSignalSpy outputsSpy(controller.get(), &RoutingController::outputDevicesChanged);
    QSignalSpy inputsSpy(controller.get(), &RoutingController::inputDevicesChanged);

    ASSERT_TRUE(server->renameDevice("speakers", "Desk Speakers"));
    Access::refreshDeviceNames(*controller, fetch());
    EXPECT_EQ(controller->outputDevices()[0].name, "Desk Speakers");
    EXPECT_EQ(outputsSpy.count(), 1);
    EXPECT_EQ(linesSpy.count(), 0);
    EXPECT_EQ(inputsSpy.count(), 0);

    ASSERT_TRUE(server->renameDevice("qorvix.tandrel.device.line10", "Stream"));
    Access::refreshDeviceNames(*controller, fetch());
    EXPECT_EQ(uids(controller->lines()),
              (std::vector<std::string>{"qorvix.tandrel.device.line2", "qorvix.tandrel.device.line10"}));
    EXPECT_EQ(controller->lines()[1].name, "Stream");
    EXPECT_EQ(linesSpy.count(), 1);

    // A device that has gone is not removed here; that takes a rebuild.
    ASSERT_TRUE(server->removeDevice("mic"));
    Access::refreshDeviceNames(*controller, fetch());
    EXPECT_EQ(uids(controller->inputDevices()), (std::vector<std::string>{"interface", "mic"}));
    EXPECT_EQ(inputsSpy.count(), 0);
}

TEST_F(RoutingControllerDevicesTest, TeardownLeavesNothingOpen) {
    apply(fetch());
    auto speakers = std::make_shared<OutputDestination>(*AudioDeviceCatalog::device("speakers"));
    auto line2Out =
        std::make_shared<OutputDestination>(*AudioDeviceCatalog::device("qorvix.tandrel.device.line2"));
    CoreAudioCall::sync([&] {
        speakers->start(512);
        line2Out->start(512);
    });
    auto lineInput =
        std::make_shared<InputDeviceSource>(*AudioDeviceCatalog::device("qorvix.tandrel.device.line10"));
    auto mic = std::make_shared<InputDeviceSource>(*AudioDeviceCatalog::device("mic"));
    ASSERT_EQ(QCoro::waitFor(catching(lineInput->start(std::nullopt))), std::nullopt);
    ASSERT_EQ(QCoro::waitFor(catching(mic->start(std::nullopt))), std::nullopt);

    const UUID micID = UUID::random();
    const UUID waitingID = UUID::random();
    const UUID failedID = UUID::random();
    Access::addDestination(*controller, speakers);
    Access::addDestination(*controller, line2Out);
    Access::addLineInput(*controller, lineInput);
    Access::addInputSource(*controller, micID, mic);
    Access::setStatus(*controller, micID, RoutingController::SourceStatus::running("Mic"));
    Access::setStatus(*controller, waitingID, RoutingController::SourceStatus::waiting("later"));
    Access::setStatus(*controller, failedID, RoutingController::SourceStatus::failed("broken"));
    Access::cacheLineGains(*controller, "qorvix.tandrel.device.line2");
    Access::addRoute(*controller, UUID::random(), mic, speakers, ChannelMapping{{{0, 0}, {0, 1}}});
    Access::addRoute(*controller, UUID::random(), lineInput, speakers, ChannelMapping{{{0, 0}, {1, 1}}});
    speakers.reset();
    line2Out.reset();

    ASSERT_EQ(QCoro::waitFor(catching(Access::teardownDevices(*controller))), std::nullopt);
    EXPECT_EQ(Access::routes(*controller), 0u);
    EXPECT_TRUE(Access::engine(*controller).routes().empty());
    EXPECT_EQ(Access::destinations(*controller), 0u);
    EXPECT_EQ(Access::lineInputs(*controller), 0u);
    EXPECT_EQ(Access::lineGainCaches(*controller), 0u);
    EXPECT_EQ(Access::sources(*controller), 0u);
    EXPECT_FALSE(lineInput->isRunning()) << "line inputs are stopped before the teardown returns";
    const auto& status = controller->sourceStatus();
    EXPECT_EQ(status.at(micID), RoutingController::SourceStatus::idle());
    EXPECT_EQ(status.at(waitingID), RoutingController::SourceStatus::idle());
    EXPECT_EQ(status.at(failedID), RoutingController::SourceStatus::failed("broken"));

    lineInput.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !mic->isRunning(); }, 2000))
        << "input source stopped in background";
    mic.reset();
    CoreAudioCall::sync([] {});
    EXPECT_TRUE(QTest::qWaitFor([] { return AudioServer::runningIOCount() == 0; }, 2000));
}

TEST_F(RoutingControllerDevicesTest, TeardownThatTimesOutHasAlreadyForgottenEverything) {
    apply(fetch());
    auto speakers = std::make_shared<OutputDestination>(*AudioDeviceCatalog::device("speakers"));
    CoreAudioCall::sync([&] { speakers->start(512); });
    Access::addDestination(*controller, speakers);
    const UUID waitingID = UUID::random();
    Access::setStatus(*controller, waitingID, RoutingController::SourceStatus::waiting("later"));
    speakers.reset();

    CoreAudioCall::simulatedDelay = 0.8;
    auto error = QCoro::waitFor(catching(Access::teardownDevices(*controller)));
    CoreAudioCall::simulatedDelay = 0;
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("Speakers の停止"), std::string::npos) << *error;
    EXPECT_EQ(Access::destinations(*controller), 0u);
    EXPECT_EQ(controller->sourceStatus().at(waitingID), RoutingController::SourceStatus::waiting("later"));
}

} // namespace
