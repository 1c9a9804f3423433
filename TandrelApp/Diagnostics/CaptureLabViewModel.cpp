#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"

namespace CaptureLabViewModel {

std::string_view modeNote(CaptureMode mode) {
    switch (mode) {
    case CaptureMode::automatic:
        return "自動: 通常は Process Tap（システムオーディオ録音の許可）、Safari などは "
               "ScreenCaptureKit（画面と音声の収録の許可）を使います。";
    case CaptureMode::processTap:
        return "Process Tap: 初回の取り込み開始時に「システムオーディオ録音」の許可を求められます。"
               "拒否すると無音になります。";
    case CaptureMode::screenCaptureKit:
        return "ScreenCaptureKit: 「画面と音声の収録」の許可が必要です（システム設定 > "
               "プライバシーとセキュリティ）。";
    }
    return {};
}

RecordButtonFace recordButton(bool recording) {
    if (recording) {
        return {"停止", {"stop.circle.fill", ColorRole::red}};
    }
    return {"録音", {"record.circle", ColorRole::primary}};
}

std::string_view channelLabel(std::size_t channel) {
    return channel == 0 ? "L" : "R";
}

std::string statisticsLine(CaptureBackend backend, const CaptureStatistics& statistics, uint64_t dropped) {
    std::string line = "[";
    line += backend == CaptureBackend::screenCaptureKit ? "ScreenCaptureKit" : "Process Tap";
    line += "] " + statistics.sourceFormat;
    line += " · " + std::to_string(statistics.callbacks) + " cb";
    line += " · " + std::to_string(statistics.lastCallbackFrames) + " frames/cb";
    line += " · dropped " + std::to_string(dropped);
    if (statistics.tappedProcesses) {
        line += " · " + std::to_string(*statistics.tappedProcesses) + " process(es)";
    }
    return line;
}

} // namespace CaptureLabViewModel
