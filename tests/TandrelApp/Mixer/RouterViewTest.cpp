// The mixer window's content with a real controller on the emulated server and the real driver: a
// click on a cell connects and a simulated application's tone is heard on the line; the route buttons
// change the mask and the channels heard follow; the detail popover's gain reaches the route; a split
// pair becomes two columns and its connection follows; line-to-line cells are disabled; the banners
// follow the controller; messages show in the alert; the status bar counts connections; and a fader
// dragged through 100 steps while audio runs reaches the configuration at each step without the main
// thread waiting on the server. Each case runs in a child process of its own, since the driver keeps
// process-wide state.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "LiveRouterTest.h"
#include "MixerTestSupport.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Support/ToneLevel.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Mixer/ConnectionDetail.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Mixer/GroupTitle.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/MatrixCell.h"
#include "TandrelApp/Mixer/MatrixGrid.h"
#include "TandrelApp/Mixer/PairHeader.h"
#include "TandrelApp/Mixer/PairVolumeDetail.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Mixer/RouterBanner.h"
#include "TandrelApp/Mixer/RouterStatusBar.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Mixer/RowHeader.h"
#include "TandrelApp/Mixer/VerticalFader.h"
#include "TandrelApp/Mixer/VerticalFaderModel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerTestAccess.h"
#include "TandrelApp/Routing/TemporaryDataHome.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/UserDefaults.h"

using namespace std::chrono_literals;

namespace {

using Access = RoutingControllerTestAccess;
using MixerTestSupport::makeSource;
using MixerTestSupport::trigger;

constexpr const char* kChildVariable = "TANDREL_ROUTER_VIEW_TEST_CHILD";
constexpr const char* kLine1 = "qorvix.tandrel.device.line1";

// Speakers to monitor on; an interface whose left input plays 1 kHz at -12 dBFS and its right 500 Hz at
// -18 dBFS, so each source channel can be told apart on a line; a quiet microphone; and two applications
// that play a tone each.
const char* kProfile = R"({"devices": [
  {"uid": "speakers", "name": "Speakers", "sampleRate": 48000, "sampleRates": [48000], "outputStreams": [2]},
  {"uid": "interface", "name": "Interface", "sampleRate": 48000, "sampleRates": [48000], "inputStreams": [2],
   "inputSignal": {"sine": [{"frequency": 1000, "level": -12}, {"frequency": 500, "level": -18}]}},
  {"uid": "mic", "name": "マイク", "sampleRate": 48000, "sampleRates": [48000], "inputStreams": [1],
   "inputSignal": {"sine": 330, "level": -30}}],
 "applications": [
  {"pid": 7501, "bundleID": "org.example.toneplayer", "name": "Tone Player", "signal": {"sine": 1000, "level": -20}},
  {"pid": 7502, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -26}}],
 "defaultOutput": "speakers", "defaultInput": "mic"})";

// What a line's input gives back, per channel.
struct Heard {
    std::vector<float> left;
    std::vector<float> right;

    double left1k() const { return ToneLevel::medianLevelDB(left, 1000, 48000); }
    double right1k() const { return ToneLevel::medianLevelDB(right, 1000, 48000); }
    double left500() const { return ToneLevel::medianLevelDB(left, 500, 48000); }
    double right500() const { return ToneLevel::medianLevelDB(right, 500, 48000); }
};

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
public:
    void watch(QWidget* widget) {
        widget->installEventFilter(this);
        counts[widget] = 0;
    }
    std::map<QObject*, int> counts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++counts[watched];
        }
        return false;
    }
};

class RouterViewTest : public LiveRouterTest {
protected:
    RouterViewTest()
        : LiveRouterTest(kChildVariable) {}

    // The server with the driver, and the window over these sources and monitors.
    void startWith(std::vector<SourceConfig> sources, std::vector<std::string> monitors = {}) {
        startServer(kProfile);
        RoutingConfig config;
        config.sources = std::move(sources);
        config.monitorDeviceUIDs = std::move(monitors);
        start(config, QSize(1180, 760));
    }

