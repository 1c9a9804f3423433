// Measuring how loud one tone is in captured audio, for the tests that listen to simulated players.
#pragma once

#include <cmath>
#include <numbers>
#include <vector>

namespace ToneLevel {

// Amplitude of one tone in a signal, by correlation with it; 0 for no samples.
inline double amplitudeAt(const std::vector<float>& x, double frequency, double rate) {
    double s = 0, c = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double phase = 2 * std::numbers::pi * frequency * double(n) / rate;
        s += x[n] * std::sin(phase);
        c += x[n] * std::cos(phase);
    }
    return x.empty() ? 0 : 2 * std::hypot(s, c) / double(x.size());
}

} // namespace ToneLevel
