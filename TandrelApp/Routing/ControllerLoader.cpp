#include "TandrelApp/Routing/ControllerLoader.h"

#include "TandrelApp/Routing/RoutingConfigStore.h"

namespace ControllerLoader {

AppController loadAppController(RoutingController::Timings timings) {
    RoutingConfigStore::Loaded loaded = RoutingConfigStore::loadNotingProblems();
    return {RoutingController::create(std::move(loaded.config), /*persists=*/true, /*autoDiscovers=*/true,
                                      timings),
            std::move(loaded.setAsidePath)};
}

void saveOnTerminate(RoutingController& controller) {
    controller.cancelPendingSave();
    if (controller.persists()) {
        RoutingConfigStore::save(controller.config());
    }
}

} // namespace ControllerLoader
