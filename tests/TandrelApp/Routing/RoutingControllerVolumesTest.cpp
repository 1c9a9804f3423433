#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"

#include "RoutingControllerTestAccess.h"
#include "Support/DeviceCallbacksStopped.h"

using namespace std::chrono_literals;
using Access = RoutingControllerTestAccess;

namespace {

// Runs no pass of its own, so what a test sees is what the edits and the recovery did.
class PasslessController : public RoutingController {
public:
    PasslessController(RoutingConfig config, Timings timings)
        : RoutingController(std::move(config), false, false, timings) {}
    static std::shared_ptr<PasslessController> create(RoutingConfig config = {}, Timings timings = {}) {
        return make<PasslessController>(std::move(config), timings);
    }

protected:
    QCoro::Task<> reconcile() override { co_return; }
};

SourceConfig inputSource(const std::string& uid) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = SourceKind::inputDevice(uid);
    source.name = uid;
    return source;
}

class VolumeEditingTest : public ::testing::Test {
protected:
    void SetUp() override {
        RoutingConfig config;
        config.sources.push_back(source);
        controller = PasslessController::create(config);
    }

    const SourceConfig& edited() const { return controller->config().sources.front(); }
    DeviceVolume device(const std::string& uid) const { return controller->config().volume(uid); }

    SourceConfig source = inputSource("mic");
    std::shared_ptr<PasslessController> controller;
};

TEST_F(VolumeEditingTest, VolumesAreClampedAndNonFiniteEditsAreIgnored) {
    controller->setSourceVolume(source.id, -80);
    EXPECT_EQ(edited().volumeDB, -60);
    controller->setSourceVolume(source.id, 20);
    EXPECT_EQ(edited().volumeDB, 12);
    controller->setSourceVolume(source.id, 0);
    EXPECT_EQ(edited().volumeDB, 0);
    controller->setDeviceVolume("speakers", -60.5f);
    EXPECT_EQ(device("speakers").masterDB, -60);
    controller->setChannelVolume("speakers", 1, 12.5f);
    EXPECT_EQ(device("speakers").channelDB, (std::map<std::int64_t, float>{{1, 12}}));

    // A NaN would make every later save fail to encode, so such edits never reach the configuration.
    const RoutingConfig before = controller->config();
    QSignalSpy announced(controller.get(), &RoutingController::configChanged);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity()}) {
        controller->setSourceVolume(source.id, bad);
        controller->setSourceChannelVolume(source.id, 0, bad);
        controller->setDeviceVolume("speakers", bad);
        controller->setPairVolume("speakers", 0, bad);
        controller->setChannelVolume("other", 0, bad);
    }
    // Neither does an edit of a source that is not configured.
    controller->setSourceVolume(UUID::random(), -6);
    controller->setSourceMuted(UUID::random(), true);
    EXPECT_EQ(announced.count(), 0);
    EXPECT_EQ(controller->config(), before);
}

TEST_F(VolumeEditingTest, ZeroDecibelsRemovesPairAndChannelEntries) {
    controller->setPairVolume("speakers", 2, 0.5f);
    EXPECT_EQ(device("speakers").pairDB, (std::map<std::int64_t, float>{{2, 0.5f}}));
    controller->setPairVolume("speakers", 2, -0.0f);
    EXPECT_TRUE(device("speakers").pairDB.empty());
    controller->setPairVolume("speakers", 0, -70);
    EXPECT_EQ(device("speakers").pairDB, (std::map<std::int64_t, float>{{0, -60}}));

    controller->setChannelVolume("speakers", 3, -3);
    controller->setChannelVolume("speakers", 3, 0);
    EXPECT_TRUE(device("speakers").channelDB.empty());

    controller->setSourceChannelVolume(source.id, 1, -3);
    EXPECT_EQ(edited().channelDB, (std::map<std::int64_t, float>{{1, -3}}));
    controller->setSourceChannelVolume(source.id, 1, 0);
    EXPECT_TRUE(edited().channelDB.empty());
    const RoutingConfig before = controller->config();
    controller->setSourceChannelVolume(source.id, 5, 0);
    EXPECT_EQ(controller->config(), before);

    // The master volume keeps 0 like any other value.
    controller->setDeviceVolume("speakers", 0);
    EXPECT_EQ(controller->config().deviceVolumes.at("speakers").masterDB, 0);
}

