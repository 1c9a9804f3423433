// The audio-server listeners of the device list, the devices' rates, layouts, names and volumes, the
// device-list announcement, and the linking of hardware volumes.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include "Platform/AudioServer/AggregateDevice.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"
#include "TandrelApp/Support/UUID.h"

using namespace RoutingControllerDetail;

// What is really registered with the server, touched only by work items on the call queue. A
// registration call that timed out still runs later and records what it made here, so the next call
// removes it instead of leaving a second set of listeners behind.
struct RoutingController::ListenerRegistry {
    std::optional<AudioObjectPropertyListenerToken> system;
    std::vector<DeviceListener> devices;
};

namespace {

// A copied value whose scalar differs by less than this is the same value.
constexpr float volumeTolerance = 0.002f;

constexpr AudioObjectPropertyAddress
address(AudioObjectPropertySelector selector,
        AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
        AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return {selector, scope, element};
}

bool sameVolume(const RoutingController::HardwareVolume& a, const RoutingController::HardwareVolume& b) {
    return std::abs(a.scalar - b.scalar) < volumeTolerance && a.muted == b.muted;
}

// Writes are fire-and-forget: the device's own change report brings the value back.
QCoro::Task<> writeHardwareVolumes(std::string label, double timeout, std::vector<AudioObjectID> devices,
                                   RoutingController::HardwareVolume value) {
    try {
        auto writing = CoreAudioCall::run(std::move(label), timeout, [devices, value] {
            for (AudioObjectID device : devices) {
                RoutingController::HardwareVolume::write(device, value.scalar, value.muted);
            }
        });
        co_await std::move(writing);
    } catch (const std::exception&) {
        // A hung server forgets the write; it is not a reason to rebuild.
    }
}

// Creates and at once destroys a private aggregate device: its coming and going makes the server tell
// every client that the device list changed, so other programs pick up a line's new name.
void announceThroughAggregate() {
    const std::string uid = "qorvix.tandrel.tap.refresh." + UUID::random().uuidString();
    PLRef name = PLStringCreate("Corvane");
    PLRef uidValue = PLStringCreate(uid.c_str());
    const char* keys[] = {kAudioAggregateDeviceNameKey, kAudioAggregateDeviceUIDKey};
    PLRef values[] = {name, uidValue};
    PLRef description = PLDictionaryCreate(keys, values, 2);
    PLRelease(name);
    PLRelease(uidValue);
    AudioObjectID device = kAudioObjectUnknown;
    if (AudioHardwareCreateAggregateDevice(description, &device) == kAudioHardwareNoError) {
        AudioHardwareDestroyAggregateDevice(device);
    }
    PLRelease(description);
}

} // namespace

// ---- Listeners

QCoro::Task<> RoutingController::installSystemListener() {
    if (systemListenerInstalled_) {
        co_return;
    }
    if (!listenerRegistry_) {
        listenerRegistry_ = std::make_shared<ListenerRegistry>();
    }
    std::weak_ptr<RoutingController> weak = weak_from_this();
    AudioObjectPropertyListener listener =
        [weak, tasks = std::weak_ptr(tasks_)](uint32_t, const AudioObjectPropertyAddress*) {
            spawnIn(tasks, [weak] { return handleDeviceChange(weak, DeviceChange::deviceCheck, {}); });
        };
    auto installing = CoreAudioCall::run(
        std::string("デバイス監視の登録"), timings_.callTimeout, [registry = listenerRegistry_, listener] {
            // An earlier call that timed out may have registered it already.
            if (registry->system) {
                return;
            }
            const auto devices = address(kAudioHardwarePropertyDevices);
            AudioObjectPropertyListenerToken token = 0;
            if (AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devices, DispatchQueue::main(),
                                               listener, &token) == kAudioHardwareNoError) {
                registry->system = token;
            }
        });
    co_await std::move(installing);
    if (weak.expired()) {
        co_return;
    }
    systemListenerInstalled_ = true;
}

