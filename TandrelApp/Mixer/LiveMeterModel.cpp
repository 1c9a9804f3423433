#include "TandrelApp/Mixer/LiveMeterModel.h"

#include <algorithm>
#include <cmath>

namespace LiveMeterModel {

float fraction(float level) {
    if (std::isnan(level) || level <= silentLevel) {
        return 0.0f;
    }
    return std::clamp((20.0f * std::log10(level) + 60.0f) / 60.0f, 0.0f, 1.0f);
}

ColorRole color(float level) {
    const float dB = 20.0f * std::log10(std::isnan(level) ? silentLevel : std::max(level, silentLevel));
    if (dB > -3.0f) {
        return ColorRole::red;
    }
    if (dB > -12.0f) {
        return ColorRole::yellow;
    }
    return ColorRole::green;
}

} // namespace LiveMeterModel
