// What one matrix cell shows and offers, without a widget: the connection between its row and its
// column, the grid of route buttons with their captions, lit states and tooltips, the gain badge, the
// cell's tooltip and its context menu, and the configuration changes its menu makes. The cell widget
// paints what this says and calls the controller with what a click asks for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Mixer/ConnectionDetailModel.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace MatrixCellModel {

inline constexpr const char* disabledHelp = "ライン同士は接続できません";

// The crossing of a row and a column, as the cell reads it at one refresh.
struct Cell {
    Endpoint endpoint{};
    AudioDeviceInfo device{};
    std::int64_t pair = 0;
    std::int64_t width = 2;
    bool isEnabled = true;
    // The first connection of the configuration between the two (see find()).
    std::optional<Connection> connection{};
    // The row's channel count; absent while it is not known.
    std::optional<std::uint32_t> sourceChannels{};
};

// The first connection, in list order, from `endpoint` to that device's column.
std::optional<Connection> find(const RoutingConfig& config, const Endpoint& endpoint,
                               const std::string& deviceUID, std::int64_t pair, std::int64_t width);
// Lines are never connected to lines: such a cell is drawn disabled.
bool isEnabled(bool rowIsLine, bool columnIsLine);

// The channel count the buttons are laid out for: 2 while the count is not known.
std::uint32_t gridSourceChannels(const Cell& cell);

struct RouteButton {
    int source = 0;      // 0 or 1: the left or right channel of the source pair in use
    int destination = 0; // 0 or 1: the first or second channel of the column
    int bit = 0;
    bool lit = false;
    std::string caption{};
    std::string tooltip{};
    bool operator==(const RouteButton&) const = default;
};
// One row of buttons per source channel (one for a mono source, else two), one button per destination
// channel of the column. Empty for a disabled cell.
std::vector<std::vector<RouteButton>> routeButtons(const Cell& cell);
// The name of a destination channel of the cell: "ch3" or, for a stereo column, "ch3（L）".
std::string destinationLabel(const Cell& cell, int index);

// The gain of the connection as "%+.0f", when there is a connection and its gain is not 0 dB.
std::optional<std::string> gainBadge(const Cell& cell);
// The cell's tooltip; `route` is the live route's statistics, when there is one.
std::string helpText(const Cell& cell, const std::optional<RoutingController::RouteInfo>& route);

// The context menu, built anew each time it opens.
struct MenuChoice {
    std::string title{};
    bool checked = false;
    MappingMode mode = MappingMode::automatic; // of a mapping choice
    ConnectionDetailModel::MonoChoice mono{};  // of a mono source choice
    bool operator==(const MenuChoice&) const = default;
};
struct MenuEntry {
    enum class Kind {
        connect,
        customNote,
        modePicker,
        monoPicker,
        toggleMute,
        showDetail,
        separator,
        disconnect
    };
    Kind kind;
    std::string title{};
    bool destructive = false;
    std::vector<MenuChoice> choices{}; // of the two pickers
    bool operator==(const MenuEntry&) const = default;
};
std::vector<MenuEntry> menu(const Cell& cell);

// The changes the menu makes to the connection with `id`; nothing when it is gone. A mapping mode
// chosen in the menu also drops a custom route mask (the detail form's keeps it); the mono source
// choice is ConnectionDetailModel::choosingMonoSource.
std::optional<RoutingConfig> choosingMode(const RoutingConfig& config, const UUID& id, MappingMode mode);
// The mute item sets the opposite of what the menu showed.
std::optional<RoutingConfig> settingMute(const RoutingConfig& config, const UUID& id, bool muted);

} // namespace MatrixCellModel