TEST_F(VolumeEditingTest, MutesCoverThePairsChannelsAndOnlyAnUnmuteCreatesNoEntry) {
    controller->setChannelMuted("a", 3, false);
    EXPECT_FALSE(controller->config().deviceVolumes.contains("a"));
    controller->setDeviceMuted("b", false);
    EXPECT_EQ(controller->config().deviceVolumes.at("b"), DeviceVolume{});

    // The odd last channel of a five-channel device is a pair of one.
    controller->setPairMuted("c", 4, 5, true);
    EXPECT_EQ(device("c").mutedChannels, (std::set<std::int64_t>{4}));
    EXPECT_TRUE(controller->isPairMuted("c", 4, 5));
    EXPECT_FALSE(controller->isPairMuted("c", 2, 5));
    EXPECT_TRUE(controller->isPairMuted("c", 6, 6)) << "an empty range";
    EXPECT_FALSE(controller->isPairMuted("unknown", 0, 2));
    controller->setPairMuted("c", 4, 5, false);
    EXPECT_TRUE(device("c").mutedChannels.empty());
    EXPECT_TRUE(controller->config().deviceVolumes.contains("c"));
}

// ---- Recovery from an audio server that stopped answering

class AudioSystemRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-recovery-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({
          "devices": [
            { "uid": "speakers", "name": "Speakers", "outputStreams": [2] },
            { "uid": "mic", "name": "Mic", "inputStreams": [2] }
          ]})"),
                                     .home = home});
    }
    void TearDown() override {
        CoreAudioCall::simulatedDelay = 0;
        controller.reset();
        CoreAudioCall::sync([] {});
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    static constexpr RoutingControllerTimings fast{
        .callTimeout = 0.3, .recoveryInterval = 200ms, .probeTimeout = 0.2};

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
};

TEST_F(AudioSystemRecoveryTest, HangIsNoticedWithinTheTimeOutAndEverythingIsRebuiltOnceTheServerAnswers) {
    const SourceConfig mic = inputSource("mic");
    RoutingConfig config;
    config.sources.push_back(mic);
    config.monitorDeviceUIDs.push_back("speakers");
    Connection connection;
    connection.id = UUID::random();
    connection.from = Endpoint::source(mic.id);
    connection.toDeviceUID = "speakers";
    config.connections.push_back(connection);
    controller = RoutingController::create(config, false, false, fast);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Access::routes(*controller) == 1; }, 3000));

    // A new latency tears down, and the stop of the destination hangs.
    CoreAudioCall::simulatedDelay = 1.5;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    QElapsedTimer elapsed;
    elapsed.start();
    config.latency = LatencyPreset::safe;
    controller->setConfig(config);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->audioSystemResponsive(); }, 3000));
    EXPECT_LT(elapsed.elapsed(), 1000) << "noticed before the hung call could return";
    EXPECT_GE(ticks, 10) << "the GUI thread kept handling events";
    EXPECT_TRUE(Access::recoveryRunning(*controller));

    // Probes keep timing out while it hangs; the server changes meanwhile.
    ASSERT_TRUE(server->renameDevice("speakers", "Desk Speakers"));
    QTest::qWait(600);
    EXPECT_FALSE(controller->audioSystemResponsive());
    EXPECT_EQ(Access::routes(*controller), 0u);

    CoreAudioCall::simulatedDelay = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioSystemResponsive(); }, 5000));
    EXPECT_FALSE(Access::recoveryRunning(*controller));
    ASSERT_EQ(controller->outputDevices().size(), 1u);
    EXPECT_EQ(controller->outputDevices()[0].name, "Desk Speakers") << "devices fetched anew";
    EXPECT_TRUE(QTest::qWaitFor([&] { return Access::routes(*controller) == 1; }, 3000));
    EXPECT_EQ(Access::destinations(*controller), 1u);
    EXPECT_EQ(controller->sourceStatus().at(mic.id),
              RoutingController::SourceStatus::running("入力デバイス"));
}

TEST_F(AudioSystemRecoveryTest, TwoTimeOutsInARowStartOneRecoveryThatLeavesTheMarkingToThePass) {
    auto passless = PasslessController::create({}, fast);
    controller = passless;
    Access::audioSystemUnresponsive(*controller);
    QTest::qWait(100);
    Access::audioSystemUnresponsive(*controller);
    EXPECT_FALSE(controller->audioSystemResponsive());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !Access::recoveryRunning(*controller); }, 3000));
    EXPECT_TRUE(Access::pendingRebuild(*controller));
    EXPECT_TRUE(Access::pendingCaptureRestart(*controller));
    EXPECT_FALSE(controller->audioSystemResponsive());

    // A second recovery would answer about 100 ms after the first and forget this status.
    const UUID failed = UUID::random();
    Access::setStatus(*controller, failed, RoutingController::SourceStatus::failed("broken"));
    QTest::qWait(400);
    EXPECT_TRUE(controller->sourceStatus().contains(failed));

    // A recovery in progress never keeps its controller alive.
    Access::audioSystemUnresponsive(*controller);
    std::weak_ptr<RoutingController> weak = controller;
    passless.reset();
    controller.reset();
    EXPECT_TRUE(weak.expired());
}

} // namespace
