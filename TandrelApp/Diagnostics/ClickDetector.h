// Listens on one channel of an input device through a device callback and notes the host time of every
// click onset it hears; turns those onsets and the emitted click times into latencies. The latency
// self-test listens on a line's input with it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"

class ClickDetector {
public:
    static constexpr size_t capacity = 4096;

    // The onsets heard so far and the quiet run before the next one. The device callback writes it; it is
    // read only once the callback has stopped.
    struct Onsets {
        // A sample louder than this is a click.
        static constexpr float threshold = 0.05f;

        Onsets(uint32_t channel, double sampleRate);

        // Real-time: no locks, no allocation. Looks at `channel` of the first buffer of `input` (interleaved
        // floats); a buffer without that channel, or without a whole frame, is ignored.
        void consume(const AudioBufferList* input, uint64_t hostTime);

        const uint32_t channel;
        // Frames that must be quiet before a loud one counts as an onset: 10 ms.
        const uint64_t quietLimit;
        const double ticksPerFrame;
        std::array<uint64_t, capacity> arrivals{};
        size_t count = 0;
        uint64_t quietFrames = 0;
    };

    ClickDetector(AudioDeviceInfo device, uint32_t channel);
    // Stops and removes the callback first.
    ~ClickDetector();
    ClickDetector(const ClickDetector&) = delete;
    ClickDetector& operator=(const ClickDetector&) = delete;

    // Asks for the buffer size when one is given (what the device takes is not checked), installs the
    // callback on the device's IO thread and starts the device. Throws CoreAudioError when the callback
    // cannot be installed; a device that does not start simply records nothing. Blocks on the audio
    // server. Once per detector.
    void start(std::optional<uint32_t> bufferFrames);
    void stop();

    // For each onset, in the order heard, the milliseconds since the emitted time it came from: of the
    // times at or before it, the one whose delay lies nearest `expectedMs`. With clicks emitted an
    // interval apart, every delay within expectedMs ± half the interval is paired with its own click,
    // however long it is; with 0 that is the latest time. Onsets before every emitted time count for
    // nothing. `emitted` ascending. Only after stop().
    std::vector<double> latencies(const std::vector<uint64_t>& emitted, double expectedMs = 0) const;

    const AudioDeviceInfo& device() const { return device_; }
    uint32_t channel() const { return onsets_->channel; }
    // The onsets heard. Only after stop().
    std::vector<uint64_t> arrivals() const;

    // The pairing of latencies(emitted:) on plain host times.
    static std::vector<double> latencies(const std::vector<uint64_t>& arrivals,
                                         const std::vector<uint64_t>& emitted, double expectedMs = 0);

private:
    const AudioDeviceInfo device_;
    // Apart from the detector, so the callback never touches the object itself.
    const std::unique_ptr<Onsets> onsets_;
    AudioDeviceIOProcID ioProcID_ = nullptr;
};
