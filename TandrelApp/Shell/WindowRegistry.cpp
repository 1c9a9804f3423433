#include "TandrelApp/Shell/WindowRegistry.h"

#include <QVariant>

namespace {

constexpr const char* mainCapableProperty = "tandrelMainCapable";

} // namespace

WindowRegistry::~WindowRegistry() = default;

void WindowRegistry::add(const QString& id, Factory factory) {
    factories_[id] = std::move(factory);
}

bool WindowRegistry::contains(const QString& id) const {
    return factories_.contains(id);
}

QWidget* WindowRegistry::open(const QString& id) {
    auto& window = windows_[id];
    if (!window) {
        const auto factory = factories_.find(id);
        if (factory == factories_.end()) {
            windows_.erase(id);
            return nullptr;
        }
        window = factory->second();
        window->setObjectName(id);
        markMainCapable(*window);
    }
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
    return window.get();
}

QWidget* WindowRegistry::window(const QString& id) const {
    const auto found = windows_.find(id);
    return found != windows_.end() ? found->second.get() : nullptr;
}

void WindowRegistry::markMainCapable(QWidget& window) {
    window.setProperty(mainCapableProperty, true);
}

bool WindowRegistry::isMainCapable(const QWidget& window) {
    return window.property(mainCapableProperty).toBool();
}
