// The menu-bar panel: its summary, status words, pair and channel labels and monitor order as plain
// functions; then the panel on a live controller over the emulated hardware (rows that follow the
// controller, unfolding, edits reaching the controller, the warning of an unanswering server, the
// scroll area's clamp, the footer's switch and button), the panel of the real application's tray and
// preview window, and its pictures under build/snapshots.
#include "TandrelApp/Shell/MenuBarContent.h"
#include "TandrelApp/Shell/MenuBarContentModel.h"
#include "TandrelApp/Shell/MenuBarRows.h"

#include <cmath>
#include <filesystem>
#include <fstream>

#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <gtest/gtest.h>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "ShellTestSupport.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerTestAccess.h"
#include "TandrelApp/Shell/AppDelegate.h"
#include "TandrelApp/Shell/MenuBarExtra.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/GlyphButton.h"

namespace {

namespace Model = MenuBarContentModel;
using Status = RoutingController::SourceStatus;
using namespace std::chrono_literals;

// ---- The model

TEST(MenuBarContentModel, SummaryCountsRunningSourcesAndUnmutedConnections) {
    EXPECT_EQ(Model::summary({}, {}), "稼働中の音源 0 · 有効な接続 0");
    std::unordered_map<UUID, Status> statuses{{UUID::random(), Status::running("入力デバイス")},
                                              {UUID::random(), Status::running("")},
                                              {UUID::random(), Status::waiting("待っています")},
                                              {UUID::random(), Status::failed("x")},
                                              {UUID::random(), Status::idle()},
                                              {UUID::random(), Status::standby()}};
    std::vector<Connection> connections(7);
    connections[1].isMuted = true;
    connections[4].isMuted = true;
    EXPECT_EQ(Model::summary(statuses, connections), "稼働中の音源 2 · 有効な接続 5");
}

TEST(MenuBarContentModel, StatusWordsFollowTheTable) {
    const std::vector<std::pair<std::optional<Status>, std::string>> table{
        {std::nullopt, "待機中"},
        {Status::running("Process Tap"), ""},
        {Status::waiting("アプリの起動を待っています"), "アプリの起動を待っています"},
        {Status::failed("取り込みを開始できません"), "エラー"},
        {Status::idle(), "待機中"},
        {Status::starting(), "待機中"},
        {Status::standby(), "未使用"}};
    for (const auto& [status, word] : table) {
        EXPECT_EQ(Model::statusText(status), word);
    }
}

TEST(MenuBarContentModel, MonitorsAreTheListedOutputDevicesInTheOrderOfTheDeviceList) {
    const std::vector<AudioDeviceInfo> outputs{
        {.uid = "a", .name = "A"}, {.uid = "B", .name = "B"}, {.uid = "c", .name = "C"}};
    const auto monitors = Model::monitors(outputs, {"c", "missing", "a", "b"});
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_EQ(monitors[0].uid, "a");
    EXPECT_EQ(monitors[1].uid, "c");
}

TEST(MenuBarContentModel, PairsAndChannelsOfADevice) {
    EXPECT_EQ(Model::pairs(0), std::vector<int>{});
    EXPECT_EQ(Model::pairs(1), std::vector<int>{0});
    EXPECT_EQ(Model::pairs(3), (std::vector<int>{0, 2}));
    EXPECT_EQ(Model::pairs(64).size(), 32u);
    EXPECT_EQ(Model::pairLabel(0, 3), "ch1-2");
    EXPECT_EQ(Model::pairLabel(2, 3), "ch3");
    EXPECT_EQ(Model::pairLabel(0, 1), "ch1");
    EXPECT_EQ(Model::pairLabel(62, 64), "ch63-64");
    EXPECT_EQ(Model::pairChannels(0, 3), (std::vector<int>{0, 1}));
    EXPECT_EQ(Model::pairChannels(2, 3), std::vector<int>{2});
    EXPECT_EQ(Model::pairChannelLabel(0, 0, 3), "ch1 L");
    EXPECT_EQ(Model::pairChannelLabel(1, 0, 3), "ch2 R");
    EXPECT_EQ(Model::pairChannelLabel(2, 2, 3), "ch3");
    EXPECT_EQ(Model::channelCountText(64), "64ch");
    EXPECT_EQ(Model::meterChannels(0), 1);
    EXPECT_EQ(Model::meterChannels(1), 1);
    EXPECT_EQ(Model::meterChannels(2), 2);
    EXPECT_EQ(Model::meterChannels(64), 2);
}

TEST(MenuBarContentModel, ChannelsOfASource) {
    EXPECT_EQ(Model::sourceChannels(std::nullopt), (std::vector<int>{0, 1})) << "not running: stereo";
    EXPECT_EQ(Model::sourceChannels(1u), std::vector<int>{0});
    EXPECT_EQ(Model::sourceChannels(6u).size(), 6u);
    EXPECT_EQ(Model::sourceChannels(0u), std::vector<int>{});
    EXPECT_EQ(Model::sourceChannelLabel(0, 2), "L");
    EXPECT_EQ(Model::sourceChannelLabel(1, 2), "R");
    EXPECT_EQ(Model::sourceChannelLabel(0, 1), "モノ");
    EXPECT_EQ(Model::sourceChannelLabel(5, 6), "ch6");
    EXPECT_EQ(Model::sourceSymbol(SourceKind::inputDevice("mic")), "mic");
    EXPECT_EQ(Model::sourceSymbol(SourceKind::systemAudio()), "macwindow.on.rectangle");
    EXPECT_EQ(Model::sourceSymbol(SourceKind::application("x")), "app");
}

TEST(MenuBarContentModel, AnyPerChannelAdjustmentTurnsTheUnfoldButtonOrange) {
    SourceConfig source;
    EXPECT_FALSE(Model::isAdjusted(source));
    source.mutedChannels = {1};
    EXPECT_TRUE(Model::isAdjusted(source)) << "a muted channel alone counts";
    source.mutedChannels.clear();
    source.channelDB[0] = -3;
    EXPECT_TRUE(Model::isAdjusted(source));

    DeviceVolume volume;
    volume.masterDB = -10;
    volume.isMuted = true;
    EXPECT_FALSE(Model::isAdjusted(volume)) << "the master volume is shown on the row itself";
    volume.pairDB[2] = -6;
    EXPECT_TRUE(Model::isAdjusted(volume));

    EXPECT_EQ(Model::unfoldGlyph(false, false), (Glyph{"chevron.right", ColorRole::accent}));
    EXPECT_EQ(Model::unfoldGlyph(true, true), (Glyph{"chevron.down", ColorRole::orange}));
}

TEST(MenuBarContentModel, TheScrollAreaIsClampedTo44To560Points) {
    EXPECT_EQ(Model::scrollHeight(0), 44);
    EXPECT_EQ(Model::scrollHeight(24), 44);
    EXPECT_EQ(Model::scrollHeight(300), 300);
    EXPECT_EQ(Model::scrollHeight(2000), 560);
}

// ---- The panel on a live controller

// Speakers, a desk monitor with three channels, a line as the driver would publish it (64 channels)
// and a microphone.
constexpr const char* kPanelProfile = R"({"devices": [
    {"uid": "panel.speakers", "name": "Speakers", "outputStreams": [2]},
    {"uid": "panel.desk", "name": "Desk Monitor", "outputStreams": [3]},
    {"uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2]},
    {"uid": "qorvix.tandrel.device.line2", "name": "Line 2", "inputStreams": [64], "outputStreams": [64]},
    {"uid": "panel.mic", "name": "USB Mic", "inputStreams": [1]}],
  "applications": [{"bundleID": "org.example.player", "name": "Music Player"}]})";

