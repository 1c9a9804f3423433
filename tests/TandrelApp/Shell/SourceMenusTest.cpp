// The "音源" and "モニター先" menus: what their model offers for given applications and devices, what
// each item does to a controller, and the menus as the user opens them in the mixer window's menu bar
// (pictured under build/snapshots), down to a monitor added from the menu getting its matrix column.
#include "TandrelApp/Shell/SourceMenus.h"
#include "TandrelApp/Shell/SourceMenusModel.h"

#include <algorithm>

#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <gtest/gtest.h>

#include "ShellTestSupport.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/RouterWindow.h"
#include "TandrelApp/Shell/SettingsTab.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

using namespace SourceMenus;
using Kind = Item::Kind;

AudioDeviceInfo device(std::string uid, std::string name, uint32_t inputs, uint32_t outputs) {
    return {.id = 0,
            .uid = std::move(uid),
            .name = std::move(name),
            .inputChannels = inputs,
            .outputChannels = outputs,
            .sampleRate = 48000};
}

std::vector<std::string> titles(const std::vector<Item>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(item.kind == Kind::divider ? "-" : item.title);
    }
    return out;
}

const Item& itemTitled(const std::vector<Item>& items, const std::string& title) {
    return *std::ranges::find(items, title, &Item::title);
}

State sampleState() {
    return {.runningApps = {{"org.example.alpha", "Alpha"}, {"org.example.beta", "Beta"}},
            .inputDevices = {device("mic", "Mic", 2, 0), device("interface", "Studio", 8, 8)},
            .outputDevices = {device("speakers", "Speakers", 0, 2), device("phones", "Phones", 0, 2),
                              device("hdmi", "HDMI", 0, 8)},
            .monitorDeviceUIDs = {"speakers", "PHONES"},
            .autoAddsRunningApps = true,
            .autoAddsApps = false,
            .autoAddsMonitors = true,
            .excludedAppCount = 3};
}

TEST(SourceMenusModel, SourceMenuOffersRunningAppsTheWholeSystemAndInputDevicesThenTheSwitches) {
    const auto items = buildMenuModel(Menu::sources, sampleState());
    EXPECT_EQ(titles(items),
              (std::vector<std::string>{"アプリケーションを追加", "Alpha", "Beta", "システム",
                                        "システム全体の音声を追加", "入力デバイスを追加", "Mic（2ch）",
                                        "Studio（8ch）", "-", "起動しているアプリを自動で追加",
                                        "音を出したアプリを自動で追加", "除外するアプリ…（3）"}));
    EXPECT_EQ(items[0].kind, Kind::header);
    EXPECT_EQ(itemTitled(items, "Beta").action,
              (Action{Action::AddSource{SourceKind::application("org.example.beta"), "Beta"}}));
    EXPECT_EQ(itemTitled(items, "システム全体の音声を追加").action,
              (Action{Action::AddSource{SourceKind::systemAudio(), "システム全体"}}));
    EXPECT_EQ(itemTitled(items, "Studio（8ch）").action,
              (Action{Action::AddSource{SourceKind::inputDevice("interface"), "Studio"}}))
        << "the source takes the device's own name, without the channel count";
    const Item& running = itemTitled(items, "起動しているアプリを自動で追加");
    EXPECT_EQ(running.kind, Kind::toggle);
    EXPECT_TRUE(running.checked);
    EXPECT_EQ(running.action, (Action{Action::SetAutoAdd{AutoAddSwitch::runningApps, false}}));
    const Item& playing = itemTitled(items, "音を出したアプリを自動で追加");
    EXPECT_FALSE(playing.checked);
    EXPECT_EQ(playing.action, (Action{Action::SetAutoAdd{AutoAddSwitch::apps, true}}));
    EXPECT_EQ(items.back().action, (Action{Action::OpenExcludedApps{}}));
    EXPECT_TRUE(std::ranges::none_of(items, [](const Item& i) { return i.kind == Kind::note; }))
        << "no item is ever disabled or replaced by a text in this menu";
}

TEST(SourceMenusModel, WithNothingRunningAndNoInputsTheSystemItemRemains) {
    State state;
    EXPECT_EQ(titles(buildMenuModel(Menu::sources, state)),
              (std::vector<std::string>{"アプリケーションを追加", "システム", "システム全体の音声を追加",
                                        "入力デバイスを追加", "-", "起動しているアプリを自動で追加",
                                        "音を出したアプリを自動で追加", "除外するアプリ…（0）"}));
}

