#include "TandrelApp/Diagnostics/SelfTestDevices.h"

#include <algorithm>

#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"

namespace SelfTestDevices {

std::optional<AudioDeviceInfo> lineEndingIn(const std::vector<AudioDeviceInfo>& lines,
                                            std::string_view suffix) {
    auto found = std::find_if(lines.begin(), lines.end(),
                              [suffix](const AudioDeviceInfo& line) { return line.uid.ends_with(suffix); });
    return found != lines.end() ? std::optional(*found) : std::nullopt;
}

std::optional<AudioDeviceInfo> defaultInput() {
    try {
        const auto id = CoreAudioProperty::read<AudioObjectID>(
            kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, kAudioObjectUnknown);
        if (id == kAudioObjectUnknown) {
            return std::nullopt;
        }
        return AudioDeviceCatalog::device(id);
    } catch (const CoreAudioError&) {
        return std::nullopt;
    }
}

} // namespace SelfTestDevices