QCoro::Task<> RoutingController::watchSampleRates(std::vector<AudioDeviceInfo> devices) {
    deviceListeners_.clear();
    if (!listenerRegistry_) {
        listenerRegistry_ = std::make_shared<ListenerRegistry>();
    }
    std::weak_ptr<RoutingController> weak = weak_from_this();
    struct Wanted {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListener listener;
    };
    const std::weak_ptr<TaskGroup> tasks = tasks_;
    const auto on = [&weak, &tasks](DeviceChange change,
                                    const AudioDeviceInfo& device) -> AudioObjectPropertyListener {
        return [weak, tasks, change, device](uint32_t, const AudioObjectPropertyAddress*) {
            spawnIn(tasks, [weak, change, device] { return handleDeviceChange(weak, change, device); });
        };
    };
    std::vector<Wanted> wanted;
    for (const auto& device : devices) {
        const auto check = on(DeviceChange::deviceCheck, device);
        wanted.push_back({device.id, address(kAudioObjectPropertyName), check});
        wanted.push_back({device.id, address(kAudioDevicePropertyStreams), check});
        wanted.push_back({device.id,
                          address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput),
                          check});
        wanted.push_back({device.id,
                          address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput),
                          check});
    }
    for (const auto& device : devices) {
        if (device.outputChannels == 0) {
            continue;
        }
        const auto volume = on(DeviceChange::volume, device);
        for (AudioObjectPropertySelector selector :
             {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyMute}) {
            for (AudioObjectPropertyElement element : {0u, 1u}) {
                wanted.push_back(
                    {device.id, address(selector, kAudioObjectPropertyScopeOutput, element), volume});
            }
        }
    }
    for (const auto& device : devices) {
        wanted.push_back({device.id, address(kAudioDevicePropertyNominalSampleRate),
                          on(DeviceChange::sampleRate, device)});
    }

    auto registering = CoreAudioCall::run(
        std::string("サンプルレート監視の登録"), timings_.callTimeout,
        [registry = listenerRegistry_, wanted = std::move(wanted)] {
            for (const auto& old : registry->devices) {
                AudioObjectRemovePropertyListener(old.object, &old.address, old.token);
            }
            registry->devices.clear();
            for (const auto& entry : wanted) {
                AudioObjectPropertyListenerToken token = 0;
                if (AudioObjectAddPropertyListener(entry.object, &entry.address, DispatchQueue::main(),
                                                   entry.listener, &token) == kAudioHardwareNoError) {
                    registry->devices.push_back({entry.object, entry.address, token});
                }
            }
            return registry->devices;
        });
    auto registered = co_await std::move(registering);
    if (weak.expired()) {
        co_return;
    }
    deviceListeners_ = std::move(registered);
    std::erase_if(devices, [](const AudioDeviceInfo& device) { return device.outputChannels == 0; });
    loadHardwareVolumes(devices);
}

QCoro::Task<> RoutingController::handleDeviceChange(std::weak_ptr<RoutingController> weak,
                                                    DeviceChange change, AudioDeviceInfo device) {
    auto self = weak.lock();
    if (!self) {
        co_return;
    }
    switch (change) {
    case DeviceChange::deviceCheck:
        self->pendingDeviceCheck_ = true;
        self->scheduleReconcile();
        break;
    case DeviceChange::volume:
        self->hardwareVolumeChanged(device);
        break;
    case DeviceChange::sampleRate:
        self->log_->info("Sample rate changed: {}", device.name);
        self->pendingRebuild_ = true;
        self->pendingCaptureRestart_ = true;
        self->scheduleReconcile();
        break;
    }
}

// ---- Device-list announcement

void RoutingController::announceDeviceListChange() {
    std::weak_ptr<RoutingController> weak = weak_from_this();
    tasks_->spawn([weak] { return announceAfterDelay(weak); });
}

QCoro::Task<> RoutingController::announceAfterDelay(std::weak_ptr<RoutingController> weak) {
    double timeout = 0;
    std::chrono::milliseconds delay{};
    std::shared_ptr<TaskGroup> tasks;
    if (auto self = weak.lock()) {
        timeout = self->timings_.callTimeout;
        delay = self->timings_.announceDelay;
        tasks = self->tasks_;
    } else {
        co_return;
    }
    auto sleeping = TaskGroup::sleep(std::move(tasks), delay);
    if (!co_await std::move(sleeping)) {
        co_return;
    }
    // Best effort: a failed or hung announcement only delays other programs' view of the new name.
    try {
        auto announcing =
            CoreAudioCall::run(std::string("デバイス一覧の更新通知"), timeout, announceThroughAggregate);
        co_await std::move(announcing);
    } catch (const std::exception&) {
    }
}

// ---- Hardware volume

