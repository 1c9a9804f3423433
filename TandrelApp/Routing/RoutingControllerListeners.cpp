// The audio-server listeners of the device list, the devices' rates, layouts, names and volumes, the
// device-list announcement, and the linking of hardware volumes.
#include "TandrelApp/Routing/RoutingController.h"

QCoro::Task<> RoutingController::installSystemListener() {
    // filled later: the device-list listener of the system object
    co_return;
}

QCoro::Task<> RoutingController::watchSampleRates(std::vector<AudioDeviceInfo> devices) {
    // filled later: the per-device listeners
    (void)devices;
    co_return;
}

void RoutingController::announceDeviceListChange() {
    // filled later: the device-list announcement
}
