#include "TandrelApp/Engine/CaptureModel.h"

#include <algorithm>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Support/HashCombine.h"

namespace {

constexpr OperatingSystemVersion kProcessTapMinimum{14, 2, 0};

constexpr std::array<std::pair<CaptureBackend, std::string_view>, 2> kBackends{{
    {CaptureBackend::processTap, "processTap"},
    {CaptureBackend::screenCaptureKit, "screenCaptureKit"},
}};

template <typename Table, typename Key>
std::string_view lookupRaw(const Table& table, Key key) {
    for (const auto& [k, raw] : table) {
        if (k == key) {
            return raw;
        }
    }
    return {};
}

template <typename Key, typename Table>
std::optional<Key> lookupKey(const Table& table, std::string_view text) {
    for (const auto& [k, raw] : table) {
        if (raw == text) {
            return k;
        }
    }
    return std::nullopt;
}

// Looked up once per process, like the system's symbol lookup it stands for.
bool responsibilityFunctionFound() {
    static const bool found = SystemInfo::responsibilityFunction() != nullptr;
    return found;
}

} // namespace

std::string_view rawValue(CaptureBackend backend) {
    return lookupRaw(kBackends, backend);
}

std::optional<CaptureBackend> captureBackendFromRawValue(std::string_view text) {
    return lookupKey<CaptureBackend>(kBackends, text);
}

std::size_t std::hash<CaptureTarget>::operator()(const CaptureTarget& target) const noexcept {
    const auto* app = target.app();
    if (app == nullptr) {
        return std::hash<int>{}(0);
    }
    std::size_t seed = std::hash<int>{}(1);
    for (const std::string* field : {&app->bundleID, &app->name}) {
        hashCombine(seed, std::hash<std::string>{}(*field));
    }
    return seed;
}

std::string_view rawValue(CaptureMode mode) {
    return lookupRaw(kCaptureModeRawValues, mode);
}

std::optional<CaptureMode> captureModeFromRawValue(std::string_view text) {
    return lookupKey<CaptureMode>(kCaptureModeRawValues, text);
}

std::string_view label(CaptureMode mode) {
    switch (mode) {
    case CaptureMode::automatic:
        return "自動";
    case CaptureMode::processTap:
        return "Process Tap";
    case CaptureMode::screenCaptureKit:
        return "ScreenCaptureKit";
    }
    return {};
}

bool isWebKitAudioApp(std::string_view bundleID) {
    static constexpr std::array<std::string_view, 2> kApps{"com.apple.Safari",
                                                           "com.apple.SafariTechnologyPreview"};
    return std::find(kApps.begin(), kApps.end(), bundleID) != kApps.end();
}

bool applicationRuns(const std::string& bundleID) {
    const auto running = Workspace::shared().runningApplications();
    return std::ranges::any_of(running, [&bundleID](const RunningApplication& application) {
        return application.bundleIdentifier && isOfApplication(*application.bundleIdentifier, bundleID);
    });
}

bool processTapsAvailable(OperatingSystemVersion system) {
    return system >= kProcessTapMinimum;
}

std::vector<CaptureMode> offeredCaptureModes(OperatingSystemVersion system) {
    std::vector<CaptureMode> modes;
    for (CaptureMode mode : allCaptureModes) {
        if (mode != CaptureMode::processTap || processTapsAvailable(system)) {
            modes.push_back(mode);
        }
    }
    return modes;
}

CaptureBackend backend(CaptureMode mode, const CaptureTarget& target, OperatingSystemVersion system,
                       bool hasResponsibilityFunction) {
    const bool tapsAvailable = processTapsAvailable(system);
    switch (mode) {
    case CaptureMode::screenCaptureKit:
        return CaptureBackend::screenCaptureKit;
    case CaptureMode::processTap:
        return tapsAvailable ? CaptureBackend::processTap : CaptureBackend::screenCaptureKit;
    case CaptureMode::automatic:
        break;
    }
    // WebKit browsers play through helper processes that only the responsibility lookup ties back
    // to the browser; without it their taps would catch nothing.
    if (const auto* app = target.app(); app != nullptr && isWebKitAudioApp(app->bundleID)) {
        return tapsAvailable && hasResponsibilityFunction ? CaptureBackend::processTap
                                                          : CaptureBackend::screenCaptureKit;
    }
    return tapsAvailable ? CaptureBackend::processTap : CaptureBackend::screenCaptureKit;
}

CaptureBackend backend(CaptureMode mode, const CaptureTarget& target) {
    return backend(mode, target, SystemInfo::version(), responsibilityFunctionFound());
}
