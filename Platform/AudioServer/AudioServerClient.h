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

// ---- Device IO ----

// AudioDeviceIOProcID and AudioDeviceIOBlock are declared in DeviceIO.h. An unknown object answers
// '!obj', an object that is no device '!dev', an unknown or destroyed proc 'nope'. Start, stop and
// destroy may be called from inside a block (without deadlock); creating a proc there is refused.

// Installs a callback on a device (several per device are allowed). With a null `queue` the block runs
// on the real-time IO thread; with a queue each cycle is copied and posted to it.
OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outID, AudioObjectID device,
                                            std::shared_ptr<DispatchQueue> queue, AudioDeviceIOBlock block);
// Removes a callback, stopping it first. Once this returns, the block never runs again.
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID);
// Starts a callback; the device runs while any of its callbacks is started.
OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID);
// Stops a callback. Once this returns, the block is not running and never runs again until restarted.
OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID);
