// What the menu-bar panel shows, free of widgets: its summary line, the status word of each source, which
// output devices are monitors and in what order, the pairs and channels an unfolded row lists with their
// labels, when a row's unfold button turns orange, and the height of its scrolling area. MenuBarContent
// shows it; tests check it without a display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace MenuBarContentModel {

// Sizes in points.
inline constexpr double width = 360;
inline constexpr double padding = 12;
inline constexpr double minimumScrollHeight = 44;
inline constexpr double maximumScrollHeight = 560;
inline constexpr double volumeLabelWidth = 52;
inline constexpr double channelLabelWidth = 44;
inline constexpr double unfoldIndent = 22;
inline constexpr double pairChannelIndent = 12;

inline constexpr std::string_view productName = "Corvane";
inline constexpr std::string_view unresponsiveText = "オーディオシステムが応答していません";
inline constexpr std::string_view sourcesSection = "音源";
inline constexpr std::string_view linesSection = "ライン";
inline constexpr std::string_view monitorsSection = "モニター先";
inline constexpr std::string_view unfoldTitle = "チャンネル";
inline constexpr std::string_view unfoldHelp = "チャンネルごとの音量";
inline constexpr std::string_view openMixerTitle = "ミキサーを開く…";
inline constexpr std::string_view launchAtLoginTitle = "ログイン時に起動";
inline constexpr std::string_view footerHelp =
    "設定・アップデート・終了は、メニューバーのアイコンを右クリック";

// "稼働中の音源 N · 有効な接続 M": N sources whose status is running, M connections not muted.
std::string summary(const std::unordered_map<UUID, RoutingController::SourceStatus>& statuses,
                    const std::vector<Connection>& connections);

// The short word beside a source's name; none for a source without a status entry reads "待機中".
std::string statusText(const std::optional<RoutingController::SourceStatus>& status);

// The output devices that are monitors, in the order of `outputDevices`.
std::vector<AudioDeviceInfo> monitors(const std::vector<AudioDeviceInfo>& outputDevices,
                                      const std::vector<std::string>& monitorDeviceUIDs);

// The key a row's unfolded state is kept under: a source's id in upper case, a device's UID.
std::string rowKey(const SourceConfig& source);
std::string rowKey(const AudioDeviceInfo& device);

// Whether a row's unfold button shows adjustments hidden inside it (orange).
bool isAdjusted(const SourceConfig& source);
bool isAdjusted(const DeviceVolume& volume);
// The unfold button's chevron and colour.
Glyph unfoldGlyph(bool expanded, bool adjusted);

// ---- Sources
// The channels an unfolded source lists: as many as its running producer has, else 2.
std::vector<int> sourceChannels(std::optional<std::uint32_t> runningChannelCount);
// "L" and "R" for a stereo source, "モノ" for a mono one, "ch3" otherwise.
std::string sourceChannelLabel(int channel, int channelCount);
// The symbol of a source that has no application icon: by its kind ("app" for an application).
std::string sourceSymbol(const SourceKind& kind);

// ---- Lines and monitors
// "64ch".
std::string channelCountText(std::uint32_t outputChannels);
// Meters under a device row: 1 below two output channels, else 2.
int meterChannels(std::uint32_t outputChannels);
// The first channels 0, 2, 4, ... below the output channel count; the last of an odd count is single.
std::vector<int> pairs(std::uint32_t outputChannels);
// "ch1-2", or "ch3" for a single last channel.
std::string pairLabel(int pair, std::uint32_t outputChannels);
// The channels of a pair: both, or the single last one.
std::vector<int> pairChannels(int pair, std::uint32_t outputChannels);
// "ch1 L", "ch2 R", or "ch3" for the channel of a single pair.
std::string pairChannelLabel(int channel, int pair, std::uint32_t outputChannels);

// The scrolling area's height for content of that height (margins included): 44 ... 560.
double scrollHeight(double contentHeight);

} // namespace MenuBarContentModel
