#include "TandrelApp/Engine/AudioRingBuffer.h"

#include <cstdio>
#include <cstdlib>

AudioRingBuffer::AudioRingBuffer(uint32_t channels, uint32_t capacityFrames)
    : raw_(TDRingBufferCreate(channels, capacityFrames)) {
    if (raw_ == nullptr) {
        std::fprintf(stderr, "TDRingBufferCreate failed (channels: %u, capacity: %u)\n", channels,
                     capacityFrames);
        std::abort();
    }
}

AudioRingBuffer::~AudioRingBuffer() {
    TDRingBufferDestroy(raw_);
}
