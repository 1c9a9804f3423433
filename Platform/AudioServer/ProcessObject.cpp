#include "Platform/AudioServer/ProcessObject.h"

ProcessObject::ProcessObject(AudioServer& server, AudioObjectID id, ProcessSpec record)
    : BuiltInObject(server, id, kAudioProcessClassID, kAudioObjectClassID, kAudioObjectSystemObject)
    , spec_(std::move(record)) {}

bool ProcessObject::setRunningOutputLocked(bool running) {
    if (spec_.runningOutput == running) {
        return false;
    }
    spec_.runningOutput = running;
    return true;
}

PropertyValue ProcessObject::read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    switch (address.mSelector) {
    case kAudioProcessPropertyPID:
        return PropertyValue::of(spec_.pid);
    case kAudioProcessPropertyBundleID:
        return PropertyValue::string(spec_.bundleID);
    case kAudioProcessPropertyIsRunningOutput:
        return PropertyValue::of(uint32_t{spec_.runningOutput ? 1u : 0u});
    default:
        return BuiltInObject::read(address, qualifier);
    }
}
