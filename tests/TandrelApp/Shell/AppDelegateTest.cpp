// The application delegate: the controller's hand-over with its once-only effects, the quit-time save,
// the start at login, and closing the last window on desktops with and without a tray.
#include "TandrelApp/Shell/AppDelegate.h"

#include <QFile>
#include <QTest>
#include <gtest/gtest.h>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "ShellTestSupport.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/RouterWindow.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Shell/WindowRegistry.h"

namespace {

class AppDelegateTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (controller) {
            QCoro::waitFor(controller->waitForReconcile());
        }
    }

    // A delegate whose tray menu finds `button` (none: it never finds one) and retries on `retries`.
    std::unique_ptr<AppDelegate> makeDelegate(QStringList arguments, StatusBarButton* button) {
        return std::make_unique<AppDelegate>(AppDelegate::Environment{
            .arguments = std::move(arguments),
            .makeStatusItemMenu =
                [this, button](std::shared_ptr<RoutingController> c) {
                    ++menusMade;
                    auto menu = std::make_unique<StatusItemMenu>(
                        c, StatusItemMenu::Environment{
                               .findButton = [button] { return button; },
                               .after =
                                   [this](std::chrono::milliseconds, std::function<void()> work) {
                                       retries.push_back(std::move(work));
                                   },
                               .checkForUpdates = {}});
                    menu->attach(0);
                    return menu;
                },
            .makeMenuBarContent =
                [](std::shared_ptr<RoutingController>) { return std::make_unique<QWidget>(); },
            .scheduleAutomaticUpdateChecks = [this] { ++updateSchedules; },
            .quit = [this] { ++quits; },
        });
    }

    void runOutOfRetries() {
        while (!retries.empty()) {
            auto next = std::move(retries.front());
            retries.erase(retries.begin());
            next();
        }
    }

    std::unique_ptr<QWidget> mainWindow() {
        auto window = std::make_unique<QWidget>();
        WindowRegistry::markMainCapable(*window);
        window->show();
        return window;
    }

    ShellEnvironment environment;
    std::shared_ptr<RoutingController> controller =
        RoutingController::create({}, /*persists=*/false, /*autoDiscovers=*/false);
    std::vector<std::function<void()>> retries;
    int menusMade = 0;
    int updateSchedules = 0;
    int quits = 0;
};

TEST_F(AppDelegateTest, OnlyTheFirstHandOverAttachesTheTrayMenuAndOpensThePreview) {
    auto delegate = makeDelegate({"TandrelApp", "--preview-menubar"}, nullptr);
    delegate->setController(controller);

    ASSERT_NE(delegate->statusItemMenu(), nullptr);
    QWidget* preview = delegate->previewWindow();
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->windowTitle(), QStringLiteral("Menu Bar Preview"));
    EXPECT_EQ(preview->pos(), QPoint(80, 200));
    EXPECT_TRUE(preview->isVisible());
    StatusItemMenu* menu = delegate->statusItemMenu();

    delegate->setController(controller);
    delegate->setController(controller);

    EXPECT_EQ(menusMade, 1);
    EXPECT_EQ(delegate->statusItemMenu(), menu);
    EXPECT_EQ(delegate->previewWindow(), preview);
}

TEST_F(AppDelegateTest, WithoutTheFlagThereIsNoPreviewAndUpdateChecksAreScheduledOnlyOutsideTestRuns) {
    auto plain = makeDelegate({"TandrelApp"}, nullptr);
    plain->setController(controller);
    EXPECT_EQ(plain->previewWindow(), nullptr);
    plain->applicationDidFinishLaunching();
    EXPECT_EQ(updateSchedules, 1);

    makeDelegate({"TandrelApp", "--preview-menubar"}, nullptr)->applicationDidFinishLaunching();
    makeDelegate({"TandrelApp", "--soak-test"}, nullptr)->applicationDidFinishLaunching();
    EXPECT_EQ(updateSchedules, 1);
}

TEST_F(AppDelegateTest, TheQuitTimeSaveRunsOnlyOnceItIsSet) {
    auto delegate = makeDelegate({"TandrelApp"}, nullptr);
    delegate->applicationWillTerminate(); // nothing set yet: nothing happens
    int saves = 0;
    delegate->onTerminate = [&] {
        ++saves;
    };
    delegate->applicationWillTerminate();
    EXPECT_EQ(saves, 1);
}

TEST_F(AppDelegateTest, AStartAtLoginClosesTheMainWindowsAndLeavesOnlyTheTray) {
    auto mixer = mainWindow();
    QWidget panel(nullptr, Qt::Tool);
    panel.show();
    ApplicationActivation::setPolicy(ActivationPolicy::regular);
    auto delegate = makeDelegate({"TandrelApp", "--launched-as-login-item"}, nullptr);
    EXPECT_TRUE(delegate->launchedAsLoginItem());

    delegate->applicationDidFinishLaunching();
    EXPECT_TRUE(mixer->isVisible()) << "closed one turn later, after the launch handler";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !mixer->isVisible(); }, 1000));

    EXPECT_TRUE(panel.isVisible()) << "windows that cannot become main are left alone";
    EXPECT_EQ(ApplicationActivation::policy(), ActivationPolicy::accessory);
    EXPECT_FALSE(makeDelegate({"TandrelApp"}, nullptr)->launchedAsLoginItem());
}

