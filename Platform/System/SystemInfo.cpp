#include "Platform/System/SystemInfo.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

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

std::string processorBrand(const std::string& cpuinfo) {
    std::string hardware;
    std::istringstream lines(cpuinfo);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (key == "model name" && !value.empty()) {
            return value;
        }
        if ((key == "Hardware" || key == "Model") && hardware.empty()) {
            hardware = value;
        }
    }
    return hardware;
}

std::string processorBrand() {
    std::ifstream file("/proc/cpuinfo");
    std::stringstream text;
    text << file.rdbuf();
    return processorBrand(text.str());
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
