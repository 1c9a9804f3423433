// The reset of settings: back to the first-start state, with a backup of the configuration file and,
// when asked, the driver's default lines.
#include "TandrelApp/Routing/RoutingController.h"

#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"
#include "TandrelApp/Support/UserDefaults.h"

using namespace RoutingControllerDetail;

namespace {

constexpr AudioObjectPropertySelector volumeSelector = TD_FOURCC('v', 'o', 'l', 'm');
constexpr AudioObjectPropertySelector muteSelector = TD_FOURCC('m', 'u', 't', 'e');

const std::vector<LineSpec>& defaultLines() {
    static const std::vector<LineSpec> lines{{1, 2, "Line 1"}, {2, 64, "Line 2"}};
    return lines;
}

AudioObjectPropertyAddress outputAddress(AudioObjectPropertySelector selector,
                                         AudioObjectPropertyElement element) {
    return {selector, kAudioObjectPropertyScopeOutput, element};
}

bool mainVolumeSettable(AudioObjectID line) {
    const auto address = outputAddress(volumeSelector, kAudioObjectPropertyElementMain);
    bool settable = false;
    return AudioObjectHasProperty(line, &address) &&
           AudioObjectIsPropertySettable(line, &address, &settable) == 0 && settable;
}

// A line without a settable main volume has channel volumes instead. The statuses are of no use here:
// what the line does not take stays as it is.
void resetVolume(AudioObjectID line) {
    const std::vector<AudioObjectPropertyElement> elements =
        mainVolumeSettable(line) ? std::vector<AudioObjectPropertyElement>{kAudioObjectPropertyElementMain}
                                 : std::vector<AudioObjectPropertyElement>{1, 2};
    for (AudioObjectPropertyElement element : elements) {
        const auto volume = outputAddress(volumeSelector, element);
        if (AudioObjectHasProperty(line, &volume)) {
            const float full = 1.0f;
            AudioObjectSetPropertyData(line, &volume, 0, nullptr, sizeof full, &full);
        }
        const auto mute = outputAddress(muteSelector, element);
        if (AudioObjectHasProperty(line, &mute)) {
            const std::uint32_t unmuted = 0;
            AudioObjectSetPropertyData(line, &mute, 0, nullptr, sizeof unmuted, &unmuted);
        }
    }
}

} // namespace

void RoutingController::resetLinesToDefault(const std::vector<AudioObjectID>& lines) {
    for (AudioObjectID line : lines) {
        resetVolume(line);
    }
    LineConfigurator::write(defaultLines());
}

QCoro::Task<std::optional<QString>> RoutingController::resetSettings(bool resetLines) {
    assertMainThread();
    const bool hadPendingSave = saveTimer_.isActive();
    cancelPendingSave();
    std::optional<QString> backup = RoutingConfigStore::backup();

    if (resetLines) {
        std::vector<AudioObjectID> ids;
        for (const auto& line : lines_) {
            ids.push_back(line.id);
        }
        std::weak_ptr<RoutingController> weak = weak_from_this();
        std::exception_ptr failure;
        try {
            auto resetting = CoreAudioCall::run(std::string("ラインの初期化"), timings_.callTimeout,
                                                [ids] { resetLinesToDefault(ids); });
            co_await std::move(resetting);
        } catch (...) {
            failure = std::current_exception();
        }
        if (weak.expired()) {
            co_return backup;
        }
        if (failure) {
            // Nothing else is reset, so the edit whose save was waiting must still reach the file.
            if (hadPendingSave && persists_) {
                scheduleSave();
            }
            std::rethrow_exception(failure);
        }
    }

    if (auto bundleID = Workspace::ownBundleIdentifier()) {
        UserDefaults::removePersistentDomain(*bundleID);
    }
    setConfig(RoutingConfig{});
    sourceStatus_.clear();
    emit sourceStatusChanged();
    if (autoDiscovers_) {
        addDefaultSources();
        addRunningApps();
        addConnectedMonitors();
    }
    pendingDeviceRefresh_ = true;
    scheduleReconcile();
    // The change above scheduled a save; this one writes at once, the sources and monitors included.
    cancelPendingSave();
    if (persists_) {
        saveConfig();
    }
    log_->info("Settings reset (lines: {})", resetLines);
    co_return backup;
}
