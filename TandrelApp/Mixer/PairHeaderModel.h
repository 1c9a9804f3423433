// What the header of one matrix column shows, without a widget: the column's channels and label, its
// fader level and mute, the compact level text or the volume badge, the tooltips, the context menu and
// the detail popover's rows. A column is a stereo pair or one channel of a split pair; f is always the
// first channel of the pair it belongs to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace PairHeaderModel {

// A column of a device as the header reads it at one refresh.
struct Header {
    AudioDeviceInfo device{};
    MatrixColumn column{};
    DeviceVolume volume{};
    bool fadersShown = true;

    static Header of(const RoutingConfig& config, const AudioDeviceInfo& device, MatrixColumn column);
};

// The first (even) channel of the column's pair, and whether the pair has a second channel.
std::int64_t firstChannel(const Header& header);
bool hasSecondChannel(const Header& header);
bool isSplit(const Header& header);
// The device channels the column shows: the pair's one or two, or the split column's own.
std::vector<std::int64_t> channels(const Header& header);

// The fader: the pair's level for a stereo column, the channel's for a split one.
float faderDB(const Header& header);
bool faderMuted(const Header& header);
// The pair's own level (0 without an entry), which the popover's pair row edits.
float pairLevel(const Header& header);

// "1-2", "3" (a lone last channel), "1L" or "2R"; secondary for a pair, accent for a split column.
std::string pairLabel(const Header& header);
ColorRole labelColor(const Header& header);

// A short level text under the label: its text, its colour (none: the label's) and weight.
struct Badge {
    std::string text{};
    std::optional<ColorRole> color{};
    bool bold = false;
    bool operator==(const Badge&) const = default;
};
// Under a shown fader: "M" while muted, else the fader's level without " dB".
Badge compactText(const Header& header);
// In place of a hidden fader: mute, the pair level (with "*" for channel adjustments), "L/R" for
// channel adjustments alone, or a space.
Badge volumeBadge(const Header& header, float pairDB);

std::string tooltip(const Header& header);
std::string muteTooltip(const Header& header);

// "L / R に分ける" or "ステレオ（1列）に戻す"; none for a lone last channel.
std::optional<std::string> splitTitle(const Header& header);
// What pressing the split button asks for: split (true) or join.
bool splitRequest(const Header& header);

struct MenuEntry {
    enum class Kind { split, toggleFaders };
    Kind kind;
    std::string title{};
    bool operator==(const MenuEntry&) const = default;
};
std::vector<MenuEntry> menu(const Header& header);

// The detail popover.
std::string popoverTitle(const Header& header);
// "ペア", or "音量" for a lone last channel.
std::string pairCaption(const Header& header);
struct ChannelRow {
    std::int64_t channel = 0;
    std::string label{}; // "ch1 L", "ch2 R", or "ch3" for a lone channel
    float dB = 0.0f;
    bool muted = false;
    bool operator==(const ChannelRow&) const = default;
};
std::vector<ChannelRow> channelRows(const Header& header);
std::optional<std::string> explanation(const Header& header);

} // namespace PairHeaderModel