SourceConfig sourceOf(SourceKind kind, std::string name) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = std::move(kind);
    source.name = std::move(name);
    return source;
}

class MenuBarPanel : public ::testing::Test {
protected:
    void SetUp() override { environment = std::make_unique<ShellEnvironment>(profile()); }
    virtual const char* profile() const { return kPanelProfile; }

    void start(RoutingConfig config, RoutingController::Timings timings = {}) {
        controller = RoutingController::create(std::move(config), false, false, timings);
        ASSERT_TRUE(QTest::qWaitFor([this] { return controller->devicesLoaded(); }, 5000));
        QCoro::waitFor(controller->waitForReconcile());
        panel = std::make_unique<MenuBarContent>(
            controller, controller->meters(), false,
            MenuBarContent::Environment{
                .openMixer = [this] { ++mixerOpenings; },
                .setLaunchAtLogin = [this](bool on) { loginRequests.push_back(on); },
                .launchAtLogin = [this] { return loginItemEnabled; },
                .updateNotice = nullptr,
            });
    }
    void TearDown() override {
        CoreAudioCall::simulatedDelay = 0;
        panel.reset();
        if (controller) {
            QCoro::waitFor(controller->waitForReconcile());
        }
        controller.reset();
        environment.reset();
    }

    // A panel shaped like the one in the tray: its own window, laid out.
    void showPanel() {
        panel->show();
        QApplication::processEvents();
        panel->adjustSize();
    }

