#include "TandrelApp/Mixer/LineVolumeModel.h"

#include <cmath>

namespace LineVolumeModel {

RoutingController::HardwareVolume
hardware(const std::map<std::string, RoutingController::HardwareVolume>& volumes, const std::string& uid) {
    auto found = volumes.find(uid);
    return found == volumes.end() ? RoutingController::HardwareVolume{1.0f, false} : found->second;
}

float shown(const RoutingController::HardwareVolume& hardware, std::optional<float> dragging) {
    return dragging.value_or(hardware.scalar);
}

int percent(float shown) {
    return static_cast<int>(std::lround(static_cast<double>(shown) * 100.0));
}

float dragValue(double sliderValue) {
    return static_cast<float>(std::round(sliderValue * 100.0) / 100.0);
}

Glyph muteGlyph(float shown, bool muted) {
    if (muted) {
        return {"speaker.slash.fill", ColorRole::red};
    }
    if (shown <= 0.0f) {
        return {"speaker.fill", ColorRole::secondary};
    }
    return {shown < 0.5f ? "speaker.wave.1.fill" : "speaker.wave.2.fill", ColorRole::secondary};
}

std::string muteTooltip(bool muted) {
    return muted ? "ミュートを解除" : "ミュート";
}

std::string numberText(int percent, bool muted) {
    return muted ? "ミュート" : std::to_string(percent) + "%";
}

std::string editingText(int percent) {
    return std::to_string(percent);
}

ColorRole numberColor(bool muted) {
    return muted ? ColorRole::red : ColorRole::primary;
}

std::string volumeTooltip(const std::string& lineName) {
    return lineName + " 自体の音量（音量キー・コントロールセンターと同じ）";
}

std::string numberHelp(const std::string& lineName) {
    return "クリックして " + lineName + " 自体の音量を % で入力（0〜100）";
}

Link link(const std::string& lineName, bool unlinked, const std::vector<std::string>& partnerNames) {
    Link out;
    out.tooltip =
        lineName +
        " 自体の音量（音量キー・コントロールセンター）と、このミックスを流しているモニター先自体の音量を、"
        "どちらを変えても同じ値にそろえます。右クリックで切り替え";
    if (unlinked) {
        out.glyph = {"link.badge.plus", ColorRole::secondary};
        out.text = "音量の連動なし";
        return out;
    }
    if (partnerNames.empty()) {
        out.glyph = {"link", ColorRole::secondary};
        out.text = "モニター先につなぐと音量が連動";
        return out;
    }
    for (const std::string& partner : partnerNames) {
        out.text += (out.text.empty() ? "" : "・") + partner;
    }
    out.text += " と音量を連動";
    out.color = ColorRole::accent;
    out.glyph = {"link", ColorRole::accent};
    return out;
}

} // namespace LineVolumeModel
