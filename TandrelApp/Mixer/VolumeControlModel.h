// What the one-line volume editor shows and reports, without a widget: the mute button's symbol and
// tooltip, the slider's position and the 0.5 dB value a slider movement reports, the decibel readout's
// texts and colour, and the row's context menu. Volumes are dB on the -60 ... +12 scale; -60 and below
// is silence ("-∞").
#pragma once

#include <string>
#include <vector>

#include "TandrelApp/Support/ThemeRoles.h"

namespace VolumeControlModel {

inline constexpr double sliderMinimum = -60.0;
inline constexpr double sliderMaximum = 12.0;

inline constexpr const char* muteTooltip = "ミュート";
inline constexpr const char* unmuteTooltip = "ミュートを解除";
inline constexpr const char* rowTooltip = "音量（右クリックで 0 dB に戻す）";
inline constexpr const char* resetTitle = "0 dB に戻す";

// The mute button: red "speaker.slash.fill" while muted, else a speaker with as many waves as the
// level has, in the secondary colour.
Glyph muteGlyph(float dB, bool muted);
const char* muteButtonTooltip(bool muted);
// The button is drawn only when it is asked for and the caller takes mute changes.
bool showsMuteButton(bool showsMute, bool hasMute);

// Where the slider's knob sits: the level, limited to the slider's range.
double sliderPosition(float dB);
// What a slider movement to `position` reports: the nearest 0.5 dB (halves away from zero).
float sliderValue(double position);

// The readout: "ミュート" while muted, "-∞ dB" for silence, else "%+.1f dB".
std::string readoutText(float dB, bool muted);
// The field's starting text: "-∞" for silence, else "%.1f", muted or not.
std::string editingText(float dB);
// Red while muted, secondary at exactly 0 dB, primary otherwise.
ColorRole readoutColor(float dB, bool muted);
// "クリックして dB で入力（-60〜+12、-inf で無音）".
std::string readoutHelp();

// The row's context menu, in order.
enum class MenuAction { resetToZero, toggleMute };
struct MenuItem {
    std::string title;
    MenuAction action;
    bool operator==(const MenuItem&) const = default;
};
std::vector<MenuItem> menu(bool muted, bool hasMute);

} // namespace VolumeControlModel
