// Owner of one core single-producer, single-consumer ring; used by producers and tests that need a
// ring outside a route.
#pragma once

#include <cstdint>

#include "TandrelCore/TandrelCore.h"

class AudioRingBuffer {
public:
    // Stops the program when the core cannot create the ring (callers pass at least 1 for both).
    AudioRingBuffer(uint32_t channels, uint32_t capacityFrames);
    ~AudioRingBuffer();
    AudioRingBuffer(const AudioRingBuffer&) = delete;
    AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

    TDRingBuffer* raw() const { return raw_; }

private:
    TDRingBuffer* raw_;
};
