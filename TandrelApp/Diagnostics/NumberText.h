// How the diagnostics print a frequency where only its whole hertz count: tone names ("Tone 600/900 Hz")
// and the keys of a report's probe amplitudes ("440").
#pragma once

#include <cmath>
#include <string>

#include <fmt/format.h>

// The integer part of `value` in decimal (toward zero); "nan" or "inf" for values that have none.
inline std::string integerPartText(double value) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    }
    const double whole = std::trunc(value);
    return fmt::format("{:.0f}", whole == 0 ? 0.0 : whole);
}
