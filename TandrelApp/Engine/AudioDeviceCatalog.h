// The application's view of the audio devices: every device as an AudioDeviceInfo in the server's
// order, lookup by UID, the driver's lines, channel counts and buffer sizes. Nothing is cached and
// nothing throws; blocking, so callers run it on the call queue (CoreAudioCall).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"

namespace AudioDeviceCatalog {

// Every device of the system object, in the server's order; devices without a readable UID are left
// out, an unreadable name becomes the UID and an unreadable rate 0.
std::vector<AudioDeviceInfo> all();

// The device with this id as all() would list it; nothing when its UID cannot be read.
std::optional<AudioDeviceInfo> device(AudioObjectID id);

// The first device of all() with this UID.
std::optional<AudioDeviceInfo> device(const std::string& uid);

// The driver's line devices, ordered by UID as file names are (digit runs by value, case ignored).
std::vector<AudioDeviceInfo> tandrelLines();

// Channels of the device in scope 'inpt' or 'outp', summed over its streams; 0 on any failure.
uint32_t channelCount(AudioObjectID device, AudioObjectPropertyScope scope);

// Sets the IO buffer size, clamped to the device's allowed range, and returns the size in force.
uint32_t setBufferFrameSize(AudioObjectID device, uint32_t frames);

// The file-name order: negative, zero or positive as a sorts before, with or after b.
int compareNaturally(std::string_view a, std::string_view b);

} // namespace AudioDeviceCatalog
