#include "TandrelApp/Mixer/ConnectionDetailModel.h"

#include <algorithm>
#include <cmath>

#include "TandrelApp/Mixer/VolumeControlModel.h"

namespace ConnectionDetailModel {

namespace {

std::string single(std::int64_t channel) {
    return "ch" + std::to_string(channel + 1);
}

std::string pair(std::int64_t channel) {
    return "ch" + std::to_string(channel + 1) + "-" + std::to_string(channel + 2);
}

// The even channels below `channels` - 1: the first channels of the source's complete pairs.
std::vector<std::int64_t> pairStarts(std::int64_t channels) {
    std::vector<std::int64_t> out;
    for (std::int64_t channel = 0; channel < channels - 1; channel += 2) {
        out.push_back(channel);
    }
    return out;
}

std::vector<std::int64_t> everyChannel(std::int64_t channels) {
    std::vector<std::int64_t> out;
    for (std::int64_t channel = 0; channel < channels; ++channel) {
        out.push_back(channel);
    }
    return out;
}

} // namespace

std::string modeName(MappingMode mode) {
    switch (mode) {
    case MappingMode::automatic:
        return "自動";
    case MappingMode::stereo:
        return "ステレオ";
    case MappingMode::swapped:
        return "左右反転";
    case MappingMode::dualMono:
        return "デュアルモノ";
    }
    return {};
}

std::vector<std::int64_t> sourceChoices(std::uint32_t channels, MappingMode mode) {
    const auto count = static_cast<std::int64_t>(channels);
    switch (mode) {
    case MappingMode::stereo:
    case MappingMode::swapped:
        return count <= 1 ? everyChannel(count) : pairStarts(count);
    case MappingMode::automatic:
        return count == 1 ? std::vector<std::int64_t>{0} : pairStarts(count);
    case MappingMode::dualMono:
        return everyChannel(count);
    }
    return {};
}

std::string sourceChoiceLabel(std::int64_t channel, std::uint32_t channels, MappingMode mode) {
    const auto count = static_cast<std::int64_t>(channels);
    switch (mode) {
    case MappingMode::stereo:
    case MappingMode::swapped:
        return channel + 1 < count ? pair(channel) : single(channel);
    case MappingMode::automatic:
        return count == 1 ? single(channel) : pair(channel);
    case MappingMode::dualMono:
        return single(channel);
    }
    return single(channel);
}

bool showsSourceChannelPicker(const Connection& connection, std::optional<std::uint32_t> sourceChannels) {
    if (connection.width != 2 || !sourceChannels) {
        return false;
    }
    return *sourceChannels > 2 || (*sourceChannels == 2 && connection.mode == MappingMode::dualMono);
}

MappingMode sourceChoiceMode(const Connection& connection) {
    return connection.routeMask ? MappingMode::stereo : connection.mode;
}

std::string gainText(float dB) {
    // The same text as a volume readout's.
    return VolumeControlModel::readoutText(dB, false);
}

float gainValue(double position) {
    const double steps = std::round((position - gainMinimum) / gainStep);
    return std::clamp(static_cast<float>(gainMinimum + steps * gainStep), gainMinimum, gainMaximum);
}

std::vector<MonoOption> monoOptions(std::optional<std::uint32_t> sourceChannels) {
    const std::uint32_t count = sourceChannels.value_or(2);
    std::vector<MonoOption> out;
    for (std::int64_t channel = 0; channel < std::max<std::int64_t>(count, 1); ++channel) {
        out.push_back({{channel, false}, channelName(channel, count)});
    }
    for (std::int64_t first : pairStarts(count)) {
        out.push_back({{first, true},
                       count == 2 ? std::string("L+R（モノラルにまとめる）")
                                  : "ch" + std::to_string(first + 1) + "+" + std::to_string(first + 2) +
                                        "（まとめる）"});
    }
    return out;
}

MonoChoice monoSelection(const Connection& connection, std::optional<std::uint32_t> sourceChannels) {
    const auto count = static_cast<std::int64_t>(sourceChannels.value_or(2));
    return {connection.sourceChannel, connection.monoMix && connection.sourceChannel + 1 < count};
}

std::string channelName(std::int64_t channel, std::uint32_t channels) {
    if (channels == 1) {
        return "モノラル";
    }
    if (channels == 2) {
        return channel == 0 ? "L（左）" : "R（右）";
    }
    return single(channel);
}

std::optional<RoutingConfig> choosingMonoSource(const RoutingConfig& config, const UUID& id,
                                                MonoChoice choice) {
    return edited(config, id, [choice](Connection& connection) {
        connection.sourceChannel = choice.channel;
        connection.monoMix = choice.mix;
    });
}

std::string monoLabel(const Connection& connection, std::uint32_t sourceChannels) {
    const std::int64_t channel = connection.sourceChannel;
    if (connection.monoMix && channel + 1 < static_cast<std::int64_t>(sourceChannels)) {
        return sourceChannels == 2 ? "L+R"
                                   : "ch" + std::to_string(channel + 1) + "+" + std::to_string(channel + 2);
    }
    return channelName(channel, sourceChannels);
}

std::optional<RoutingConfig> edited(const RoutingConfig& config, const UUID& id,
                                    const std::function<void(Connection&)>& change) {
    RoutingConfig next = config;
    auto found = std::ranges::find(next.connections, id, &Connection::id);
    if (found == next.connections.end()) {
        return std::nullopt;
    }
    change(*found);
    return next;
}

} // namespace ConnectionDetailModel
