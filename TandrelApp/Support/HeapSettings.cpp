#include "TandrelApp/Support/HeapSettings.h"

#include <malloc.h>

namespace HeapSettings {

void returnLargeBlocksToTheSystem() {
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBlockBytes));
}

} // namespace HeapSettings
