// The application's windows as the user meets them: the mixer window's frame and menu bar, and the
// settings window with its general pane, each driven through the real application and pictured under
// build/snapshots.
#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Shell/AppDelegate.h"
#include "TandrelApp/Shell/GeneralSettings.h"
#include "TandrelApp/Shell/MenuBarExtra.h"
#include "TandrelApp/Shell/ProductIcon.h"
#include "TandrelApp/Shell/RouterWindow.h"
#include "TandrelApp/Shell/SettingsWindow.h"
#include "TandrelApp/Shell/TandrelApp.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMenuBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "ShellTestSupport.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/GeneralSettingsModel.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

std::vector<QString> titles(const QList<QAction*>& actions) {
    std::vector<QString> out;
    for (const QAction* action : actions) {
        out.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return out;
}

class WindowsTest : public ::testing::Test {
protected:
    void TearDown() override { QCoro::waitFor(app.controller()->waitForReconcile()); }

    ShellEnvironment environment;
    TandrelApp app{{"TandrelApp"}};
};

TEST_F(WindowsTest, TheMixerWindowCarriesTheApplicationsMenuBarAroundItsContent) {
    app.launch();
    auto* window = qobject_cast<RouterWindow*>(app.windows().window(QStringLiteral("router")));
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Corvane"));
    EXPECT_EQ(window->objectName(), QStringLiteral("router"));
    EXPECT_GE(window->centralWidget()->minimumWidth(), 760);
    EXPECT_GE(window->centralWidget()->minimumHeight(), 420);

    EXPECT_EQ(titles(window->menuBar()->actions()),
              (std::vector<QString>{"Corvane", "音源", "モニター先", "ウインドウ"}));
    EXPECT_EQ(titles(window->applicationMenu()->actions()),
              (std::vector<QString>{"アップデートを確認…", "アップデートを自動で確認", "-", "設定を初期化…",
                                    "-", "設定…", "-", "Corvane を終了"}));
    EXPECT_EQ(window->applicationMenu()->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(titles(window->windowMenu()->actions()),
              (std::vector<QString>{"しまう", "-", "Capture Lab（取り込みの動作確認）"}));
    EXPECT_TRUE(window->sourceMenu()->actions().isEmpty());
    EXPECT_TRUE(window->monitorMenu()->actions().isEmpty());

    EXPECT_TRUE(writeSnapshot(*window, QStringLiteral("router-menubar")));
    EXPECT_TRUE(ProductIcon::image(128).save(snapshotPath(QStringLiteral("product-icon"))));
    window->applicationMenu()->adjustSize();
    EXPECT_TRUE(
        window->applicationMenu()->grab().save(snapshotPath(QStringLiteral("router-application-menu"))));
}

TEST_F(WindowsTest, OpeningAWindowAgainShowsTheOneThatIsThere) {
    app.launch();
    QWidget* first = app.windows().open(QStringLiteral("settings"));
    first->close();
    EXPECT_EQ(app.windows().open(QStringLiteral("settings")), first);
    EXPECT_TRUE(first->isVisible());
}

TEST_F(WindowsTest, TheWindowMenuOpensTheCaptureLab) {
    app.launch();
    auto* router = qobject_cast<RouterWindow*>(app.windows().window(QStringLiteral("router")));
    ASSERT_NE(router, nullptr);
    EXPECT_EQ(app.windows().window(QStringLiteral("capture-lab")), nullptr) << "made when first opened";
    router->windowMenu()->actions().last()->trigger();
    auto* lab = qobject_cast<CaptureLabView*>(app.windows().window(QStringLiteral("capture-lab")));
    ASSERT_NE(lab, nullptr);
    EXPECT_TRUE(lab->isVisible());
    EXPECT_EQ(lab->windowTitle(), QStringLiteral("Capture Lab"));
    EXPECT_GE(lab->minimumWidth(), 580);
    EXPECT_GE(lab->minimumHeight(), 480);
    lab->close();
    EXPECT_EQ(app.windows().open(QStringLiteral("capture-lab")), lab) << "the same window, as it was left";
    lab->close();
}

TEST_F(WindowsTest, TheTrayPanelTogglesAndItsAppearanceSetsTheQuitSave) {
    app.launch();
    MenuBarExtra* extra = app.menuBarExtra();
    ASSERT_NE(extra, nullptr);
    app.delegate().onTerminate = nullptr;

    extra->togglePanel();
    QWidget& panel = extra->panel();
    EXPECT_TRUE(panel.isVisible());
    EXPECT_TRUE(panel.windowFlags().testFlag(Qt::Popup));
    EXPECT_GE(panel.width(), 360);
    EXPECT_TRUE(app.delegate().onTerminate) << "the panel's appearance sets the quit-time save";

    extra->togglePanel();
    EXPECT_FALSE(panel.isVisible());
    extra->togglePanel();
    EXPECT_FALSE(panel.isVisible()) << "the click that closed the panel does not open it again";
    QTest::qWait(350);
    extra->togglePanel();
    EXPECT_TRUE(panel.isVisible());
    panel.hide();
}

TEST_F(WindowsTest, TheSettingsWindowShowsTheRememberedTabAndFollowsItInPlace) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.set(settingsTabKey, QStringLiteral("lines"));
    app.launch();
    auto* window = qobject_cast<SettingsWindow*>(app.windows().open(QStringLiteral("settings")));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->width(), 560);
    EXPECT_EQ(window->currentTab(), SettingsTab::lines);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("ライン"));
    QStringList tabTitles;
    for (int i = 0; i < window->tabs().count(); ++i) {
        tabTitles << window->tabs().tabText(i);
    }
    EXPECT_EQ(tabTitles, (QStringList{"一般", "ライン", "除外するアプリ", "情報"}));

    openSettings(SettingsTab::excludedApps);
    EXPECT_EQ(window->currentTab(), SettingsTab::excludedApps) << "the open window switches";
    EXPECT_TRUE(window->isVisible());

    window->tabs().setCurrentIndex(3);
    EXPECT_EQ(defaults.string(settingsTabKey), QStringLiteral("about")) << "the user's choice is remembered";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("情報"));
}

