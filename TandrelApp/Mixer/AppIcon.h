// Application icons for the source rows, the menu-bar panel and the excluded-apps pane: the icon of a
// running application with a bundle identifier, else of the installed application, else nothing.
// GUI thread only; decoded pictures are kept, so asking again at every refresh costs a lookup.
#pragma once

#include <optional>
#include <string>

#include <QImage>

namespace AppIcon {

// An installed application without an icon of its own gets the generic application icon, as a file
// manager shows it; only an application that is neither running nor installed gets nothing.
std::optional<QImage> image(const std::string& bundleID);

} // namespace AppIcon