TEST(SourceMenusModel, MonitorMenuOffersOutputDevicesWhoseUIDIsNoMonitorExactly) {
    const auto items = buildMenuModel(Menu::monitors, sampleState());
    EXPECT_EQ(titles(items), (std::vector<std::string>{"モニター先を追加", "Phones", "HDMI", "-",
                                                       "接続した出力デバイスを自動で追加"}))
        << "a stored UID that differs only in letter case leaves the device addable";
    EXPECT_EQ(itemTitled(items, "HDMI").action, (Action{Action::AddMonitor{"hdmi"}}));
    EXPECT_EQ(items.back().action, (Action{Action::SetAutoAdd{AutoAddSwitch::monitors, false}}));

    State state = sampleState();
    state.monitorDeviceUIDs = {"hdmi", "phones", "speakers"};
    const auto full = buildMenuModel(Menu::monitors, state);
    EXPECT_EQ(titles(full),
              (std::vector<std::string>{"モニター先を追加", "追加できる出力デバイスはありません", "-",
                                        "接続した出力デバイスを自動で追加"}));
    EXPECT_EQ(full[1].kind, Kind::note);
    EXPECT_FALSE(full[1].action.has_value());
}

// Names from outside are shown as they are: an "&" is no shortcut mark in either menu.
TEST(SourceMenusWidgets, AnAmpersandInANameShowsInTheMenu) {
    State state;
    state.runningApps = {{"org.example.duo", "Tom & Jerry"}};
    state.inputDevices = {device("mic", "A&B Mic", 2, 0)};
    state.outputDevices = {device("hdmi", "Left && Right", 0, 2)};
    for (Menu which : {Menu::sources, Menu::monitors}) {
        QMenu menu;
        fill(menu, buildMenuModel(which, state), {});
        QStringList shown;
        for (const QAction* action : menu.actions()) {
            shown << action->iconText();
        }
        for (const char* name : {"Tom & Jerry", "A&B Mic（2ch）", "Left && Right"}) {
            const bool offered = which == Menu::monitors ? std::string_view(name) == "Left && Right"
                                                         : std::string_view(name) != "Left && Right";
            EXPECT_EQ(shown.contains(QString::fromUtf8(name)), offered) << name;
        }
    }
}

// A controller of its own on the emulated speakers, discovering nothing by itself.
class SourceMenusPerform : public ::testing::Test {
protected:
    void SetUp() override {
        controller = RoutingController::create(RoutingConfig{}, false, false);
        QCoro::waitFor(controller->waitForReconcile());
    }
    void TearDown() override {
        QCoro::waitFor(controller->waitForReconcile());
        SettingsOpener::open() = nullptr;
    }

    ShellEnvironment environment;
    std::shared_ptr<RoutingController> controller;
};

TEST_F(SourceMenusPerform, EveryItemActsOnTheController) {
    perform({Action::AddSource{SourceKind::application("org.example.alpha"), "Alpha"}}, *controller);
    perform({Action::AddSource{SourceKind::systemAudio(), "システム全体"}}, *controller);
    perform({Action::AddSource{SourceKind::inputDevice("mic"), "Mic"}}, *controller);
    const auto& sources = controller->config().sources;
    ASSERT_EQ(sources.size(), 3u);
    EXPECT_EQ(sources[0].kind, SourceKind::systemAudio()) << "the whole system goes on top";
    EXPECT_EQ(sources[0].name, "システム全体");
    EXPECT_EQ(sources[1].kind, SourceKind::application("org.example.alpha"));
    EXPECT_EQ(sources[1].name, "Alpha");
    EXPECT_EQ(sources[2].kind, SourceKind::inputDevice("mic"));

    perform({Action::AddMonitor{"shell.speakers"}}, *controller);
    EXPECT_EQ(controller->config().monitorDeviceUIDs, std::vector<std::string>{"shell.speakers"});

    perform({Action::SetAutoAdd{AutoAddSwitch::runningApps, false}}, *controller);
    perform({Action::SetAutoAdd{AutoAddSwitch::apps, false}}, *controller);
    perform({Action::SetAutoAdd{AutoAddSwitch::monitors, false}}, *controller);
    EXPECT_FALSE(controller->autoAddsRunningApps());
    EXPECT_FALSE(controller->autoAddsApps());
    EXPECT_FALSE(controller->autoAddsMonitors());

    int opened = 0;
    SettingsOpener::open() = [&opened] {
        ++opened;
    };
    perform({Action::OpenExcludedApps{}}, *controller);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(storedSettingsTab(UserDefaults::standard()), SettingsTab::excludedApps);
}

TEST_F(SourceMenusPerform, TheExcludedCountFollowsTheListEachTimeTheMenuIsBuilt) {
    EXPECT_EQ(buildMenuModel(Menu::sources, State::of(*controller)).back().title, "除外するアプリ…（0）");
    controller->excludeApp("org.example.alpha");
    controller->excludeApp("org.example.beta");
    EXPECT_EQ(buildMenuModel(Menu::sources, State::of(*controller)).back().title, "除外するアプリ…（2）");
}

// The menus in the real application's menu bar, with applications running and an input device.
constexpr const char* kMenuProfile = R"({"devices": [
    {"uid": "shell.speakers", "name": "Speakers", "outputStreams": [2]},
    {"uid": "shell.mic", "name": "USB マイク", "inputStreams": [2]},
    {"uid": "shell.interface", "name": "Studio Interface", "inputStreams": [8], "outputStreams": [8]}],
  "applications": [
    {"bundleID": "org.example.browser", "name": "Browser"},
    {"bundleID": "org.example.player", "name": "Music Player"}]})";

