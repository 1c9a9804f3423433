// One buffer of media that a capture stream hands to its outputs: audio with its stream format and a
// buffer list (32-bit float, one buffer per channel, as the real service delivers), or a screen frame.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/AudioServer/CoreAudioTypes.h"

class SampleBuffer {
public:
    // Audio of `frames` frames per channel, zeroed; the stream fills channel(c).
    static std::shared_ptr<SampleBuffer> audio(double sampleRate, uint32_t channels, uint32_t frames);
    // A tiny frame of pixels; it carries no audio format.
    static std::shared_ptr<SampleBuffer> screenFrame(uint32_t width, uint32_t height);
    // A buffer as a faulty producer might hand it over, for tests of the consumers.
    static std::shared_ptr<SampleBuffer>
    malformed(bool valid, std::optional<AudioStreamBasicDescription> format, bool hasBufferList);

    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    bool isValid() const { return valid_; }
    // The audio stream format, or null for a buffer without one (a screen frame).
    const AudioStreamBasicDescription* audioFormat() const { return format_ ? &*format_ : nullptr; }
    // The samples, pointing into the buffer's own storage; null when the buffer holds no audio.
    const AudioBufferList* audioBufferList() const {
        return listStorage_.empty() ? nullptr : reinterpret_cast<const AudioBufferList*>(listStorage_.data());
    }
    uint32_t frames() const { return frames_; }
    float* channel(uint32_t index) { return samples_[index].data(); }

private:
    SampleBuffer() = default;

    bool valid_ = true;
    std::optional<AudioStreamBasicDescription> format_;
    uint32_t frames_ = 0;
    std::vector<std::vector<float>> samples_;
    // An AudioBufferList followed by its further buffers, aligned for it.
    std::vector<AudioBuffer> listStorage_;
};
