#include "Platform/System/ProcessPath.h"

#include <atomic>

namespace {
std::atomic<ProcessPathFunction> installed{nullptr};
} // namespace

namespace ProcessPath {

ProcessPathFunction function() {
    return installed.load(std::memory_order_acquire);
}

void setFunction(ProcessPathFunction function) {
    installed.store(function, std::memory_order_release);
}

} // namespace ProcessPath
