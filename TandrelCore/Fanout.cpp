#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>

#include "TandrelCore/CoreInternal.h"

namespace {
constexpr uint32_t kSlots = 32;
constexpr uint32_t kMaxPeakChannels = 64;
} // namespace

struct TDFanout {
    uint32_t channels = 0;
    std::atomic<TDRingBuffer*> slots[kSlots] = {};
    std::mutex mutex; // attaching and detaching only; the writer never takes it
    std::atomic<uint64_t> writeCount{0};
    std::atomic<uint64_t> framesWritten{0};
    std::atomic<uint32_t> lastWriteFrames{0};
    std::atomic<float>* peaks = nullptr;
};

namespace {

// Raises a held peak with a plain load and store: a take racing in between may see the old value once.
void raisePeak(std::atomic<float>& held, float blockPeak) {
    if (blockPeak > held.load(std::memory_order_relaxed)) {
        held.store(blockPeak, std::memory_order_relaxed);
    }
}

void countWrite(TDFanout* fanout, uint32_t frames) {
    fanout->writeCount.fetch_add(1, std::memory_order_relaxed);
    fanout->framesWritten.fetch_add(frames, std::memory_order_relaxed);
    fanout->lastWriteFrames.store(frames, std::memory_order_relaxed);
}

// The larger of a peak and a sample's magnitude; NaN never compares greater, so it is ignored.
inline float raisedBy(float peak, float sample) {
    const float a = std::fabs(sample);
    return a > peak ? a : peak;
}

// Largest absolute sample of a strided run.
float runPeak(const float* samples, uint32_t frames, size_t stride) {
    float peak = 0.0f;
    for (uint32_t i = 0; i < frames; ++i) {
        peak = raisedBy(peak, samples[i * stride]);
    }
    return peak;
}

// Largest absolute sample of each of the first `metered` channels of interleaved frames, eight samples
// side by side in one pass, their peaks held in one vector register. With 1, 2, 4 or 8 channels the eight
// hold whole frames; with more, eight channels are taken a pass, and the rest one by one.
void interleavedPeaks(const float* samples, uint32_t channelCount, uint32_t frames, uint32_t metered,
                      float* peaks) {
    constexpr uint32_t kLanes = 8;
    if (kLanes % channelCount == 0) {
        float lanes[kLanes] = {};
        const size_t total = size_t(frames) * channelCount;
        size_t i = 0;
        for (; i + kLanes <= total; i += kLanes) {
            for (uint32_t l = 0; l < kLanes; ++l) {
                lanes[l] = raisedBy(lanes[l], samples[i + l]);
            }
        }
        for (; i < total; ++i) {
            lanes[i % kLanes] = raisedBy(lanes[i % kLanes], samples[i]);
        }
        for (uint32_t c = 0; c < metered; ++c) {
            peaks[c] = 0.0f;
            for (uint32_t l = c; l < kLanes; l += channelCount) {
                peaks[c] = raisedBy(peaks[c], lanes[l]);
            }
        }
        return;
    }
    uint32_t c = 0;
    for (; c + kLanes <= metered; c += kLanes) {
        float lanes[kLanes] = {};
        for (uint32_t f = 0; f < frames; ++f) {
            const float* frame = samples + size_t(f) * channelCount + c;
            for (uint32_t l = 0; l < kLanes; ++l) {
                lanes[l] = raisedBy(lanes[l], frame[l]);
            }
        }
        std::copy_n(lanes, kLanes, peaks + c);
    }
    for (; c < metered; ++c) {
        peaks[c] = runPeak(samples + c, frames, channelCount);
    }
}

template <typename WriteRing>
void writeAllRings(TDFanout* fanout, uint64_t hostTime, WriteRing writeRing) {
    for (auto& slot : fanout->slots) {
        TDRingBuffer* ring = slot.load(std::memory_order_acquire);
        if (ring != nullptr) {
            writeRing(ring);
            TDRingBufferSetLastWriteTime(ring, hostTime);
        }
    }
}

} // namespace