std::vector<QString> menuTitles(const QMenu& menu) {
    std::vector<QString> out;
    for (const QAction* action : menu.actions()) {
        out.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return out;
}

QAction* actionTitled(const QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions()) {
        if (action->text() == title) {
            return action;
        }
    }
    return nullptr;
}

void open(QMenu& menu) {
    emit menu.aboutToShow();
}

class SourceMenusInApplication : public ::testing::Test {
protected:
    void SetUp() override {
        app.launch();
        window = qobject_cast<RouterWindow*>(app.windows().window(QStringLiteral("router")));
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([this] { return app.controller()->devicesLoaded(); }, 5000));
        QCoro::waitFor(app.controller()->waitForReconcile());
    }
    void TearDown() override { QCoro::waitFor(app.controller()->waitForReconcile()); }

    ShellEnvironment environment{kMenuProfile};
    TandrelApp app{{"TandrelApp"}};
    RouterWindow* window = nullptr;
};

TEST_F(SourceMenusInApplication, TheSourceMenuListsWhatRunsAndAddsWhatIsChosen) {
    QMenu& menu = *window->sourceMenu();
    open(menu);
    EXPECT_EQ(
        menuTitles(menu),
        (std::vector<QString>{"アプリケーションを追加", "Browser", "Music Player", "-", "システム",
                              "システム全体の音声を追加", "-", "入力デバイスを追加", "USB マイク（2ch）",
                              "Studio Interface（8ch）", "-", "起動しているアプリを自動で追加",
                              "音を出したアプリを自動で追加", "除外するアプリ…（0）"}));
    EXPECT_FALSE(actionTitled(menu, "アプリケーションを追加")->isEnabled()) << "a heading is no item";
    EXPECT_TRUE(actionTitled(menu, "起動しているアプリを自動で追加")->isChecked());
    menu.adjustSize();
    EXPECT_TRUE(menu.grab().save(snapshotPath(QStringLiteral("menu-sources"))));

    const std::size_t before = app.controller()->config().sources.size();
    actionTitled(menu, "USB マイク（2ch）")->trigger();
    ASSERT_EQ(app.controller()->config().sources.size(), before + 1);
    EXPECT_EQ(app.controller()->config().sources.back().kind, SourceKind::inputDevice("shell.mic"));
    EXPECT_EQ(app.controller()->config().sources.back().name, "USB マイク");

    actionTitled(menu, "起動しているアプリを自動で追加")->trigger();
    EXPECT_FALSE(app.controller()->autoAddsRunningApps());
    open(menu);
    EXPECT_FALSE(actionTitled(menu, "起動しているアプリを自動で追加")->isChecked()) << "rebuilt on opening";

    app.controller()->excludeApp("org.example.browser");
    open(menu);
    EXPECT_NE(actionTitled(menu, "除外するアプリ…（1）"), nullptr);
    actionTitled(menu, "除外するアプリ…（1）")->trigger();
    QWidget* settings = app.windows().window(QStringLiteral("settings"));
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->isVisible());
    EXPECT_EQ(storedSettingsTab(UserDefaults::standard()), SettingsTab::excludedApps);
}

TEST_F(SourceMenusInApplication, AMonitorAddedFromTheMenuGetsItsColumn) {
    QMenu& menu = *window->monitorMenu();
    open(menu);
    EXPECT_EQ(menuTitles(menu),
              (std::vector<QString>{"モニター先を追加", "追加できる出力デバイスはありません", "-",
                                    "接続した出力デバイスを自動で追加"}))
        << "every output device was added by itself";
    EXPECT_FALSE(actionTitled(menu, "追加できる出力デバイスはありません")->isEnabled());

    // The user turns automatic adding off and takes the interface away as a monitor.
    actionTitled(menu, "接続した出力デバイスを自動で追加")->trigger();
    EXPECT_FALSE(app.controller()->autoAddsMonitors());
    app.controller()->removeMonitor("shell.interface");
    const auto hasColumn = [this] {
        const auto groups = MatrixModel::groups(MatrixState::of(*app.controller()));
        return std::ranges::any_of(groups,
                                   [](const ColumnGroup& g) { return g.device.uid == "shell.interface"; });
    };
    EXPECT_FALSE(hasColumn());

    open(menu);
    EXPECT_EQ(menuTitles(menu), (std::vector<QString>{"モニター先を追加", "Studio Interface", "-",
                                                      "接続した出力デバイスを自動で追加"}));
    EXPECT_FALSE(actionTitled(menu, "接続した出力デバイスを自動で追加")->isChecked());
    menu.adjustSize();
    EXPECT_TRUE(menu.grab().save(snapshotPath(QStringLiteral("menu-monitors"))));

    actionTitled(menu, "Studio Interface")->trigger();
    EXPECT_EQ(app.controller()->config().monitorDeviceUIDs.back(), "shell.interface");
    EXPECT_TRUE(hasColumn());
}

} // namespace
