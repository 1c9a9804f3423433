// Sources and monitors added by hand and automatically, playing applications and exclusions, and the
// workspace's launch and termination events, against the emulated server's simulated applications.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/ScreenCapture/SCShareableContent.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/ProcessTapSource.h"
#include "TandrelApp/Engine/SCKAudioSource.h"
#include "TandrelApp/Routing/RoutingController.h"

#include "RoutingControllerTestAccess.h"
#include "Support/DeviceCallbacksStopped.h"
#include "Support/EmulatedServerRun.h"
#include "Support/ToneProbe.h"

using namespace std::chrono_literals;
using Access = RoutingControllerTestAccess;

namespace {

constexpr int playerPid = 7401;
constexpr int radioPid = 7402;

constexpr const char* profile = R"({
  "devices": [
    { "uid": "speakers", "name": "Speakers", "outputStreams": [2] },
    { "uid": "headphones", "name": "Headphones", "outputStreams": [2] }
  ],
  "applications": [
    { "pid": 7401, "bundleID": "org.example.player", "name": "Player" },
    { "pid": 7402, "bundleID": "org.example.radio", "name": "Radio" }
  ]
})";

const RoutingController::Timings fast{.saveDelay = 100ms, .playingDebounce = 150ms};

// Runs no reconcile pass, so the tests drive the rules alone.
class QuietController : public RoutingController {
public:
    explicit QuietController(RoutingConfig config)
        : RoutingController(std::move(config), false, false, fast) {}
    static std::shared_ptr<QuietController> create(RoutingConfig config = {}) {
        return make<QuietController>(std::move(config));
    }

protected:
    QCoro::Task<> reconcile() override { co_return; }
};

SourceConfig appSource(const std::string& bundleID, bool isAutoAdded) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = SourceKind::application(bundleID);
    source.name = bundleID;
    source.isAutoAdded = isAutoAdded;
    return source;
}

RunningApplication runningApp(std::string bundleID, std::optional<std::string> name = std::nullopt) {
    RunningApplication app;
    app.bundleIdentifier = std::move(bundleID);
    app.localizedName = std::move(name);
    return app;
}

ApplicationSpec simulatedApp(std::string bundleID, std::string name) {
    ApplicationSpec app;
    app.bundleID = std::move(bundleID);
    app.name = std::move(name);
    return app;
}

std::vector<std::string> names(const RoutingController& controller) {
    std::vector<std::string> out;
    for (const auto& source : controller.config().sources) {
        out.push_back(source.name);
    }
    return out;
}

const SourceConfig* find(const RoutingController& controller, const std::string& bundleID) {
    for (const auto& source : controller.config().sources) {
        if (source.kind == SourceKind::application(bundleID)) {
            return &source;
        }
    }
    return nullptr;
}

// A live controller that discovers automatically, over an emulated server with two simulated
// applications and two outputs.
class RoutingControllerSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-sources-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(profile), .home = home});
    }
    void TearDown() override {
        if (controller) {
            QCoro::waitFor(controller->waitForReconcile());
            controller.reset();
        }
        server.reset();
        AudioServer::stop();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        std::filesystem::remove_all(home);
    }

    void startController(RoutingConfig config) {
        controller = RoutingController::create(std::move(config), false, true, fast);
        QCoro::waitFor(controller->waitForReconcile());
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
};

