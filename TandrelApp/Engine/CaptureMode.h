// How applications are captured, as the user chooses it and the routing configuration persists it;
// the configuration, the controller and the capture-source selection read it.
#pragma once

#include <array>
#include <string_view>
#include <utility>

enum class CaptureMode { automatic, processTap, screenCaptureKit };

// The persisted text of each mode, in the order the modes are offered.
inline constexpr std::array<std::pair<CaptureMode, std::string_view>, 3> kCaptureModeRawValues{{
    {CaptureMode::automatic, "automatic"},
    {CaptureMode::processTap, "processTap"},
    {CaptureMode::screenCaptureKit, "screenCaptureKit"},
}};
