// The plug-in object's line management: the 'lnes' write and its asynchronous application, retiring and
// reclaiming removed lines, and the "lines" and "volumes" storage.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "TandrelDriver/DriverCodes.h"
#include "TandrelDriver/DriverLog.h"
#include "TandrelDriver/TandrelPlugIn.h"

namespace tandrel::driver {

namespace {

constexpr AudioObjectPropertyAddress globalAddress(uint32_t selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// The integer a text starts with (leading blanks and a sign allowed), 0 when it starts with none.
int32_t leadingInteger(const char* text) {
    errno = 0;
    const long long value = std::strtoll(text ? text : "", nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

PLRef makeLineEntry(const TandrelDevice& device) {
    const char* keys[] = {"number", "channels", "name"};
    const PLRef values[] = {PLNumberCreateInt64(device.lineNumber()),
                            PLNumberCreateInt64(device.channelCount()), device.copyName()};
    PLRef entry = PLDictionaryCreate(keys, values, 3);
    for (PLRef v : values) {
        PLRelease(v);
    }
    return entry;
}

} // namespace

// ---- The 'lnes' write ----

OSStatus TandrelPlugIn::requestLines(uint32_t size, const void* data) {
    if (size != sizeof(PLRef)) {
        return kAudioHardwareBadPropertySizeError;
    }
    PLRef list;
    std::memcpy(&list, data, sizeof(list));
    std::vector<LineConfig> lines;
    if (!parseLines(list, lines)) {
        return kAudioHardwareIllegalOperationError;
    }
    // Property-list values never change after creation, so holding a reference is as good as the
    // caller's deep copy. The queued block owns it, so it is released whether the block runs or not.
    driverLog().info("Line configuration requested ({} lines)", lines.size());
    runtime().config(
        [self = shared_from_this(), copy = PLOwner::retain(list)] { self->applyRequestedLines(copy); });
    return kAudioHardwareNoError;
}

void TandrelPlugIn::applyRequestedLines(const PLOwner& list) {
    std::vector<LineConfig> lines;
    if (!parseLines(list.get(), lines)) {
        return;
    }
    LineChanges changes;
    {
        std::lock_guard guard(configMutex_);
        changes = applyLines(lines);
    }
    if (host()) {
        notifyLineChanges(changes);
    }
    // Every application saves the list it applied, so the last one written wins in order.
    runtime().configAfter(kSaveDelay,
                          [self = shared_from_this(), saved = list] { self->saveLinesLater(saved); });
    driverLog().info("Line configuration applied");
}

void TandrelPlugIn::notifyLineChanges(const LineChanges& changes) {
    AudioServerPlugInHostRef h = host();
    if (changes.listChanged) {
        driverLog().info("Notifying device list change");
        const AudioObjectPropertyAddress addresses[] = {
            globalAddress(sel::kDeviceList), globalAddress(sel::kOwnedObjects), globalAddress(sel::kLines)};
        h->PropertiesChanged(h, kPlugInObjectID, 3, addresses);
        driverLog().info("Device list change notified");
    }
    for (const auto& [device, channels] : changes.channelChanges) {
        driverLog().info("Requesting Line {} channel change to {}", device->lineNumber(), channels);
        device->requestChannelCount(channels);
    }
    for (AudioObjectID id : changes.nameChanges) {
        const AudioObjectPropertyAddress address = globalAddress(sel::kName);
        h->PropertiesChanged(h, id, 1, &address);
    }
}

LineChanges TandrelPlugIn::applyLines(const std::vector<LineConfig>& lines) {
    LineChanges changes;
    const auto requested = [&lines](uint32_t number) -> const LineConfig* {
        for (const LineConfig& line : lines) {
            if (static_cast<uint32_t>(line.number) == number) {
                return &line;
            }
        }
        return nullptr;
    };

    for (auto& slot : slots_) {
        TandrelDevice* device = slot.load(std::memory_order_acquire);
        if (!device) {
            continue;
        }
        const LineConfig* line = requested(device->lineNumber());
        if (!line) {
            retire(device);
            slot.store(nullptr, std::memory_order_release);
            changes.listChanged = true;
            driverLog().info("Removing Line {}", device->lineNumber());
            continue;
        }
        if (line->name && device->setName(line->name)) {
            changes.nameChanges.push_back(device->deviceID());
        }
        if (device->channelCount() != static_cast<uint32_t>(line->channels)) {
            changes.channelChanges.emplace_back(device, static_cast<uint32_t>(line->channels));
        }
    }

    for (const LineConfig& line : lines) {
        const auto number = static_cast<uint32_t>(line.number);
        const auto isLive = [number](const std::atomic<TandrelDevice*>& slot) {
            const TandrelDevice* device = slot.load(std::memory_order_acquire);
            return device && device->lineNumber() == number;
        };
        if (std::any_of(slots_.begin(), slots_.end(), isLive)) {
            continue;
        }
        auto freeSlot =
            std::find_if(slots_.begin(), slots_.end(), [](const std::atomic<TandrelDevice*>& slot) {
                return slot.load(std::memory_order_relaxed) == nullptr;
            });
        if (freeSlot == slots_.end()) {
            continue;
        }
        auto* device = new TandrelDevice(number, nextObjectID_, static_cast<uint32_t>(line.channels),
                                         line.name, context_);
        nextObjectID_ += 5;
        {
            std::lock_guard guard(volumeMutex_);
            if (auto saved = volumes_.find(number); saved != volumes_.end()) {
                device->restoreVolume(saved->second.scalar, saved->second.muted);
            }
        }
        freeSlot->store(device, std::memory_order_release);
        changes.listChanged = true;
        driverLog().info("Added Line {} ({} ch)", number, device->channelCount());
    }
    return changes;
}

PLRef TandrelPlugIn::copyLineList() const {
    std::vector<PLRef> entries;
    for (const TandrelDevice* device : currentDevices()) {
        entries.push_back(makeLineEntry(*device));
    }
    PLRef list = PLArrayCreate(entries.data(), entries.size());
    for (PLRef entry : entries) {
        PLRelease(entry);
    }
    return list;
}

// ---- Retiring and reclaiming ----

void TandrelPlugIn::retire(TandrelDevice* device) {
    for (size_t i = 0; i < retired_.size(); ++i) {
        TandrelDevice* expected = nullptr;
        if (retired_[i].compare_exchange_strong(expected, device, std::memory_order_acq_rel)) {
            scheduleReclaim(i);
            return;
        }
    }
    driverLog().error("Retired device list is full; leaking Line {}", device->lineNumber());
}

void TandrelPlugIn::scheduleReclaim(size_t index) {
    runtime().globalAfter(QualityOfService::Utility, kReclaimCheckInterval,
                          [self = shared_from_this(), index] { self->reclaim(index); });
}

void TandrelPlugIn::reclaim(size_t index) {
    TandrelDevice* device = retired_[index].load(std::memory_order_acquire);
    if (!device) {
        return;
    }
    if (device->isRunning()) {
        scheduleReclaim(index);
        return;
    }
    retired_[index].store(nullptr, std::memory_order_release);
    // Calls that found the device just before the entry was cleared may still be running on it.
    std::shared_ptr<TandrelDevice> doomed(device);
    runtime().globalAfter(QualityOfService::Utility, kReclaimDeleteDelay,
                          [doomed = std::move(doomed)]() mutable { doomed.reset(); });
}

// ---- Storage ----

void TandrelPlugIn::saveLinesLater(const PLOwner& list) {
    AudioServerPlugInHostRef h = host();
    if (!h) {
        return;
    }
    if (const OSStatus status = h->WriteToStorage(h, "lines", list.get()); status != kAudioHardwareNoError) {
        driverLog().error("Line configuration not saved: {}", status);
        return;
    }
    driverLog().info("Line configuration saved");
}

void TandrelPlugIn::volumeChanged(TandrelDevice& device) {
    {
        std::lock_guard guard(volumeMutex_);
        volumes_[device.lineNumber()] = {device.volumeScalar(), device.isMuted()};
    }
    if (!volumeSavePending_.exchange(true, std::memory_order_acq_rel)) {
        runtime().configAfter(kSaveDelay, [self = shared_from_this()] { self->saveVolumes(); });
    }
}

void TandrelPlugIn::saveVolumes() {
    volumeSavePending_.store(false, std::memory_order_release);
    std::vector<std::string> keys;
    std::vector<PLRef> values;
    {
        std::lock_guard guard(volumeMutex_);
        for (const auto& [number, saved] : volumes_) {
            keys.push_back(std::to_string(number));
            const PLRef pair[] = {PLNumberCreateFloat64(saved.scalar),
                                  PLNumberCreateInt64(saved.muted ? 1 : 0)};
            values.push_back(PLArrayCreate(pair, 2));
            PLRelease(pair[0]);
            PLRelease(pair[1]);
        }
    }
    std::vector<const char*> keyTexts;
    for (const std::string& key : keys) {
        keyTexts.push_back(key.c_str());
    }
    const PLOwner dictionary =
        PLOwner::adopt(PLDictionaryCreate(keyTexts.data(), values.data(), values.size()));
    for (PLRef value : values) {
        PLRelease(value);
    }
    if (AudioServerPlugInHostRef h = host()) {
        h->WriteToStorage(h, "volumes", dictionary.get());
    }
}

void TandrelPlugIn::loadVolumes(PLRef stored) {
    for (size_t i = 0; i < PLDictionaryGetCount(stored); ++i) {
        PLRef pair = PLDictionaryGetValueAtIndex(stored, i);
        if (PLGetType(pair) != PLTypeArray || PLArrayGetCount(pair) != 2) {
            continue;
        }
        const int32_t number = leadingInteger(PLDictionaryGetKeyAtIndex(stored, i));
        if (number < 1) {
            continue;
        }
        float scalar = 1.0f;
        int32_t muted = 0;
        float storedScalar;
        int32_t storedMuted;
        // A non-finite scalar is as unusable as one that is not a number.
        if (PLNumberGetFloat32(PLArrayGetValueAtIndex(pair, 0), &storedScalar) &&
            std::isfinite(storedScalar)) {
            scalar = storedScalar;
        }
        if (PLNumberGetInt32(PLArrayGetValueAtIndex(pair, 1), &storedMuted)) {
            muted = storedMuted;
        }
        volumes_[static_cast<uint32_t>(number)] = {std::clamp(scalar, 0.0f, 1.0f), muted != 0};
    }
}

} // namespace tandrel::driver