TEST_F(AppDelegateTest, ClosingTheLastWindowUpdatesThePolicyAndNeverQuitsWithATray) {
    FakeButton tray;
    auto delegate = makeDelegate({"TandrelApp"}, &tray);
    delegate->setController(controller);
    delegate->applicationDidFinishLaunching();
    ASSERT_EQ(delegate->statusItemMenu()->state(), StatusItemMenu::State::attached);
    auto mixer = mainWindow();
    auto settings = mainWindow();
    ApplicationActivation::setPolicy(ActivationPolicy::regular);

    mixer->close();
    QTest::qWait(20);
    EXPECT_EQ(ApplicationActivation::policy(), ActivationPolicy::regular)
        << "the settings window is still open";
    settings->close();
    ASSERT_TRUE(
        QTest::qWaitFor([] { return ApplicationActivation::policy() == ActivationPolicy::accessory; }, 500));
    EXPECT_FALSE(delegate->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(quits, 0);
}

TEST_F(AppDelegateTest, WithoutATrayClosingTheLastWindowQuits) {
    auto delegate = makeDelegate({"TandrelApp"}, nullptr);
    delegate->setController(controller);
    delegate->applicationDidFinishLaunching();
    auto mixer = mainWindow();
    runOutOfRetries();
    ASSERT_EQ(delegate->statusItemMenu()->state(), StatusItemMenu::State::gaveUp);
    EXPECT_EQ(quits, 0) << "a window is still on screen";
    EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed());

    mixer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits == 1; }, 500));
}

TEST_F(AppDelegateTest, WithoutATrayAndWithNoWindowLeftGivingUpQuits) {
    auto delegate = makeDelegate({"TandrelApp"}, nullptr);
    delegate->setController(controller);
    runOutOfRetries();
    EXPECT_EQ(quits, 1);
}

TEST_F(AppDelegateTest, AStartAtLoginWithoutATrayKeepsRunningWithoutAWindow) {
    auto delegate = makeDelegate({"TandrelApp", "--launched-as-login-item"}, nullptr);
    delegate->setController(controller);
    delegate->applicationDidFinishLaunching();
    auto mixer = mainWindow();
    runOutOfRetries();
    ASSERT_EQ(delegate->statusItemMenu()->state(), StatusItemMenu::State::gaveUp);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !mixer->isVisible(); }, 1000)) << "closed by the login start";
    QTest::qWait(50);
    EXPECT_FALSE(delegate->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(quits, 0) << "the routing runs on; starting the program again shows the mixer";
}

// The application's own wiring: the mixer window's appearance hands the controller over and sets the
// quit-time save; "--reset-settings" resets once.
class ApplicationHandOverTest : public ::testing::Test {
protected:
    ShellEnvironment environment;
};

TEST_F(ApplicationHandOverTest, QuittingBeforeAnyWindowAppearedWritesNothing) {
    TandrelApp app({"TandrelApp"});
    auto controller = app.controller();
    app.delegate().applicationWillTerminate();
    EXPECT_FALSE(QFile::exists(RoutingConfigStore::url()));
    controller->cancelPendingSave();
    QCoro::waitFor(controller->waitForReconcile());
}

TEST_F(ApplicationHandOverTest, AfterTheMixerWindowAppearedQuittingWritesAtOnceAndDropsThePendingSave) {
    TandrelApp app({"TandrelApp"});
    app.launch();
    auto controller = app.controller();
    ASSERT_EQ(app.delegate().controller(), controller);
    ASSERT_TRUE(app.delegate().onTerminate);
    // The start-up's own changes (the whole system, the speakers as a monitor) saved and done with.
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->devicesLoaded(); }, 3000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return RoutingConfigStore::load() == controller->config(); }, 3000));

    RoutingConfig edited = controller->config();
    edited.latency = LatencyPreset::low;
    controller->setConfig(edited);
    app.delegate().applicationWillTerminate();

    EXPECT_EQ(RoutingConfigStore::load(), edited) << "written at once, not 0.5 s later";
    QFile::remove(RoutingConfigStore::url());
    QTest::qWait(700);
    EXPECT_FALSE(QFile::exists(RoutingConfigStore::url())) << "the pending save was dropped";
    QCoro::waitFor(controller->waitForReconcile());
}

TEST_F(ApplicationHandOverTest, ResetSettingsRunsOnceAfterTheFirstAppearance) {
    RoutingConfig saved;
    saved.latency = LatencyPreset::safe;
    saved.autoAdd.systemAudio = false;
    RoutingConfigStore::save(saved);
    TandrelApp app({"TandrelApp", "--reset-settings"});
    app.launch();
    auto controller = app.controller();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->config().latency == LatencyPreset::normal; }, 3000));

    RoutingConfig edited = controller->config();
    edited.latency = LatencyPreset::safe;
    controller->setConfig(edited);
    QWidget* mixer = app.windows().window(QStringLiteral("router"));
    mixer->hide();
    app.windows().open(QStringLiteral("router"));
    QTest::qWait(200);
    EXPECT_EQ(controller->config().latency, LatencyPreset::safe) << "a second appearance resets nothing";
    EXPECT_EQ(app.delegate().controller(), controller);
    QCoro::waitFor(controller->waitForReconcile());
}

} // namespace