    // The interface's two channels connected to Line 1 in stereo, from the cell's menu.
    void connectInterface() {
        ASSERT_TRUE(trigger(cell(interface, kLine1, {0, 2})->buildMenu(), QStringLiteral("接続")));
        ASSERT_EQ(controller->config().connections.size(), 1u);
    }

    MatrixGrid& grid() { return *view->grid(); }

    MatrixCell* cell(const SourceConfig& row, const std::string& device, MatrixColumn column) {
        return grid().cell(row.id.uuidString(), device, column);
    }

    // A click on one route button of a cell, as the user makes it.
    void click(MatrixCell* cell, int source, int destination) {
        ASSERT_NE(cell, nullptr);
        QTest::mouseClick(cell, Qt::LeftButton, {}, cell->buttonRect(source, destination).center().toPoint());
        QCoreApplication::processEvents();
    }

    std::vector<std::string> litCaptions(MatrixCell* cell) {
        std::vector<std::string> out;
        for (const auto& row : cell->buttons()) {
            for (const auto& button : row) {
                if (button.lit) {
                    out.push_back(button.caption);
                }
            }
        }
        return out;
    }

    // What the line's input gives back for a while, once the last edit has reached it.
    Heard listen(const std::string& lineUID) {
        settle();
        EXPECT_TRUE(
            CaptureTestSupport::waitFor([&] { return Access::lineInput(*controller, lineUID) != nullptr; }));
        auto input = Access::lineInput(*controller, lineUID);
        if (!input) {
            return {};
        }
        QTest::qWait(200);
        constexpr auto frames = static_cast<std::uint32_t>(ToneLevel::kListenSeconds * 48000);
        TDRingBuffer* ring = TDRingBufferCreate(2, frames + 8192);
        TDFanoutAdd(input->fanout().raw(), ring);
        CaptureTestSupport::waitFor([&] { return TDRingBufferAvailableToRead(ring) >= frames; }, 5000ms);
        std::vector<float> interleaved(std::size_t(frames) * 2);
        const std::uint32_t got = TDRingBufferRead(ring, interleaved.data(), frames);
        TDFanoutRemove(input->fanout().raw(), ring);
        detached.push_back(ring);
        Heard heard;
        for (std::uint32_t f = 0; f < got; ++f) {
            heard.left.push_back(interleaved[2 * f]);
            heard.right.push_back(interleaved[2 * f + 1]);
        }
        return heard;
    }

    const SourceConfig player = makeSource(SourceKind::application("org.example.toneplayer"), "Tone Player");
    const SourceConfig interface = makeSource(SourceKind::inputDevice("interface"), "Interface");
};

TEST_F(RouterViewTest, ClickingACellConnectsAnApplicationWhoseToneIsThenHeardOnTheLine) {
    if (ranInChild()) {
        return;
    }
    startWith({player});
    EXPECT_EQ(view->statusBar()->connections()->text(), QStringLiteral("0 接続"));

    MatrixCell* target = cell(player, kLine1, {0, 2});
    ASSERT_NE(target, nullptr);
    EXPECT_TRUE(litCaptions(target).empty());
    EXPECT_EQ(target->toolTipAt({2, 2}), QStringLiteral("クリックで Line 1 ch1-2 へ接続"));

    click(target, 0, 0);
    ASSERT_EQ(controller->config().connections.size(), 1u);
    const Connection made = controller->config().connections[0];
    EXPECT_EQ(made.from, Endpoint::source(player.id));
    EXPECT_EQ(made.toDeviceUID, kLine1);
    EXPECT_EQ(made.routeMask, 1);
    EXPECT_EQ(view->statusBar()->connections()->text(), QStringLiteral("1 接続"));
    EXPECT_EQ(litCaptions(target), std::vector<std::string>{"LL"});

    // The application's -20 dBFS tone arrives on the line's left channel only.
    Heard heard = listen(kLine1);
    EXPECT_NEAR(heard.left1k(), -20, 1.0);
    std::printf("application tone: line left %.2f dBFS, right %.2f dBFS\n", heard.left1k(), heard.right1k());
    EXPECT_LT(heard.right1k(), -60);
    EXPECT_TRUE(std::holds_alternative<RoutingController::SourceStatus::Running>(
        controller->sourceStatus().at(player.id).value));

    click(target, 1, 1);
    EXPECT_EQ(controller->config().connections[0].routeMask, 9);
    heard = listen(kLine1);
    EXPECT_NEAR(heard.left1k(), -20, 1.0);
    EXPECT_NEAR(heard.right1k(), -20, 1.0);

    // The menu disconnects the whole pair.
    ASSERT_TRUE(trigger(target->buildMenu(), QStringLiteral("切断")));
    EXPECT_TRUE(controller->config().connections.empty());
    EXPECT_EQ(view->statusBar()->connections()->text(), QStringLiteral("0 接続"));
    heard = listen(kLine1);
    EXPECT_LT(heard.left1k(), -60);
}