extern "C" {

TDFanout* TDFanoutCreate(uint32_t channels) {
    if (channels == 0) {
        return nullptr;
    }
    auto* fanout = new (std::nothrow) TDFanout;
    if (fanout == nullptr) {
        return nullptr;
    }
    fanout->peaks = new (std::nothrow) std::atomic<float>[channels];
    if (fanout->peaks == nullptr) {
        delete fanout;
        return nullptr;
    }
    for (uint32_t c = 0; c < channels; ++c) {
        fanout->peaks[c].store(0.0f, std::memory_order_relaxed);
    }
    fanout->channels = channels;
    return fanout;
}

void TDFanoutDestroy(TDFanout* fanout) {
    if (fanout == nullptr) {
        return;
    }
    delete[] fanout->peaks;
    delete fanout;
}

uint32_t TDFanoutChannels(const TDFanout* fanout) {
    return fanout->channels;
}

bool TDFanoutAdd(TDFanout* fanout, TDRingBuffer* ring) {
    std::lock_guard lock(fanout->mutex);
    for (auto& slot : fanout->slots) {
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            slot.store(ring, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void TDFanoutRemove(TDFanout* fanout, TDRingBuffer* ring) {
    std::lock_guard lock(fanout->mutex);
    for (auto& slot : fanout->slots) {
        if (slot.load(std::memory_order_relaxed) == ring) {
            slot.store(nullptr, std::memory_order_release);
        }
    }
}

void TDFanoutWritePlanar(TDFanout* fanout, const float* const* channels, uint32_t channelCount,
                         uint32_t frames, uint64_t hostTime) {
    writeAllRings(fanout, hostTime,
                  [&](TDRingBuffer* ring) { TDRingBufferWritePlanar(ring, channels, channelCount, frames); });
    const uint32_t metered = std::min(channelCount, fanout->channels);
    for (uint32_t c = 0; c < metered; ++c) {
        raisePeak(fanout->peaks[c], runPeak(channels[c], frames, 1));
    }
    countWrite(fanout, frames);
}

void TDFanoutWriteInterleaved(TDFanout* fanout, const float* samples, uint32_t channelCount, uint32_t frames,
                              uint64_t hostTime) {
    float peaks[kMaxPeakChannels];
    const uint32_t metered = std::min({channelCount, fanout->channels, kMaxPeakChannels});
    interleavedPeaks(samples, channelCount, frames, metered, peaks);
    tdcore::fanoutWriteInterleavedWithPeaks(fanout, samples, channelCount, frames, hostTime, peaks);
}

} // extern "C"

namespace tdcore {

void fanoutWriteInterleavedWithPeaks(TDFanout* fanout, const float* samples, uint32_t channelCount,
                                     uint32_t frames, uint64_t hostTime, const float* peaks) {
    writeAllRings(fanout, hostTime, [&](TDRingBuffer* ring) {
        TDRingBufferWriteInterleaved(ring, samples, channelCount, frames);
    });
    const uint32_t metered = std::min({channelCount, fanout->channels, kMaxPeakChannels});
    for (uint32_t c = 0; c < metered; ++c) {
        raisePeak(fanout->peaks[c], peaks[c]);
    }
    countWrite(fanout, frames);
}

} // namespace tdcore

extern "C" {

float TDFanoutTakePeak(TDFanout* fanout, uint32_t channel) {
    if (channel >= fanout->channels) {
        return 0.0f;
    }
    return fanout->peaks[channel].exchange(0.0f, std::memory_order_relaxed);
}

uint64_t TDFanoutWriteCount(const TDFanout* fanout) {
    return fanout->writeCount.load(std::memory_order_relaxed);
}

uint64_t TDFanoutFramesWritten(const TDFanout* fanout) {
    return fanout->framesWritten.load(std::memory_order_relaxed);
}

uint32_t TDFanoutLastWriteFrames(const TDFanout* fanout) {
    return fanout->lastWriteFrames.load(std::memory_order_relaxed);
}

} // extern "C"
