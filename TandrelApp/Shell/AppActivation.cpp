#include "TandrelApp/Shell/AppActivation.h"

#include <algorithm>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Shell/WindowRegistry.h"

namespace AppActivation {

ActivationPolicy policyFor(const std::vector<WindowState>& windows) {
    const bool anyMain = std::any_of(windows.begin(), windows.end(), [](const WindowState& window) {
        return window.visible && window.canBecomeMain;
    });
    return anyMain ? ActivationPolicy::regular : ActivationPolicy::accessory;
}

std::vector<WindowState> windowStates() {
    std::vector<WindowState> states;
    for (const QWidget* window : QApplication::topLevelWidgets()) {
        states.push_back({window->isVisible(), WindowRegistry::isMainCapable(*window)});
    }
    return states;
}

bool hasVisibleMainWindow() {
    return policyFor(windowStates()) == ActivationPolicy::regular;
}

void updatePolicy() {
    QTimer::singleShot(0, qApp, [] { ApplicationActivation::setPolicy(policyFor(windowStates())); });
}

} // namespace AppActivation
