// Reading properties of the emulated audio server's objects through its client interface: addresses,
// lists of object ids, and a device's channel count per scope.
#pragma once

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/AudioServer/AudioServerClient.h"

namespace PropertyReads {

inline AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                                     AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                     AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return {selector, scope, element};
}

// The object ids a list property holds.
inline std::vector<AudioObjectID> readIDs(AudioObjectID object, AudioObjectPropertyAddress address) {
    uint32_t size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size), 0);
    std::vector<AudioObjectID> ids(size / 4);
    EXPECT_EQ(AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, ids.data()), 0);
    ids.resize(size / 4);
    return ids;
}

// The channels of all the device's streams in the scope, from its stream configuration.
inline uint32_t channels(AudioObjectID device, AudioObjectPropertyScope scope) {
    auto address = at(kAudioDevicePropertyStreamConfiguration, scope);
    uint32_t size = 0;
    const OSStatus sized = AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size);
    EXPECT_EQ(sized, 0);
    if (sized != 0) {
        return 0;
    }
    std::vector<std::byte> bytes(size);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, bytes.data()), 0);
    const auto* list = reinterpret_cast<const AudioBufferList*>(bytes.data());
    uint32_t n = 0;
    for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
        n += list->mBuffers[b].mNumberChannels;
    }
    return n;
}

} // namespace PropertyReads
