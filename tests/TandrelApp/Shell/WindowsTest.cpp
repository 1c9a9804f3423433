// The application's windows as the user meets them: the mixer window's frame and menu bar, and the
// settings window with its general pane, each driven through the real application and pictured under
// build/snapshots.
#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"
#include "TandrelApp/Mixer/MatrixGrid.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Shell/AppDelegate.h"
#include "TandrelApp/Shell/GeneralSettings.h"
#include "TandrelApp/Shell/MenuBarExtra.h"
#include "TandrelApp/Shell/ProductIcon.h"
#include "TandrelApp/Shell/RouterWindow.h"
#include "TandrelApp/Shell/SettingsWindow.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Shell/WindowRegistry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
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

// A machine with a few applications playing and three outputs: a first start fills the mixer with rows
// and columns.
constexpr const char* kBusyProfile = R"({"devices": [
    {"uid": "shell.speakers", "name": "Speakers", "outputStreams": [2]},
    {"uid": "shell.phones", "name": "Headphones", "outputStreams": [2]},
    {"uid": "shell.hdmi", "name": "HDMI", "outputStreams": [8]},
    {"uid": "shell.mic", "name": "USB Mic", "inputStreams": [2]}],
  "applications": [
    {"bundleID": "org.example.browser", "name": "Browser", "signal": {"sine": 440, "level": -20}},
    {"bundleID": "org.example.player", "name": "Music Player", "signal": {"sine": 660, "level": -20}},
    {"bundleID": "org.example.call", "name": "Video Call"},
    {"bundleID": "org.example.podcast", "name": "Podcast"},
    {"bundleID": "org.example.game", "name": "Game"}]})";

// A machine whose whole matrix fits the screen.
constexpr const char* kSmallProfile = R"({"devices": [
    {"uid": "shell.speakers", "name": "Speakers", "outputStreams": [2]},
    {"uid": "shell.phones", "name": "Headphones", "outputStreams": [2]}],
  "applications": [
    {"bundleID": "org.example.browser", "name": "Browser"},
    {"bundleID": "org.example.player", "name": "Music Player"},
    {"bundleID": "org.example.call", "name": "Video Call"},
    {"bundleID": "org.example.podcast", "name": "Podcast"}]})";

// On a first start the mixer is as large as its matrix, within the screen: it scrolls only in a
// direction where the screen has no more room (not at all when the matrix fits), and at the largest
// display size rows still show below the headers. The content's figure is the grid's own size hint.
TEST(WindowFrames, AFirstStartSizesTheMixerToItsContentWithinTheScreen) {
    for (const auto& [profile, scale] :
         {std::pair{kBusyProfile, 1.0}, std::pair{kBusyProfile, 1.5}, std::pair{kSmallProfile, 1.0}}) {
        SCOPED_TRACE(scale);
        ShellEnvironment environment{profile};
        UserDefaults::standard().set(GeneralSettingsModel::uiScaleKey, scale);
        TandrelApp app{{"TandrelApp"}};
        app.launch();
        auto* window = qobject_cast<RouterWindow*>(app.windows().window(QStringLiteral("router")));
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return app.controller()->devicesLoaded(); }, 5000));
        QCoro::waitFor(app.controller()->waitForReconcile());
        QTest::qWait(100);
        MatrixGrid* grid = window->findChild<MatrixGrid*>();
        ASSERT_NE(grid, nullptr);
        ASSERT_GE(grid->items().size(), 6u) << "the sources' rows";

        const QRect screen = window->screen()->availableGeometry();
        EXPECT_LE(window->width(), screen.width());
        EXPECT_LE(window->height(), screen.height());
        FrozenHeaderScrollView* matrix = grid->scrollView();
        const QSize wanted = matrix->sizeHint();
        const QSize shown = matrix->size();
        EXPECT_TRUE(shown.height() >= wanted.height() || window->height() >= screen.height() - 64)
            << shown.height() << " of " << wanted.height() << " in a window " << window->height() << " high";
        EXPECT_TRUE(shown.width() >= wanted.width() || window->width() >= screen.width() - 32)
            << shown.width() << " of " << wanted.width() << " in a window " << window->width() << " wide";
        const int rowsShown = matrix->contentArea()->viewport()->height();
        EXPECT_GE(rowsShown, Theme::Metrics(scale).px(MatrixMetrics::sourceRowHeight * 2))
            << "two rows at least show below the headers";
        if (profile == kSmallProfile) {
            EXPECT_LT(wanted.height(), screen.height() - 200) << "the matrix fits the screen";
            EXPECT_FALSE(matrix->verticalScrollBar()->isVisible());
            EXPECT_FALSE(matrix->horizontalScrollBar()->isVisible());
            continue;
        }
        EXPECT_TRUE(window->grab().save(
            snapshotPath(QStringLiteral("router-first-start-scale%1").arg(std::lround(scale * 100)))));
        QCoro::waitFor(app.controller()->waitForReconcile());
    }
}

// Where each window was and how large it was comes back on the next start; the settings window keeps
// the height of its pane.
TEST(WindowFrames, WindowsComeBackWhereAndAsLargeAsTheyWereLeft) {
    ShellEnvironment environment;
    const QRect mixerFrame(QPoint(60, 40), QSize(900, 560));
    const QPoint settingsPlace(120, 90);
    const QRect labFrame(QPoint(30, 70), QSize(700, 520));
    int settingsHeight = 0;
    {
        TandrelApp app{{"TandrelApp"}};
        app.launch();
        auto* mixer = qobject_cast<RouterWindow*>(app.windows().window(QStringLiteral("router")));
        mixer->stopFollowingContentSize(); // as the user's own resize does
        mixer->setGeometry(mixerFrame);
        QWidget* settings = app.windows().open(QStringLiteral("settings"));
        settings->move(settingsPlace);
        settingsHeight = settings->height();
        QWidget* lab = app.windows().open(QStringLiteral("capture-lab"));
        lab->setGeometry(labFrame);
        QCoreApplication::processEvents();
        QCoro::waitFor(app.controller()->waitForReconcile());
    }
    EXPECT_TRUE(UserDefaults::standard().contains(WindowRegistry::frameKey(QStringLiteral("router"))));

    TandrelApp app{{"TandrelApp"}};
    app.launch();
    EXPECT_EQ(app.windows().window(QStringLiteral("router"))->geometry(), mixerFrame);
    QWidget* settings = app.windows().open(QStringLiteral("settings"));
    EXPECT_EQ(settings->pos(), settingsPlace);
    EXPECT_EQ(settings->size(), QSize(SettingsWindow::fixedWidth, settingsHeight));
    EXPECT_EQ(app.windows().open(QStringLiteral("capture-lab"))->geometry(), labFrame);
    QCoro::waitFor(app.controller()->waitForReconcile());
}

} // namespace