TEST_F(RoutingControllerSourcesTest, AutomaticAddingNeverBringsBackWhatTheUserRemovedUntilAddedByHand) {
    RoutingConfig config;
    config.autoAdd.dismissedApps = {"org.example.radio"};
    config.autoAdd.dismissedMonitors = {"headphones"};
    startController(config);
    ASSERT_EQ(names(*controller), (std::vector<std::string>{"システム全体", "Player"}));
    EXPECT_FALSE(controller->config().sources[0].isAutoAdded);
    EXPECT_TRUE(controller->config().sources[1].isAutoAdded);
    EXPECT_EQ(controller->config().monitorDeviceUIDs, std::vector<std::string>{"speakers"});

    for (const auto& source : std::vector(controller->config().sources)) {
        controller->removeSource(source.id);
    }
    controller->removeMonitor("speakers");
    EXPECT_FALSE(controller->config().autoAdd.systemAudio);
    EXPECT_TRUE(controller->config().autoAdd.dismissedApps.contains("org.example.player"));

    // Every automatic path: the switches, a launch and a playing report.
    controller->setAutoAddsRunningApps(true);
    controller->setAutoAddsMonitors(true);
    const int launched = Workspace::shared().launch(runningApp("org.example.late"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return find(*controller, "org.example.late") != nullptr; }, 2000));
    controller->appsStillPlaying({{"org.example.player", "Player"}, {"org.example.radio", "Radio"}});
    controller->scheduleReconcile();
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_EQ(names(*controller), std::vector<std::string>{"org.example.late"});
    EXPECT_TRUE(controller->config().monitorDeviceUIDs.empty());

    controller->addSource(SourceKind::application("org.example.radio"), "Radio");
    controller->addSource(SourceKind::systemAudio(), "System");
    controller->addMonitor("headphones");
    controller->addMonitor("headphones");
    EXPECT_EQ(names(*controller), (std::vector<std::string>{"System", "org.example.late", "Radio"}));
    EXPECT_FALSE(find(*controller, "org.example.radio")->isAutoAdded);
    EXPECT_EQ(controller->config().autoAdd.dismissedApps, std::set<std::string>{"org.example.player"});
    EXPECT_TRUE(controller->config().autoAdd.systemAudio);
    EXPECT_EQ(controller->config().monitorDeviceUIDs, std::vector<std::string>{"headphones"});
    EXPECT_EQ(controller->config().autoAdd.dismissedMonitors, std::set<std::string>{"speakers"});

    // Excluding takes the user's own source of the application too, with its connections.
    controller->toggleConnection(Endpoint::source(find(*controller, "org.example.radio")->id), "headphones",
                                 0, 2);
    controller->excludeApp("org.example.radio");
    EXPECT_EQ(names(*controller), (std::vector<std::string>{"System", "org.example.late"}));
    EXPECT_TRUE(controller->config().connections.empty());
    Workspace::shared().terminate(launched);
}

TEST_F(RoutingControllerSourcesTest, PlayingApplicationIsAddedAndCapturedButAnExcludedOneIsNot) {
    RoutingConfig config;
    config.autoAdd.systemAudio = false;
    config.autoAdd.runningApps = false;
    config.autoAdd.dismissedApps = {"org.example.radio"};
    startController(config);
    ASSERT_TRUE(controller->config().sources.empty());

    server->setApplicationSignal(playerPid, InputSignal::sine(440, -20));
    server->setApplicationSignal(radioPid, InputSignal::sine(440, -20));

    ASSERT_TRUE(QTest::qWaitFor([&] { return find(*controller, "org.example.player") != nullptr; }, 4000));
    const SourceConfig added = *find(*controller, "org.example.player");
    EXPECT_EQ(added.name, "Player");
    EXPECT_TRUE(added.isAutoAdded);
    EXPECT_TRUE(controller->config().connections.empty())
        << "it runs because it plays, not because it is used";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto status = controller->sourceStatus().find(added.id);
            return status != controller->sourceStatus().end() &&
                   status->second == RoutingController::SourceStatus::running("Process Tap");
        },
        5000));
    EXPECT_EQ(controller->config().sources.size(), 1u) << "the excluded application is never added";
}

TEST_F(RoutingControllerSourcesTest, LaunchedAppIsAddedAndOnlyItsUntouchedSourceGoesWhenItQuits) {
    RoutingConfig config;
    config.autoAdd.systemAudio = false;
    config.autoAdd.dismissedApps = {"org.example.player", "org.example.radio"};
    startController(config);

    const int first = server->addApplication(simulatedApp("org.example.first", "First"));
    const int second = server->addApplication(simulatedApp("org.example.second", "Second"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->config().sources.size() == 2; }, 2000));
    EXPECT_TRUE(find(*controller, "org.example.first")->isAutoAdded);
    // Added again by hand, the second becomes the user's own.
    controller->addSource(SourceKind::application("org.example.second"), "Second");

    server->removeApplication(first);
    server->removeApplication(second);

    ASSERT_TRUE(QTest::qWaitFor([&] { return find(*controller, "org.example.first") == nullptr; }, 2000));
    QTest::qWait(50);
    EXPECT_EQ(names(*controller), std::vector<std::string>{"Second"});
}