TEST_F(RouterViewTest, RouteButtonsChangeTheMaskAndTheChannelsHeardFollow) {
    if (ranInChild()) {
        return;
    }
    startWith({interface});
    MatrixCell* target = cell(interface, kLine1, {0, 2});
    ASSERT_NE(target, nullptr);

    struct Step {
        int source;
        int destination;
        std::int64_t mask;
        std::vector<std::string> lit;
        // Expected levels on the line, below -60 for silence: left 1 kHz, left 500 Hz, right 500 Hz.
        double left1k, left500, right500;
    };
    const std::vector<Step> steps{
        {0, 0, 1, {"LL"}, -12, -100, -100},
        {1, 1, 9, {"LL", "RR"}, -12, -100, -18},
        {0, 0, 8, {"RR"}, -100, -100, -18},
        {1, 0, 12, {"RL", "RR"}, -100, -18, -18},
    };
    for (const Step& step : steps) {
        click(target, step.source, step.destination);
        ASSERT_EQ(controller->config().connections.size(), 1u);
        EXPECT_EQ(controller->config().connections[0].routeMask, step.mask);
        EXPECT_EQ(litCaptions(target), step.lit);
        const Heard heard = listen(kLine1);
        const auto check = [](double measured, double expected, const char* what, std::int64_t mask) {
            if (expected < -60) {
                EXPECT_LT(measured, -60) << what << " with mask " << mask;
            } else {
                EXPECT_NEAR(measured, expected, 1.0) << what << " with mask " << mask;
            }
        };
        check(heard.left1k(), step.left1k, "left 1 kHz", step.mask);
        check(heard.left500(), step.left500, "left 500 Hz", step.mask);
        check(heard.right500(), step.right500, "right 500 Hz", step.mask);
        EXPECT_LT(heard.right1k(), -60)
            << "the left source channel never reaches the right with mask " << step.mask;
    }
}

TEST_F(RouterViewTest, GainMuteAndMappingSetInTheDetailPopoverReachTheRoute) {
    if (ranInChild()) {
        return;
    }
    startWith({interface});
    connectInterface();
    MatrixCell* target = cell(interface, kLine1, {0, 2});
    const UUID id = controller->config().connections[0].id;
    EXPECT_NEAR(listen(kLine1).left1k(), -12, 1.0);

    ASSERT_TRUE(trigger(target->buildMenu(), QStringLiteral("詳細設定…")));
    ASSERT_NE(target->detailPopover(), nullptr);
    EXPECT_TRUE(target->detailPopover()->isVisible());
    ConnectionDetail* detail = target->detail();
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->connection()->id, id);
    EXPECT_FALSE(detail->showsRow(detail->sourceChannelPicker())) << "a stereo source has no choice";

    // A press on the gain slider at -6 dB.
    CompactSlider* slider = detail->gainSlider();
    QTest::mouseClick(slider, Qt::LeftButton, {},
                      QPoint(static_cast<int>(std::lround(slider->positionOf(-600))), slider->height() / 2));
    QCoreApplication::processEvents();
    EXPECT_EQ(controller->config().connections[0].gainDB, -6.0f);
    EXPECT_EQ(detail->gainReadout()->text(), QStringLiteral("-6.0 dB"));
    EXPECT_EQ(target->badge(), "-6");
    Heard heard = listen(kLine1);
    ASSERT_NE(Access::route(*controller, id), nullptr);
    EXPECT_NEAR(Access::route(*controller, id)->gain, std::pow(10.0, -6.0 / 20.0), 1e-4);
    EXPECT_NEAR(heard.left1k(), -18, 1.0);
    std::printf("detail gain -6 dB: line hears %.2f dBFS (source -12 dBFS)\n", heard.left1k());

    detail->muteToggle()->click();
    EXPECT_TRUE(controller->config().connections[0].isMuted);
    EXPECT_LT(listen(kLine1).left1k(), -60);
    detail->muteToggle()->click();
    EXPECT_FALSE(controller->config().connections[0].isMuted);

    QTest::mouseClick(detail->resetButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(controller->config().connections[0].gainDB, 0.0f);
    EXPECT_EQ(target->badge(), std::nullopt);

    // Swapped: the right source channel's 500 Hz comes out on the left.
    emit detail->modePicker()->activated(2);
    EXPECT_EQ(controller->config().connections[0].mode, MappingMode::swapped);
    heard = listen(kLine1);
    EXPECT_NEAR(heard.left500(), -18, 1.0);
    EXPECT_NEAR(heard.right1k(), -12, 1.0);
    EXPECT_TRUE(target->detailPopover()->isVisible()) << "edits keep the popover open";

    // Disconnected meanwhile, the popover empties instead of failing.
    controller->toggleConnection(Endpoint::source(interface.id), kLine1, 0, 2);
    QCoreApplication::processEvents();
    EXPECT_FALSE(detail->connection().has_value());
}

