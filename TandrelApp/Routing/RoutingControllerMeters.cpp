// The meters' peak provider, the periodic dropout log with the route information, and the reset of the
// settings.
#include "TandrelApp/Routing/RoutingController.h"

void RoutingController::installMeterProvider() {
    // filled later: the meter store's peak provider
}

void RoutingController::startDropoutLog() {
    // filled later: the periodic dropout log
}