    std::unique_ptr<ShellEnvironment> environment;
    std::shared_ptr<RoutingController> controller;
    std::unique_ptr<MenuBarContent> panel;
    int mixerOpenings = 0;
    std::vector<bool> loginRequests;
    bool loginItemEnabled = false;
};

// Speakers alone, and no lines.
class EmptyMenuBarPanel : public MenuBarPanel {
protected:
    const char* profile() const override { return ShellEnvironment::speakersProfile; }
};

TEST_F(EmptyMenuBarPanel, WithNothingToShowEverySectionIsLeftOutAndTheScrollAreaIs44High) {
    start(RoutingConfig{});
    showPanel();
    EXPECT_FALSE(panel->sourcesSection().isVisibleTo(panel.get()));
    EXPECT_FALSE(panel->linesSection().isVisibleTo(panel.get()));
    EXPECT_FALSE(panel->monitorsSection().isVisibleTo(panel.get()));
    EXPECT_EQ(panel->scrollArea().height(), 44);
    EXPECT_EQ(panel->width(), 360);
    EXPECT_EQ(panel->summaryLabel().text(), QStringLiteral("稼働中の音源 0 · 有効な接続 0"));
    EXPECT_FALSE(panel->unresponsiveWarning().isVisibleTo(panel.get()));
}

TEST_F(MenuBarPanel, RowsShowTheControllersSourcesLinesAndMonitors) {
    RoutingConfig config;
    const SourceConfig system = sourceOf(SourceKind::systemAudio(), "システム全体");
    const SourceConfig mic = sourceOf(SourceKind::inputDevice("panel.mic"), "USB Mic");
    const SourceConfig player = sourceOf(SourceKind::application("org.example.absent"), "Absent Player");
    config.sources = {system, mic, player};
    // Listed in another order than the device list, with a UID that is no device.
    config.monitorDeviceUIDs = {"panel.desk", "panel.gone", "panel.speakers"};
    config.connections.resize(3);
    config.connections[2].isMuted = true;
    start(config);
    RoutingControllerTestAccess::setStatus(*controller, system.id, Status::failed("許可がありません"));
    RoutingControllerTestAccess::setStatus(*controller, player.id, Status::standby());
    showPanel();

    EXPECT_TRUE(panel->sourcesSection().isVisibleTo(panel.get()));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return controller->sourceChannelCount(Endpoint::source(mic.id)).has_value(); }, 5000));
    EXPECT_EQ(panel->summaryLabel().text(), QStringLiteral("稼働中の音源 1 · 有効な接続 2"));
    SourceRow* systemRow = panel->sourceRow(Model::rowKey(system));
    SourceRow* micRow = panel->sourceRow(Model::rowKey(mic));
    SourceRow* playerRow = panel->sourceRow(Model::rowKey(player));
    ASSERT_TRUE(systemRow && micRow && playerRow);
    EXPECT_EQ(systemRow->detail(), QStringLiteral("エラー"));
    EXPECT_EQ(micRow->detail(), QString()) << "a running source shows no word";
    EXPECT_EQ(playerRow->detail(), QStringLiteral("未使用"));
    EXPECT_EQ(systemRow->iconSymbol(), "macwindow.on.rectangle");
    EXPECT_EQ(micRow->iconSymbol(), "mic");
    EXPECT_EQ(playerRow->iconSymbol(), "app") << "an application neither running nor installed";
    EXPECT_EQ(micRow->meterBar().meters().size(), 2u);
    QApplication::processEvents();
    EXPECT_EQ(micRow->shownName(), QStringLiteral("USB Mic")) << "a name that fits is not shortened";

    DeviceRow* line2 = panel->lineRow("qorvix.tandrel.device.line2");
    ASSERT_NE(line2, nullptr);
    EXPECT_EQ(line2->name(), QStringLiteral("Line 2"));
    EXPECT_EQ(line2->detail(), QStringLiteral("64ch"));
    EXPECT_EQ(panel->monitorKeys(), (std::vector<std::string>{"panel.speakers", "panel.desk"}))
        << "monitors in the device list's order, the missing one left out";

    // The controller's changes arrive in place.
    controller->removeSource(player.id);
    EXPECT_EQ(panel->sourceRow(Model::rowKey(player)), nullptr);
    EXPECT_EQ(panel->sourceRow(Model::rowKey(mic)), micRow) << "the other rows stay the same widgets";
    controller->removeMonitor("panel.desk");
    EXPECT_EQ(panel->monitorKeys(), std::vector<std::string>{"panel.speakers"});
}