TEST_F(RouterViewTest, SplittingAPairMakesTwoColumnsAndItsConnectionFollows) {
    if (ranInChild()) {
        return;
    }
    startWith({interface});
    connectInterface();

    PairHeader* header = grid().pairHeader(kLine1, {0, 2});
    ASSERT_NE(header, nullptr);
    QTest::mouseClick(header->label(), Qt::LeftButton);
    ASSERT_NE(header->detailPopover(), nullptr);
    EXPECT_TRUE(header->detailPopover()->isVisible());
    PairVolumeDetail* detail = header->detail();
    EXPECT_EQ(detail->title()->text(), QStringLiteral("Line 1  ch1-2"));
    EXPECT_EQ(detail->splitButton()->text(), QStringLiteral("L / R に分ける"));
    const QPointer<Popover> popover = header->detailPopover();

    QTest::mouseClick(detail->splitButton(), Qt::LeftButton);
    EXPECT_TRUE(popover.isNull() || !popover->isVisible()) << "the popover closes before the split";
    settle();
    EXPECT_EQ(controller->config().splitPairs.at(kLine1), std::set<std::int64_t>{0});
    EXPECT_EQ(grid().pairHeader(kLine1, {0, 2}), nullptr);
    ASSERT_NE(grid().pairHeader(kLine1, {0, 1}), nullptr);
    ASSERT_NE(grid().pairHeader(kLine1, {1, 1}), nullptr);
    EXPECT_EQ(grid().pairHeader(kLine1, {1, 1})->label()->text(), QStringLiteral("2R"));

    // The stereo connection became one single-channel connection per channel, each lit in its column.
    const auto& connections = controller->config().connections;
    ASSERT_EQ(connections.size(), 2u);
    for (const Connection& single : connections) {
        EXPECT_EQ(single.width, 1);
        EXPECT_EQ(single.sourceChannel, single.pair);
        EXPECT_FALSE(single.monoMix);
    }
    EXPECT_EQ(litCaptions(cell(interface, kLine1, {0, 1})), std::vector<std::string>{"L"});
    EXPECT_EQ(litCaptions(cell(interface, kLine1, {1, 1})), std::vector<std::string>{"R"});
    const Heard heard = listen(kLine1);
    EXPECT_NEAR(heard.left1k(), -12, 1.0);
    EXPECT_NEAR(heard.right500(), -18, 1.0);

    // Joined again from a split column's menu: one stereo connection.
    ASSERT_TRUE(
        trigger(grid().pairHeader(kLine1, {1, 1})->buildMenu(), QStringLiteral("ステレオ（1列）に戻す")));
    settle();
    ASSERT_EQ(controller->config().connections.size(), 1u);
    EXPECT_EQ(controller->config().connections[0].width, 2);
    EXPECT_EQ(controller->config().connections[0].mode, MappingMode::stereo);
    EXPECT_NE(grid().pairHeader(kLine1, {0, 2}), nullptr);
    EXPECT_EQ(litCaptions(cell(interface, kLine1, {0, 2})), (std::vector<std::string>{"LL", "RR"}));
}