// ---- The rules alone

// A controller that counts its reconcile passes.
class CountingController : public RoutingController {
public:
    explicit CountingController(RoutingConfig config)
        : RoutingController(std::move(config), false, false, fast) {}
    static std::shared_ptr<CountingController> create(RoutingConfig config) {
        return make<CountingController>(std::move(config));
    }
    int passes = 0;

protected:
    QCoro::Task<> reconcile() override {
        ++passes;
        auto pass = RoutingController::reconcile();
        co_await std::move(pass);
    }
};

bool hasStatus(const RoutingController& controller, const UUID& id,
               const RoutingController::SourceStatus& status) {
    const auto statuses = controller.sourceStatus();
    const auto found = statuses.find(id);
    return found != statuses.end() && found->second == status;
}

// An application captured into a device; a device other than a line is chosen as a monitor.
RoutingConfig captured(const std::string& bundleID, const std::string& to, SourceConfig& source,
                       Connection& connection) {
    source = appSource(bundleID, false);
    connection.id = UUID::random();
    connection.from = Endpoint::source(source.id);
    connection.toDeviceUID = to;
    RoutingConfig config;
    config.sources = {source};
    config.connections = {connection};
    if (!to.starts_with("qorvix.tandrel.device.line")) {
        config.monitorDeviceUIDs = {to};
    }
    return config;
}

// A capture source that the system stops: its routes go at once, it shows failed, and nothing restarts it
// on its own; a late report about a source that no longer runs changes nothing.
TEST_F(RoutingControllerSourcesTest, ACaptureSourceThatStopsByItselfDropsItsRoutesAtOnceAndStaysFailed) {
    using Status = RoutingController::SourceStatus;
    SourceConfig player;
    Connection toSpeakers;
    RoutingConfig config = captured("org.example.player", "speakers", player, toSpeakers);
    config.captureMode = CaptureMode::screenCaptureKit;
    auto counting = CountingController::create(config);
    controller = counting;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Access::route(*controller, toSpeakers.id) != nullptr; }, 5000));
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_EQ(controller->sourceStatus().at(player.id), Status::running("ScreenCaptureKit"));
    auto capture = std::dynamic_pointer_cast<SCKAudioSource>(Access::sourceProducer(*controller, player.id));
    ASSERT_NE(capture, nullptr);
    auto stream = capture->stream();
    ASSERT_NE(stream, nullptr);

    const int passesBefore = counting->passes;
    stream->stopBySystem(nullptr);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return hasStatus(*controller, player.id, Status::failed("停止しました")); }, 3000));
    EXPECT_EQ(Access::routes(*controller), 0u) << "the route outlived its source";
    EXPECT_TRUE(Access::engine(*controller).routes().empty());
    EXPECT_EQ(Access::sources(*controller), 0u);
    QTest::qWait(200);
    EXPECT_EQ(counting->passes, passesBefore) << "a stopped source scheduled a pass";
    EXPECT_EQ(controller->sourceStatus().at(player.id), Status::failed("停止しました"));

    // A report that arrives after the source has left is ignored.
    Access::sourceStopped(*controller, player.id, std::make_exception_ptr(std::runtime_error("late")));
    EXPECT_EQ(controller->sourceStatus().at(player.id), Status::failed("停止しました"));

    // Only a retry starts it again.
    controller->retrySources();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Access::route(*controller, toSpeakers.id) != nullptr; }, 5000));
    EXPECT_EQ(controller->sourceStatus().at(player.id), Status::running("ScreenCaptureKit"));
}

