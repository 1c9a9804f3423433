// Owner of one core fan-out, or a non-owning view of a destination's fan-out: every producer writes
// its captured blocks through one of these.
#pragma once

#include <array>
#include <cstdint>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "TandrelCore/TandrelCore.h"

class AudioFanout {
public:
    // Creates an owned fan-out; stops the program when the core cannot (callers pass at least 1).
    explicit AudioFanout(uint32_t channels);
    // Wraps a fan-out owned elsewhere (a destination's); it is not destroyed with this object.
    explicit AudioFanout(TDFanout* borrowed);
    ~AudioFanout();
    AudioFanout(const AudioFanout&) = delete;
    AudioFanout& operator=(const AudioFanout&) = delete;

    TDFanout* raw() const { return raw_; }
    bool owned() const { return owned_; }

    // Writes one block of 32-bit float linear PCM, planar or interleaved, and returns its frames;
    // anything else is refused with 0 and nothing written. Real-time: one producer thread at a time.
    uint32_t write(const AudioBufferList* bufferList, const AudioStreamBasicDescription& format,
                   uint64_t hostTime);

private:
    static constexpr uint32_t kMaxPlanarChannels = 64;

    TDFanout* raw_;
    std::array<const float*, kMaxPlanarChannels> channelPointers_{};
    bool owned_;
};
