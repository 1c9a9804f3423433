#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <unistd.h>

#include "FakeMeterView.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Platform/Workspace/Workspace.h"
#include "RoutingControllerTestAccess.h"
#include "Support/DriverTestProcess.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TemporaryDataHome.h"

using namespace std::chrono_literals;

namespace {

using Access = RoutingControllerTestAccess;

// Runs no reconcile pass, so the tests enter the running objects themselves.
class QuietController : public RoutingController {
public:
    QuietController(RoutingConfig config, bool persists)
        : RoutingController(std::move(config), persists, false, timings()) {}
    static std::shared_ptr<QuietController> create(RoutingConfig config = {}, bool persists = false) {
        return make<QuietController>(std::move(config), persists);
    }

protected:
    QCoro::Task<> reconcile() override { co_return; }

private:
    static Timings timings() {
        Timings timings;
        timings.saveDelay = 100ms;
        timings.callTimeout = 2.0;
        timings.dropoutLogInterval = 100ms;
        return timings;
    }
};

// A producer whose blocks the test writes itself.
class FakeProducer : public AudioProducer {
public:
    FakeProducer(std::string name, uint32_t channels)
        : name_(std::move(name))
        , channels_(channels)
        , fanout_(channels) {}
    std::string producerName() const override { return name_; }
    AudioFanout& fanout() const override { return fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return rate; }

    void write(uint32_t frames, float level) {
        std::vector<float> block(static_cast<std::size_t>(frames) * channels_, level);
        TDFanoutWriteInterleaved(fanout_.raw(), block.data(), channels_, frames, 1);
    }

    double rate = 48000;

private:
    std::string name_;
    uint32_t channels_;
    mutable AudioFanout fanout_;
};

AudioDeviceInfo device(std::string uid, std::string name, uint32_t outputs, uint32_t inputs = 0) {
    return {.id = 0,
            .uid = std::move(uid),
            .name = std::move(name),
            .inputChannels = inputs,
            .outputChannels = outputs,
            .sampleRate = 48000};
}

void writeLevel(const AudioFanout& fanout, uint32_t channels, float level) {
    std::vector<float> block(64 * channels, level);
    TDFanoutWriteInterleaved(fanout.raw(), block.data(), channels, 64, 1);
}

QCoro::Task<std::optional<std::string>> resetCatching(std::shared_ptr<RoutingController> controller,
                                                      bool lines, std::optional<QString>* backup) {
    try {
        auto resetting = controller->resetSettings(lines);
        *backup = co_await std::move(resetting);
    } catch (const std::exception& e) {
        co_return std::string(e.what());
    }
    co_return std::nullopt;
}

class RoutingControllerMetersTest : public ::testing::Test {
protected:
    void TearDown() override {
        controller.reset();
        DeferredWork::runPendingNow();
    }

    TemporaryDataHome home;
    std::shared_ptr<QuietController> controller = QuietController::create();
};

// ---- Meters

TEST_F(RoutingControllerMetersTest, MetersRiseWithAPlayingSourceAndFallByTheHoldFactor) {
    auto synth = std::make_shared<FakeProducer>("Synth", 10);
    const UUID id = UUID::random();
    controller->injectSource(synth, id);
    const MeterKey key = MeterKey::source(id);
    FakeMeterView meter(key, 0);
    controller->meters().addView(meter);

    synth->write(256, 0.5f);
    ASSERT_TRUE(QTest::qWaitFor([&] { return meter.value() == 0.5f; }, 1000));
    EXPECT_FLOAT_EQ(controller->meters().level(key, 7), 0.5f);
    EXPECT_FLOAT_EQ(controller->meters().level(key, 8), 0.0f) << "sources show at most 8 channels";

    ASSERT_TRUE(QTest::qWaitFor([&] { return meter.drawn.size() >= 4; }, 1000));
    for (std::size_t poll = 1; poll < 4; ++poll) {
        EXPECT_FLOAT_EQ(meter.drawn[poll], meter.drawn[poll - 1] * MeterStore::holdFactor) << "poll " << poll;
    }
}

TEST_F(RoutingControllerMetersTest, NoPeakIsTakenWhileNoMeterIsOnScreen) {
    auto synth = std::make_shared<FakeProducer>("Synth", 2);
    const UUID id = UUID::random();
    controller->injectSource(synth, id);
    FakeMeterView meter(MeterKey::source(id), 1, false);
    controller->meters().addView(meter);

    synth->write(64, 0.7f);
    synth->write(64, 0.2f);
    QTest::qWait(250);
    EXPECT_TRUE(meter.drawn.empty());

    meter.visible = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !meter.drawn.empty(); }, 1000));
    EXPECT_FLOAT_EQ(meter.drawn.front(), 0.7f) << "the first poll shows the highest peak held meanwhile";
}