TEST_F(MenuBarPanel, UnfoldedRowsListChannelsAndPairsAndEditsReachTheController) {
    RoutingConfig config;
    const SourceConfig player = sourceOf(SourceKind::application("org.example.absent"), "Player");
    config.sources = {player};
    config.monitorDeviceUIDs = {"panel.desk"};
    start(config);
    showPanel();
    SourceRow* row = panel->sourceRow(Model::rowKey(player));
    ASSERT_NE(row, nullptr);
    EXPECT_FALSE(row->channels().isVisibleTo(panel.get()));
    EXPECT_EQ(row->unfoldButton().glyph(), (Glyph{"chevron.right", ColorRole::accent}));

    row->unfoldButton().click();
    EXPECT_TRUE(panel->expanded().contains(player.id.uuidString()));
    EXPECT_TRUE(row->channels().isVisibleTo(panel.get()));
    EXPECT_EQ(row->unfoldButton().glyph().name, "chevron.down");
    ASSERT_EQ(row->channels().rowCount(), 2u) << "a source that does not run unfolds to L and R";

    // Muting one channel turns the button orange, and it stays so folded.
    row->channels().control(1)->muteButton()->click();
    EXPECT_EQ(controller->source(player.id)->mutedChannels, std::set<std::int64_t>{1});
    EXPECT_TRUE(row->channels().control(1)->isMuted());
    row->unfoldButton().click();
    EXPECT_EQ(row->unfoldButton().glyph(), (Glyph{"chevron.right", ColorRole::orange}));
    row->unfoldButton().click();
    row->channels().control(1)->muteButton()->click();
    EXPECT_EQ(row->unfoldButton().glyph().role, ColorRole::accent) << "no adjustment is left";

    // The source's own volume.
    emit row->volume().slider()->userMoved(-1200);
    EXPECT_FLOAT_EQ(controller->source(player.id)->volumeDB, -12.0f);
    row->volume().muteButton()->click();
    EXPECT_TRUE(controller->source(player.id)->isMuted);

    // A device with three outputs unfolds to ch1-2 with ch1 L and ch2 R, then ch3 alone.
    DeviceRow* desk = panel->monitorRow("panel.desk");
    ASSERT_NE(desk, nullptr);
    EXPECT_EQ(desk->meterBar().meters().size(), 2u);
    EXPECT_TRUE(desk->pairs().empty());
    desk->unfoldButton().click();
    const auto pairs = desk->pairs();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0]->label(), QStringLiteral("ch1-2"));
    EXPECT_EQ(pairs[1]->label(), QStringLiteral("ch3"));
    EXPECT_EQ(pairs[0]->channels().rowCount(), 2u);
    EXPECT_EQ(pairs[1]->channels().rowCount(), 1u);
    EXPECT_EQ(pairs[0]->volume().muteButton()->isVisible(), false) << "a pair has no mute of its own";

    emit pairs[1]->volume().slider()->userMoved(-600);
    EXPECT_FLOAT_EQ(controller->config().volume("panel.desk").pairDB.at(2), -6.0f);
    emit pairs[0]->channels().control(1)->slider()->userMoved(-300);
    EXPECT_FLOAT_EQ(controller->config().volume("panel.desk").channelDB.at(1), -3.0f);
    pairs[1]->channels().control(2)->muteButton()->click();
    EXPECT_EQ(controller->config().volume("panel.desk").mutedChannels, std::set<std::int64_t>{2});
    emit desk->volume().slider()->userMoved(-2050);
    EXPECT_FLOAT_EQ(controller->config().volume("panel.desk").masterDB, -20.5f);
    desk->volume().muteButton()->click();
    EXPECT_TRUE(controller->config().volume("panel.desk").isMuted);
    EXPECT_EQ(desk->unfoldButton().glyph(), (Glyph{"chevron.down", ColorRole::orange}));
    EXPECT_EQ(desk->pairs(), pairs) << "the pairs are kept across the refreshes";
}

