// Test seams of the driver: tests start every case from a fresh plug-in state on a runtime of their
// own (virtual time) and otherwise drive the driver only through TandrelDriver_Create's table.
#pragma once

#include <memory>

#include "TandrelDriver/DriverRuntime.h"

extern "C" void* TandrelDriver_Create(void* allocator, const AudioServerPlugInUUID* requestedTypeUUID);

namespace tandrel::driver {

// Drops the current plug-in state (blocks still queued keep theirs alive) and starts an uninitialised
// one on the given runtime, with the reference count at 0.
void resetDriverForTesting(std::shared_ptr<DriverRuntime> runtime);
uint32_t driverRefCountForTesting();

} // namespace tandrel::driver