TEST_F(RoutingControllerMetersTest, LineThatIsAlsoADestinationShowsWhatItPlaysBack) {
    const std::string uid = "qorvix.tandrel.device.line1";
    auto out = std::make_shared<OutputDestination>(device(uid, "Line 1", 2, 2));
    auto input = std::make_shared<InputDeviceSource>(device(uid, "Line 1", 2, 2));
    auto speakers = std::make_shared<OutputDestination>(device("speakers", "Speakers", 2));
    Access::addDestination(*controller, out);
    Access::addLineInput(*controller, input);
    Access::addDestination(*controller, speakers);
    FakeMeterView line(MeterKey::device(uid), 1);
    FakeMeterView monitor(MeterKey::device("speakers"), 0);
    controller->meters().addView(line);
    controller->meters().addView(monitor);

    writeLevel(out->fanout(), 2, 0.9f);
    writeLevel(input->fanout(), 2, 0.3f);
    writeLevel(speakers->fanout(), 2, 0.6f);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !line.drawn.empty() && !monitor.drawn.empty(); }, 1000));
    EXPECT_FLOAT_EQ(line.drawn.front(), 0.3f);
    EXPECT_FLOAT_EQ(monitor.drawn.front(), 0.6f);
    EXPECT_FLOAT_EQ(TDFanoutTakePeak(out->fanout().raw(), 0), 0.0f) << "the destination's peak was taken too";
}

// ---- Dropout log and route information

class RoutingControllerRoutesTest : public RoutingControllerMetersTest {
protected:
    void SetUp() override {
        sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(logged);
        sink->set_pattern("%v");
        Log::app("Dropouts")->sinks().push_back(sink);
        controller->injectSource(synth, UUID::random());
        Access::addRoute(*controller, connection, synth, speakers, ChannelMapping{{{0, 0}, {1, 1}}});
    }
    void TearDown() override {
        std::erase(Log::app("Dropouts")->sinks(), sink);
        RoutingControllerMetersTest::TearDown();
    }

    TDRoute* route() const { return Access::engine(*controller).routes().back()->raw(); }

    // Primes the route with a few small blocks, then pulls it dry until it underruns once.
    void underrun() {
        const auto before = TDRouteGetStats(route()).underruns;
        for (int block = 0; block < 16; ++block) {
            synth->write(256, 0.1f);
        }
        std::vector<float> samples(256 * 2);
        AudioBufferList list{1, {{2, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()}}};
        for (int pull = 0; pull < 64 && TDRouteGetStats(route()).underruns == before; ++pull) {
            TDDestinationRender(speakers->raw(), &list, 256, 1);
        }
        ASSERT_EQ(TDRouteGetStats(route()).underruns, before + 1);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(logged.str());
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

    std::ostringstream logged;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink;
    std::shared_ptr<FakeProducer> synth = std::make_shared<FakeProducer>("Synth", 2);
    std::shared_ptr<OutputDestination> speakers =
        std::make_shared<OutputDestination>(device("speakers", "Speakers", 2));
    const UUID connection = UUID::random();
};

TEST_F(RoutingControllerRoutesTest, UnderrunsAreLoggedOncePerIntervalWithTheirIncrease) {
    underrun();
    Access::startDropoutLog(*controller);
    QTest::qWait(300);
    EXPECT_TRUE(lines().empty()) << "a route seen for the first time logs nothing";

    underrun();
    underrun();
    QTest::qWait(300);
    ASSERT_EQ(lines().size(), 1u) << logged.str();
    EXPECT_TRUE(lines()[0].starts_with("Synth → Speakers: underruns +2 overruns +0 target ")) << lines()[0];
    EXPECT_TRUE(lines()[0].ends_with("ms")) << lines()[0];

    QTest::qWait(300);
    EXPECT_EQ(lines().size(), 1u) << "no new underruns, no new line";
}

TEST_F(RoutingControllerRoutesTest, RouteInformationReadsTheLiveRoute) {
    EXPECT_EQ(controller->routeInfo(UUID::random()), std::nullopt);

    underrun();
    const TDRouteStats stats = TDRouteGetStats(route());
    const auto info = controller->routeInfo(connection);
    ASSERT_TRUE(info.has_value());
    EXPECT_DOUBLE_EQ(info->bufferMs, stats.target / 48.0);
    EXPECT_DOUBLE_EQ(info->driftPpm, (stats.ratio / stats.nominalRatio - 1.0) * 1e6);
    EXPECT_EQ(info->underruns, 1u);

    synth->rate = 0;
    EXPECT_EQ(controller->routeInfo(connection), std::nullopt) << "no rate, no depth to report";
}

// ---- Reset of settings

class RoutingControllerResetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/config");
        Workspace::setOwnBundleIdentifier(bundleID);
        UserDefaults::persistentDomain(bundleID)->setValue("TDUIScale", 1.25);

