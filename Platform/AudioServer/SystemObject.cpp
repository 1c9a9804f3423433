#include "Platform/AudioServer/SystemObject.h"

#include "Platform/AudioServer/AudioServer.h"

namespace {

bool isDefaultDeviceSelector(AudioObjectPropertySelector s) {
    return s == kAudioHardwarePropertyDefaultInputDevice || s == kAudioHardwarePropertyDefaultOutputDevice ||
           s == kAudioHardwarePropertyDefaultSystemOutputDevice;
}

// A qualifier that carries one string reference; null when it does not.
PLRef stringQualifier(Qualifier qualifier) {
    PLRef ref = nullptr;
    if (!readExactly(qualifier, &ref) || PLGetType(ref) != PLTypeString) {
        return nullptr;
    }
    return ref;
}

} // namespace

SystemObject::SystemObject(AudioServer& server)
    : BuiltInObject(server, kAudioObjectSystemObject, kAudioSystemObjectClassID, kAudioObjectClassID,
                    kAudioObjectUnknown) {}

std::vector<AudioObjectID> SystemObject::ownedObjects() const {
    std::vector<AudioObjectID> owned = server_.plugInListLocked();
    const auto& devices = server_.deviceListLocked();
    const auto& processes = server_.processListLocked();
    owned.insert(owned.end(), devices.begin(), devices.end());
    owned.insert(owned.end(), processes.begin(), processes.end());
    const auto& taps = server_.tapListLocked();
    owned.insert(owned.end(), taps.begin(), taps.end());
    return owned;
}

PropertyValue SystemObject::read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
        return PropertyValue::string("Tandrel Audio Server");
    case kAudioHardwarePropertyDevices:
        return PropertyValue::array(server_.deviceListLocked());
    case kAudioHardwarePropertyProcessObjectList:
        return PropertyValue::array(server_.processListLocked());
    case kAudioHardwarePropertyTapList:
        return PropertyValue::array(server_.tapListLocked());
    case kAudioHardwarePropertyPlugInList:
        return PropertyValue::array(server_.plugInListLocked());
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
        return PropertyValue::of(server_.defaultDeviceLocked(address.mSelector));
    case kAudioHardwarePropertyTranslatePIDToProcessObject: {
        int32_t pid = 0;
        if (!readExactly(qualifier, &pid)) {
            return PropertyValue::error(kAudioHardwareBadPropertySizeError);
        }
        return PropertyValue::of(server_.processForPIDLocked(pid));
    }
    case kAudioHardwarePropertyTranslateBundleIDToPlugIn:
    case kAudioHardwarePropertyTranslateUIDToDevice: {
        PLRef text = stringQualifier(qualifier);
        if (text == nullptr) {
            return PropertyValue::error(
                qualifier.size() == sizeof(PLRef) ? kAudio_ParamError : kAudioHardwareBadPropertySizeError);
        }
        AudioObjectID found = address.mSelector == kAudioHardwarePropertyTranslateUIDToDevice
                                  ? server_.deviceForUIDLocked(PLStringGetUTF8(text))
                                  : server_.plugInForBundleIDLocked(PLStringGetUTF8(text));
        return PropertyValue::of(found);
    }
    default:
        return BuiltInObject::read(address, qualifier);
    }
}

bool SystemObject::settable(const AudioObjectPropertyAddress& address) const {
    return isDefaultDeviceSelector(address.mSelector);
}

OSStatus SystemObject::write(const AudioObjectPropertyAddress& address, Qualifier, PropertyData data,
                             PropertyChanges& changes) {
    AudioObjectID device = kAudioObjectUnknown;
    if (!readExactly(data, &device)) {
        return kAudioHardwareBadPropertySizeError;
    }
    return server_.setDefaultDeviceLocked(address.mSelector, device, changes);
}
