#include "Platform/AudioServer/ProcessTap.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/ProcessObject.h"
#include "Platform/AudioServer/SimulatedDevice.h"

namespace {

std::string randomUUID() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    uint64_t high = engine(), low = engine();
    high = (high & ~0xF000ull) | 0x4000ull;           // version 4
    low = (low & ~(0xC0ull << 56)) | (0x80ull << 56); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32),
                  unsigned((high >> 16) & 0xFFFF), unsigned(high & 0xFFFF), unsigned(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

} // namespace

// ---- Descriptions ----

CATapDescription::CATapDescription(bool exclusive, std::vector<AudioObjectID> processes)
    : exclusive_(exclusive)
    , processes_(std::move(processes))
    , uuid_(randomUUID()) {}

CATapDescription CATapDescription::stereoMixdownOfProcesses(std::vector<AudioObjectID> processes) {
    return CATapDescription(false, std::move(processes));
}

CATapDescription CATapDescription::stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes) {
    return CATapDescription(true, std::move(processes));
}

// ---- The tap object ----

TapObject::TapObject(AudioServer& server, AudioObjectID id, CATapDescription description)
    : BuiltInObject(server, id, kAudioTapClassID, kAudioObjectClassID, kAudioObjectSystemObject)
    , description_(std::move(description)) {}

PropertyValue TapObject::read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
        return PropertyValue::string(description_.name());
    case kAudioTapPropertyUID:
        return PropertyValue::string(description_.uuid());
    case kAudioTapPropertyFormat:
        return PropertyValue::of(server_.tapFormatLocked());
    case kAudioTapPropertyDescription:
        // Written, not read, here: handing out a description would need an owner for the copy.
        return PropertyValue::error(kAudioHardwareUnsupportedOperationError);
    default:
        return BuiltInObject::read(address, qualifier);
    }
}

bool TapObject::settable(const AudioObjectPropertyAddress& address) const {
    return address.mSelector == kAudioTapPropertyDescription;
}

OSStatus TapObject::write(const AudioObjectPropertyAddress& address, Qualifier, PropertyData data,
                          PropertyChanges& changes) {
    const CATapDescription* given = nullptr;
    if (!readExactly(data, &given)) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (given == nullptr) {
        return kAudio_ParamError;
    }
    // The tap keeps its identity: aggregate devices hold it by UUID.
    std::string uuid = description_.uuid_;
    description_ = *given;
    description_.uuid_ = std::move(uuid);
    changes.push_back({objectID(), address});
    server_.refreshTapMixesLocked();
    return kAudioHardwareNoError;
}

// ---- The server's side ----

OSStatus AudioServer::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) {
    if (outTapID == nullptr) {
        return kAudio_ParamError;
    }
    *outTapID = kAudioObjectUnknown;
    {
        std::lock_guard lock(modelMutex_);
        if (!running_) {
            return kAudioHardwareNotRunningError;
        }
        if (tapDescriptionLocked(description.uuid()) != nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        AudioObjectID id = nextObjectIDLocked();
        objects_[id] = std::make_shared<TapObject>(*this, id, description);
        tapOrder_.push_back(id);
        refreshTapMixesLocked();
        *outTapID = id;
    }
    announce({{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyTapList)},
              {kAudioObjectSystemObject, globalScopeAddress(kAudioObjectPropertyOwnedObjects)}});
    return kAudioHardwareNoError;
}

OSStatus AudioServer::destroyProcessTap(AudioObjectID tap) {
    {
        std::lock_guard lock(modelMutex_);
        if (std::find(tapOrder_.begin(), tapOrder_.end(), tap) == tapOrder_.end()) {
            return kAudioHardwareBadObjectError;
        }
        objects_.erase(tap);
        std::erase(tapOrder_, tap);
        refreshTapMixesLocked();
    }
    announce({{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyTapList)},
              {kAudioObjectSystemObject, globalScopeAddress(kAudioObjectPropertyOwnedObjects)}});
    return kAudioHardwareNoError;
}

std::vector<AudioObjectID> AudioServer::tapList() const {
    std::lock_guard lock(modelMutex_);
    return tapOrder_;
}

AudioStreamBasicDescription AudioServer::tapFormatLocked() const {
    double rate = 48000;
    auto found = objects_.find(defaultSystemOutput_);
    if (found != objects_.end()) {
        if (auto device = std::dynamic_pointer_cast<SimulatedDevice>(found->second)) {
            rate = device->specLocked().sampleRate;
        }
    }
    return interleavedFloatFormat(rate, 2);
}

const CATapDescription* AudioServer::tapDescriptionLocked(const std::string& uuid) const {
    for (AudioObjectID id : tapOrder_) {
        const auto& description = std::static_pointer_cast<TapObject>(objects_.at(id))->descriptionLocked();
        if (description.uuid() == uuid) {
            return &description;
        }
    }
    return nullptr;
}

InputSignal AudioServer::tapMixLocked(const CATapDescription& description) const {
    const auto& listed = description.processes();
    std::vector<InputSignal::Tone> tones;
    for (AudioObjectID id : processOrder_) {
        const auto& process = *std::static_pointer_cast<ProcessObject>(objects_.at(id));
        const bool isListed = std::find(listed.begin(), listed.end(), id) != listed.end();
        if (process.specLocked().runningOutput && process.toneLocked().amplitude > 0 &&
            isListed != description.isExclusive()) {
            tones.push_back(process.toneLocked());
        }
    }
    return InputSignal::mix(std::move(tones));
}

void AudioServer::refreshTapMixesLocked() {
    for (const auto& [deviceID, tapUUID] : aggregateTaps_) {
        auto found = objects_.find(deviceID);
        auto device =
            found != objects_.end() ? std::dynamic_pointer_cast<SimulatedDevice>(found->second) : nullptr;
        if (!device) {
            continue;
        }
        const CATapDescription* tap = tapUUID.empty() ? nullptr : tapDescriptionLocked(tapUUID);
        InputSignal mix = tap != nullptr ? tapMixLocked(*tap) : InputSignal::silence();
        if (!(device->specLocked().inputSignal == mix)) {
            device->setInputSignalLocked(std::move(mix));
        }
    }
}

// ---- Client calls ----

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* description, AudioObjectID* outTapID) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    if (description == nullptr) {
        return kAudio_ParamError;
    }
    return server->createProcessTap(*description, outTapID);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) {
    auto server = AudioServer::shared();
    return server ? server->destroyProcessTap(tapID) : kAudioHardwareNotRunningError;
}