TEST_F(RouterViewTest, LineRowsCannotConnectToLinesButFeedTheMonitors) {
    if (ranInChild()) {
        return;
    }
    startWith({interface}, {"speakers"});
    RowHeader* lineHeader = grid().rowHeader(kLine1);
    ASSERT_NE(lineHeader, nullptr);

    for (const std::string& line : {std::string(kLine1), std::string("qorvix.tandrel.device.line2")}) {
        MatrixCell* disabled = grid().cell(kLine1, line, {0, 2});
        ASSERT_NE(disabled, nullptr) << line;
        EXPECT_FALSE(disabled->cell().isEnabled);
        EXPECT_TRUE(disabled->buttons().empty());
        EXPECT_EQ(disabled->toolTipAt({20, 20}), QStringLiteral("ライン同士は接続できません"));
        std::unique_ptr<QMenu> menu(disabled->buildMenu());
        EXPECT_TRUE(menu->isEmpty());
        QTest::mouseClick(disabled, Qt::LeftButton, {}, QPoint(20, 20));
    }
    EXPECT_TRUE(controller->config().connections.empty());

    MatrixCell* monitor = grid().cell(kLine1, "speakers", {0, 2});
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->cell().isEnabled);
    click(monitor, 0, 0);
    ASSERT_EQ(controller->config().connections.size(), 1u);
    EXPECT_EQ(controller->config().connections[0].from, Endpoint::line(kLine1));
}

TEST_F(RouterViewTest, BannerSlotFollowsResponsivenessAndRetryRebuilds) {
    if (ranInChild()) {
        return;
    }
    startServer(kProfile);
    RoutingConfig config;
    config.sources = {interface};
    // Generous call time-outs: a call timing out on a busy machine would hand the recovery back to the
    // minute-long probe, and only the retry may bring the system back here.
    controller =
        RoutingController::create(config, false, false, {.callTimeout = 10.0, .recoveryInterval = 60s});
    view = std::make_unique<RouterView>(controller, controller->meters(), UserDefaults::standard(), nullptr);
    // Before the first device list: no banner, although there are no lines yet.
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::none);
    EXPECT_TRUE(view->driverMissingBanner()->isHidden());
    view->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->lines().size() == 2; }, 20000));
    settle();
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::none);

    Access::audioSystemUnresponsive(*controller);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::audioSystem);
    EXPECT_TRUE(view->audioSystemBanner()->isVisible());
    EXPECT_FALSE(view->driverMissingBanner()->isVisible());
    EXPECT_EQ(view->audioSystemBanner()->title(), QStringLiteral("オーディオシステムが応答していません"));

    // The probe waits a minute here: only the retry can bring the system back now.
    QTest::mouseClick(view->audioSystemBanner()->retryButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioSystemResponsive(); }, 20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::none);
    EXPECT_FALSE(view->audioSystemBanner()->isVisible());
    settle();
}

TEST_F(RouterViewTest, DriverBannerShowsOnceTheDeviceListHasNoLines) {
    if (ranInChild()) {
        return;
    }
    startServer(kProfile, false);
    RoutingConfig config;
    config.sources = {interface};
    config.monitorDeviceUIDs = {"speakers"};
    start(config, QSize(1180, 760), 0);
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::driverMissing);
    EXPECT_TRUE(view->driverMissingBanner()->isVisible());
    EXPECT_EQ(view->driverMissingBanner()->title(),
              QStringLiteral("仮想ライン（Line 1 など）が見つかりません"));
    // The matrix still shows the sources and the monitor.
    EXPECT_NE(grid().rowHeader(interface.id.uuidString()), nullptr);
    EXPECT_NE(grid().cell(interface.id.uuidString(), "speakers", {0, 2}), nullptr);

    Access::audioSystemUnresponsive(*controller);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::audioSystem) << "only one banner, the audio system's";
    EXPECT_FALSE(view->driverMissingBanner()->isVisible());
}

