// The routing configuration's file, routing.json in the application-support folder: the application
// loads it at start, the controller saves it (debounced, at quit, on a reset) and the reset backs it up.
// Main thread only; every call goes to the file system.
#pragma once

#include <optional>
#include <string>

#include <QString>

#include "TandrelApp/Routing/RoutingConfig.h"

namespace RoutingConfigStore {

// Path of routing.json under "TandrelApp" in the user's application-support folder.
QString url();

// What a load found: the configuration to start from and, when the file could not be read, where it
// was moved so that no later save replaces it.
struct Loaded {
    RoutingConfig config;
    std::optional<QString> setAsidePath;
};

// The saved configuration, or the default one when there is no file. A file that exists but cannot
// be read or decoded is renamed "routing.unreadable-<yyyyMMdd-HHmmss>.json"; the default configuration
// is returned then too, with the new name.
Loaded loadNotingProblems();
RoutingConfig load();

// Writes the configuration atomically (pretty-printed, keys sorted), creating the folder when
// missing. A failure is logged and its description (for the user) returned; the previous file stays
// whole.
std::optional<std::string> save(const RoutingConfig& config);

// Copies the file to "routing.backup-<yyyyMMdd-HHmmss>.json" beside it and returns the copy's path;
// no result when there is no file or the copy fails (logged).
std::optional<QString> backup();

} // namespace RoutingConfigStore
