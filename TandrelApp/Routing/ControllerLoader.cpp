#include "TandrelApp/Routing/ControllerLoader.h"

#include "TandrelApp/Routing/RoutingConfigStore.h"

namespace ControllerLoader {

std::shared_ptr<RoutingController> loadAppController(RoutingController::Timings timings) {
    return RoutingController::create(RoutingConfigStore::load(), /*persists=*/true, /*autoDiscovers=*/true,
                                     timings);
}

void saveOnTerminate(RoutingController& controller) {
    controller.cancelPendingSave();
    if (controller.persists()) {
        RoutingConfigStore::save(controller.config());
    }
}

} // namespace ControllerLoader
