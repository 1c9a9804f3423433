// One audio device as the application lists it: id, UID, name, channel counts and nominal rate, read
// together by AudioDeviceCatalog. The routing controller compares and hashes these records to notice
// device changes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "TandrelApp/Support/HashCombine.h"

struct AudioDeviceInfo {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uid;
    std::string name;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    double sampleRate = 0;

    bool operator==(const AudioDeviceInfo&) const = default;
};

template <>
struct std::hash<AudioDeviceInfo> {
    size_t operator()(const AudioDeviceInfo& d) const noexcept {
        size_t h = std::hash<uint32_t>{}(d.id);
        hashCombine(h, std::hash<std::string>{}(d.uid));
        hashCombine(h, std::hash<std::string>{}(d.name));
        hashCombine(h, std::hash<uint32_t>{}(d.inputChannels));
        hashCombine(h, std::hash<uint32_t>{}(d.outputChannels));
        hashCombine(h, std::hash<double>{}(d.sampleRate == 0 ? 0.0 : d.sampleRate)); // -0 hashes like 0
        return h;
    }
};
