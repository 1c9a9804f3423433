#include "Platform/AudioServer/AudioObject.h"

#include <algorithm>
#include <mutex>

#include "Platform/AudioServer/AudioServer.h"

OSStatus PropertyValue::copyOut(uint32_t* ioDataSize, void* outData) const {
    if (ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    if (status_ != kAudioHardwareNoError) {
        *ioDataSize = 0;
        return status_;
    }
    uint32_t capacity = *ioDataSize;
    uint32_t size = this->size();
    if (elementSize_ != 0) {
        size = std::min(capacity / elementSize_, size / elementSize_) * elementSize_;
    } else if (capacity < size) {
        *ioDataSize = 0;
        return kAudioHardwareBadPropertySizeError;
    }
    if (size != 0 && outData == nullptr) {
        return kAudio_ParamError;
    }
    if (size != 0) {
        std::memcpy(outData, bytes_.data(), size);
    }
    *ioDataSize = size;
    PLRetain(reference_); // the client's own reference
    return kAudioHardwareNoError;
}

PropertyValue BuiltInObject::read(const AudioObjectPropertyAddress& address, Qualifier) const {
    switch (address.mSelector) {
    case kAudioObjectPropertyClass:
        return PropertyValue::of(classID());
    case kAudioObjectPropertyBaseClass:
        return PropertyValue::of(baseClassID());
    case kAudioObjectPropertyOwner:
        return PropertyValue::of(owner());
    case kAudioObjectPropertyOwnedObjects:
        return PropertyValue::array(ownedObjects());
    default:
        return PropertyValue::error(kAudioHardwareUnknownPropertyError);
    }
}

PropertyValue BuiltInObject::readLocked(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                        const void* qualifier) const {
    Qualifier q;
    if (qualifier != nullptr && qualifierSize != 0) {
        q = Qualifier(static_cast<const std::byte*>(qualifier), qualifierSize);
    }
    std::lock_guard lock(server_.modelMutex());
    return read(address, q);
}

bool BuiltInObject::hasProperty(const AudioObjectPropertyAddress& address) const {
    return readLocked(address, 0, nullptr).status() != kAudioHardwareUnknownPropertyError;
}

OSStatus BuiltInObject::isPropertySettable(const AudioObjectPropertyAddress& address,
                                           bool* outSettable) const {
    if (outSettable == nullptr) {
        return kAudio_ParamError;
    }
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    std::lock_guard lock(server_.modelMutex());
    *outSettable = settable(address);
    return kAudioHardwareNoError;
}

OSStatus BuiltInObject::getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                            const void* qualifier, uint32_t* outDataSize) const {
    if (outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    PropertyValue value = readLocked(address, qualifierSize, qualifier);
    if (value.status() != kAudioHardwareNoError) {
        return value.status();
    }
    *outDataSize = value.size();
    return kAudioHardwareNoError;
}

OSStatus BuiltInObject::getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                        const void* qualifier, uint32_t* ioDataSize, void* outData) const {
    return readLocked(address, qualifierSize, qualifier).copyOut(ioDataSize, outData);
}

OSStatus BuiltInObject::setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                        const void* qualifier, uint32_t dataSize, const void* data) {
    if (data == nullptr && dataSize != 0) {
        return kAudio_ParamError;
    }
    Qualifier q;
    if (qualifier != nullptr && qualifierSize != 0) {
        q = Qualifier(static_cast<const std::byte*>(qualifier), qualifierSize);
    }
    PropertyData d;
    if (dataSize != 0) {
        d = PropertyData(static_cast<const std::byte*>(data), dataSize);
    }
    PropertyChanges changes;
    OSStatus status;
    {
        std::lock_guard lock(server_.modelMutex());
        if (read(address, q).status() == kAudioHardwareUnknownPropertyError) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (!settable(address)) {
            return kAudioHardwareIllegalOperationError;
        }
        status = write(address, q, d, changes);
    }
    server_.announce(changes);
    return status;
}
