// Typed reads of audio-server object properties that fail with CoreAudioError naming the property by its
// four-character code. Blocking: callers run them on the call queue (CoreAudioCall).
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/FourCC.h"

namespace CoreAudioProperty {

// A string property (global scope, main element); status 0 in the error when the server gave no string.
std::string readString(AudioObjectID object, AudioObjectPropertySelector selector);

// An array of object ids (global scope, main element).
std::vector<AudioObjectID> readArray(AudioObjectID object, AudioObjectPropertySelector selector);

// One fixed-size value: double, uint32_t, AudioValueRange or AudioStreamBasicDescription. `initial` fills it
// before the call; the value comes back as the server left it, whatever size it reports.
template <typename T>
T read(AudioObjectID object, AudioObjectPropertySelector selector, T initial,
       AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    static_assert(std::is_trivially_copyable_v<T>);
    AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    T value = initial;
    uint32_t size = sizeof(T);
    OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus("プロパティ取得 '" + fourCC(selector) + "'", status);
    }
    return value;
}

} // namespace CoreAudioProperty
