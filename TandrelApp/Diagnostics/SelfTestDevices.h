// The devices the engine and routing self-tests look up: the driver's lines by their UID's ending and
// the system's default input device (the microphone of "--mic"). Both runners share them.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"

namespace SelfTestDevices {

// Seconds each audio-server call of a self-test may take before the test fails with the time-out.
inline constexpr double callTimeout = 5.0;

// The first line whose UID ends in `suffix` ("line1").
std::optional<AudioDeviceInfo> lineEndingIn(const std::vector<AudioDeviceInfo>& lines,
                                            std::string_view suffix);

// The system's default input device with its UID, name (the UID when unreadable), nominal rate (0 when
// unreadable) and channel counts; nothing when the default device or its UID cannot be read. Blocking:
// run it on the call queue.
std::optional<AudioDeviceInfo> defaultInput();

} // namespace SelfTestDevices