// A change of capture mode or latency stops the running capture and starts it again on the backend and
// buffer size now chosen; the route's safety margin follows the latency and the backend.
TEST_F(RoutingControllerSourcesTest, CaptureModeAndLatencyChangesRestartTheCaptureOnTheNewBackend) {
    using Status = RoutingController::SourceStatus;
    SourceConfig player;
    Connection toSpeakers;
    RoutingConfig config = captured("org.example.player", "speakers", player, toSpeakers);
    config.captureMode = CaptureMode::screenCaptureKit;
    config.latency = LatencyPreset::safe;
    controller = RoutingController::create(config, false, false, fast);
    const auto runningOn = [&](const char* backend) {
        return QTest::qWaitFor(
            [&] {
                return hasStatus(*controller, player.id, Status::running(backend)) &&
                       Access::route(*controller, toSpeakers.id) != nullptr;
            },
            5000);
    };
    ASSERT_TRUE(runningOn("ScreenCaptureKit"));
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_DOUBLE_EQ(Access::route(*controller, toSpeakers.id)->safetyMilliseconds(), 30.0);
    auto stream =
        std::dynamic_pointer_cast<SCKAudioSource>(Access::sourceProducer(*controller, player.id))->stream();
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(server->tapList().empty());

    RoutingConfig next = controller->config();
    next.captureMode = CaptureMode::processTap;
    controller->setConfig(next);
    ASSERT_TRUE(runningOn("Process Tap"));
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !stream->isCapturing(); }, 3000))
        << "the screen capture still runs";
    EXPECT_EQ(server->tapList().size(), 1u);
    EXPECT_DOUBLE_EQ(Access::route(*controller, toSpeakers.id)->safetyMilliseconds(), 10.0);
    const auto tap = server->tapList();
    const auto tapSource = Access::sourceProducer(*controller, player.id);
    ASSERT_NE(std::dynamic_pointer_cast<ProcessTapSource>(tapSource), nullptr);

    next = controller->config();
    next.latency = LatencyPreset::normal;
    controller->setConfig(next);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Access::sourceProducer(*controller, player.id) != nullptr &&
                   Access::sourceProducer(*controller, player.id) != tapSource &&
                   Access::route(*controller, toSpeakers.id) != nullptr;
        },
        5000));
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_EQ(controller->sourceStatus().at(player.id), Status::running("Process Tap"));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return server->tapList().size() == 1 && server->tapList() != tap; }, 3000))
        << "the first tap was not replaced";
    EXPECT_DOUBLE_EQ(Access::route(*controller, toSpeakers.id)->safetyMilliseconds(), 2.0);
}

TEST(RoutingControllerSourceRulesTest, PruneSparesWhatTheUserTouchedOrConnected) {
    RoutingConfig config;
    const SourceConfig untouched = appSource("org.example.gone", true);
    SourceConfig quieter = appSource("org.example.gone", true);
    quieter.volumeDB = -3.0f;
    SourceConfig muted = appSource("org.example.gone", true);
    muted.isMuted = true;
    const SourceConfig connected = appSource("org.example.gone", true);
    const SourceConfig byHand = appSource("org.example.gone", false);
    const SourceConfig stillRunning = appSource("org.example.running", true);
    config.sources = {untouched, quieter, muted, connected, byHand, stillRunning};
    config.connections.emplace_back().from = Endpoint::source(connected.id);
    auto controller = QuietController::create(config);

    Access::pruneAutoAddedApps(*controller, [](const std::string& id) { return id == "org.example.gone"; });

    config.sources.erase(config.sources.begin());
    EXPECT_EQ(controller->config().sources, config.sources);
}

TEST(RoutingControllerSourceRulesTest, OnlyTheLastReportOfABurstTakesEffectAfterTheDebounce) {
    auto controller = QuietController::create();

    controller->appsPlayingAudio({{"org.example.brief", "Brief"}});
    QTest::qWait(100);
    controller->appsPlayingAudio({{"org.example.steady", "Steady"}});
    QTest::qWait(100);
    EXPECT_TRUE(controller->config().sources.empty()) << "the first report was superseded in time";
    EXPECT_TRUE(Access::appsPlayingNow(*controller).empty());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->config().sources.empty(); }, 1000));
    EXPECT_EQ(names(*controller), std::vector<std::string>{"Steady"});
    EXPECT_EQ(Access::appsPlayingNow(*controller), std::set<std::string>{"org.example.steady"});

    controller->appsPlayingAudio({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Access::appsPlayingNow(*controller).empty(); }, 1000));
    EXPECT_EQ(controller->config().sources.size(), 1u);
}

