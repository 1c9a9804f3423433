// What the main menu's "音源" and "モニター先" menus hold, free of widgets: the running applications,
// the whole system and the input devices to add as sources, the output devices not yet monitors, the
// automatic-adding switches and the way to the excluded applications. SourceMenus fills a QMenu from it
// each time the menu opens; tests read it without a display.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Engine/CaptureTargetProvider.h"
#include "TandrelApp/Routing/RoutingConfig.h"

class RoutingController;

namespace SourceMenus {

enum class Menu { sources, monitors };
enum class AutoAddSwitch { runningApps, apps, monitors };

// What choosing an item does to the controller.
struct Action {
    struct AddSource {
        SourceKind kind;
        std::string name;
        bool operator==(const AddSource&) const = default;
    };
    struct AddMonitor {
        std::string uid;
        bool operator==(const AddMonitor&) const = default;
    };
    struct SetAutoAdd {
        AutoAddSwitch which;
        bool on;
        bool operator==(const SetAutoAdd&) const = default;
    };
    struct OpenExcludedApps {
        bool operator==(const OpenExcludedApps&) const = default;
    };

    std::variant<AddSource, AddMonitor, SetAutoAdd, OpenExcludedApps> value;
    bool operator==(const Action&) const = default;
};

struct Item {
    // A section's heading, an item that acts, a switch, a plain text standing for an empty section, a
    // divider.
    enum class Kind { header, action, toggle, note, divider };

    Kind kind = Kind::action;
    std::string title;
    // A switch's state.
    bool checked = false;
    // Headers, notes and dividers have none.
    std::optional<Action> action;

    bool operator==(const Item&) const = default;
};

// What the menus are built from, as the controller publishes it when the menu opens.
struct State {
    std::vector<CaptureTargetProvider::AppInfo> runningApps;
    std::vector<AudioDeviceInfo> inputDevices;
    std::vector<AudioDeviceInfo> outputDevices;
    std::vector<std::string> monitorDeviceUIDs;
    bool autoAddsRunningApps = true;
    bool autoAddsApps = true;
    bool autoAddsMonitors = true;
    std::size_t excludedAppCount = 0;

    // The controller's state now, with the running applications read afresh.
    static State of(const RoutingController& controller);
};

inline constexpr std::string_view sourcesTitle = "音源";
inline constexpr std::string_view monitorsTitle = "モニター先";
inline constexpr std::string_view systemAudioName = "システム全体";

// The menu's items in order.
std::vector<Item> buildMenuModel(Menu menu, const State& state);

// An input device's title: its name and input channel count, as in "Mic（2ch）".
std::string inputDeviceTitle(const AudioDeviceInfo& device);

// Carries out a chosen item on the controller; the excluded applications open in the settings window.
void perform(const Action& action, RoutingController& controller);

} // namespace SourceMenus
