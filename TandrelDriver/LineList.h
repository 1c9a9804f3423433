// The line list as clients write it through 'lnes': its check, and the record of what applying one
// changed. Used by the plug-in object's line management.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "Platform/AudioServer/PropertyList/PropertyList.h"

namespace tandrel::driver {

class TandrelDevice;

struct LineConfig {
    int32_t number = 0;   // 1 to 99
    int32_t channels = 0; // even, 2 to 64
    // Borrowed from the list it was parsed from; null when the entry has no string "name".
    PLRef name = nullptr;
};

struct LineChanges {
    bool listChanged = false;
    std::vector<uint32_t> nameChanges; // device object ids
    std::vector<std::pair<TandrelDevice*, uint32_t>> channelChanges;
};

inline constexpr size_t kMaxLines = 16;

// The key's value as a signed 32-bit number; 0 when missing, not a number, or not positive.
int32_t dictUInt(PLRef dictionary, const char* key);

// Accepts an array of 1 to 16 dictionaries with distinct "number" 1 to 99, even "channels" 2 to 64 and an
// optional string "name". On false, out holds nothing meaningful.
bool parseLines(PLRef list, std::vector<LineConfig>& out);

} // namespace tandrel::driver
