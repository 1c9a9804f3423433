// The client calls of the audio server, as free functions on the shared emulated server
// (AudioServer::shared()). Every call blocks and may be made from any thread but a real-time one; with
// no server running they fail with kAudioHardwareNotRunningError (false for AudioObjectHasProperty).
#pragma once

#include <memory>

#include "Platform/AudioServer/AudioServer.h"

bool AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress* address);
OSStatus AudioObjectIsPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       bool* outSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        uint32_t qualifierSize, const void* qualifier, uint32_t* outDataSize);
// `ioDataSize` holds the buffer's capacity on entry and the bytes written on return. A reference-valued
// property gives the caller a reference it must release.
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                    void* outData);
// The server copies what it keeps; the caller still owns any reference it passed.
OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                    const void* data);
// The listener runs on `queue`, asynchronously, after each change; keep the token to remove it.
OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::shared_ptr<DispatchQueue> queue,
                                        AudioObjectPropertyListener listener,
                                        AudioObjectPropertyListenerToken* outToken);
// Once this returns, the listener is never called again (a call already running elsewhere finishes).
OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerToken token);