TEST_F(MenuBarPanel, TallContentScrollsInside560PointsAndShortContentShrinksTheArea) {
    RoutingConfig config;
    config.monitorDeviceUIDs = {"panel.speakers"};
    start(config);
    showPanel();
    const int folded = panel->scrollArea().height();
    EXPECT_GT(folded, 44);
    EXPECT_LT(folded, 560);

    panel->toggleExpanded("qorvix.tandrel.device.line2");
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->scrollArea().height() == 560; }, 2000))
        << "32 pairs scroll inside the clamp; the area is " << panel->scrollArea().height();
    EXPECT_GT(panel->scrollArea().widget()->height(), 560);
    panel->toggleExpanded("qorvix.tandrel.device.line2");
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->scrollArea().height() == folded; }, 2000));
}

TEST_F(MenuBarPanel, AnUnansweringServerShowsOnlyTheWarning) {
    RoutingConfig config;
    config.monitorDeviceUIDs = {"panel.speakers"};
    start(config, {.callTimeout = 0.3, .recoveryInterval = 200ms, .probeTimeout = 0.2});
    showPanel();
    EXPECT_FALSE(panel->unresponsiveWarning().isVisibleTo(panel.get()));

    // The next device check, after a rename, finds the server hung.
    CoreAudioCall::simulatedDelay = 1.0;
    environment->server().renameDevice("panel.speakers", "Speakers (HDMI)");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->audioSystemResponsive(); }, 5000));
    EXPECT_TRUE(panel->unresponsiveWarning().isVisibleTo(panel.get()));
    EXPECT_NE(panel->lineRow("qorvix.tandrel.device.line1"), nullptr) << "rows stay as they are";
    EXPECT_TRUE(writeSnapshot(*panel, QStringLiteral("menubar-panel-unresponsive")));

    CoreAudioCall::simulatedDelay = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioSystemResponsive(); }, 10000));
    EXPECT_FALSE(panel->unresponsiveWarning().isVisibleTo(panel.get()));
}

TEST_F(MenuBarPanel, TheFooterOpensTheMixerAndShowsTheLoginItemAsTheSystemReadsIt) {
    start(RoutingConfig{});
    showPanel();
    ApplicationActivation::setPolicy(ActivationPolicy::accessory);
    panel->openMixerButton().click();
    EXPECT_EQ(mixerOpenings, 1);
    EXPECT_EQ(ApplicationActivation::policy(), ActivationPolicy::regular) << "back in the taskbar first";

    EXPECT_FALSE(panel->launchAtLoginBox().isChecked());
    loginItemEnabled = true;
    panel->launchAtLoginBox().click();
    EXPECT_EQ(loginRequests, std::vector<bool>{true});
    EXPECT_TRUE(panel->launchAtLoginBox().isChecked());

    // Unregistering fails: the box shows what the system still says.
    panel->launchAtLoginBox().click();
    EXPECT_EQ(loginRequests, (std::vector<bool>{true, false}));
    EXPECT_TRUE(panel->launchAtLoginBox().isChecked());
}

TEST_F(MenuBarPanel, Snapshot) {
    RoutingConfig config;
    const SourceConfig system = sourceOf(SourceKind::systemAudio(), "システム全体");
    const SourceConfig mic = sourceOf(SourceKind::inputDevice("panel.mic"), "USB Mic");
    const SourceConfig player = sourceOf(SourceKind::application("org.example.player"), "Music Player");
    config.sources = {system, mic, player};
    config.monitorDeviceUIDs = {"panel.speakers"};
    config.deviceVolumes["panel.speakers"].channelDB[1] = -4.5f;
    start(config);
    RoutingControllerTestAccess::setStatus(*controller, player.id, Status::standby());
    controller->setSourceVolume(system.id, -6);
    controller->setDeviceVolume("qorvix.tandrel.device.line1", -12);
    panel->toggleExpanded("panel.speakers");
    showPanel();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return controller->sourceChannelCount(Endpoint::source(mic.id)).has_value(); }, 5000));
    EXPECT_EQ(panel->monitorRow("panel.speakers")->pairs().size(), 1u);
    EXPECT_TRUE(writeSnapshot(*panel, QStringLiteral("menubar-panel-unfolded")));
}

