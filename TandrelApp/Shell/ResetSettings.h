// The user's way back to a freshly installed state: a confirmation alert (optionally with the virtual
// lines), the routing controller's reset, then an alert with the backup's location or the reason it
// failed. The application menu's and the tray menu's "設定を初期化…" call it. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QString>
#include <qcoro/qcorotask.h>

#include "Platform/System/Desktop/Alerts.h"

class RoutingController;

namespace ResetSettings {

// The reset itself: with the lines or not, it returns the backup's path or throws what went wrong.
using ResetOperation = std::function<QCoro::Task<std::optional<QString>>(bool resetLines)>;

// Asks for confirmation and returns once it is answered; when confirmed, the reset and its result alert
// follow in a task of their own. Cancelling starts nothing.
void confirmAndReset(std::shared_ptr<RoutingController> controller);
void confirmAndReset(ResetOperation reset, Alerts& alerts = Alerts::shared());

// The alerts it shows.
AlertSpec confirmation();
AlertSpec succeeded(const std::optional<QString>& backup);
AlertSpec failed(const std::string& description);
// When the desktop's file manager could not show the backup: where it is.
AlertSpec notRevealed(const QString& backup);

// The success alert's button that shows the backup in the file manager.
inline constexpr std::size_t revealBackupButton = 1;

} // namespace ResetSettings
