// The application's creation of its single routing controller from the saved configuration, and the save
// it makes at quit; the application shell calls both (the updater also saves before it installs).
// GUI thread only.
#pragma once

#include <memory>
#include <optional>

#include <QString>

#include "TandrelApp/Routing/RoutingController.h"

namespace ControllerLoader {

struct AppController {
    std::shared_ptr<RoutingController> controller;
    // Where an unreadable routing.json was moved; none when it was read or missing.
    std::optional<QString> setAsidePath;
};

// A persisting, discovering controller started from routing.json, or from the default configuration
// when there is none or it cannot be read.
AppController loadAppController(RoutingController::Timings timings = {});

// Drops the controller's pending debounced save and, when it persists, writes its configuration now.
// Stops no audio.
void saveOnTerminate(RoutingController& controller);

} // namespace ControllerLoader
