// Measuring how loud one tone is in captured audio, for the tests that listen to simulated players.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
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

// The level of one tone in dBFS: the median of its amplitude over windows of `window` samples, so that
// a few blocks lost to a busy machine's scheduling do not count; -200 for no samples.
inline double medianLevelDB(const std::vector<float>& x, double frequency, double rate, size_t window = 480) {
    std::vector<double> levels;
    for (size_t start = 0; start + window <= x.size(); start += window) {
        const std::vector<float> part(x.begin() + static_cast<std::ptrdiff_t>(start),
                                      x.begin() + static_cast<std::ptrdiff_t>(start + window));
        levels.push_back(amplitudeAt(part, frequency, rate));
    }
    if (levels.empty()) {
        return -200;
    }
    std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2),
                     levels.end());
    return 20 * std::log10(std::max(levels[levels.size() / 2], 1e-10));
}

} // namespace ToneLevel
