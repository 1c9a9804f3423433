// What the core's files share with each other and never publish: the channel limit, the route's
// per-chunk pull, which only a destination's render calls, and checked size arithmetic for the create
// functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "TandrelCore/TandrelCore.h"

namespace tdcore {

// The most channels a route or a destination carries.
constexpr uint32_t kMaxChannels = 64;

// Pulls and resamples one chunk of frames destination frames and adds it into the interleaved mix
// buffer of destinationChannels channels. Real-time: no locks, no allocation.
void routePullAndMix(TDRoute* route, uint32_t frames, uint64_t now, uint32_t destinationChannels, float* mix);

// The resampler's shape as a route was built, for diagnostics and tests.
struct RouteShape {
    uint32_t halfWidth;
    uint32_t taps;
    uint32_t historyCapacity;
    double cutoff;
};
RouteShape routeShape(const TDRoute* route);

// a × b elements of elementSize bytes, or 0 when the product does not fit in size_t.
inline size_t checkedBytes(uint64_t a, uint64_t b, size_t elementSize) {
    if (a == 0 || b == 0) {
        return 0;
    }
    unsigned __int128 total = static_cast<unsigned __int128>(a) * b * elementSize;
    if (total > static_cast<unsigned __int128>(SIZE_MAX / 2)) {
        return 0;
    }
    return static_cast<size_t>(total);
}

// Zero-filled storage for count floats, or nullptr (also when the size overflows).
inline float* allocateFloats(uint64_t a, uint64_t b) {
    size_t bytes = checkedBytes(a, b, sizeof(float));
    if (bytes == 0) {
        return nullptr;
    }
    return static_cast<float*>(std::calloc(1, bytes));
}

} // namespace tdcore