// ---- The panel in the application

class MenuBarInApplication : public ::testing::Test {
protected:
    ShellEnvironment environment{kPanelProfile};
};

TEST_F(MenuBarInApplication, TheTrayPanelHoldsTheContentAndItsButtonOpensTheMixer) {
    TandrelApp app{{"TandrelApp"}};
    app.launch();
    app.windows().window(QStringLiteral("router"))->hide();
    app.menuBarExtra()->togglePanel();
    QWidget& panel = app.menuBarExtra()->panel();
    auto* content = panel.findChild<MenuBarContent*>();
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(panel.width(), 360);
    EXPECT_GE(panel.height(), content->scrollArea().height());

    content->openMixerButton().click();
    EXPECT_TRUE(app.windows().window(QStringLiteral("router"))->isVisible());
    EXPECT_FALSE(panel.isVisible()) << "the panel drops away as the mixer comes forward";
    QCoro::waitFor(app.controller()->waitForReconcile());
}

TEST_F(MenuBarInApplication, TheLoginSwitchShowsTheRealStateWhenRegisteringFails) {
    // The autostart folder cannot be made: a file stands in its place.
    std::ofstream(std::filesystem::path(environment.config.path().toStdString()) / "autostart") << "x";
    TandrelApp app{{"TandrelApp"}};
    app.launch();
    app.menuBarExtra()->togglePanel();
    auto* content = app.menuBarExtra()->panel().findChild<MenuBarContent*>();
    ASSERT_NE(content, nullptr);
    EXPECT_FALSE(content->launchAtLoginBox().isChecked());
    content->launchAtLoginBox().click();
    EXPECT_FALSE(content->launchAtLoginBox().isChecked());
    app.menuBarExtra()->panel().hide();
    QCoro::waitFor(app.controller()->waitForReconcile());
}

TEST_F(MenuBarInApplication, ThePreviewWindowShowsThePanel) {
    TandrelApp app{{"TandrelApp", "--preview-menubar"}};
    app.launch();
    QWidget* preview = app.delegate().previewWindow();
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->windowTitle(), QStringLiteral("Menu Bar Preview"));
    auto* content = preview->findChild<MenuBarContent*>();
    ASSERT_NE(content, nullptr);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return content->lineRow("qorvix.tandrel.device.line1") != nullptr; }, 5000));
    const int before = preview->height();
    content->toggleExpanded("qorvix.tandrel.device.line1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->height() > before; }, 2000))
        << "the window takes the panel's new size";
    QCoro::waitFor(app.controller()->waitForReconcile());
}

// Without a tray telling where its icon is, the panel opens at the pointer; growing while it is open,
// it stays inside the screen.
TEST(MenuBarPanelPlacement, ThePanelStaysOnTheScreenAsItGrows) {
    QPointer<QWidget> content;
    MenuBarExtra extra(
        [&content] {
            auto widget = std::make_unique<QWidget>();
            widget->setFixedSize(360, 120);
            content = widget.get();
            return widget;
        },
        {});
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QCursor::setPos(area.bottomRight() - QPoint(10, 10));
    extra.togglePanel();
    QWidget& panel = extra.panel();
    ASSERT_TRUE(panel.isVisible());
    // The offscreen platform puts a thin frame around even a popup; the panel itself must fit.
    const QRect screen = area.marginsAdded(QMargins(4, 4, 4, 4));
    EXPECT_TRUE(screen.contains(panel.frameGeometry())) << "at the pointer, pushed inside the screen";

    content->setFixedSize(360, area.height() - 40);
    ASSERT_TRUE(QTest::qWaitFor([&panel, &content] { return panel.height() >= content->height(); }, 2000));
    QApplication::processEvents();
    EXPECT_TRUE(screen.contains(panel.frameGeometry()))
        << "grown to " << panel.height() << ", at " << panel.frameGeometry().top();
    panel.hide();
}

} // namespace
