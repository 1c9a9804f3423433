// What the capture lab window shows, free of widgets: its fixed texts, the note on the chosen method, the
// record button's face, the channel labels of the level bars and the statistics line of a capture.
// CaptureLabView shows it; tests check it without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Support/ThemeRoles.h"

namespace CaptureLabViewModel {

inline constexpr std::string_view title = "Capture Lab";
inline constexpr std::string_view subtitle = "アプリ／システム音声の取得検証（フェーズ2）";
inline constexpr std::string_view modeLabel = "方式";
inline constexpr std::string_view systemSection = "システム";
inline constexpr std::string_view applicationsSection = "アプリケーション";
inline constexpr std::string_view alertTitle = "お知らせ";
inline constexpr std::string_view alertButton = "OK";
inline const Glyph systemIcon{"speaker.wave.2.fill", ColorRole::secondary};
// What an application without an icon shows.
inline const Glyph placeholderIcon{"app", ColorRole::secondary};

// The note under the list on what the chosen method needs.
std::string_view modeNote(CaptureMode mode);

// The record button while the capture is recording or not.
struct RecordButtonFace {
    std::string_view title;
    // Its role tints the title too; primary is the default tint.
    Glyph glyph;
    bool operator==(const RecordButtonFace&) const = default;
};
RecordButtonFace recordButton(bool recording);

// The label of a channel's level bar: "L" for the first, "R" for every other.
std::string_view channelLabel(std::size_t channel);

// "[Process Tap] <format> · <callbacks> cb · <frames> frames/cb · dropped <dropped>", with
// " · <n> process(es)" when the source knows how many processes it taps.
std::string statisticsLine(CaptureBackend backend, const CaptureStatistics& statistics, uint64_t dropped);

} // namespace CaptureLabViewModel