TEST(RoutingControllerSourceRulesTest, StillPlayingAddsInNameOrderAndWakesOnlyWaitingSources) {
    RoutingConfig config;
    const SourceConfig waiting = appSource("org.example.waiting", false);
    const SourceConfig failed = appSource("org.example.failed", false);
    config.sources = {waiting, failed};
    auto controller = QuietController::create(config);
    Access::setStatus(*controller, waiting.id,
                      RoutingController::SourceStatus::waiting("アプリが起動していません"));
    Access::setStatus(*controller, failed.id, RoutingController::SourceStatus::failed("停止しました"));

    controller->appsStillPlaying({{"org.example.bee", "Bee"},
                                  {"org.example.failed", "Failed"},
                                  {"org.example.app10", "App 10"},
                                  {"org.example.waiting", "Waiting"},
                                  {"org.example.app9", "app 9"}});

    EXPECT_EQ(names(*controller), (std::vector<std::string>{"org.example.waiting", "org.example.failed",
                                                            "app 9", "App 10", "Bee"}));
    EXPECT_EQ(controller->sourceStatus().at(waiting.id), RoutingController::SourceStatus::idle());
    EXPECT_EQ(controller->sourceStatus().at(failed.id),
              RoutingController::SourceStatus::failed("停止しました"));
    EXPECT_TRUE(controller->shouldCapture(*find(*controller, "org.example.bee")));
}

// Display names come from the running application, then the installed entry, then the identifier; the
// exclusion list is in the order of those names.
TEST(RoutingControllerSourceRulesTest, ExcludedAppsAreOrderedByTheirDisplayNames) {
    QTemporaryDir applications;
    ASSERT_TRUE(applications.isValid());
    const std::string folder = applications.path().toStdString();
    std::ofstream(folder + "/org.example.installed.desktop")
        << "[Desktop Entry]\nType=Application\nName=Zither.app\n";
    Workspace::shared().setApplicationDirectories({folder});
    const int running = Workspace::shared().launch(runningApp("org.example.running", "Mandolin"));
    RoutingConfig config;
    config.autoAdd.dismissedApps = {"org.example.installed", "org.example.running", "aaa.unknown"};
    auto controller = QuietController::create(config);

    EXPECT_EQ(RoutingController::appName("org.example.installed"), "Zither");
    EXPECT_EQ(RoutingController::appName("org.example.running"), "Mandolin");
    EXPECT_EQ(RoutingController::appName("aaa.unknown"), "aaa.unknown");
    EXPECT_EQ(controller->excludedApps(),
              (std::vector<std::string>{"aaa.unknown", "org.example.running", "org.example.installed"}));

    Workspace::shared().terminate(running);
    Workspace::shared().setApplicationDirectories({});
}

} // namespace

// ---- An application that quits and starts again

// A line that plays back what it is given, and the Tone Player (1 kHz at -20 dBFS: amplitude 0.1).
constexpr const char* relaunchProfile = R"({
  "devices": [
    { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2],
      "inputSignal": "loopback" }
  ],
  "applications": [
    { "pid": 7501, "bundleID": "org.example.toneplayer", "name": "Tone Player",
      "signal": {"sine": 1000, "level": -20} }
  ]
})";

ApplicationSpec tonePlayer(double frequency = 1000) {
    ApplicationSpec app = simulatedApp("org.example.toneplayer", "Tone Player");
    app.signal = InputSignal::sine(frequency, -20);
    return app;
}

// The Tone Player routed into Line 1 by a controller of its own, on a server of its own.
class RelaunchTest : public ::testing::Test {
protected:
    void TearDown() override {
        probe.reset();
        if (controller) {
            QCoro::waitFor(controller->waitForReconcile());
            controller.reset();
        }
        server.reset();
        emulated.reset();
    }

    // `playing`: whether the Tone Player runs when the controller starts.
    void start(CaptureMode mode, bool playing = true) {
        TearDown();
        emulated = std::make_unique<EmulatedServerRun>("relaunch-test", relaunchProfile);
        server = emulated->server;
        if (!playing) {
            server->removeApplication(7501);
        }
        Connection toLine;
        RoutingConfig config =
            captured("org.example.toneplayer", "qorvix.tandrel.device.line1", player, toLine);
        config.captureMode = mode;
        config.latency = LatencyPreset::safe; // a busy machine's scheduling cannot starve the route
        controller = RoutingController::create(config, false, false, fast);
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller->devicesLoaded(); }, 5000));
        probe = std::make_unique<ToneProbe>(controller->lines().at(0));
    }

    bool waitsForThePlayer() {
        return QTest::qWaitFor(
            [&] {
                return hasStatus(*controller, player.id,
                                 RoutingController::SourceStatus::waiting("アプリが起動していません"));
            },
            3000);
    }
    bool hears(double frequency) { return probe->waitForTone(0, frequency, 0.05, 5000ms).has_value(); }

    std::unique_ptr<EmulatedServerRun> emulated;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
    std::unique_ptr<ToneProbe> probe;
    SourceConfig player;
};

