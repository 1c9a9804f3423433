// What a line row shows of the line device's own volume, without a widget: the hardware volume in
// percent with its mute button, slider and typed percent (following a drag while it lasts), and the
// label that says whether that volume is linked with the monitors playing the line's mix.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace LineVolumeModel {

// The published volume of a device; a device without an entry reads as 100 % and not muted.
RoutingController::HardwareVolume
hardware(const std::map<std::string, RoutingController::HardwareVolume>& volumes, const std::string& uid);
// The value shown: the one being dragged while there is one, else the published one.
float shown(const RoutingController::HardwareVolume& hardware, std::optional<float> dragging);
// The shown value in whole percent, halves away from zero.
int percent(float shown);
// What a slider value becomes: rounded to two decimals.
float dragValue(double sliderValue);

// Red "speaker.slash.fill" while muted, else a speaker with no, one or two waves.
Glyph muteGlyph(float shown, bool muted);
std::string muteTooltip(bool muted);
// The typed percent: "ミュート" while muted, else "50%"; it edits "50".
std::string numberText(int percent, bool muted);
std::string editingText(int percent);
ColorRole numberColor(bool muted);
std::string volumeTooltip(const std::string& lineName);
std::string numberHelp(const std::string& lineName);

// The link label of a line whose link is on (not `unlinked`) with the named partners.
struct Link {
    Glyph glyph{};
    std::string text{};
    ColorRole color = ColorRole::secondary;
    std::string tooltip{};
    bool operator==(const Link&) const = default;
};
Link link(const std::string& lineName, bool unlinked, const std::vector<std::string>& partnerNames);

} // namespace LineVolumeModel