        SourceConfig source;
        source.id = UUID::random();
        source.kind = SourceKind::application("a.b");
        source.name = "A";
        saved.sources.push_back(source);
        RoutingConfigStore::save(saved);
        controller = QuietController::create(saved, true);
    }
    void TearDown() override {
        controller.reset();
        AudioServer::stop();
        Workspace::setOwnBundleIdentifier(std::nullopt);
        DeferredWork::runPendingNow();
    }

    static bool hasUIScale() { return UserDefaults::persistentDomain(bundleID)->contains("TDUIScale"); }
    static QByteArray fileContents(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray{};
    }

    // An edit whose save is still waiting when the reset comes.
    void editWithoutWaiting() {
        RoutingConfig edited = controller->config();
        edited.hiddenFaders.insert("speakers");
        controller->setConfig(edited);
    }

    static constexpr const char* bundleID = "qorvix.tandrel.app.resettest";
    TemporaryDataHome home;
    // The user defaults live under the config home: each case has its own, or a reset in one case
    // run beside another clears that other's defaults.
    TemporaryXdgHome configHome{"XDG_CONFIG_HOME"};
    RoutingConfig saved;
    std::shared_ptr<QuietController> controller;
};

TEST_F(RoutingControllerResetTest, ResetBacksUpTheFileAndSavesTheDefaultsAtOnce) {
    const QByteArray before = fileContents(RoutingConfigStore::url());
    editWithoutWaiting();
    Access::setStatus(*controller, saved.sources[0].id, RoutingController::SourceStatus::failed("x"));
    Access::setPendingDeviceRefresh(*controller, false);

    std::optional<QString> backup;
    ASSERT_EQ(QCoro::waitFor(resetCatching(controller, false, &backup)), std::nullopt);

    ASSERT_TRUE(backup.has_value());
    EXPECT_EQ(QFileInfo(*backup).absolutePath(), QFileInfo(RoutingConfigStore::url()).absolutePath());
    EXPECT_TRUE(QRegularExpression(R"(^routing\.backup-\d{8}-\d{6}\.json$)")
                    .match(QFileInfo(*backup).fileName())
                    .hasMatch())
        << QFileInfo(*backup).fileName().toStdString();
    EXPECT_EQ(fileContents(*backup), before) << "the backup holds the file as it was, not the pending edit";
    EXPECT_EQ(controller->config(), RoutingConfig{});
    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig{}) << "saved before the reset returns";
    EXPECT_TRUE(controller->sourceStatus().empty());
    EXPECT_TRUE(Access::pendingDeviceRefresh(*controller));
    EXPECT_FALSE(hasUIScale()) << "the application's user defaults are forgotten";

    QFile::remove(RoutingConfigStore::url());
    QTest::qWait(250);
    EXPECT_FALSE(QFile::exists(RoutingConfigStore::url())) << "no debounced save comes after the reset";
}

