// Measuring one tone in captured or rendered audio: how loud it is, its frequency from its zero
// crossings, and least-squares sine fits, for the tests that listen to simulated players and routes and
// for the resampler benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace ToneLevel {

// How long a level check listens. A machine that other work keeps busy can hold the audio threads up for
// about a tenth of a second; a route that ran dry meanwhile then waits for a target deepened by as much
// before it plays again. A second of audio keeps that well under the half of the windows that a median
// level ignores.
inline constexpr double kListenSeconds = 1.0;

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

// The amplitude of one tone in x[start, start + length) through a Hann window, which keeps a loud tone
// slightly off its nominal pitch (a route's drift control may move it by half a percent) from leaking
// into the level measured at another frequency.
inline double windowedAmplitudeAt(const std::vector<float>& x, size_t start, size_t length, double frequency,
                                  double rate) {
    double s = 0, c = 0, weights = 0;
    for (size_t n = 0; n < length; ++n) {
        const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(n) / double(length));
        const double phase = 2 * std::numbers::pi * frequency * double(n) / rate;
        s += w * x[start + n] * std::sin(phase);
        c += w * x[start + n] * std::cos(phase);
        weights += w;
    }
    return weights == 0 ? 0 : 2 * std::hypot(s, c) / weights;
}

// The level of one tone in dBFS: the median of its windowed amplitude over windows of `window` samples,
// so that a few blocks lost to a busy machine's scheduling do not count; -200 for no samples.
inline double medianLevelDB(const std::vector<float>& x, double frequency, double rate, size_t window = 480) {
    std::vector<double> levels;
    for (size_t start = 0; start + window <= x.size(); start += window) {
        levels.push_back(windowedAmplitudeAt(x, start, window, frequency, rate));
    }
    if (levels.empty()) {
        return -200;
    }
    std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2),
                     levels.end());
    return 20 * std::log10(std::max(levels[levels.size() / 2], 1e-10));
}

// The tone's frequency from its first and last rising zero crossings, interpolated between samples, so
// that slow phase wander cannot change the count; 0 with fewer than two. `crossingCount`, when given,
// receives how many crossings there were.
template <typename Sample>
double crossingFrequency(const std::vector<Sample>& x, double rate, size_t* crossingCount = nullptr) {
    std::vector<double> crossings;
    for (size_t n = 1; n < x.size(); ++n) {
        if (x[n - 1] < 0 && x[n] >= 0) {
            crossings.push_back(static_cast<double>(n - 1) + double(x[n - 1]) / double(x[n - 1] - x[n]));
        }
    }
    if (crossingCount != nullptr) {
        *crossingCount = crossings.size();
    }
    if (crossings.size() < 2) {
        return 0;
    }
    return double(crossings.size() - 1) / ((crossings.back() - crossings.front()) / rate);
}

// A least-squares fit a·sin + b·cos of x[start, start + length) at `frequency`, the phase counted from
// sample 0, with what the fit leaves over and its own power, summed over the window.
struct SineFit {
    double a = 0;
    double b = 0;
    double residual = 0;
    double power = 0;
    double amplitude() const { return std::hypot(a, b); }
};

template <typename Sample>
SineFit fitSine(const std::vector<Sample>& x, size_t start, size_t length, double frequency, double rate) {
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (size_t n = start; n < start + length; ++n) {
        const double phase = 2 * std::numbers::pi * frequency * double(n) / rate;
        const double s = std::sin(phase), c = std::cos(phase);
        ss += s * s;
        cc += c * c;
        sc += s * c;
        xs += x[n] * s;
        xc += x[n] * c;
    }
    SineFit fit;
    const double det = ss * cc - sc * sc;
    fit.a = (xs * cc - xc * sc) / det;
    fit.b = (xc * ss - xs * sc) / det;
    for (size_t n = start; n < start + length; ++n) {
        const double phase = 2 * std::numbers::pi * frequency * double(n) / rate;
        const double value = fit.a * std::sin(phase) + fit.b * std::cos(phase);
        fit.residual += (x[n] - value) * (x[n] - value);
        fit.power += value * value;
    }
    return fit;
}

} // namespace ToneLevel
