#include "TandrelApp/Shell/SceneSlots.h"

#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Shell/AboutSettings.h"
#include "TandrelApp/Shell/ExcludedAppsView.h"
#include "TandrelApp/Shell/GeneralSettingsModel.h"
#include "TandrelApp/Shell/LineManagerView.h"
#include "TandrelApp/Shell/LoginItem.h"
#include "TandrelApp/Shell/MenuBarContent.h"
#include "TandrelApp/Shell/SourceMenus.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateCommands.h"
#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Updater/UpdateNotice.h"

namespace {

Theme::Metrics displayScale() {
    return Theme::Metrics(UserDefaults::standard()
                              .doubleValue(GeneralSettingsModel::uiScaleKey)
                              .value_or(GeneralSettingsModel::defaultUIScale));
}

} // namespace

std::unique_ptr<QWidget> createRouterContent(std::shared_ptr<RoutingController> controller,
                                             MeterStore& meters, UserDefaults& defaults) {
    return std::make_unique<RouterView>(std::move(controller), meters, defaults, createUpdateNotice(false));
}

std::unique_ptr<QWidget> createMenuBarContent(std::shared_ptr<RoutingController> controller,
                                              MeterStore& meters, bool launchAtLogin,
                                              std::function<void()> openMixer) {
    return std::make_unique<MenuBarContent>(std::move(controller), meters, launchAtLogin,
                                            MenuBarContent::Environment{
                                                .openMixer = std::move(openMixer),
                                                .setLaunchAtLogin = &LoginItem::setEnabled,
                                                .launchAtLogin = &LoginItem::isEnabled,
                                                .updateNotice = createUpdateNotice(true),
                                            });
}

std::unique_ptr<QWidget> createLinesPane() {
    return std::make_unique<LineManagerView>();
}

std::unique_ptr<QWidget> createExcludedAppsPane(std::shared_ptr<RoutingController> controller) {
    return std::make_unique<ExcludedAppsView>(std::move(controller));
}

std::unique_ptr<QWidget> createAboutPane() {
    // The settings keep the desktop's sizes: the display size is the mixer's alone.
    return std::make_unique<AboutSettings>(UpdateChecker::shared(), AboutSettings::Facts::standard());
}

std::function<std::unique_ptr<QWidget>()> captureLabContent() {
    return [] {
        return std::make_unique<CaptureLabView>();
    };
}

std::unique_ptr<QWidget> createUpdateNotice(bool compact) {
    return std::make_unique<UpdateNotice>(UpdateChecker::shared(), UpdateInstaller::shared(), compact,
                                          displayScale());
}

void addUpdateCommands(QMenu& applicationMenu) {
    UpdateCommands::add(applicationMenu, UpdateChecker::shared());
}

std::function<void()> checkForUpdatesAction() {
    return [] {
        UpdateCommands::checkNow(UpdateChecker::shared());
    };
}

void scheduleAutomaticUpdateChecks() {
    UpdateChecker::shared().scheduleAutomaticChecks();
}

void addSourceMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller) {
    SourceMenus::fill(menu, SourceMenus::Menu::sources, controller);
}

void addMonitorMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller) {
    SourceMenus::fill(menu, SourceMenus::Menu::monitors, controller);
}
