// What the title of one column group shows, without a widget: the device's icon and caption, the fader
// switch, the buttons that show fewer or more pairs with their enable states, the master volume and the
// context menu (split or join every shown pair, remove a monitor).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace GroupTitleModel {

inline constexpr const char* fewerPairsTooltip = "表示するペアを減らす";

// A group as its title reads it at one refresh.
struct Title {
    AudioDeviceInfo device{};
    bool isLine = false;
    std::size_t columns = 0;
    int shownPairs = 1;
    DeviceVolume volume{};
    bool fadersShown = true;

    static Title of(const RoutingConfig& config, const ColumnGroup& group);
};

// The pairs the device has, a lone last channel counting as one.
int pairCapacity(const Title& title);

// "waveform.path" in the accent colour for a line, "speaker.wave.2" for a monitor.
Glyph icon(const Title& title);
// "4ch ライン" or "モニター · 2ch".
std::string caption(const Title& title);

Glyph faderSwitch(const Title& title);
std::string faderSwitchTooltip(const Title& title);

// Minus and plus exist only for a device of more than one pair.
bool showsPairButtons(const Title& title);
bool canShowFewer(const Title& title);
bool canShowMore(const Title& title);
std::string morePairsTooltip(const Title& title);

// Width of the title (the group's) and of its master volume, in points.
double width(const Title& title);
double masterWidth(const Title& title);
std::string masterTooltip(const Title& title);

struct MenuEntry {
    enum class Kind { splitAll, joinAll, separator, removeMonitor };
    Kind kind;
    std::string title{};
    bool destructive = false;
    bool operator==(const MenuEntry&) const = default;
};
std::vector<MenuEntry> menu(const Title& title);

// The first channels of the shown pairs that have two channels: what split all and join all change.
std::vector<std::int64_t> splittablePairs(const AudioDeviceInfo& device, int shownPairs);

} // namespace GroupTitleModel
