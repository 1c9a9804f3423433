// What the frozen header of one matrix row shows, without a widget: the row's icon, name, status text
// and dot colour, tooltip, number of level meters, the per-channel button of a source and the context
// menu. A row is a configured source or a line used as a source for the monitors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace RowHeaderModel {

inline constexpr const char* channelButtonTooltip = "チャンネルごとの音量（オレンジ = 調整あり）";

// A row as its header reads it at one refresh.
struct Header {
    MatrixRow row{};
    // The source's status; none for a line row or a source without one yet (shown as idle).
    std::optional<RoutingController::SourceStatus> status{};
    // The channel count of the row's endpoint, when it is known.
    std::optional<std::uint32_t> channelCount{};
    // Whether a line's hardware volume is unlinked from its monitors.
    bool lineUnlinked = false;

    static Header of(const RoutingController& controller, const MatrixRow& row);
};

// The row's icon: an application's own picture when `appBundleID` is set and it has one, else the
// glyph.
struct Icon {
    std::optional<std::string> appBundleID{};
    Glyph glyph{};
    bool operator==(const Icon&) const = default;
};
Icon icon(const Header& header);

// The source's name, or the line's followed by " のミックス".
std::string name(const Header& header);
std::string statusText(const Header& header);
ColorRole statusColor(const Header& header);
std::string helpText(const Header& header);
// Two meters unless the endpoint has fewer channels; two while the count is not known.
int meterChannels(const Header& header);

// The source's per-channel button: orange while any channel has a level or mute of its own.
Glyph channelButton(const SourceConfig& source);

struct MenuEntry {
    enum class Kind { retry, excludeApp, removeSource, toggleLink };
    Kind kind;
    std::string title{};
    bool destructive = false;
    bool operator==(const MenuEntry&) const = default;
};
std::vector<MenuEntry> menu(const Header& header);

} // namespace RowHeaderModel
