// Reading and judging the figures the self-tests measure: a figure that was not measured (absent)
// never passes a check.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace MeasuredValues {

// The amplitude of one probe on one channel (counted from 0), when the analyzer has that channel.
inline std::optional<double> amplitude(const std::vector<std::vector<double>>& amps, int64_t channel,
                                       size_t probe) {
    if (channel < 0 || size_t(channel) >= amps.size() || probe >= amps[size_t(channel)].size()) {
        return std::nullopt;
    }
    return amps[size_t(channel)][probe];
}

inline bool near(std::optional<double> value, double centre, double tolerance) {
    return value && std::abs(*value - centre) <= tolerance;
}
inline bool below(std::optional<double> value, double limit) {
    return value && *value < limit;
}
inline bool above(std::optional<double> value, double limit) {
    return value && *value > limit;
}

} // namespace MeasuredValues
