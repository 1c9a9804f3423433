#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "TandrelCore/CoreInternal.h"

using tdcore::kMaxChannels;

// One allocation: the count followed by the routes. Immutable once published.
struct TDRoutePlan {
    uint32_t count;
    TDRoute* routes[1];
};

struct TDDestination {
    uint32_t channels = 0;
    uint32_t maxFrames = 0;
    std::atomic<TDRoutePlan*> plan{nullptr};
    float* mix = nullptr;
    TDFanout* fanout = nullptr;
    std::atomic<float> peaks[kMaxChannels] = {};
    std::atomic<float> gains[kMaxChannels] = {};
    std::atomic<uint64_t> renderCount{0};
};

namespace {

TDRoutePlan* makePlan(TDRoute* const* routes, uint32_t count) {
    const size_t bytes = offsetof(TDRoutePlan, routes) + sizeof(TDRoute*) * std::max<size_t>(count, 1);
    auto* plan = static_cast<TDRoutePlan*>(std::malloc(bytes));
    if (plan == nullptr) {
        return nullptr;
    }
    plan->count = count;
    if (count > 0) {
        std::memcpy(plan->routes, routes, sizeof(TDRoute*) * count);
    }
    return plan;
}

void applyChannelGains(TDDestination* destination, uint32_t frames) {
    const uint32_t channels = destination->channels;
    for (uint32_t c = 0; c < channels; ++c) {
        const float gain = destination->gains[c].load(std::memory_order_relaxed);
        if (gain == 1.0f) {
            continue;
        }
        float* sample = destination->mix + c;
        for (uint32_t i = 0; i < frames; ++i) {
            sample[static_cast<size_t>(i) * channels] *= gain;
        }
    }
}

// Spreads the chunk's mix over the device's buffers, each interleaved with its own channel count.
void deinterleave(const TDDestination* destination, AudioBufferList* output, uint32_t done, uint32_t frames) {
    if (output == nullptr) {
        return;
    }
    const uint32_t channels = destination->channels;
    uint64_t offset = 0;
    for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = output->mBuffers[b];
        const uint32_t n = buffer.mNumberChannels;
        if (buffer.mData != nullptr && n != 0) {
            const uint64_t capacity = buffer.mDataByteSize / (static_cast<uint64_t>(n) * sizeof(float));
            const uint32_t count =
                done < capacity ? static_cast<uint32_t>(std::min<uint64_t>(frames, capacity - done)) : 0;
            float* out = static_cast<float*>(buffer.mData) + static_cast<size_t>(done) * n;
            if (offset == 0 && n == channels) {
                std::memcpy(out, destination->mix, sizeof(float) * count * channels);
                offset += n;
                continue;
            }
            for (uint32_t i = 0; i < count; ++i) {
                const float* in = destination->mix + static_cast<size_t>(i) * channels;
                for (uint32_t c = 0; c < n; ++c) {
                    out[static_cast<size_t>(i) * n + c] = offset + c < channels ? in[offset + c] : 0.0f;
                }
            }
        }
        offset += n;
    }
}

// Largest absolute sample of each channel of an interleaved chunk; a not-a-number sample never wins.
void chunkPeaks(const float* mix, uint32_t frames, uint32_t channels, float* peaks) {
    for (uint32_t c = 0; c < channels; ++c) {
        peaks[c] = 0.0f;
    }
    const size_t samples = static_cast<size_t>(frames) * channels;
    size_t n = 0;
#if defined(__SSE2__)
    // max(a, held) keeps held when a is not a number, as the scalar comparison does; held never is one,
    // so the partial maxima combine in any order.
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const auto fold = [&](__m128 held, uint32_t firstChannel) {
        float lanes[4];
        _mm_storeu_ps(lanes, held);
        for (uint32_t l = 0; l < 4; ++l) {
            const uint32_t c = (firstChannel + l) % channels;
            if (lanes[l] > peaks[c]) {
                peaks[c] = lanes[l];
            }
        }
    };
    if (channels == 1 || channels == 2 || channels == 4) {
        // Every lane of every 4-float step stays on one channel.
        __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps(), c = _mm_setzero_ps(), d = _mm_setzero_ps();
        for (; n + 16 <= samples; n += 16) {
            a = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(mix + n), magnitude), a);
            b = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(mix + n + 4), magnitude), b);
            c = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(mix + n + 8), magnitude), c);
            d = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(mix + n + 12), magnitude), d);
        }
        for (; n + 4 <= samples; n += 4) {
            a = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(mix + n), magnitude), a);
        }
        fold(_mm_max_ps(_mm_max_ps(a, b), _mm_max_ps(c, d)), 0);
    } else if (channels % 4 == 0) {
        for (uint32_t first = 0; first < channels; first += 4) {
            __m128 held = _mm_setzero_ps();
            for (uint32_t i = 0; i < frames; ++i) {
                held = _mm_max_ps(
                    _mm_and_ps(_mm_loadu_ps(mix + static_cast<size_t>(i) * channels + first), magnitude),
                    held);
            }
            fold(held, first);
        }
        n = samples;
    }
