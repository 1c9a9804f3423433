#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "TemporaryDataHome.h"
#include <qcoro/qcorotimer.h>

#include "Platform/AudioServer/AudioServer.h"
#include "RoutingControllerTestAccess.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Routing/ControllerLoader.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"

using namespace std::chrono_literals;

namespace {

using Access = RoutingControllerTestAccess;

// Counts reconcile passes in a counter that outlives the controller; `duringPass` runs inside a pass
// and may suspend, so requests can arrive while the pass is in progress.
class CountingController : public RoutingController {
public:
    using PassBody = std::function<QCoro::Task<>(CountingController&, int pass)>;

    CountingController(RoutingConfig config, bool persists, std::shared_ptr<int> passes, PassBody body,
                       Timings timings)
        : RoutingController(std::move(config), persists, false, timings)
        , passes_(std::move(passes))
        , body_(std::move(body)) {}

    static std::shared_ptr<CountingController> create(RoutingConfig config, bool persists,
                                                      std::shared_ptr<int> passes, PassBody body = {},
                                                      Timings timings = {.saveDelay = 100ms}) {
        return make<CountingController>(std::move(config), persists, std::move(passes), std::move(body),
                                        timings);
    }

protected:
    QCoro::Task<> reconcile() override {
        const int pass = ++*passes_;
        if (body_) {
            auto task = body_(*this, pass);
            co_await std::move(task);
        }
    }

private:
    std::shared_ptr<int> passes_;
    PassBody body_;
};

class FakeProducer : public AudioProducer {
public:
    explicit FakeProducer(uint32_t channels)
        : fanout_(channels)
        , channels_(channels) {}
    std::string producerName() const override { return "fake"; }
    AudioFanout& fanout() const override { return fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return 48000; }

private:
    mutable AudioFanout fanout_;
    uint32_t channels_;
};

// A fresh application-support folder per test, so no real configuration is read or written.
class RoutingControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home_.isValid()); }

    static bool saved() { return QFile::exists(RoutingConfigStore::url()); }

    // Waits until the loop has ended and then a little longer, so a pass that should not come would.
    static void settle(const RoutingController& controller) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Access::reconcileRunning(controller); }, 2000));
        QTest::qWait(30);
        ASSERT_FALSE(Access::reconcileRunning(controller));
    }

    static RoutingConfig withSource(RoutingConfig config, const std::string& bundleID) {
        SourceConfig source;
        source.id = UUID::random();
        source.kind = SourceKind::application(bundleID);
        source.name = bundleID;
        config.sources.push_back(source);
        return config;
    }

    TemporaryDataHome home_;
};

// ---- The change rule

TEST_F(RoutingControllerTest, EqualAssignmentIsAnnouncedButNeitherSavesNorReconciles) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create(withSource({}, "com.example.a"), true, passes);
    settle(*controller);
    ASSERT_EQ(*passes, 1);
    QSignalSpy announced(controller.get(), &RoutingController::configChanged);

    controller->setConfig(controller->config());

    EXPECT_EQ(announced.count(), 1);
    EXPECT_FALSE(Access::pendingRebuild(*controller));
    EXPECT_FALSE(Access::pendingCaptureRestart(*controller));
    QTest::qWait(200);
    EXPECT_FALSE(saved());
    EXPECT_EQ(*passes, 1);
}

TEST_F(RoutingControllerTest, CaptureModeAndLatencyChangesSetTheirFlags) {
    struct Row {
        const char* name;
        std::function<void(RoutingConfig&)> change;
        bool rebuild;
        bool captureRestart;
    };
    const std::vector<Row> rows{
        {"capture mode", [](RoutingConfig& c) { c.captureMode = CaptureMode::processTap; }, false, true},
        {"latency", [](RoutingConfig& c) { c.latency = LatencyPreset::safe; }, true, true},
        {"both",
         [](RoutingConfig& c) {
             c.captureMode = CaptureMode::screenCaptureKit;
             c.latency = LatencyPreset::low;
         },
         true, true},
        {"other field", [](RoutingConfig& c) { c.hiddenFaders.insert("x"); }, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto passes = std::make_shared<int>(0);
        auto controller = CountingController::create({}, false, passes);
        settle(*controller);
        RoutingConfig next = controller->config();
        row.change(next);

        controller->setConfig(next);

        EXPECT_EQ(Access::pendingRebuild(*controller), row.rebuild);
        EXPECT_EQ(Access::pendingCaptureRestart(*controller), row.captureRestart);
        EXPECT_TRUE(Access::reconcileRunning(*controller)) << "a change schedules a pass before it returns";
        settle(*controller);
        EXPECT_EQ(*passes, 2);
    }
}

TEST_F(RoutingControllerTest, BurstOfChangesSavesOnceAfterTheLastWithTheLatestConfiguration) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create({}, true, passes, {}, {.saveDelay = 150ms});
    settle(*controller);

    for (int i = 0; i < 10; ++i) {
        controller->setConfig(withSource(controller->config(), "com.example." + std::to_string(i)));
        ASSERT_FALSE(saved()) << "no write while the changes go on, change " << i;
        QTest::qWait(10);
    }
    QElapsedTimer sinceLast;
    sinceLast.start();
    ASSERT_TRUE(QTest::qWaitFor([] { return saved(); }, 2000));
    EXPECT_GE(sinceLast.elapsed(), 120);
    EXPECT_EQ(RoutingConfigStore::load(), controller->config());
    EXPECT_EQ(controller->config().sources.size(), 10u);
}

