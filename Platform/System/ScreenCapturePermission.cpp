#include "Platform/System/ScreenCapturePermission.h"

#include <atomic>

namespace {

std::atomic<bool> granted{true};

} // namespace

namespace ScreenCapturePermission {

bool preflight() {
    return granted.load();
}

void setGranted(bool value) {
    granted.store(value);
}

} // namespace ScreenCapturePermission
