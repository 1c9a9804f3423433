// What the per-channel volume popover of a source row shows, without a widget: one control per channel
// of the source (two while its count is not known), labelled "L"/"R", "モノ" or "ch" and a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SourceChannelVolumesModel {

inline constexpr const char* note = "音源全体の音量に加えてかかり、この音源のすべての接続先に効きます。";

// Channels 0 ... n - 1, where n is the count or 2 while it is not known; no upper cap.
std::vector<int> channels(std::optional<std::uint32_t> channelCount);
// "L"/"R" for two channels, "モノ" for one, else "ch" and the channel's number.
std::string label(int channel, std::size_t channelCount);
std::string title(const std::string& sourceName);

} // namespace SourceChannelVolumesModel
