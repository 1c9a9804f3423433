// Tells the user when routing.json lets them down: at start, that an unreadable file was set aside
// (and where it went); later, that changes cannot be saved and why, once per run of failing saves. The
// application sets it up when it creates its controller. GUI thread only.
#pragma once

#include <optional>
#include <string>

#include <QString>

#include "Platform/System/Desktop/Alerts.h"

class RoutingController;

namespace ConfigFileAlerts {

// The alert for an unreadable routing.json that was moved to `movedTo`.
AlertSpec setAside(const QString& movedTo);
// The alert for a save that failed for `reason`; `file` is where the configuration should go.
AlertSpec cannotSave(const std::string& reason, const QString& file);

// Shows the set-aside alert (when there is a path) and, from now on, the controller's save failures,
// each through the shared Alerts once the event loop is free.
void watch(RoutingController& controller, const std::optional<QString>& setAsidePath);

} // namespace ConfigFileAlerts