TEST_F(RoutingControllerTest, ControllerThatDoesNotPersistReconcilesButNeverWrites) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create({}, false, passes);
    settle(*controller);

    controller->setConfig(withSource(controller->config(), "com.example.a"));

    settle(*controller);
    EXPECT_EQ(*passes, 2);
    QTest::qWait(200);
    EXPECT_FALSE(saved());
}

TEST_F(RoutingControllerTest, DroppedControllerNeitherSavesNorReconciles) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create({}, true, passes);
    controller->setConfig(withSource(controller->config(), "com.example.a"));

    controller.reset();

    QTest::qWait(250);
    EXPECT_FALSE(saved());
    EXPECT_EQ(*passes, 0);
}

// ---- Reconcile coalescing

TEST_F(RoutingControllerTest, RequestsWithinOneTurnGiveOnePass) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create({}, false, passes);
    for (int i = 0; i < 5; ++i) {
        controller->scheduleReconcile();
    }
    controller->toggleConnection(Endpoint::line("l"), "d", 0, 2);
    controller->toggleConnection(Endpoint::line("l"), "d", 2, 2);
    EXPECT_EQ(*passes, 0) << "the pass runs after the current event, never inside the request";

    settle(*controller);
    EXPECT_EQ(*passes, 1);
}

TEST_F(RoutingControllerTest, RequestsDuringAPassGiveExactlyOneMore) {
    auto passes = std::make_shared<int>(0);
    auto body = [](CountingController& self, int pass) -> QCoro::Task<> {
        if (pass != 1) {
            co_return;
        }
        self.scheduleReconcile();
        co_await QCoro::sleepFor(20ms);
        self.scheduleReconcile();
        self.scheduleReconcile();
    };
    auto controller = CountingController::create({}, false, passes, body);
    QTimer::singleShot(10, controller.get(), [&controller] { controller->scheduleReconcile(); });

    settle(*controller);
    EXPECT_EQ(*passes, 2);

    controller->scheduleReconcile();
    settle(*controller);
    EXPECT_EQ(*passes, 3) << "after the loop has ended, a new request starts a new pass";
}

TEST_F(RoutingControllerTest, PassThatThrowsDoesNotStopLaterPasses) {
    auto passes = std::make_shared<int>(0);
    auto body = [](CountingController&, int pass) -> QCoro::Task<> {
        if (pass == 1) {
            throw std::runtime_error("boom");
        }
        co_return;
    };
    auto controller = CountingController::create({}, false, passes, body);
    settle(*controller);
    ASSERT_EQ(*passes, 1);

    controller->scheduleReconcile();

    settle(*controller);
    EXPECT_EQ(*passes, 2);
}

// ---- Start-up and quit