RoutingController::HardwareVolume RoutingController::HardwareVolume::read(AudioObjectID device) {
    HardwareVolume value{1.0f, false};
    auto volume = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
    float scalar = 1.0f;
    uint32_t size = sizeof(scalar);
    if (!AudioObjectHasProperty(device, &volume) ||
        AudioObjectGetPropertyData(device, &volume, 0, nullptr, &size, &scalar) != kAudioHardwareNoError) {
        // No main volume: the first channel's stands for the device.
        volume.mElement = 1;
        scalar = 1.0f;
        size = sizeof(scalar);
        if (!AudioObjectHasProperty(device, &volume) ||
            AudioObjectGetPropertyData(device, &volume, 0, nullptr, &size, &scalar) !=
                kAudioHardwareNoError) {
            return value;
        }
    }
    value.scalar = scalar;
    const auto mute = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput, volume.mElement);
    if (AudioObjectHasProperty(device, &mute)) {
        uint32_t muted = 0;
        size = sizeof(muted);
        AudioObjectGetPropertyData(device, &mute, 0, nullptr, &size, &muted);
        value.muted = muted != 0;
    }
    return value;
}

void RoutingController::HardwareVolume::write(AudioObjectID device, float scalar, bool muted) {
    const auto main = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
    bool settable = false;
    const bool mainSettable =
        AudioObjectHasProperty(device, &main) &&
        AudioObjectIsPropertySettable(device, &main, &settable) == kAudioHardwareNoError && settable;
    const std::vector<AudioObjectPropertyElement> elements =
        mainSettable ? std::vector<AudioObjectPropertyElement>{0}
                     : std::vector<AudioObjectPropertyElement>{1, 2};
    // A value that is not a number is written as silence rather than handed to the device.
    const float clamped = !(scalar > 0.0f) ? 0.0f : std::min(scalar, 1.0f);
    const uint32_t mute = muted ? 1 : 0;
    for (AudioObjectPropertyElement element : elements) {
        const auto volume =
            address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element);
        if (AudioObjectHasProperty(device, &volume)) {
            AudioObjectSetPropertyData(device, &volume, 0, nullptr, sizeof(clamped), &clamped);
        }
        const auto muteAddress = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput, element);
        if (AudioObjectHasProperty(device, &muteAddress)) {
            AudioObjectSetPropertyData(device, &muteAddress, 0, nullptr, sizeof(mute), &mute);
        }
    }
}

void RoutingController::loadHardwareVolumes(const std::vector<AudioDeviceInfo>& devices) {
    std::vector<std::pair<std::string, AudioObjectID>> list;
    for (const auto& device : devices) {
        list.emplace_back(device.uid, device.id);
    }
    std::weak_ptr<RoutingController> weak = weak_from_this();
    tasks_->spawn([weak, list] { return readHardwareVolumes(weak, list); });
}

QCoro::Task<>
RoutingController::readHardwareVolumes(std::weak_ptr<RoutingController> weak,
                                       std::vector<std::pair<std::string, AudioObjectID>> devices) {
    double timeout = 0;
    if (auto self = weak.lock()) {
        timeout = self->timings_.callTimeout;
    } else {
        co_return;
    }
    std::vector<std::pair<std::string, HardwareVolume>> values;
    try {
        auto reading = CoreAudioCall::run(std::string("音量の取得"), timeout, [devices] {
            std::vector<std::pair<std::string, HardwareVolume>> read;
            for (const auto& [uid, id] : devices) {
                read.emplace_back(uid, HardwareVolume::read(id));
            }
            return read;
        });
        values = co_await std::move(reading);
    } catch (const std::exception&) {
        co_return;
    }
    auto self = weak.lock();
    if (!self) {
        co_return;
    }
    for (const auto& [uid, value] : values) {
        self->hardwareVolumes_[uid] = value;
        emit self->hardwareVolumesChanged();
    }
}

void RoutingController::hardwareVolumeChanged(const AudioDeviceInfo& device) {
    assertMainThread();
    // A settle already under way reads the newest value when it wakes.
    if (!volumeChangePending_.insert(device.uid).second) {
        return;
    }
    std::weak_ptr<RoutingController> weak = weak_from_this();
    tasks_->spawn([weak, device] { return settleHardwareVolume(weak, device); });
}

QCoro::Task<> RoutingController::settleHardwareVolume(std::weak_ptr<RoutingController> weak,
                                                      AudioDeviceInfo device) {
    std::chrono::milliseconds settle{};
    double timeout = 0;
    std::shared_ptr<TaskGroup> tasks;
    if (auto self = weak.lock()) {
        settle = self->timings_.volumeSettle;
        timeout = self->timings_.callTimeout;
        tasks = self->tasks_;
    } else {
        co_return;
    }
    auto sleeping = TaskGroup::sleep(std::move(tasks), settle);
    if (!co_await std::move(sleeping)) {
        co_return;
    }
    if (auto self = weak.lock()) {
        self->volumeChangePending_.erase(device.uid);
    } else {
        co_return;
    }

    HardwareVolume value;
    try {
        auto reading = CoreAudioCall::run(std::string("音量の取得"), timeout,
                                          [id = device.id] { return HardwareVolume::read(id); });
        value = co_await std::move(reading);
    } catch (const std::exception&) {
        co_return;
    }
    std::vector<AudioObjectID> targets;
    if (auto self = weak.lock()) {
        targets = self->takeHardwareVolume(device, value);
    }
    if (targets.empty()) {
        co_return;
    }
    auto writing = writeHardwareVolumes("音量の連動", timeout, std::move(targets), value);
    co_await std::move(writing);
}

