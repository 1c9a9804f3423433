#include "Platform/System/Desktop/ApplicationActivation.h"

#include <QApplication>
#include <QWidget>

namespace ApplicationActivation {
namespace {

ActivationPolicy current = ActivationPolicy::regular;

} // namespace

ActivationPolicy policy() {
    return current;
}

void setPolicy(ActivationPolicy policy) {
    current = policy;
}

void activateIgnoringOtherApps() {
    QWidget* window = QApplication::activeWindow();
    if (window == nullptr) {
        const auto windows = QApplication::topLevelWidgets();
        for (auto it = windows.rbegin(); it != windows.rend() && window == nullptr; ++it) {
            if ((*it)->isVisible() && !(*it)->isMinimized() && (*it)->windowType() != Qt::Popup) {
                window = *it;
            }
        }
    }
    if (window != nullptr) {
        window->raise();
        window->activateWindow();
    }
}

} // namespace ApplicationActivation
