#include "TandrelCore/ResampleKernel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tdcore {

#if defined(__x86_64__)
// ResampleKernelX86.cpp
void resampleAvx2(const ResampleJob& job);
#endif

void resampleScalar(const ResampleJob& job, uint32_t first) {
    const uint32_t taps = job.taps;
    const uint32_t channels = job.channels;
    const int64_t firstTapOffset = 1 - static_cast<int64_t>(job.halfWidth);
    float coefficients[kMaxTaps];
    for (uint32_t i = first; i < job.frames; ++i) {
        const double t = job.position + i * job.ratio;
        const double whole = std::trunc(t);
        const double fraction = t - whole;
        const uint32_t phase = std::min(static_cast<uint32_t>(fraction * kPhases), kPhases - 1);
        const float blend = static_cast<float>(fraction * kPhases - phase);
        const float* lower = job.table + phase * taps;
        const float* upper = lower + taps;
        for (uint32_t k = 0; k < taps; ++k) {
            coefficients[k] = lower[k] + (upper[k] - lower[k]) * blend;
        }
        const float* base = job.history + (static_cast<int64_t>(whole) + firstTapOffset) * channels;
        for (uint32_t c = 0; c < channels; ++c) {
            float sum = 0.0f;
            const float* h = base + c;
            for (uint32_t k = 0; k < taps; ++k) {
                sum += coefficients[k] * h[k * channels];
            }
            if (job.mix == nullptr) {
                job.output[static_cast<size_t>(i) * channels + c] = sum;
            } else if (job.gains[c] != 0.0f) {
                job.mix[static_cast<size_t>(i) * job.mixChannels + c] += sum * job.gains[c];
            }
        }
    }
}

namespace {

void resampleReference(const ResampleJob& job) {
    resampleScalar(job, 0);
}

bool processorHas(ResampleIsa isa) {
#if defined(__x86_64__)
    __builtin_cpu_init(); // idempotent; a route may be created from another static initialiser
    switch (isa) {
    case ResampleIsa::Scalar:
        return true;
    case ResampleIsa::Avx2:
        return __builtin_cpu_supports("avx2");
    }
    return false;
#else
    return isa == ResampleIsa::Scalar;
#endif
}

} // namespace

ResampleKernel resampleKernel(ResampleIsa isa) {
    if (!processorHas(isa)) {
        return nullptr;
    }
    switch (isa) {
    case ResampleIsa::Scalar:
        return resampleReference;
#if defined(__x86_64__)
    case ResampleIsa::Avx2:
        return resampleAvx2;
#endif
    default:
        return nullptr;
    }
}

ResampleIsa bestResampleIsa() {
    return resampleKernel(ResampleIsa::Avx2) != nullptr ? ResampleIsa::Avx2 : ResampleIsa::Scalar;
}

const char* resampleIsaName(ResampleIsa isa) {
    switch (isa) {
    case ResampleIsa::Scalar:
        return "scalar";
    case ResampleIsa::Avx2:
        return "avx2";
    }
    return "?";
}

} // namespace tdcore
