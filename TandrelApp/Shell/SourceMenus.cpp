#include "TandrelApp/Shell/SourceMenus.h"

#include <QAction>
#include <QMenu>

#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/ActionMenu.h"

namespace SourceMenus {

namespace {

QAction* addInactive(QMenu& menu, const std::string& title, bool emphasised) {
    QAction* item = ActionMenu::addItem(menu, title);
    item->setEnabled(false);
    if (emphasised) {
        QFont font = menu.font();
        font.setWeight(QFont::DemiBold);
        font.setPointSizeF(font.pointSizeF() * 0.9);
        item->setFont(font);
    }
    return item;
}

} // namespace

void fill(QMenu& menu, const std::vector<Item>& items, std::weak_ptr<RoutingController> controller) {
    for (const Item& item : items) {
        switch (item.kind) {
        case Item::Kind::header:
            if (!menu.actions().isEmpty() && !menu.actions().last()->isSeparator()) {
                menu.addSeparator();
            }
            addInactive(menu, item.title, true);
            break;
        case Item::Kind::note:
            addInactive(menu, item.title, false);
            break;
        case Item::Kind::divider:
            menu.addSeparator();
            break;
        case Item::Kind::action:
        case Item::Kind::toggle: {
            QAction* entry = ActionMenu::addItem(menu, item.title);
            if (item.kind == Item::Kind::toggle) {
                entry->setCheckable(true);
                entry->setChecked(item.checked);
            }
            if (item.action) {
                QObject::connect(entry, &QAction::triggered, entry, [controller, action = *item.action] {
                    if (auto live = controller.lock()) {
                        perform(action, *live);
                    }
                });
            }
            break;
        }
        }
    }
}

void fill(QMenu& menu, Menu which, const std::shared_ptr<RoutingController>& controller) {
    if (controller) {
        fill(menu, buildMenuModel(which, State::of(*controller)), controller);
    }
}

} // namespace SourceMenus
