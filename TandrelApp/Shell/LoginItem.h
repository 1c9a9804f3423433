// Launch at login for the application itself, over the desktop's login items: the menu-bar panel's
// switch turns it on and off, and the delegate asks whether this very start was made by it.
#pragma once

#include <QStringList>

namespace LoginItem {

// Registers (true) or unregisters (false) the running program as a login item. A failure only leaves
// the console line "TandrelApp: login item update failed: <reason>"; the caller reads isEnabled() again.
void setEnabled(bool enabled);

// Whether the program is registered and the entry still starts this very program.
bool isEnabled();

// Whether the desktop started this process at login (the autostart entry's argument is present).
bool launchedAsLoginItem(const QStringList& arguments);

} // namespace LoginItem
