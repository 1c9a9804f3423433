#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TandrelCore/CoreInternal.h"

struct TDRingBuffer {
    uint32_t channels = 0;
    uint32_t capacity = 0;
    uint32_t mask = 0;
    float* data = nullptr;
    // The two indices live on separate cache lines: each side writes only its own.
    alignas(64) std::atomic<uint64_t> writeIndex{0};
    alignas(64) std::atomic<uint64_t> readIndex{0};
    alignas(64) std::atomic<uint64_t> droppedFrames{0};
    std::atomic<uint32_t> largestWrite{0};
    std::atomic<uint64_t> lastWriteTime{0};
};

namespace {

constexpr uint32_t kMaxCapacity = 1u << 30;

// Ring write shared by the planar and interleaved forms; sample(i, s) reads source frame i, channel s.
template <typename Sample>
uint32_t writeFrames(TDRingBuffer* ring, uint32_t sourceChannels, uint32_t frames, Sample sample) {
    if (sourceChannels == 0) {
        return 0;
    }
    const uint64_t write = ring->writeIndex.load(std::memory_order_relaxed);
    const uint64_t read = ring->readIndex.load(std::memory_order_acquire);
    const uint32_t free = ring->capacity - static_cast<uint32_t>(write - read);
    const uint32_t n = std::min(frames, free);
    if (free < frames) {
        ring->droppedFrames.fetch_add(frames - n, std::memory_order_relaxed);
    }
    if (frames > ring->largestWrite.load(std::memory_order_relaxed)) {
        ring->largestWrite.store(frames, std::memory_order_relaxed);
    }
    const uint32_t channels = ring->channels;
    const uint32_t lastSource = sourceChannels - 1;
    for (uint32_t i = 0; i < n; ++i) {
        float* frame = ring->data + static_cast<size_t>((write + i) & ring->mask) * channels;
        for (uint32_t c = 0; c < channels; ++c) {
            frame[c] = sample(i, std::min(c, lastSource));
        }
    }
    ring->writeIndex.store(write + n, std::memory_order_release);
    return n;
}

// Consumer side of read and skip; copy is null for a skip.
uint32_t consume(TDRingBuffer* ring, float* destination, uint32_t frames) {
    const uint64_t read = ring->readIndex.load(std::memory_order_relaxed);
    const uint64_t write = ring->writeIndex.load(std::memory_order_acquire);
    const uint32_t n = std::min(frames, static_cast<uint32_t>(write - read));
    if (destination != nullptr && n > 0) {
        const uint32_t start = static_cast<uint32_t>(read & ring->mask);
        const uint32_t first = std::min(n, ring->capacity - start);
        const size_t channels = ring->channels;
        std::memcpy(destination, ring->data + start * channels, first * channels * sizeof(float));
        if (n > first) {
            std::memcpy(destination + first * channels, ring->data, (n - first) * channels * sizeof(float));
        }
    }
    ring->readIndex.store(read + n, std::memory_order_release);
    return n;
}

} // namespace

extern "C" {

TDRingBuffer* TDRingBufferCreate(uint32_t channels, uint32_t frames) {
    if (channels == 0 || frames == 0) {
        return nullptr;
    }
    const uint32_t wanted = std::min(frames, kMaxCapacity);
    uint32_t capacity = 1;
    while (capacity < wanted) {
        capacity <<= 1;
    }
    float* data = tdcore::allocateFloats(capacity, channels);
    if (data == nullptr) {
        return nullptr;
    }
    auto* ring = new (std::nothrow) TDRingBuffer;
    if (ring == nullptr) {
        std::free(data);
        return nullptr;
    }
    ring->channels = channels;
    ring->capacity = capacity;
    ring->mask = capacity - 1;
    ring->data = data;
    return ring;
}

void TDRingBufferDestroy(TDRingBuffer* ring) {
    if (ring == nullptr) {
        return;
    }
    std::free(ring->data);
    delete ring;
}

uint32_t TDRingBufferChannels(const TDRingBuffer* ring) {
    return ring->channels;
}

uint32_t TDRingBufferCapacity(const TDRingBuffer* ring) {
    return ring->capacity;
}

uint32_t TDRingBufferAvailableToRead(const TDRingBuffer* ring) {
    const uint64_t read = ring->readIndex.load(std::memory_order_acquire);
    const uint64_t write = ring->writeIndex.load(std::memory_order_acquire);
    return static_cast<uint32_t>(write - read);
}

uint64_t TDRingBufferDroppedFrames(const TDRingBuffer* ring) {
    return ring->droppedFrames.load(std::memory_order_relaxed);
}

uint32_t TDRingBufferMaxWriteFrames(const TDRingBuffer* ring) {
    return ring->largestWrite.load(std::memory_order_relaxed);
}

uint32_t TDRingBufferWritePlanar(TDRingBuffer* ring, const float* const* channels, uint32_t sourceChannels,
                                 uint32_t frames) {
    return writeFrames(ring, sourceChannels, frames,
                       [channels](uint32_t i, uint32_t s) { return channels[s][i]; });
}

uint32_t TDRingBufferWriteInterleaved(TDRingBuffer* ring, const float* samples, uint32_t sourceChannels,
                                      uint32_t frames) {
    return writeFrames(ring, sourceChannels, frames, [samples, sourceChannels](uint32_t i, uint32_t s) {
        return samples[static_cast<size_t>(i) * sourceChannels + s];
    });
}

uint32_t TDRingBufferRead(TDRingBuffer* ring, float* destination, uint32_t frames) {
    return consume(ring, destination, frames);
}

uint32_t TDRingBufferSkip(TDRingBuffer* ring, uint32_t frames) {
    return consume(ring, nullptr, frames);
}

void TDRingBufferSetLastWriteTime(TDRingBuffer* ring, uint64_t hostTime) {
    ring->lastWriteTime.store(hostTime, std::memory_order_release);
}

uint64_t TDRingBufferLastWriteTime(const TDRingBuffer* ring) {
    return ring->lastWriteTime.load(std::memory_order_acquire);
}

} // extern "C"
