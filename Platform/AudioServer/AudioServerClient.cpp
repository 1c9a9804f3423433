#include "Platform/AudioServer/AudioServerClient.h"

namespace {

// The calls that name a property: the server must run and the address must be given.
template <typename Call>
OSStatus withAddress(const AudioObjectPropertyAddress* address, Call call) {
    auto server = AudioServer::shared();
    if (!server) {
        return kAudioHardwareNotRunningError;
    }
    return address != nullptr ? call(*server, *address) : kAudio_ParamError;
}

} // namespace

bool AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    auto server = AudioServer::shared();
    return server && address != nullptr && server->hasProperty(object, *address);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       bool* outSettable) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.isPropertySettable(object, a, outSettable);
    });
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        uint32_t qualifierSize, const void* qualifier,
                                        uint32_t* outDataSize) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.getPropertyDataSize(object, a, qualifierSize, qualifier, outDataSize);
    });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                    void* outData) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.getPropertyData(object, a, qualifierSize, qualifier, ioDataSize, outData);
    });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                    const void* data) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.setPropertyData(object, a, qualifierSize, qualifier, dataSize, data);
    });
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::shared_ptr<DispatchQueue> queue,
                                        AudioObjectPropertyListener listener,
                                        AudioObjectPropertyListenerToken* outToken) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.addPropertyListener(object, a, std::move(queue), std::move(listener), outToken);
    });
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerToken token) {
    return withAddress(address, [&](AudioServer& server, const AudioObjectPropertyAddress& a) {
        return server.removePropertyListener(object, a, token);
    });
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
