#include "TandrelApp/Mixer/VolumeControlModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "TandrelApp/Routing/Volume.h"

namespace VolumeControlModel {

namespace {

bool isSilent(float dB) {
    return dB <= Volume::silenceDB;
}

std::string formatted(const char* format, float dB) {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<double>(dB));
    return text;
}

} // namespace

Glyph muteGlyph(float dB, bool muted) {
    if (muted) {
        return {"speaker.slash.fill", ColorRole::red};
    }
    if (isSilent(dB)) {
        return {"speaker.fill", ColorRole::secondary};
    }
    return {dB < -20.0f ? "speaker.wave.1.fill" : "speaker.wave.2.fill", ColorRole::secondary};
}

const char* muteButtonTooltip(bool muted) {
    return muted ? unmuteTooltip : muteTooltip;
}

bool showsMuteButton(bool showsMute, bool hasMute) {
    return showsMute && hasMute;
}

double sliderPosition(float dB) {
    if (std::isnan(dB)) {
        return sliderMinimum;
    }
    return std::clamp(static_cast<double>(dB), sliderMinimum, sliderMaximum);
}

float sliderValue(double position) {
    return static_cast<float>(std::round(2.0 * position) * 0.5);
}

std::string readoutText(float dB, bool muted) {
    if (muted) {
        return "ミュート";
    }
    return isSilent(dB) ? "-∞ dB" : formatted("%+.1f dB", dB);
}

std::string editingText(float dB) {
    return isSilent(dB) ? "-∞" : formatted("%.1f", dB);
}

ColorRole readoutColor(float dB, bool muted) {
    if (muted) {
        return ColorRole::red;
    }
    return dB == 0.0f ? ColorRole::secondary : ColorRole::primary;
}

std::string readoutHelp() {
    return "クリックして dB で入力（" + std::to_string(static_cast<int>(Volume::silenceDB)) + "〜+" +
           std::to_string(static_cast<int>(Volume::maximumDB)) + "、-inf で無音）";
}

std::vector<MenuItem> menu(bool muted, bool hasMute) {
    std::vector<MenuItem> items{{resetTitle, MenuAction::resetToZero}};
    if (hasMute) {
        items.push_back({muted ? unmuteTooltip : muteTooltip, MenuAction::toggleMute});
    }
    return items;
}

} // namespace VolumeControlModel
