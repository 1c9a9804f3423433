// The application's windows, menus and tray icon, and their appear actions.
#include "TandrelApp/Shell/TandrelApp.h"

#include <chrono>

#include <QCoreApplication>
#include <QMenu>
#include <QPointer>
#include <QTimer>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Routing/ControllerLoader.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/AppDelegate.h"
#include "TandrelApp/Shell/ConfigFileAlerts.h"
#include "TandrelApp/Shell/GeneralSettings.h"
#include "TandrelApp/Shell/LoginItem.h"
#include "TandrelApp/Shell/MenuBarExtra.h"
#include "TandrelApp/Shell/ResetSettings.h"
#include "TandrelApp/Shell/RouterWindow.h"
#include "TandrelApp/Shell/SceneSlots.h"
#include "TandrelApp/Shell/SettingsWindow.h"
#include "TandrelApp/Shell/StatusItemMenu.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateInstaller.h"

namespace {

const QString routerID = QStringLiteral("router");
const QString settingsID = QStringLiteral("settings");
const QString captureLabID = QStringLiteral("capture-lab");

// The launch is over this long after the first device list is in: the sources it brings have their rows.
constexpr std::chrono::seconds kLaunchSettle{2};

// A first start sizes the mixer to its content within the screen, following it while the launch brings
// the devices' columns and the sources' rows.
void fitMixerToContent(RouterWindow& window, RoutingController& controller) {
    window.followContentSize();
    const QPointer<RouterWindow> target(&window);
    const auto settle = [target] {
        QTimer::singleShot(kLaunchSettle, target, [target] {
            if (target) {
                target->stopFollowingContentSize();
            }
        });
    };
    if (controller.devicesLoaded()) {
        settle();
    } else {
        QObject::connect(&controller, &RoutingController::devicesLoadedChanged, &window, settle,
                         Qt::SingleShotConnection);
    }
}

} // namespace

TandrelApp::TandrelApp(QStringList arguments)
    : arguments_(std::move(arguments))
    , windows_(UserDefaults::standard()) {
    delegate_ = std::make_unique<AppDelegate>(AppDelegate::Environment{
        .arguments = arguments_,
        .makeStatusItemMenu =
            [this](std::shared_ptr<RoutingController> controller) {
                return makeStatusItemMenu(std::move(controller));
            },
        .makeMenuBarContent = [this](std::shared_ptr<RoutingController>) { return makeMenuBarContent(); },
        .scheduleAutomaticUpdateChecks = &scheduleAutomaticUpdateChecks,
        .quit = {},
    });
    // The installer saves as the application would at quit before it asks for the password.
    UpdateInstaller::shared().setQuitTimeSave([this] {
        if (delegate_->onTerminate) {
            delegate_->onTerminate();
        }
    });
}

TandrelApp::~TandrelApp() {
    SettingsOpener::open() = nullptr;
    UpdateInstaller::shared().setQuitTimeSave(nullptr);
}

std::shared_ptr<RoutingController> TandrelApp::controller() {
    if (!controller_) {
        ControllerLoader::AppController loaded = ControllerLoader::loadAppController();
        controller_ = std::move(loaded.controller);
        ConfigFileAlerts::watch(*controller_, loaded.setAsidePath);
    }
    return controller_;
}

std::function<void()> TandrelApp::saveOnTerminate() {
    return [controller = controller()] {
        ControllerLoader::saveOnTerminate(*controller);
    };
}

void TandrelApp::launch() {
    declareScenes();
    windows_.open(routerID);
    delegate_->applicationDidFinishLaunching();
}

