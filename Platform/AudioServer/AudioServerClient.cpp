#include "Platform/AudioServer/AudioServerClient.h"

bool AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    auto server = AudioServer::shared();
    return server && address != nullptr && server->hasProperty(object, *address);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       bool* outSettable) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr ? server->isPropertySettable(object, *address, outSettable) : kAudio_ParamError;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        uint32_t qualifierSize, const void* qualifier,
                                        uint32_t* outDataSize) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr
               ? server->getPropertyDataSize(object, *address, qualifierSize, qualifier, outDataSize)
               : kAudio_ParamError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                    void* outData) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr
               ? server->getPropertyData(object, *address, qualifierSize, qualifier, ioDataSize, outData)
               : kAudio_ParamError;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                    const void* data) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr
               ? server->setPropertyData(object, *address, qualifierSize, qualifier, dataSize, data)
               : kAudio_ParamError;
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::shared_ptr<DispatchQueue> queue,
                                        AudioObjectPropertyListener listener,
                                        AudioObjectPropertyListenerToken* outToken) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr ? server->addPropertyListener(object, *address, std::move(queue),
                                                            std::move(listener), outToken)
                              : kAudio_ParamError;
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerToken token) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr ? server->removePropertyListener(object, *address, token) : kAudio_ParamError;
}

OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outID, AudioObjectID device,
                                            std::shared_ptr<DispatchQueue> queue, AudioDeviceIOBlock block) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return server->createIOProc(device, std::move(queue), std::move(block), outID);
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    auto server = AudioServer::shared();
    return server ? server->destroyIOProc(device, procID) : kAudioHardwareNotRunningError;
}

OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    auto server = AudioServer::shared();
    return server ? server->startIOProc(device, procID) : kAudioHardwareNotRunningError;
}

OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    auto server = AudioServer::shared();
    return server ? server->stopIOProc(device, procID) : kAudioHardwareNotRunningError;
}
