#include "TandrelApp/Mixer/PairHeaderModel.h"

#include <algorithm>

#include "TandrelApp/Mixer/VolumeControlModel.h"
#include "TandrelApp/Routing/Volume.h"

namespace PairHeaderModel {

namespace {

float entry(const std::map<std::int64_t, float>& levels, std::int64_t key) {
    auto found = levels.find(key);
    return found == levels.end() ? 0.0f : found->second;
}

// A level as a volume readout writes it, without " dB": "-∞" for silence, else "%+.1f".
std::string level(float dB) {
    std::string text = VolumeControlModel::readoutText(dB, false);
    for (auto unit = text.find(" dB"); unit != std::string::npos; unit = text.find(" dB")) {
        text.erase(unit, 3);
    }
    return text;
}

bool isMuted(const Header& header, std::int64_t channel) {
    return header.volume.mutedChannels.contains(channel);
}

// Some channel of the column has a level of its own or is muted.
bool channelAdjusted(const Header& header) {
    return std::ranges::any_of(channels(header), [&header](std::int64_t channel) {
        return entry(header.volume.channelDB, channel) != 0.0f || isMuted(header, channel);
    });
}

// "1-2" for a pair, "3" for a lone last channel.
std::string pairNumbers(const Header& header) {
    const std::int64_t f = firstChannel(header);
    std::string text = std::to_string(f + 1);
    if (hasSecondChannel(header)) {
        text += "-" + std::to_string(f + 2);
    }
    return text;
}

} // namespace

Header Header::of(const RoutingConfig& config, const AudioDeviceInfo& device, MatrixColumn column) {
    return {device, column, config.volume(device.uid), !config.hiddenFaders.contains(device.uid)};
}

std::int64_t firstChannel(const Header& header) {
    return header.column.channel - header.column.channel % 2;
}

bool hasSecondChannel(const Header& header) {
    return firstChannel(header) + 1 < static_cast<std::int64_t>(header.device.outputChannels);
}

bool isSplit(const Header& header) {
    return header.column.width == 1;
}

std::vector<std::int64_t> channels(const Header& header) {
    if (isSplit(header)) {
        return {header.column.channel};
    }
    const std::int64_t f = firstChannel(header);
    if (hasSecondChannel(header)) {
        return {f, f + 1};
    }
    return {f};
}

float faderDB(const Header& header) {
    return isSplit(header) ? entry(header.volume.channelDB, header.column.channel) : pairLevel(header);
}

bool faderMuted(const Header& header) {
    if (isSplit(header)) {
        return isMuted(header, header.column.channel);
    }
    // Every channel of the pair that the device has; an empty range counts as muted.
    const std::int64_t f = firstChannel(header);
    const std::int64_t end = std::min<std::int64_t>(header.device.outputChannels, f + 2);
    for (std::int64_t channel = f; channel < end; ++channel) {
        if (!isMuted(header, channel)) {
            return false;
        }
    }
    return true;
}

float pairLevel(const Header& header) {
    return entry(header.volume.pairDB, firstChannel(header));
}

std::string pairLabel(const Header& header) {
    if (isSplit(header)) {
        const std::int64_t channel = header.column.channel;
        return std::to_string(channel + 1) + (channel % 2 == 0 ? "L" : "R");
    }
    return pairNumbers(header);
}

ColorRole labelColor(const Header& header) {
    return isSplit(header) ? ColorRole::accent : ColorRole::secondary;
}

Badge compactText(const Header& header) {
    if (faderMuted(header)) {
        return {"M", ColorRole::red};
    }
    const float dB = faderDB(header);
    return {level(dB), dB != 0.0f ? ColorRole::orange : ColorRole::secondary};
}

Badge volumeBadge(const Header& header, float pairDB) {
    const auto shown = channels(header);
    if (std::ranges::all_of(shown, [&header](std::int64_t channel) { return isMuted(header, channel); })) {
        return {"M", ColorRole::red, true};
    }
    const bool adjusted = channelAdjusted(header);
    if (!isSplit(header)) {
        if (pairDB == 0.0f) {
            return adjusted ? Badge{"L/R", ColorRole::orange} : Badge{" ", std::nullopt};
        }
        return {level(pairDB) + (adjusted ? "*" : ""),
                pairDB <= Volume::silenceDB ? ColorRole::red : ColorRole::orange};
    }
    const float channelDB = entry(header.volume.channelDB, header.column.channel);
    if (channelDB == 0.0f && pairDB == 0.0f) {
        return {" ", std::nullopt};
    }
    return {level(pairDB + channelDB), ColorRole::orange};
}

std::string tooltip(const Header& header) {
    return "ch" + pairLabel(header) + "（見出しをクリックで詳細・L/R の分割）";
}

std::string muteTooltip(const Header& header) {
    return faderMuted(header) ? "ミュートを解除" : "ミュート";
}

std::optional<std::string> splitTitle(const Header& header) {
    if (!hasSecondChannel(header)) {
        return std::nullopt;
    }
    return isSplit(header) ? "ステレオ（1列）に戻す" : "L / R に分ける";
}

bool splitRequest(const Header& header) {
    return !isSplit(header);
}

std::vector<MenuEntry> menu(const Header& header) {
    std::vector<MenuEntry> entries;
    if (auto title = splitTitle(header)) {
        entries.push_back({MenuEntry::Kind::split, *title});
    }
    entries.push_back(
        {MenuEntry::Kind::toggleFaders,
         header.device.name + (header.fadersShown ? " のフェーダーを隠す" : " のフェーダーを表示")});
    return entries;
}

std::string popoverTitle(const Header& header) {
    return header.device.name + "  ch" + pairNumbers(header);
}

std::string pairCaption(const Header& header) {
    return hasSecondChannel(header) ? "ペア" : "音量";
}

std::vector<ChannelRow> channelRows(const Header& header) {
    const std::int64_t f = firstChannel(header);
    const bool second = hasSecondChannel(header);
    std::vector<ChannelRow> rows;
    for (std::int64_t channel : channels(header)) {
        std::string label = "ch" + std::to_string(channel + 1);
        if (second) {
            label += channel == f ? " L" : " R";
        }
        rows.push_back(
            {channel, std::move(label), entry(header.volume.channelDB, channel), isMuted(header, channel)});
    }
    return rows;
}

std::optional<std::string> explanation(const Header& header) {
    if (!hasSecondChannel(header)) {
        return std::nullopt;
    }
    return isSplit(header) ? "1つの列に戻すと、同じ音源の L/R の接続はステレオ接続にまとまります。"
                           : "L と R を別々の列にして、チャンネルごとに接続できるようにします。";
}

} // namespace PairHeaderModel