void TandrelApp::declareScenes() {
    controller();
    windows_.add(routerID, {.factory = [this] { return makeRouterWindow(); },
                            .firstFrame =
                                [this](QWidget& window) {
                                    fitMixerToContent(static_cast<RouterWindow&>(window), *controller());
                                }});
    // The settings window's size follows the pane shown.
    windows_.add(settingsID, {.factory = [this] { return makeSettingsWindow(); },
                              .remembered = WindowRegistry::Remembered::place});
    if (auto content = captureLabContent()) {
        windows_.add(captureLabID, [content] {
            auto window = content();
            window->setWindowTitle(QStringLiteral("Capture Lab"));
            return window;
        });
    }
    SettingsOpener::open() = [this] {
        windows_.open(settingsID);
    };
    menuBarExtra_ =
        std::make_unique<MenuBarExtra>([this] { return makeMenuBarContent(); }, [this] { panelAppeared(); });
}

std::unique_ptr<QWidget> TandrelApp::makeRouterWindow() {
    auto controller = this->controller();
    MeterStore& meters = controller->meters();
    RouterWindow::Commands commands{
        .openSettings =
            [] {
                ApplicationActivation::activateIgnoringOtherApps();
                if (SettingsOpener::open()) {
                    SettingsOpener::open()();
                }
            },
        .resetSettings = [this] { ResetSettings::confirmAndReset(this->controller()); },
        .quit = [] { QCoreApplication::quit(); },
        .openCaptureLab = {},
        .addUpdateCommands = [](QMenu& menu) { addUpdateCommands(menu); },
        .addSourceItems = [this](QMenu& menu) { addSourceMenuItems(menu, this->controller()); },
        .addMonitorItems = [this](QMenu& menu) { addMonitorMenuItems(menu, this->controller()); },
    };
    if (windows_.contains(captureLabID)) {
        commands.openCaptureLab = [this] {
            windows_.open(captureLabID);
        };
    }
    auto window = std::make_unique<RouterWindow>(
        createRouterContent(controller, meters, UserDefaults::standard()), std::move(commands));
    connect(window.get(), &RouterWindow::appeared, this, &TandrelApp::mixerWindowAppeared);
    return window;
}

std::unique_ptr<QWidget> TandrelApp::makeMenuBarContent() {
    auto controller = this->controller();
    MeterStore& meters = controller->meters();
    return createMenuBarContent(std::move(controller), meters, LoginItem::isEnabled(),
                                [this] { windows_.open(routerID); });
}

std::unique_ptr<QWidget> TandrelApp::makeSettingsWindow() {
    return std::make_unique<SettingsWindow>([this](SettingsTab tab) { return makeSettingsPane(tab); },
                                            UserDefaults::standard());
}

std::unique_ptr<QWidget> TandrelApp::makeSettingsPane(SettingsTab tab) {
    switch (tab) {
    case SettingsTab::general:
        return std::make_unique<GeneralSettings>(controller(), UserDefaults::standard());
    case SettingsTab::lines:
        return createLinesPane();
    case SettingsTab::excludedApps:
        return createExcludedAppsPane(controller());
    case SettingsTab::about:
        return createAboutPane();
    }
    return createAboutPane();
}

std::unique_ptr<StatusItemMenu>
TandrelApp::makeStatusItemMenu(std::shared_ptr<RoutingController> controller) {
    auto menu = std::make_unique<StatusItemMenu>(
        controller,
        StatusItemMenu::Environment{
            .findButton = [this] { return menuBarExtra_ ? menuBarExtra_->button() : nullptr; },
            .after = [](std::chrono::milliseconds delay,
                        std::function<void()> work) { QTimer::singleShot(delay, qApp, std::move(work)); },
            .checkForUpdates = checkForUpdatesAction(),
        });
    menu->attach(0);
    return menu;
}

// Each time the mixer window appears: back in the taskbar, the quit-time save set, the controller handed
// over (which has effects only the first time).
void TandrelApp::mixerWindowAppeared() {
    ApplicationActivation::setPolicy(ActivationPolicy::regular);
    delegate_->onTerminate = saveOnTerminate();
    delegate_->setController(controller());
}

void TandrelApp::panelAppeared() {
    delegate_->onTerminate = saveOnTerminate();
}
