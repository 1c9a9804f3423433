// Volume and mute editing of sources, devices, pairs and channels, and the recovery from an audio
// server that stopped answering.
#include <algorithm>
#include <utility>

#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"
#include "TandrelApp/Routing/Volume.h"

using namespace RoutingControllerDetail;

namespace {

// Per-pair and per-channel maps hold only what differs from 0 dB (-0 included).
void storeOrRemove(std::map<std::int64_t, float>& levels, std::int64_t key, float db) {
    if (db == 0.0f) {
        levels.erase(key);
    } else {
        levels[key] = db;
    }
}

// Edits the first source with `id` in one assignment of the configuration; nothing without one.
template <typename Edit>
void editSource(RoutingController& controller, const UUID& id, Edit edit) {
    RoutingConfig next = controller.config();
    auto found = std::ranges::find(next.sources, id, &SourceConfig::id);
    if (found == next.sources.end()) {
        return;
    }
    edit(*found);
    controller.setConfig(std::move(next));
}

// Edits the device's volume entry, created with the defaults when missing, in one assignment.
template <typename Edit>
void editDevice(RoutingController& controller, const std::string& uid, Edit edit) {
    RoutingConfig next = controller.config();
    edit(next.deviceVolumes[uid]);
    controller.setConfig(std::move(next));
}

// The channels of a pair that the device has: both, or only the first when it is the device's odd last
// channel. Written so that no sum can overflow.
std::pair<std::int64_t, std::int64_t> pairRange(std::int64_t pair, std::int64_t channels) {
    const std::int64_t end = channels - pair >= 2 ? pair + 2 : channels;
    return {pair, std::max(pair, end)};
}

constexpr const char* probeLabel = "応答確認";

} // namespace

// ---- Sources

void RoutingController::setSourceMuted(const UUID& id, bool muted) {
    assertMainThread();
    editSource(*this, id, [muted](SourceConfig& source) { source.isMuted = muted; });
}

void RoutingController::setSourceVolume(const UUID& id, float dB) {
    assertMainThread();
    const auto clamped = Volume::clampDB(dB);
    if (!clamped) {
        return;
    }
    editSource(*this, id, [db = *clamped](SourceConfig& source) { source.volumeDB = db; });
}

void RoutingController::setSourceChannelVolume(const UUID& id, std::int64_t channel, float dB) {
    assertMainThread();
    const auto clamped = Volume::clampDB(dB);
    if (!clamped) {
        return;
    }
    editSource(*this, id, [channel, db = *clamped](SourceConfig& source) {
        storeOrRemove(source.channelDB, channel, db);
    });
}

void RoutingController::setSourceChannelMuted(const UUID& id, std::int64_t channel, bool muted) {
    assertMainThread();
    editSource(*this, id, [channel, muted](SourceConfig& source) {
        if (muted) {
            source.mutedChannels.insert(channel);
        } else {
            source.mutedChannels.erase(channel);
        }
    });
}

// ---- Output devices and lines

void RoutingController::setDeviceVolume(const std::string& uid, float dB) {
    assertMainThread();
    const auto clamped = Volume::clampDB(dB);
    if (!clamped) {
        return;
    }
    editDevice(*this, uid, [db = *clamped](DeviceVolume& volume) { volume.masterDB = db; });
}

void RoutingController::setDeviceMuted(const std::string& uid, bool muted) {
    assertMainThread();
    editDevice(*this, uid, [muted](DeviceVolume& volume) { volume.isMuted = muted; });
}

void RoutingController::setPairVolume(const std::string& uid, std::int64_t pair, float dB) {
    assertMainThread();
    const auto clamped = Volume::clampDB(dB);
    if (!clamped) {
        return;
    }
    editDevice(*this, uid,
               [pair, db = *clamped](DeviceVolume& volume) { storeOrRemove(volume.pairDB, pair, db); });
}

void RoutingController::setChannelVolume(const std::string& uid, std::int64_t channel, float dB) {
    assertMainThread();
    const auto clamped = Volume::clampDB(dB);
    if (!clamped) {
        return;
    }
    editDevice(*this, uid, [channel, db = *clamped](DeviceVolume& volume) {
        storeOrRemove(volume.channelDB, channel, db);
    });
}

void RoutingController::setChannelMuted(const std::string& uid, std::int64_t channel, bool muted) {
    assertMainThread();
    if (muted) {
        editDevice(*this, uid, [channel](DeviceVolume& volume) { volume.mutedChannels.insert(channel); });
        return;
    }
    // An unmute never creates an entry; the write-back is still one (equal) assignment.
    RoutingConfig next = config_;
    if (auto entry = next.deviceVolumes.find(uid); entry != next.deviceVolumes.end()) {
        entry->second.mutedChannels.erase(channel);
    }
    setConfig(std::move(next));
}

void RoutingController::setPairMuted(const std::string& uid, std::int64_t pair, std::int64_t channels,
                                     bool muted) {
    assertMainThread();
    const auto [first, end] = pairRange(pair, channels);
    editDevice(*this, uid, [first, end, muted](DeviceVolume& volume) {
        for (std::int64_t channel = first; channel < end; ++channel) {
            if (muted) {
                volume.mutedChannels.insert(channel);
            } else {
                volume.mutedChannels.erase(channel);
            }
        }
    });
}

bool RoutingController::isPairMuted(const std::string& uid, std::int64_t pair, std::int64_t channels) const {
    const DeviceVolume volume = config_.volume(uid);
    const auto [first, end] = pairRange(pair, channels);
    for (std::int64_t channel = first; channel < end; ++channel) {
        if (!volume.mutedChannels.contains(channel)) {
            return false;
        }
    }
    return true;
}

void RoutingController::setShowsFaders(bool shows, const std::string& uid) {
    assertMainThread();
    RoutingConfig next = config_;
    if (shows) {
        next.hiddenFaders.erase(uid);
    } else {
        next.hiddenFaders.insert(uid);
    }
    setConfig(std::move(next));
}

// ---- Recovery

void RoutingController::startRecovery() {
    recoveryRunning_ = true;
    std::weak_ptr<RoutingController> weak = weak_from_this();
    tasks_->spawn([weak, tasks = tasks_, timings = timings_] { return runRecovery(weak, tasks, timings); });
}

// Never marks the audio system responsive itself: the pass it asks for does, once it succeeds. Holds the
// controller only between awaits and ends when it is gone.
QCoro::Task<> RoutingController::runRecovery(std::weak_ptr<RoutingController> weak,
                                             std::shared_ptr<TaskGroup> tasks, Timings timings) {
    while (!weak.expired()) {
        auto sleeping = TaskGroup::sleep(tasks, timings.recoveryInterval);
        if (!co_await std::move(sleeping) || weak.expired()) {
            co_return;
        }
        try {
            auto probing = CoreAudioCall::run(std::string(probeLabel), timings.probeTimeout,
                                              [] { return AudioDeviceCatalog::all().size(); });
            co_await std::move(probing);
        } catch (...) {
            // Still hung, or failing: probe again after the next sleep.
            continue;
        }
        auto self = weak.lock();
        if (!self) {
            co_return;
        }
        self->recoveryRunning_ = false;
        self->pendingRebuild_ = true;
        self->pendingCaptureRestart_ = true;
        self->retrySources();
        co_return;
    }
}
