#include "TandrelApp/Shell/MenuBarContentModel.h"

#include <algorithm>

namespace MenuBarContentModel {

std::string summary(const std::unordered_map<UUID, RoutingController::SourceStatus>& statuses,
                    const std::vector<Connection>& connections) {
    const auto running = std::ranges::count_if(statuses, [](const auto& entry) {
        return std::holds_alternative<RoutingController::SourceStatus::Running>(entry.second.value);
    });
    const auto active = std::ranges::count_if(connections, [](const Connection& c) { return !c.isMuted; });
    return "稼働中の音源 " + std::to_string(running) + " · 有効な接続 " + std::to_string(active);
}

std::string statusText(const std::optional<RoutingController::SourceStatus>& status) {
    using Status = RoutingController::SourceStatus;
    if (!status) {
        return "待機中";
    }
    return std::visit(
        [](const auto& value) -> std::string {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, Status::Running>) {
                return {};
            } else if constexpr (std::is_same_v<Case, Status::Waiting>) {
                return value.text;
            } else if constexpr (std::is_same_v<Case, Status::Failed>) {
                return "エラー";
            } else if constexpr (std::is_same_v<Case, Status::Standby>) {
                return "未使用";
            } else {
                return "待機中";
            }
        },
        status->value);
}

std::vector<AudioDeviceInfo> monitors(const std::vector<AudioDeviceInfo>& outputDevices,
                                      const std::vector<std::string>& monitorDeviceUIDs) {
    std::vector<AudioDeviceInfo> out;
    for (const auto& device : outputDevices) {
        if (std::ranges::find(monitorDeviceUIDs, device.uid) != monitorDeviceUIDs.end()) {
            out.push_back(device);
        }
    }
    return out;
}

std::string rowKey(const SourceConfig& source) {
    return source.id.uuidString();
}

std::string rowKey(const AudioDeviceInfo& device) {
    return device.uid;
}

bool isAdjusted(const SourceConfig& source) {
    return !source.channelDB.empty() || !source.mutedChannels.empty();
}

bool isAdjusted(const DeviceVolume& volume) {
    return !volume.pairDB.empty() || !volume.channelDB.empty() || !volume.mutedChannels.empty();
}

Glyph unfoldGlyph(bool expanded, bool adjusted) {
    return {expanded ? "chevron.down" : "chevron.right", adjusted ? ColorRole::orange : ColorRole::accent};
}

std::vector<int> sourceChannels(std::optional<std::uint32_t> runningChannelCount) {
    const int count = runningChannelCount ? static_cast<int>(*runningChannelCount) : 2;
    std::vector<int> channels;
    for (int channel = 0; channel < count; ++channel) {
        channels.push_back(channel);
    }
    return channels;
}

std::string sourceChannelLabel(int channel, int channelCount) {
    if (channelCount == 2) {
        return channel == 0 ? "L" : "R";
    }
    if (channelCount == 1) {
        return "モノ";
    }
    return "ch" + std::to_string(channel + 1);
}

std::string sourceSymbol(const SourceKind& kind) {
    if (std::holds_alternative<SourceKind::InputDevice>(kind.value)) {
        return "mic";
    }
    if (std::holds_alternative<SourceKind::SystemAudio>(kind.value)) {
        return "macwindow.on.rectangle";
    }
    return "app";
}

std::string channelCountText(std::uint32_t outputChannels) {
    return std::to_string(outputChannels) + "ch";
}

int meterChannels(std::uint32_t outputChannels) {
    return outputChannels < 2 ? 1 : 2;
}

std::vector<int> pairs(std::uint32_t outputChannels) {
    std::vector<int> out;
    for (std::uint32_t first = 0; first < outputChannels; first += 2) {
        out.push_back(static_cast<int>(first));
    }
    return out;
}

std::string pairLabel(int pair, std::uint32_t outputChannels) {
    if (static_cast<std::uint32_t>(pair + 1) < outputChannels) {
        return "ch" + std::to_string(pair + 1) + "-" + std::to_string(pair + 2);
    }
    return "ch" + std::to_string(pair + 1);
}

std::vector<int> pairChannels(int pair, std::uint32_t outputChannels) {
    if (static_cast<std::uint32_t>(pair + 1) < outputChannels) {
        return {pair, pair + 1};
    }
    return {pair};
}

std::string pairChannelLabel(int channel, int pair, std::uint32_t outputChannels) {
    const std::string label = "ch" + std::to_string(channel + 1);
    if (pairChannels(pair, outputChannels).size() < 2) {
        return label;
    }
    return label + (channel == pair ? " L" : " R");
}

double scrollHeight(double contentHeight) {
    return std::clamp(contentHeight, minimumScrollHeight, maximumScrollHeight);
}

} // namespace MenuBarContentModel
