// Sources and monitors added by hand and automatically, playing applications and exclusions, and the
// workspace's launch and termination events.
#include "TandrelApp/Routing/RoutingController.h"

void RoutingController::observeWorkspace() {
    // filled later: launch and terminate observers
}

void RoutingController::addDefaultSources() {
    // filled later: automatic adding of the default sources
}

void RoutingController::pruneAutoAddedAppsGone() {
    // filled later: drops automatically added applications that no longer run
}

void RoutingController::addRunningApps() {
    // filled later: automatic adding of running applications
}

void RoutingController::startAppMonitor() {
    // filled later: the application audio monitor
}

void RoutingController::addConnectedMonitors() {
    // filled later: auto-added monitors
}
