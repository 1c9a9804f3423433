// The decibel law and the parsing of typed volumes: every stored dB value becomes a linear gain here,
// and the mixer turns what the user types into a dB value or a line's hardware volume with it.
#pragma once

#include <optional>
#include <string_view>

namespace Volume {

// At or below this level a volume is silence; edits never go below it.
inline constexpr float silenceDB = -60.0f;
inline constexpr float maximumDB = 12.0f;

// 0 at or below -60 dB, else 10^(dB/20), in 32-bit floating point.
float linearGain(float db);

// The editing clamp into -60 ... +12 dB. A value that is not a finite number gives no result, so it
// can never reach the configuration.
std::optional<float> clampDB(float db);

// Typed decibels ("-6", "−6 dB", "－６", "-inf", ...) rounded to 0.1 dB and clamped to -60 ... +12;
// no result when the text is not a finite number. The text is UTF-8.
std::optional<float> parseDB(std::string_view text);

// Typed percent ("50", "50 %", full-width forms) as a scalar 0 ... 1; no result when the text is not
// a finite number. The text is UTF-8.
std::optional<float> parsePercent(std::string_view text);

} // namespace Volume
