#include "TandrelApp/Shell/SceneSlots.h"

#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Shell/ExcludedAppsView.h"
#include "TandrelApp/Shell/LineManagerView.h"
#include "TandrelApp/Shell/LoginItem.h"
#include "TandrelApp/Shell/MenuBarContent.h"
#include "TandrelApp/Shell/SourceMenus.h"

namespace {

std::unique_ptr<QWidget> placeholder(int width, int height) {
    auto widget = std::make_unique<QWidget>();
    widget->setMinimumSize(width, height);
    return widget;
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
    return placeholder(0, 320);
}

std::function<std::unique_ptr<QWidget>()> captureLabContent() {
    return [] {
        return std::make_unique<CaptureLabView>();
    };
}

std::unique_ptr<QWidget> createUpdateNotice(bool) {
    return nullptr;
}

void addUpdateCommands(QMenu&) {}

std::function<void()> checkForUpdatesAction() {
    return {};
}

void scheduleAutomaticUpdateChecks() {}

void addSourceMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller) {
    SourceMenus::fill(menu, SourceMenus::Menu::sources, controller);
}

void addMonitorMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller) {
    SourceMenus::fill(menu, SourceMenus::Menu::monitors, controller);
}