TEST_F(RoutingControllerResetTest, FailedLineResetChangesNothingButTheBackupAndStillSavesThePendingEdit) {
    AudioServer::start({.profile = std::nullopt, .home = home.path().toStdString() + "/server"});
    editWithoutWaiting();
    const RoutingConfig edited = controller->config();

    std::optional<QString> backup;
    const auto error = QCoro::waitFor(resetCatching(controller, true, &backup));

    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, LineConfigurator::ConfiguratorError::driverNotFound().what());
    EXPECT_EQ(controller->config(), edited);
    EXPECT_TRUE(hasUIScale());
    EXPECT_EQ(
        QDir(QFileInfo(RoutingConfigStore::url()).absolutePath()).entryList({"routing.backup-*.json"}).size(),
        1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return RoutingConfigStore::load() == edited; }, 1000))
        << "the edit whose save the reset cancelled is saved after all";
}

// Needs the real driver, which keeps process-wide state: the case runs in a child of its own.
TEST_F(RoutingControllerResetTest, LineResetRestoresTheDefaultLinesAtFullVolume) {
    if (!DriverTestProcess::driverBuilt()) {
        GTEST_SKIP() << "the driver bundle is not built";
    }
    if (DriverTestProcess::ranInChild("TANDREL_RESET_LINES_TEST_CHILD")) {
        return;
    }
    const auto serverHome = std::filesystem::path(home.path().toStdString()) / "server";
    AudioServer::start(
        {.profile = std::nullopt, .home = serverHome, .plugIns = {{DriverTestProcess::driverBundle()}}});
    LineConfigurator::write({{1, 2, "Mic"}, {2, 8, "Eight"}, {5, 4, "Five"}});
    // The driver applies a list on its own queue.
    ASSERT_TRUE(QTest::qWaitFor([] { return AudioDeviceCatalog::tandrelLines().size() == 3; }, 2000));
    const auto lines = AudioDeviceCatalog::tandrelLines();
    const AudioObjectPropertyAddress volume{TD_FOURCC('v', 'o', 'l', 'm'), kAudioObjectPropertyScopeOutput,
                                            0};
    const AudioObjectPropertyAddress mute{TD_FOURCC('m', 'u', 't', 'e'), kAudioObjectPropertyScopeOutput, 0};
    for (const auto& line : lines) {
        const float quiet = 0.25f;
        const uint32_t muted = 1;
        ASSERT_EQ(AudioObjectSetPropertyData(line.id, &volume, 0, nullptr, sizeof quiet, &quiet), 0);
        ASSERT_EQ(AudioObjectSetPropertyData(line.id, &mute, 0, nullptr, sizeof muted, &muted), 0);
    }
    Access::publishDevices(*controller, lines, {}, {});

    std::optional<QString> backup;
    ASSERT_EQ(QCoro::waitFor(resetCatching(controller, true, &backup)), std::nullopt);

    // A line's new channel count takes effect when the server gets round to the driver's request.
    const std::vector<LineSpec> defaults{{1, 2, "Line 1"}, {2, 64, "Line 2"}};
    EXPECT_TRUE(QTest::qWaitFor([&] { return LineConfigurator::read() == defaults; }, 2000));
    EXPECT_EQ(LineConfigurator::read(), defaults);
    EXPECT_TRUE(QTest::qWaitFor([] { return AudioDeviceCatalog::tandrelLines().size() == 2; }, 2000));
    for (const auto& uid : {"qorvix.tandrel.device.line1", "qorvix.tandrel.device.line2"}) {
        const auto line = AudioDeviceCatalog::device(uid);
        ASSERT_TRUE(line.has_value()) << uid;
        float level = 0;
        uint32_t muted = 1;
        uint32_t size = sizeof level;
        EXPECT_EQ(AudioObjectGetPropertyData(line->id, &volume, 0, nullptr, &size, &level), 0);
        size = sizeof muted;
        EXPECT_EQ(AudioObjectGetPropertyData(line->id, &mute, 0, nullptr, &size, &muted), 0);
        EXPECT_FLOAT_EQ(level, 1.0f) << uid;
        EXPECT_EQ(muted, 0u) << uid;
    }
    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig{});
    // The driver stores the new list and volumes a second later; the process must not exit before.
    QTest::qWait(1200);
}

} // namespace