// While the Tone Player does not run, its source says it waits for it, whichever way applications are
// captured; once it runs, and again after it quit and started anew under another process, its tone is on
// the line.
TEST_F(RelaunchTest, ASourceWaitsForItsApplicationAndHearsItAfterEveryLaunch) {
    for (const auto& [mode, name] : kCaptureModeRawValues) {
        SCOPED_TRACE(std::string(name));
        start(mode, false);
        EXPECT_TRUE(waitsForThePlayer()) << "a source without its application does not wait for it";

        server->addApplication(tonePlayer());
        EXPECT_TRUE(hears(1000)) << "the tone did not come with the application";

        server->removeApplication(
            Workspace::shared().runningApplications("org.example.toneplayer").at(0).pid);
        EXPECT_TRUE(waitsForThePlayer()) << "the source of an application that quit does not wait for it";
        EXPECT_EQ(Access::routes(*controller), 0u);

        server->addApplication(tonePlayer());
        const auto back = probe->waitForTone(0, 1000, 0.05, 5000ms);
        ASSERT_TRUE(back) << "the tone did not come back after the relaunch";
        std::cout << name << ": the tone came back after " << back->count() << " ms\n";
    }
}

// A second Tone Player (1.5 kHz) starts while the screen capture of the first runs, or while it is still
// starting: it is heard once the first has quit, though a screen capture hears only the processes it
// began with.
TEST_F(RelaunchTest, AnotherInstanceIsHeardAfterTheFirstQuitsThoughTheScreenCaptureBeganWithout) {
    for (const bool underWay : {false, true}) {
        SCOPED_TRACE(underWay ? "while the capture starts" : "while the capture runs");
        start(CaptureMode::screenCaptureKit);
        ASSERT_TRUE(hears(1000));
        if (underWay) {
            // A start whose view of the running applications is taken before the second one comes.
            QCoro::waitFor(controller->waitForReconcile());
            Access::sourceStopped(*controller, player.id, nullptr);
            SCShareableContent::holdCompletions(true);
            const auto attempt = Access::beginStart(*controller, player.id);
            auto starting = Access::startSource(*controller, player, attempt);
            QThread::msleep(100);
            server->addApplication(tonePlayer(1500));
            QTest::qWait(100);
            SCShareableContent::holdCompletions(false);
            QCoro::waitFor(std::move(starting));
        } else {
            server->addApplication(tonePlayer(1500));
        }
        QCoro::waitFor(controller->waitForReconcile());
        server->removeApplication(7501);
        EXPECT_TRUE(hears(1500)) << "the second Tone Player is not heard";
    }
}

// The Tone Player quits while its process tap is still being set up on the blocked call queue: the
// start that saw it never enters, and the source waits for it.
TEST_F(RelaunchTest, AStartUnderWayWhenItsApplicationQuitsNeverEnters) {
    start(CaptureMode::screenCaptureKit);
    ASSERT_TRUE(hears(1000));
    QCoro::waitFor(controller->waitForReconcile());

    auto release = std::make_shared<std::promise<void>>();
    CoreAudioCall::queue()->async([held = release->get_future().share()] { held.wait(); });
    RoutingConfig next = controller->config();
    next.captureMode = CaptureMode::processTap;
    controller->setConfig(next);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return hasStatus(*controller, player.id, RoutingController::SourceStatus::starting()); },
        3000));
    QTest::qWait(100); // the start gets as far as the blocked queue
    server->removeApplication(7501);
    EXPECT_TRUE(waitsForThePlayer());
    release->set_value();
    QTest::qWait(300);
    QCoro::waitFor(controller->waitForReconcile());
    EXPECT_TRUE(waitsForThePlayer()) << "a start that saw the application gone entered its source";
    EXPECT_EQ(Access::sources(*controller), 0u);
}