TEST_F(RouterViewTest, MessagesShowInTheAlertAndOKClearsThem) {
    if (ranInChild()) {
        return;
    }
    startWith({interface}, {"speakers"});
    server->refuseDeviceStart(server->deviceID("speakers"), kAudioHardwareIllegalOperationError);

    click(cell(interface, "speakers", {0, 2}), 0, 0);
    settle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts.shown.empty(); }, 3000));
    EXPECT_EQ(alerts.shown[0].message, "お知らせ");
    EXPECT_TRUE(alerts.shown[0].informativeText.starts_with("Speakers を開けません: "))
        << alerts.shown[0].informativeText;
    ASSERT_EQ(alerts.shown[0].buttons.size(), 1u);
    EXPECT_EQ(alerts.shown[0].buttons[0].title, "OK");
    EXPECT_EQ(controller->message(), std::nullopt) << "OK clears the message";

    // The same failure later is reported again.
    controller->scheduleReconcile();
    settle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 3000));
    EXPECT_EQ(alerts.shown[1].informativeText, alerts.shown[0].informativeText);
    server->clearRefusals();
}

TEST_F(RouterViewTest, AFaderDraggedThroughAHundredStepsWhileAudioRunsReachesTheConfigurationAtEachStep) {
    if (ranInChild()) {
        return;
    }
    startWith({interface});
    connectInterface();
    EXPECT_NEAR(listen(kLine1).left1k(), -12, 1.0);

    // Every call on the audio server's queue now takes a second: a step that waited on it would stand still
    // that long, far longer than a busy machine's scheduling ever holds one up.
    CoreAudioCall::simulatedDelay = 1.0;
    PairHeader* header = grid().pairHeader(kLine1, {0, 2});
    ASSERT_NE(header, nullptr);
    VerticalFader* fader = header->fader();
    const QRectF track = fader->trackRect();
    const auto yOfStep = [&track](int step) {
        return track.top() + track.height() * step / 100.0;
    };
    const double scale = grid().scale();
    const auto expected = [&track, scale](double y) {
        return VerticalFaderModel::valueAt((y - track.top()) / scale, 80);
    };

    QTest::mousePress(fader, Qt::LeftButton, {}, QPoint(fader->width() / 2, static_cast<int>(yOfStep(0))));
    qint64 slowest = 0;
    int checked = 0;
    for (int step = 1; step <= 100; ++step) {
        const QPoint at(fader->width() / 2, static_cast<int>(std::lround(yOfStep(step))));
        QElapsedTimer timer;
        timer.start();
        QTest::mouseMove(fader, at);
        QCoreApplication::processEvents(); // the window's coalesced refresh
        slowest = std::max(slowest, timer.nsecsElapsed() / 1000);
        const float want = expected(at.y());
        const DeviceVolume volume = controller->config().volume(kLine1);
        const float stored = volume.pairDB.contains(0) ? volume.pairDB.at(0) : 0.0f;
        EXPECT_EQ(stored, want) << "step " << step;
        EXPECT_EQ(fader->dB(), want) << "the fader shows its own step, step " << step;
        ++checked;
    }
    QTest::mouseRelease(fader, Qt::LeftButton, {},
                        QPoint(fader->width() / 2, static_cast<int>(yOfStep(100))));
    EXPECT_EQ(checked, 100);
    EXPECT_LT(slowest, 1'000'000) << "the main thread waited on the audio server (µs)";
    std::printf("fader drag: slowest of 100 steps %.2f ms with a 1 s audio-server delay\n",
                static_cast<double>(slowest) / 1000.0);
    EXPECT_EQ(controller->config().volume(kLine1).pairDB.at(0), -60.0f);

    // Back to a quick server, the last step (silence) is what the line plays; a double click gives 0 dB.
    CoreAudioCall::simulatedDelay = 0;
    EXPECT_LT(listen(kLine1).left1k(), -60);
    QTest::mouseDClick(fader, Qt::LeftButton, {}, QPoint(fader->width() / 2, static_cast<int>(yOfStep(50))));
    EXPECT_FALSE(controller->config().volume(kLine1).pairDB.contains(0));
    EXPECT_NEAR(listen(kLine1).left1k(), -12, 1.0);
}

} // namespace