TEST_F(WindowsTest, TheGeneralPaneWritesStraightIntoTheControllerAndTheDisplayScale) {
    UserDefaults& defaults = UserDefaults::standard();
    app.launch();
    openSettings(SettingsTab::general);
    auto* window = qobject_cast<SettingsWindow*>(app.windows().window(QStringLiteral("settings")));
    ASSERT_NE(window, nullptr);
    auto* pane = qobject_cast<GeneralSettings*>(window->tabs().currentWidget());
    ASSERT_NE(pane, nullptr);
    auto controller = app.controller();
    EXPECT_GE(pane->height(), 320);

    EXPECT_EQ(pane->captureModePicker().currentText(), QStringLiteral("自動"));
    EXPECT_EQ(pane->latencyPicker().currentText(), QStringLiteral("標準（128 フレーム）"));
    EXPECT_EQ(pane->uiScalePicker().currentText(), QStringLiteral("標準（100%）"));
    EXPECT_TRUE(pane->autoAddsRunningAppsSwitch().isChecked());
    EXPECT_TRUE(writeSnapshot(*window, QStringLiteral("settings-general")));

    pane->latencyPicker().activated(0);
    EXPECT_EQ(controller->config().latency, LatencyPreset::low);
    pane->captureModePicker().activated(2);
    EXPECT_EQ(controller->config().captureMode, CaptureMode::screenCaptureKit);
    pane->uiScalePicker().activated(2);
    EXPECT_EQ(defaults.doubleValue(GeneralSettingsModel::uiScaleKey), 1.15);
    pane->autoAddsMonitorsSwitch().click();
    EXPECT_FALSE(controller->autoAddsMonitors());
    pane->autoAddsAppsSwitch().click();
    EXPECT_FALSE(controller->autoAddsApps());

    // Changes from elsewhere show in place.
    RoutingConfig config = controller->config();
    config.latency = LatencyPreset::safe;
    controller->setConfig(config);
    EXPECT_EQ(pane->latencyPicker().currentText(), QStringLiteral("安定優先（512 フレーム）"));
    controller->setAutoAddsApps(true);
    EXPECT_TRUE(pane->autoAddsAppsSwitch().isChecked());
    defaults.set(GeneralSettingsModel::uiScaleKey, 1.5);
    EXPECT_EQ(pane->uiScalePicker().currentText(), QStringLiteral("最大（150%）"));
    defaults.set(GeneralSettingsModel::uiScaleKey, 1.2);
    EXPECT_EQ(pane->uiScalePicker().currentIndex(), -1) << "a scale of no row selects none";
}

TEST_F(WindowsTest, BeforeSystem14Point2AStoredProcessTapMatchesNoRow) {
    auto controller = app.controller();
    RoutingConfig config = controller->config();
    config.captureMode = CaptureMode::processTap;
    controller->setConfig(config);
    GeneralSettings pane(controller, UserDefaults::standard(), {14, 1, 0});
    EXPECT_EQ(pane.captureModePicker().count(), 2);
    EXPECT_EQ(pane.captureModePicker().currentIndex(), -1);
    pane.captureModePicker().activated(1);
    EXPECT_EQ(controller->config().captureMode, CaptureMode::screenCaptureKit);
}

} // namespace
