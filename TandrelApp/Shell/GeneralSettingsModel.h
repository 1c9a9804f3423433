// What the settings window's general pane offers, free of widgets: its sections' texts, the rows of its
// three pickers (the process-tap row only where the system has process taps) and where a stored value
// stands among them. GeneralSettings shows it; tests check it without a display.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Engine/CaptureMode.h"
#include "TandrelApp/Routing/RoutingConfig.h"

namespace GeneralSettingsModel {

template <class Value>
struct Row {
    Value value;
    std::string title;
    bool operator==(const Row&) const = default;
};

// The user default of the mixer's display scale, and its value when none is stored.
inline const QString uiScaleKey = QStringLiteral("TDUIScale");
inline constexpr double defaultUIScale = 1.0;

inline constexpr std::string_view captureSection = "取り込み";
inline constexpr std::string_view captureModeLabel = "取り込み方式";
inline constexpr std::string_view bufferLabel = "バッファ";
inline constexpr std::string_view bufferCaption =
    "バッファを大きくすると音の途切れが減り、小さくすると遅れが減ります。";
inline constexpr std::string_view displaySection = "表示";
inline constexpr std::string_view uiScaleLabel = "ミキサーの表示サイズ";
inline constexpr std::string_view uiScaleCaption =
    "ミキサーの表の文字・交点のボタン・メーターの大きさをまとめて変えます。";
inline constexpr std::string_view autoAddSection = "自動で追加";
inline constexpr std::string_view autoAddsRunningAppsTitle = "起動しているアプリを自動で追加";
inline constexpr std::string_view autoAddsAppsTitle = "音を出したアプリを自動で追加";
inline constexpr std::string_view autoAddsMonitorsTitle = "接続した出力デバイスをモニター先に自動で追加";

// Automatic, the process tap (only on a system with process taps), screen capture.
std::vector<Row<CaptureMode>> captureModeRows(OperatingSystemVersion system);
// One row per preset in declaration order: its name and buffer size, as in "低遅延（64 フレーム）".
std::vector<Row<LatencyPreset>> latencyRows();
// The five display sizes with their percentages, as in "大（115%）".
std::vector<Row<double>> uiScaleRows();

// The preset's name ("低遅延", "標準", "安定優先").
std::string_view latencyName(LatencyPreset preset);

// The index of the row holding `value`; nothing when no row does (a process tap stored on a system
// without process taps, a display scale written by hand).
template <class Value>
std::optional<std::size_t> rowIndex(const std::vector<Row<Value>>& rows, const Value& value) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].value == value) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace GeneralSettingsModel
