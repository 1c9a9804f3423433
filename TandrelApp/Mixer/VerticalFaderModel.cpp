#include "TandrelApp/Mixer/VerticalFaderModel.h"

#include <algorithm>
#include <cmath>

namespace VerticalFaderModel {

float fraction(float dB) {
    if (!(dB > bottomDB)) { // also a level that is not a number
        return 0.0f;
    }
    return (std::min(dB, topDB) - bottomDB) / (topDB - bottomDB);
}

float valueAt(double y, double height) {
    if (!(height > 0)) {
        return 0.0f;
    }
    const double r = y / height;
    const float f = r <= 0 ? 1.0f : static_cast<float>(1.0 - std::min(r, 1.0));
    float value = f * (topDB - bottomDB) + bottomDB;
    value = std::round(2.0f * value) * 0.5f; // std::round takes halves away from zero
    return std::abs(value) < 0.75f ? 0.0f : value;
}

} // namespace VerticalFaderModel
