// The main menu's "音源" and "モニター先" menus: filled from SourceMenusModel each time they open, so
// they list the applications and devices of that moment; every item acts on the run's controller.
// GUI thread only.
#pragma once

#include <memory>
#include <vector>

#include "TandrelApp/Shell/SourceMenusModel.h"

class QMenu;

namespace SourceMenus {

// Adds the model's items to the menu. Section headings are shown as inactive titles, with a separator
// above each one that follows other items.
void fill(QMenu& menu, const std::vector<Item>& items, std::weak_ptr<RoutingController> controller);

// The same from the controller's state now; nothing when there is no controller.
void fill(QMenu& menu, Menu which, const std::shared_ptr<RoutingController>& controller);

} // namespace SourceMenus
