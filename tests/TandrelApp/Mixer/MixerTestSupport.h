// What the mixer window's tests share: sources to configure, a controller that runs no reconcile pass,
// and working a freshly built context menu by the titles of its items.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QStringList>

#include "TandrelApp/Routing/RoutingController.h"

namespace MixerTestSupport {

inline SourceConfig makeSource(SourceKind kind, std::string name) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = std::move(kind);
    source.name = std::move(name);
    return source;
}

// Runs no reconcile pass: what the window shows is the published state the test gives it.
class PasslessController : public RoutingController {
public:
    explicit PasslessController(RoutingConfig config)
        : RoutingController(std::move(config), false, false, {}) {}
    static std::shared_ptr<PasslessController> create(RoutingConfig config) {
        return make<PasslessController>(std::move(config));
    }

protected:
    QCoro::Task<> reconcile() override { co_return; }
};

// Triggers the item of a freshly built menu, or of one of its submenus, with this title; the menu is
// deleted afterwards. False when there is no such item.
inline bool trigger(QMenu* built, const QString& title) {
    std::unique_ptr<QMenu> menu(built);
    std::vector<QMenu*> menus{menu.get()};
    for (std::size_t i = 0; i < menus.size(); ++i) {
        for (QAction* action : menus[i]->actions()) {
            if (action->menu() != nullptr) {
                menus.push_back(action->menu());
            } else if (action->text() == title) {
                action->trigger();
                QCoreApplication::processEvents();
                return true;
            }
        }
    }
    return false;
}

// The titles of a freshly built menu's items, "—" for a separator; the menu is deleted afterwards.
inline QStringList titles(QMenu* built) {
    std::unique_ptr<QMenu> menu(built);
    QStringList out;
    for (QAction* action : menu->actions()) {
        out << (action->isSeparator() ? QStringLiteral("—") : action->text());
    }
    return out;
}

} // namespace MixerTestSupport