std::vector<AudioObjectID> RoutingController::takeHardwareVolume(const AudioDeviceInfo& device,
                                                                 HardwareVolume value) {
    std::optional<HardwareVolume> previous;
    if (auto entry = hardwareVolumes_.find(device.uid); entry != hardwareVolumes_.end()) {
        previous = entry->second;
    }
    hardwareVolumes_[device.uid] = value;
    emit hardwareVolumesChanged();

    // The device reporting back a value copied to it moments ago.
    const auto now = std::chrono::steady_clock::now();
    if (auto echo = volumeEchoUntil_.find(device.uid); echo != volumeEchoUntil_.end() && now < echo->second) {
        return {};
    }
    if (previous && sameVolume(*previous, value)) {
        return {};
    }
    std::vector<AudioDeviceInfo> targets;
    for (auto& partner : volumePartners(device.uid)) {
        auto known = hardwareVolumes_.find(partner.uid);
        if (known == hardwareVolumes_.end() || !sameVolume(known->second, value)) {
            targets.push_back(std::move(partner));
        }
    }
    if (targets.empty()) {
        return {};
    }
    const auto until = now + timings_.volumeEchoWindow;
    std::vector<AudioObjectID> ids;
    std::string names;
    for (const auto& target : targets) {
        hardwareVolumes_[target.uid] = value;
        emit hardwareVolumesChanged();
        volumeEchoUntil_[target.uid] = until;
        ids.push_back(target.id);
        names += (names.empty() ? "" : ", ") + target.name;
    }
    log_->info("Volume link: {} {:f} muted {} → {}", device.name, static_cast<double>(value.scalar),
               value.muted, names);
    return ids;
}

std::vector<AudioDeviceInfo> RoutingController::volumePartners(const std::string& uid) const {
    std::vector<const Connection*> valid;
    for (const auto& connection : config_.connections) {
        if (isValid(connection)) {
            valid.push_back(&connection);
        }
    }
    std::vector<AudioDeviceInfo> partners;
    if (std::ranges::find(lines_, uid, &AudioDeviceInfo::uid) != lines_.end()) {
        if (config_.unlinkedLineVolumes.contains(uid)) {
            return partners;
        }
        const Endpoint line = Endpoint::line(uid);
        std::set<std::string> monitors;
        for (const auto* connection : valid) {
            if (connection->from == line) {
                monitors.insert(connection->toDeviceUID);
            }
        }
        std::ranges::copy_if(
            outputDevices_, std::back_inserter(partners),
            [&monitors](const AudioDeviceInfo& device) { return monitors.contains(device.uid); });
        return partners;
    }
    std::set<std::string> linked;
    for (const auto* connection : valid) {
        const auto* line = std::get_if<Endpoint::Line>(&connection->from.value);
        if (line != nullptr && connection->toDeviceUID == uid &&
            !config_.unlinkedLineVolumes.contains(line->uid)) {
            linked.insert(line->uid);
        }
    }
    std::ranges::copy_if(lines_, std::back_inserter(partners),
                         [&linked](const AudioDeviceInfo& device) { return linked.contains(device.uid); });
    return partners;
}

void RoutingController::setLinksMonitorToLineVolume(bool linked, const std::string& uid) {
    assertMainThread();
    RoutingConfig next = config_;
    if (linked) {
        next.unlinkedLineVolumes.erase(uid);
    } else {
        next.unlinkedLineVolumes.insert(uid);
    }
    setConfig(std::move(next));
}

void RoutingController::setHardwareVolume(const std::string& uid, float scalar, bool muted) {
    assertMainThread();
    const auto target = device(uid);
    if (!target) {
        return;
    }
    const double timeout = timings_.callTimeout;
    const std::vector<AudioObjectID> ids{target->id};
    tasks_->spawn([timeout, ids, scalar, muted] {
        return writeHardwareVolumes("音量の設定", timeout, ids, HardwareVolume{scalar, muted});
    });
}
