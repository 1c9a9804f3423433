#include "TandrelApp/Shell/SceneSlots.h"

#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Mixer/RouterView.h"

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

std::unique_ptr<QWidget> createMenuBarContent(std::shared_ptr<RoutingController>, MeterStore&, bool) {
    return placeholder(360, 120);
}

std::unique_ptr<QWidget> createLinesPane() {
    return placeholder(0, 320);
}

std::unique_ptr<QWidget> createExcludedAppsPane(std::shared_ptr<RoutingController>) {
    return placeholder(0, 320);
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

void addSourceMenuItems(QMenu&, std::shared_ptr<RoutingController>) {}

void addMonitorMenuItems(QMenu&, std::shared_ptr<RoutingController>) {}