// What a controller started winds down when it goes, or when the run winds every group down: the tasks
// that sleep (the dropout log, the recovery's probe, the device-list announcement, a hardware volume's
// settle) wake and return at once, however long they would sleep, and no frame of them is left.
TEST_F(RoutingControllerTest, WindingDownLeavesNoTaskOfTheControllerSuspended) {
    const auto serverHome = std::filesystem::temp_directory_path() /
                            ("tandrel-wind-down-" + std::to_string(QCoreApplication::applicationPid()));
    AudioServer::start(
        {.profile = nlohmann::json::parse(
             R"({"devices": [{"uid": "speakers", "name": "Speakers", "outputStreams": [2]}]})"),
         .home = serverHome});
    constexpr RoutingController::Timings asleep{
        .dropoutLogInterval = 1h, .recoveryInterval = 1h, .announceDelay = 1h, .volumeSettle = 1h};
    for (const bool released : {false, true}) {
        SCOPED_TRACE(released ? "controller released" : "every group wound down");
        auto controller = RoutingController::create({}, false, true, asleep);
        QCoro::waitFor(controller->waitForReconcile());
        ASSERT_FALSE(controller->outputDevices().empty());
        Access::audioSystemUnresponsive(*controller);
        Access::announceDeviceListChange(*controller);
        Access::hardwareVolumeChanged(*controller, controller->outputDevices().front());
        const auto tasks = Access::tasks(*controller);
        QTest::qWait(50);
        ASSERT_GE(tasks->liveTasks(), 4u) << "the dropout log, the recovery, the announcement and the settle";

        if (released) {
            controller.reset();
        } else {
            TaskGroup::windDownAll();
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return tasks->liveTasks() == 0; }, 10000)) << tasks->liveTasks();
    }
    AudioServer::stop();
    std::filesystem::remove_all(serverHome);
}

TEST_F(RoutingControllerTest, AppControllerStartsFromTheSavedConfiguration) {
    RoutingConfig stored = withSource({}, "com.example.saved");
    // Nothing for the automatic adding to add, so the start leaves the configuration as saved.
    stored.autoAdd.systemAudio = false;
    stored.autoAdd.runningApps = false;
    RoutingConfigStore::save(stored);

    auto controller = ControllerLoader::loadAppController().controller;

    EXPECT_EQ(controller->config(), stored);
    EXPECT_TRUE(controller->persists());
    EXPECT_TRUE(controller->autoDiscovers());
    EXPECT_TRUE(Access::pendingDeviceRefresh(*controller));
    EXPECT_TRUE(Access::reconcileRunning(*controller)) << "the first pass is scheduled at start";
    settle(*controller);
}

TEST_F(RoutingControllerTest, SaveOnTerminateWritesAtOnceAndDropsThePendingSave) {
    auto controller = ControllerLoader::loadAppController({.saveDelay = 100ms}).controller;
    controller->setConfig(withSource(controller->config(), "com.example.a"));

    ControllerLoader::saveOnTerminate(*controller);

    ASSERT_TRUE(saved());
    EXPECT_EQ(RoutingConfigStore::load(), controller->config());
    QFile::remove(RoutingConfigStore::url());
    QTest::qWait(250);
    EXPECT_FALSE(saved()) << "the debounced save was cancelled";
    settle(*controller);
}

TEST_F(RoutingControllerTest, SaveOnTerminateOfAControllerThatDoesNotPersistWritesNothing) {
    auto passes = std::make_shared<int>(0);
    auto controller = CountingController::create(withSource({}, "com.example.a"), false, passes);

    ControllerLoader::saveOnTerminate(*controller);

    EXPECT_FALSE(saved());
    settle(*controller);
}

// ---- Editing

class RoutingControllerEditingTest : public RoutingControllerTest {
protected:
    void SetUp() override {
        RoutingControllerTest::SetUp();
        controller_ = CountingController::create({}, false, passes_);
    }

    void TearDown() override {
        settle(*controller_);
        controller_.reset();
        RoutingControllerTest::TearDown();
    }

    static AudioDeviceInfo device(std::string uid, uint32_t outputs, uint32_t inputs = 0) {
        return {.uid = std::move(uid), .name = "d", .inputChannels = inputs, .outputChannels = outputs};
    }

    static Connection connection(Endpoint from, std::string to, std::int64_t pair, std::int64_t width) {
        Connection c;
        c.id = UUID::random();
        c.from = std::move(from);
        c.toDeviceUID = std::move(to);
        c.pair = pair;
        c.width = width;
        return c;
    }

    // A configured source that runs with `channels` channels.
    Endpoint runningSource(uint32_t channels) {
        const UUID id = UUID::random();
        controller_->injectSource(std::make_shared<FakeProducer>(channels), id);
        return Endpoint::source(id);
    }

    void setConnections(std::vector<Connection> connections) {
        RoutingConfig next = controller_->config();
        next.connections = std::move(connections);
        controller_->setConfig(next);
    }

    const std::vector<Connection>& connections() const { return controller_->config().connections; }