#endif
    for (; n < samples; ++n) {
        const float a = std::fabs(mix[n]);
        const uint32_t c = static_cast<uint32_t>(n % channels);
        if (a > peaks[c]) {
            peaks[c] = a;
        }
    }
}

} // namespace

extern "C" {

TDDestination* TDDestinationCreate(uint32_t channels, uint32_t maxFrames, bool withFanout) {
    if (channels == 0 || channels > kMaxChannels || maxFrames == 0) {
        return nullptr;
    }
    auto* destination = new (std::nothrow) TDDestination;
    if (destination == nullptr) {
        return nullptr;
    }
    destination->channels = channels;
    destination->maxFrames = maxFrames;
    destination->mix = tdcore::allocateFloats(maxFrames, channels);
    if (withFanout) {
        destination->fanout = TDFanoutCreate(channels);
    }
    if (destination->mix == nullptr || (withFanout && destination->fanout == nullptr)) {
        TDDestinationDestroy(destination);
        return nullptr;
    }
    for (auto& gain : destination->gains) {
        gain.store(1.0f, std::memory_order_relaxed);
    }
    return destination;
}

void TDDestinationDestroy(TDDestination* destination) {
    if (destination == nullptr) {
        return;
    }
    TDPlanFree(destination->plan.load(std::memory_order_acquire));
    std::free(destination->mix);
    TDFanoutDestroy(destination->fanout);
    delete destination;
}

uint32_t TDDestinationChannels(const TDDestination* destination) {
    return destination->channels;
}

TDFanout* TDDestinationFanout(TDDestination* destination) {
    return destination->fanout;
}

TDRoutePlan* TDDestinationSetRoutes(TDDestination* destination, TDRoute* const* routes, uint32_t count) {
    if (count > 0 && routes == nullptr) {
        return nullptr;
    }
    TDRoutePlan* plan = makePlan(routes, count);
    if (plan == nullptr) {
        return nullptr;
    }
    return destination->plan.exchange(plan, std::memory_order_acq_rel);
}

void TDPlanFree(TDRoutePlan* plan) {
    std::free(plan);
}

void TDDestinationSetChannelGain(TDDestination* destination, uint32_t channel, float gain) {
    if (channel < destination->channels) {
        destination->gains[channel].store(gain, std::memory_order_relaxed);
    }
}

float TDDestinationPeak(const TDDestination* destination, uint32_t channel) {
    if (channel >= destination->channels) {
        return 0.0f;
    }
    return destination->peaks[channel].load(std::memory_order_relaxed);
}

uint64_t TDDestinationRenderCount(const TDDestination* destination) {
    return destination->renderCount.load(std::memory_order_relaxed);
}

void TDDestinationRender(TDDestination* destination, AudioBufferList* output, uint32_t frames,
                         uint64_t hostTime) {
    const tdcore::DenormalsAreZero denormalsAreZero;
    const TDRoutePlan* plan = destination->plan.load(std::memory_order_acquire);
    const uint32_t channels = destination->channels;
    float peaks[kMaxChannels] = {};
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, destination->maxFrames);
        std::memset(destination->mix, 0, static_cast<size_t>(n) * channels * sizeof(float));
        if (plan != nullptr) {
            for (uint32_t r = 0; r < plan->count; ++r) {
                tdcore::routePullAndMix(plan->routes[r], n, hostTime, channels, destination->mix);
            }
            applyChannelGains(destination, n);
        }
        deinterleave(destination, output, done, n);
        float chunk[kMaxChannels];
        chunkPeaks(destination->mix, n, channels, chunk);
        for (uint32_t c = 0; c < channels; ++c) {
            if (chunk[c] > peaks[c]) {
                peaks[c] = chunk[c];
            }
        }
        if (destination->fanout != nullptr) {
            tdcore::fanoutWriteInterleavedWithPeaks(destination->fanout, destination->mix, channels, n,
                                                    hostTime, chunk);
        }
        done += n;
    }
    for (uint32_t c = 0; c < channels; ++c) {
        destination->peaks[c].store(peaks[c], std::memory_order_relaxed);
    }
    destination->renderCount.fetch_add(1, std::memory_order_relaxed);
}

} // extern "C"
