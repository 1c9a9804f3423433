#include "Platform/System/SystemInfo.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex versionMutex;
bool versionSet = false;
OperatingSystemVersion currentVersion;

std::atomic<ResponsibilityFunction> responsibility{nullptr};

OperatingSystemVersion versionFromEnvironment() {
    OperatingSystemVersion v{14, 5, 0};
    if (const char* text = std::getenv("TANDREL_SYSTEM_VERSION")) {
        OperatingSystemVersion parsed;
        if (std::sscanf(text, "%d.%d.%d", &parsed.major, &parsed.minor, &parsed.patch) >= 2) {
            v = parsed;
        }
    }
    return v;
}

} // namespace

std::string OperatingSystemVersion::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

namespace SystemInfo {

OperatingSystemVersion version() {
    std::lock_guard lock(versionMutex);
    if (!versionSet) {
        currentVersion = versionFromEnvironment();
        versionSet = true;
    }
    return currentVersion;
}

bool isAtLeast(OperatingSystemVersion minimum) {
    return version() >= minimum;
}

void setVersion(OperatingSystemVersion version) {
    std::lock_guard lock(versionMutex);
    currentVersion = version;
    versionSet = true;
}

ResponsibilityFunction responsibilityFunction() {
    return responsibility.load(std::memory_order_acquire);
}

void setResponsibilityFunction(ResponsibilityFunction function) {
    responsibility.store(function, std::memory_order_release);
}

} // namespace SystemInfo