    std::shared_ptr<int> passes_ = std::make_shared<int>(0);
    std::shared_ptr<CountingController> controller_;
    const std::string out_ = "out.multi";
};

TEST_F(RoutingControllerEditingTest, ToggleConnectionTwiceReaddsAtTheEndWithANewID) {
    const Endpoint from = runningSource(2);
    const Connection first = connection(from, out_, 0, 2);
    const Connection second = connection(from, out_, 2, 2);
    setConnections({first, second});

    controller_->toggleConnection(from, out_, 0, 2);
    ASSERT_EQ(connections(), std::vector<Connection>{second});
    controller_->toggleConnection(from, out_, 0, 2);

    ASSERT_EQ(connections().size(), 2u);
    EXPECT_EQ(connections()[0], second);
    Connection readded = connections()[1];
    EXPECT_NE(readded.id, first.id);
    readded.id = first.id;
    EXPECT_EQ(readded, first);
}

TEST_F(RoutingControllerEditingTest, SingleChannelConnectionTakesTheSourceChannelOfItsParity) {
    RoutingControllerTestAccess::publishDevices(*controller_, {device("qorvix.tandrel.device.line.mono", 1)},
                                                {}, {});
    struct Row {
        const char* name;
        Endpoint from;
        std::int64_t channel;
        std::int64_t sourceChannel;
    };
    const std::vector<Row> rows{
        {"stereo source, odd channel", runningSource(2), 3, 1},
        {"stereo source, even channel", runningSource(2), 2, 0},
        {"mono input device", runningSource(1), 3, 0},
        {"source not running yet", Endpoint::source(UUID::random()), 3, 1},
        {"mono line", Endpoint::line("qorvix.tandrel.device.line.mono"), 3, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        controller_->toggleConnection(row.from, out_, row.channel, 1);
        const Connection& added = connections().back();
        EXPECT_EQ(added.from, row.from);
        EXPECT_EQ(added.pair, row.channel);
        EXPECT_EQ(added.width, 1);
        EXPECT_EQ(added.sourceChannel, row.sourceChannel);
        EXPECT_FALSE(added.monoMix);
        EXPECT_FALSE(added.routeMask.has_value());
        EXPECT_EQ(added.mode, MappingMode::automatic);
    }
}

TEST_F(RoutingControllerEditingTest, ToggleConnectionKeepsWidthsApart) {
    const Endpoint from = runningSource(2);
    const Connection single = connection(from, out_, 0, 1);
    const Connection pair = connection(from, out_, 0, 2);

    setConnections({single});
    controller_->toggleConnection(from, out_, 0, 2);
    ASSERT_EQ(connections().size(), 2u);
    EXPECT_EQ(connections()[0], single);

    setConnections({pair});
    controller_->toggleConnection(from, out_, 0, 1);
    ASSERT_EQ(connections().size(), 2u);
    EXPECT_EQ(connections()[0], pair);
}

TEST_F(RoutingControllerEditingTest, ToggleRouteFlipsOneBit) {
    const Endpoint stereo = runningSource(2);
    struct Row {
        const char* name;
        std::optional<Connection> existing;
        std::int64_t bit;
        bool removed;
        std::int64_t mask;
        std::int64_t sourceChannel;
    };
    Connection stereoMode = connection(stereo, out_, 0, 2);
    stereoMode.mode = MappingMode::stereo;
    Connection maskOne = connection(stereo, out_, 0, 2);
    maskOne.routeMask = 1;
    Connection maskZero = connection(stereo, out_, 0, 2);
    maskZero.routeMask = 0;
    Connection upperPair = connection(Endpoint::source(UUID::random()), out_, 0, 2);
    upperPair.from = stereo;
    upperPair.sourceChannel = 3;
    upperPair.routeMask = 9;
    const std::vector<Row> rows{
        {"mode mask 9 xor 2", stereoMode, 2, false, 11, 0},
        {"only bit set", maskOne, 1, true, 0, 0},
        {"empty mask", maskZero, 1, false, 1, 0},
        {"channel moves to its pair start", upperPair, 8, false, 1, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        setConnections({*row.existing});

        controller_->toggleRoute(stereo, out_, 0, 2, row.bit);

        if (row.removed) {
            EXPECT_TRUE(connections().empty());
            continue;
        }
        ASSERT_EQ(connections().size(), 1u);
        const Connection& changed = connections()[0];
        EXPECT_EQ(changed.id, row.existing->id);
        EXPECT_EQ(changed.routeMask, row.mask);
        EXPECT_EQ(changed.sourceChannel, row.sourceChannel);
        EXPECT_EQ(changed.mode, row.existing->mode);
        EXPECT_EQ(changed.monoMix, row.existing->monoMix);
    }
}

TEST_F(RoutingControllerEditingTest, ToggleRouteWithoutAConnectionCreatesOneWithThatBit) {
    const Endpoint from = runningSource(2);

    controller_->toggleRoute(from, out_, 5, 1, 4);

    ASSERT_EQ(connections().size(), 1u);
    const Connection& added = connections()[0];
    EXPECT_EQ(added.routeMask, 4);
    EXPECT_EQ(added.pair, 5);
    EXPECT_EQ(added.width, 1);
    EXPECT_EQ(added.sourceChannel, 0);
    EXPECT_TRUE(added.monoMix);
    EXPECT_EQ(added.mode, MappingMode::automatic);
}

TEST_F(RoutingControllerEditingTest, SplitAndJoinOfAStereoConnection) {
    const Endpoint from = runningSource(2);
    Connection stereo = connection(from, out_, 4, 2);
    stereo.mode = MappingMode::stereo;
    stereo.gainDB = -6.0f;
    stereo.isMuted = true;
    const Connection elsewhere = connection(from, out_, 0, 2);
    setConnections({stereo, elsewhere});

    controller_->setSplit(true, out_, 4);

    EXPECT_TRUE(controller_->isSplit(out_, 4));
    ASSERT_EQ(connections().size(), 3u);
    EXPECT_EQ(connections()[0], elsewhere);
    for (int i = 0; i < 2; ++i) {
        const Connection& single = connections()[1 + i];
        EXPECT_NE(single.id, stereo.id);
        EXPECT_EQ(single.width, 1);
        EXPECT_EQ(single.pair, 4 + i);
        EXPECT_EQ(single.sourceChannel, i);
        EXPECT_FALSE(single.monoMix);
        EXPECT_FALSE(single.routeMask.has_value());
        EXPECT_EQ(single.gainDB, -6.0f);
        EXPECT_TRUE(single.isMuted);
    }
    EXPECT_NE(connections()[1].id, connections()[2].id);

    controller_->setSplit(false, out_, 4);

    EXPECT_FALSE(controller_->isSplit(out_, 4));
    EXPECT_FALSE(controller_->config().splitPairs.contains(out_)) << "an empty set leaves no key behind";
    ASSERT_EQ(connections().size(), 2u);
    const Connection& joined = connections()[1];
    EXPECT_EQ(joined.width, 2);
    EXPECT_EQ(joined.pair, 4);
    EXPECT_EQ(joined.sourceChannel, 0);
    EXPECT_EQ(joined.mode, MappingMode::stereo);
    EXPECT_FALSE(joined.routeMask.has_value());
    EXPECT_TRUE(joined.monoMix);
    EXPECT_EQ(joined.gainDB, -6.0f);
    EXPECT_TRUE(joined.isMuted);
}

TEST_F(RoutingControllerEditingTest, SplitRewritesMasksAndJoinRebuildsThem) {
    const Endpoint from = runningSource(2);
    struct Row {
        const char* name;
        Connection before;
        std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> singles; // source channel, mask
        std::optional<std::int64_t> joinedMask;
    };
    Connection dualMono = connection(from, out_, 2, 2);
    dualMono.mode = MappingMode::dualMono;
    Connection all = connection(from, out_, 2, 2);
    all.routeMask = 15;
    const std::vector<Row> rows{
        {"dual mono", dualMono, {{0, std::nullopt}, {0, std::nullopt}}, 3},
        {"mask 15", all, {{0, 5}, {0, 5}}, 15},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RoutingConfig reset = controller_->config();
        reset.splitPairs.clear();
        reset.connections = {row.before};
        controller_->setConfig(reset);

        controller_->setSplit(true, out_, 2);

        ASSERT_EQ(connections().size(), row.singles.size());
        for (std::size_t i = 0; i < row.singles.size(); ++i) {
            EXPECT_EQ(connections()[i].pair, 2 + static_cast<std::int64_t>(i));
            EXPECT_EQ(connections()[i].sourceChannel, row.singles[i].first);
            EXPECT_EQ(connections()[i].routeMask, row.singles[i].second);
        }

        controller_->setSplit(false, out_, 2);

        ASSERT_EQ(connections().size(), 1u);
        EXPECT_EQ(connections()[0].routeMask, row.joinedMask);
        EXPECT_EQ(connections()[0].mode, MappingMode::automatic);
    }
}

TEST_F(RoutingControllerEditingTest, JoinOfTheUpperChannelAloneGivesMaskEight) {
    const Endpoint from = runningSource(2);
    Connection upper = connection(from, out_, 3, 1);
    upper.sourceChannel = 1;
    upper.monoMix = false;
    RoutingConfig next = controller_->config();
    next.connections = {upper};
    next.splitPairs[out_] = {2};
    controller_->setConfig(next);

    controller_->setSplit(false, out_, 2);

    ASSERT_EQ(connections().size(), 1u);
    EXPECT_EQ(connections()[0].routeMask, 8);
    EXPECT_EQ(connections()[0].sourceChannel, 0);
    EXPECT_EQ(connections()[0].pair, 2);
}

TEST_F(RoutingControllerEditingTest, SplitOrJoinInTheCurrentStateAssignsNothing) {
    RoutingConfig next = controller_->config();
    next.splitPairs[out_] = {2};
    controller_->setConfig(next);
    QSignalSpy announced(controller_.get(), &RoutingController::configChanged);

    controller_->setSplit(true, out_, 2);
    controller_->setSplit(false, out_, 4);

    EXPECT_EQ(announced.count(), 0);
}

TEST_F(RoutingControllerEditingTest, VisiblePairsDefaultsAndBounds) {
    struct Row {
        const char* name;
        AudioDeviceInfo device;
        std::optional<std::int64_t> stored;
        int expected;
    };
    const std::vector<Row> rows{
        {"64-channel line", device("qorvix.tandrel.device.line.a", 64), std::nullopt, 4},
        {"2-channel line", device("qorvix.tandrel.device.line.b", 2), std::nullopt, 1},
        {"stereo output", device("out.stereo", 2), std::nullopt, 1},
        {"stored above the pairs", device("out.16", 16), 40, 8},
        {"stored zero", device("out.16z", 16), 0, 1},
        {"no output channels", device("out.none", 0), 3, 1},
    };
    RoutingConfig next = controller_->config();
    for (const auto& row : rows) {
        if (row.stored) {
            next.visiblePairs[row.device.uid] = *row.stored;
        }
    }
    controller_->setConfig(next);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(controller_->visiblePairs(row.device), row.expected);
    }

    controller_->setVisiblePairs(100, device("out.16", 16));
    EXPECT_EQ(controller_->config().visiblePairs.at("out.16"), 8);
    controller_->setVisiblePairs(-3, device("out.16", 16));
    EXPECT_EQ(controller_->config().visiblePairs.at("out.16"), 1);
    controller_->setVisiblePairs(5, device("out.none", 0));
    EXPECT_EQ(controller_->config().visiblePairs.at("out.none"), 1);
}

TEST_F(RoutingControllerEditingTest, LookupsFollowTheirOrder) {
    AudioDeviceInfo line = device("shared.uid", 8);
    AudioDeviceInfo output = device("shared.uid", 2);
    RoutingControllerTestAccess::publishDevices(*controller_, {line}, {output, device("out.only", 2)},
                                                {device("in.only", 0, 2)});
    EXPECT_EQ(controller_->device("shared.uid"), line);
    EXPECT_EQ(controller_->device("out.only")->outputChannels, 2u);
    EXPECT_FALSE(controller_->device("in.only").has_value());

    const Endpoint running = runningSource(6);
    EXPECT_EQ(controller_->sourceChannelCount(running), 6u);
    EXPECT_FALSE(controller_->sourceChannelCount(Endpoint::source(UUID::random())).has_value());
    EXPECT_EQ(controller_->sourceChannelCount(Endpoint::line("shared.uid")), 8u);
    EXPECT_FALSE(controller_->sourceChannelCount(Endpoint::line("out.only")).has_value());

    const auto& status = controller_->sourceStatus();
    const UUID runningID = std::get<Endpoint::Source>(running.value).id;
    EXPECT_EQ(status.at(runningID), RoutingController::SourceStatus::running("injected"));

    RoutingConfig next = withSource(controller_->config(), "com.example.a");
    const UUID configured = next.sources[0].id;
    controller_->setConfig(next);
    EXPECT_EQ(controller_->source(configured), next.sources[0]);
    EXPECT_FALSE(controller_->source(UUID::random()).has_value());
}

} // namespace
