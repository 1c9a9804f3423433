// What the core's files share with each other and never publish: the channel limit, the route's
// per-chunk pull, which only a destination's render calls, and checked size arithmetic for the create
// functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "TandrelCore/ResampleKernel.h"
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
    const float* table;
    ResampleIsa isa;
};
RouteShape routeShape(const TDRoute* route);
// Makes the route resample with the kernel of an instruction set (tests and benchmarks compare them);
// false when this processor lacks it. Not while the route renders.
bool routeUseKernel(TDRoute* route, ResampleIsa isa);

// TDFanoutWriteInterleaved for a writer that already knows the block's per-channel peaks (largest
// absolute sample, not-a-number ignored). Real-time.
void fanoutWriteInterleavedWithPeaks(TDFanout* fanout, const float* samples, uint32_t channelCount,
                                     uint32_t frames, uint64_t hostTime, const float* peaks);

// Flush-to-zero and denormals-are-zero from construction to destruction, then the caller's mode again:
// near-silent tails in a filter's history then cost no more than audio. No system call.
class DenormalsAreZero {
public:
    DenormalsAreZero() {
#if defined(__x86_64__) || defined(__i386__)
        saved_ = _mm_getcsr();
        constexpr unsigned kFlushToZero = 0x8000;
        constexpr unsigned kDenormalsAreZero = 0x0040;
        if ((saved_ & (kFlushToZero | kDenormalsAreZero)) != (kFlushToZero | kDenormalsAreZero)) {
            _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
        }
#elif defined(__aarch64__)
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved_));
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_ | (uint64_t{1} << 24)));
#endif
    }
    ~DenormalsAreZero() {
#if defined(__x86_64__) || defined(__i386__)
        if (_mm_getcsr() != saved_) {
            _mm_setcsr(saved_);
        }
#elif defined(__aarch64__)
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_));
#endif
    }
    DenormalsAreZero(const DenormalsAreZero&) = delete;
    DenormalsAreZero& operator=(const DenormalsAreZero&) = delete;

private:
#if defined(__x86_64__) || defined(__i386__)
    unsigned saved_ = 0;
#else
    uint64_t saved_ = 0;
#endif
};

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
