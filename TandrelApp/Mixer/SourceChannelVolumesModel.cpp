#include "TandrelApp/Mixer/SourceChannelVolumesModel.h"

namespace SourceChannelVolumesModel {

std::vector<int> channels(std::optional<std::uint32_t> channelCount) {
    std::vector<int> out;
    for (std::uint32_t channel = 0; channel < channelCount.value_or(2); ++channel) {
        out.push_back(static_cast<int>(channel));
    }
    return out;
}

std::string label(int channel, std::size_t channelCount) {
    if (channelCount == 2) {
        return channel == 0 ? "L" : "R";
    }
    if (channelCount == 1) {
        return "モノ";
    }
    return "ch" + std::to_string(channel + 1);
}

std::string title(const std::string& sourceName) {
    return sourceName + " のチャンネルごとの音量";
}

} // namespace SourceChannelVolumesModel
