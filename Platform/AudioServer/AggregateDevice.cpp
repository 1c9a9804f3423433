#include "Platform/AudioServer/AggregateDevice.h"

#include <cstring>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/SimulatedDevice.h"

namespace {

// A text entry: absent gives `fallback`, a value of another type gives nothing.
std::optional<std::string> text(PLRef dictionary, const char* key, std::string fallback = {}) {
    PLRef value = PLDictionaryGetValue(dictionary, key);
    if (value == nullptr) {
        return fallback;
    }
    if (PLGetType(value) != PLTypeString) {
        return std::nullopt;
    }
    return std::string(PLStringGetUTF8(value), PLStringGetLength(value));
}

// The "uid" of each dictionary of a list entry; nothing when the entry is malformed.
std::optional<std::vector<std::string>> uidsOf(PLRef dictionary, const char* listKey, const char* uidKey) {
    std::vector<std::string> uids;
    PLRef list = PLDictionaryGetValue(dictionary, listKey);
    if (list == nullptr) {
        return uids;
    }
    if (PLGetType(list) != PLTypeArray) {
        return std::nullopt;
    }
    for (size_t i = 0; i < PLArrayGetCount(list); ++i) {
        PLRef entry = PLArrayGetValueAtIndex(list, i);
        auto uid = PLGetType(entry) == PLTypeDictionary ? text(entry, uidKey) : std::nullopt;
        if (!uid || uid->empty()) {
            return std::nullopt;
        }
        uids.push_back(*uid);
    }
    return uids;
}

} // namespace

OSStatus AudioServer::createAggregateDevice(PLRef description, AudioObjectID* outDeviceID) {
    if (outDeviceID == nullptr) {
        return kAudio_ParamError;
    }
    *outDeviceID = kAudioObjectUnknown;
    if (PLGetType(description) != PLTypeDictionary) {
        return kAudio_ParamError;
    }
    auto uid = text(description, kAudioAggregateDeviceUIDKey);
    auto name = text(description, kAudioAggregateDeviceNameKey);
    auto mainUID = text(description, kAudioAggregateDeviceMainSubDeviceKey);
    auto subdevices = uidsOf(description, kAudioAggregateDeviceSubDeviceListKey, kAudioSubDeviceUIDKey);
    auto taps = uidsOf(description, kAudioAggregateDeviceTapListKey, kAudioSubTapUIDKey);
    // One tap per aggregate: its mix is the aggregate's only input stream.
    if (!uid || uid->empty() || !name || !mainUID || !subdevices || !taps || taps->size() > 1) {
        return kAudio_ParamError;
    }
    if (mainUID->empty() && !subdevices->empty()) {
        mainUID = subdevices->front();
    }

    AudioObjectID id;
    {
        std::lock_guard lock(modelMutex_);
        if (!running_) {
            return kAudioHardwareNotRunningError;
        }
        if (aggregateFailure_ != kAudioHardwareNoError) {
            return aggregateFailure_;
        }
        for (const auto& sub : *subdevices) {
            if (!deviceLocked(sub)) {
                return kAudioHardwareBadDeviceError;
            }
        }
        DeviceSpec record;
        record.uid = *uid;
        record.name = name->empty() ? *uid : *name;
        if (!mainUID->empty()) {
            auto main = deviceLocked(*mainUID);
            if (!main) {
                return kAudioHardwareBadDeviceError;
            }
            const DeviceSpec& clock = main->specLocked();
            record.sampleRate = clock.sampleRate;
            record.bufferFrameSize = clock.bufferFrameSize;
            record.bufferFrameSizeMinimum = clock.bufferFrameSizeMinimum;
            record.bufferFrameSizeMaximum = clock.bufferFrameSizeMaximum;
            record.clockDriftPpm = clock.clockDriftPpm;
        }
        std::string tapUUID = taps->empty() ? std::string() : taps->front();
        if (!tapUUID.empty()) {
            if (tapDescriptionLocked(tapUUID) == nullptr) {
                return kAudioHardwareBadObjectError;
            }
            record.inputStreams = {2};
        }
        try {
            id = addDeviceLocked(std::move(record));
        } catch (const HardwareProfileError&) {
            return kAudioHardwareIllegalOperationError; // the UID is taken
        }
        aggregateTaps_[id] = tapUUID;
        refreshTapMixesLocked();
    }
    announce({{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyDevices)},
              {kAudioObjectSystemObject, globalScopeAddress(kAudioObjectPropertyOwnedObjects)}});
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus AudioServer::destroyAggregateDevice(AudioObjectID device) {
    std::string uid;
    {
        std::lock_guard lock(modelMutex_);
        auto found = objects_.find(device);
        if (found == objects_.end()) {
            return kAudioHardwareBadObjectError;
        }
        if (!aggregateTaps_.erase(device)) {
            return kAudioHardwareBadDeviceError;
        }
        uid = std::static_pointer_cast<SimulatedDevice>(found->second)->specLocked().uid;
    }
    removeDevice(uid);
    return kAudioHardwareNoError;
}

void AudioServer::failAggregateCreation(OSStatus status) {
    std::lock_guard lock(modelMutex_);
    aggregateFailure_ = status;
}

std::vector<AudioObjectID> AudioServer::aggregateDeviceList() const {
    std::lock_guard lock(modelMutex_);
    std::vector<AudioObjectID> ids;
    for (AudioObjectID id : deviceOrder_) {
        if (aggregateTaps_.count(id)) {
            ids.push_back(id);
        }
    }
    return ids;
}

OSStatus AudioHardwareCreateAggregateDevice(PLRef description, AudioObjectID* outDeviceID) {
    auto server = AudioServer::shared();
    return server ? server->createAggregateDevice(description, outDeviceID) : kAudioHardwareNotRunningError;
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) {
    auto server = AudioServer::shared();
    return server ? server->destroyAggregateDevice(deviceID) : kAudioHardwareNotRunningError;
}
