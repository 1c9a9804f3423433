// The audio server's process objects as the application lists them: object, process id and bundle id.
// Used by the application audio monitor and the process tap source; blocking, so run on the call queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioServer/CoreAudioTypes.h"

struct CoreAudioProcess {
    AudioObjectID objectID = kAudioObjectUnknown;
    int32_t pid = 0;
    std::string bundleID;

    bool operator==(const CoreAudioProcess&) const = default;

    // Every process object in the server's order; objects without a readable pid are left out, an
    // unreadable bundle id is empty. Never throws.
    static std::vector<CoreAudioProcess> all();
    // The process object of a process id, or nothing when the server does not know it.
    static std::optional<AudioObjectID> objectIDForPID(int32_t pid);
};
