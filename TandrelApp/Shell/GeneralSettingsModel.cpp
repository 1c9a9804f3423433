#include "TandrelApp/Shell/GeneralSettingsModel.h"

#include <array>
#include <cmath>
#include <utility>

#include "TandrelApp/Engine/CaptureModel.h"

namespace GeneralSettingsModel {

std::vector<Row<CaptureMode>> captureModeRows(OperatingSystemVersion system) {
    std::vector<Row<CaptureMode>> rows;
    for (CaptureMode mode : offeredCaptureModes(system)) {
        rows.push_back({mode, std::string(label(mode))});
    }
    return rows;
}

std::string_view latencyName(LatencyPreset preset) {
    switch (preset) {
    case LatencyPreset::low:
        return "低遅延";
    case LatencyPreset::normal:
        return "標準";
    case LatencyPreset::safe:
        return "安定優先";
    }
    return {};
}

std::vector<Row<LatencyPreset>> latencyRows() {
    std::vector<Row<LatencyPreset>> rows;
    for (LatencyPreset preset : allLatencyPresets) {
        rows.push_back({preset, std::string(latencyName(preset)) + "（" +
                                    std::to_string(bufferFrames(preset)) + " フレーム）"});
    }
    return rows;
}

std::vector<Row<double>> uiScaleRows() {
    static constexpr std::array<std::pair<std::string_view, double>, 5> sizes{{
        {"小", 0.85},
        {"標準", 1.0},
        {"大", 1.15},
        {"特大", 1.3},
        {"最大", 1.5},
    }};
    std::vector<Row<double>> rows;
    for (const auto& [name, scale] : sizes) {
        rows.push_back({scale, std::string(name) + "（" + std::to_string(std::lround(scale * 100)) + "%）"});
    }
    return rows;
}

} // namespace GeneralSettingsModel
