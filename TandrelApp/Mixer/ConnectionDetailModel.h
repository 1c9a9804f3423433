// What the editors of one matrix connection show and write, without a widget: the detail popover's
// mapping, source-channel and gain rows, the mono source picker of a single-channel column, the names
// of mapping modes and source channels, and the one configuration change that every edit of a
// connection is (found again by its id, so an edit of a connection removed meanwhile does nothing).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Routing/RoutingConfig.h"

namespace ConnectionDetailModel {

inline constexpr const char* modeTitle = "割り当て";
inline constexpr const char* sourceChannelTitle = "ソース側チャンネル";
inline constexpr const char* gainTitle = "ゲイン";
inline constexpr const char* muteTitle = "ミュート";
inline constexpr const char* resetTitle = "0 dB に戻す";
inline constexpr const char* monoTitle = "送る音";

// The gain slider's range and step, in dB.
inline constexpr float gainMinimum = -60.0f;
inline constexpr float gainMaximum = 12.0f;
inline constexpr float gainStep = 0.5f;

// "自動", "ステレオ", "左右反転", "デュアルモノ".
std::string modeName(MappingMode mode);

// The source channels a two-channel connection can start at: the first channels of the source's
// pairs, or every channel in dual mono.
std::vector<std::int64_t> sourceChoices(std::uint32_t channels, MappingMode mode);
// A source channel choice's name: "ch3-4" for a pair, "ch3" for a single channel.
std::string sourceChoiceLabel(std::int64_t channel, std::uint32_t channels, MappingMode mode);

// Whether the detail form offers the source-channel picker: two-channel connections of a source with
// a known count above 2, or of exactly 2 in dual mono.
bool showsSourceChannelPicker(const Connection& connection, std::optional<std::uint32_t> sourceChannels);
// The mode the source-channel choices are made for: a custom route mask counts as stereo.
MappingMode sourceChoiceMode(const Connection& connection);

// The gain readout: "%+.1f dB", or "-∞ dB" at -60 dB and below.
std::string gainText(float dB);
// A slider position snapped to the 0.5 dB step and limited to the range.
float gainValue(double position);

// The mono source picker of a single-channel column.
struct MonoChoice {
    std::int64_t channel = 0; // for a mix, the first channel of the mixed pair
    bool mix = false;
    bool operator==(const MonoChoice&) const = default;
};
struct MonoOption {
    MonoChoice choice{};
    std::string title{};
    bool operator==(const MonoOption&) const = default;
};
// One option per channel (at least channel 0), then one mix per pair; an unknown count counts as 2.
std::vector<MonoOption> monoOptions(std::optional<std::uint32_t> sourceChannels);
// The option that shows the connection's current source.
MonoChoice monoSelection(const Connection& connection, std::optional<std::uint32_t> sourceChannels);
// "モノラル" for a mono source, "L（左）"/"R（右）" for stereo, else "ch" and the channel's number.
std::string channelName(std::int64_t channel, std::uint32_t channels);
// Writes a mono source choice: the channel and whether it is a mix, together.
std::optional<RoutingConfig> choosingMonoSource(const RoutingConfig& config, const UUID& id,
                                                MonoChoice choice);
// What a single-channel connection sends: a channel's name, or "L+R" / "ch1+2" for a mix.
std::string monoLabel(const Connection& connection, std::uint32_t sourceChannels);

// The configuration with `change` applied to the first connection with `id`; nothing when there is
// no such connection. Callers assign the result once, so one edit is one configuration change.
std::optional<RoutingConfig> edited(const RoutingConfig& config, const UUID& id,
                                    const std::function<void(Connection&)>& change);

} // namespace ConnectionDetailModel
