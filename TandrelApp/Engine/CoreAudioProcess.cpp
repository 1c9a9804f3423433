#include "TandrelApp/Engine/CoreAudioProcess.h"

#include "TandrelApp/Engine/CoreAudioProperty.h"

std::vector<CoreAudioProcess> CoreAudioProcess::all() {
    std::vector<AudioObjectID> ids;
    try {
        ids = CoreAudioProperty::readArray(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    } catch (const CoreAudioError&) {
        return {};
    }
    std::vector<CoreAudioProcess> processes;
    for (AudioObjectID id : ids) {
        CoreAudioProcess process;
        process.objectID = id;
        AudioObjectPropertyAddress address{kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
        uint32_t size = sizeof process.pid;
        if (AudioObjectGetPropertyData(id, &address, 0, nullptr, &size, &process.pid) !=
            kAudioHardwareNoError) {
            continue;
        }
        try {
            process.bundleID = CoreAudioProperty::readString(id, kAudioProcessPropertyBundleID);
        } catch (const CoreAudioError&) {
            process.bundleID.clear();
        }
        processes.push_back(std::move(process));
    }
    return processes;
}

std::optional<AudioObjectID> CoreAudioProcess::objectIDForPID(int32_t pid) {
    AudioObjectPropertyAddress address{kAudioHardwarePropertyTranslatePIDToProcessObject,
                                       kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    AudioObjectID object = kAudioObjectUnknown;
    uint32_t size = sizeof object;
    OSStatus status =
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof pid, &pid, &size, &object);
    if (status != kAudioHardwareNoError || object == kAudioObjectUnknown) {
        return std::nullopt;
    }
    return object;
}
