#include "Platform/ScreenCapture/SampleBuffer.h"

std::shared_ptr<SampleBuffer> SampleBuffer::audio(double sampleRate, uint32_t channels, uint32_t frames) {
    std::shared_ptr<SampleBuffer> buffer(new SampleBuffer);
    AudioStreamBasicDescription format{};
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    buffer->format_ = format;
    buffer->frames_ = frames;
    buffer->samples_.assign(channels, std::vector<float>(frames, 0.0f));
    // AudioBufferList is a count followed by buffers; room for one AudioBuffer more than the channels
    // covers the count and its padding.
    buffer->listStorage_.resize(size_t(channels) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(buffer->listStorage_.data());
    list->mNumberBuffers = channels;
    for (uint32_t c = 0; c < channels; ++c) {
        list->mBuffers[c] = AudioBuffer{1, frames * 4u, buffer->samples_[c].data()};
    }
    return buffer;
}

std::shared_ptr<SampleBuffer> SampleBuffer::screenFrame(uint32_t width, uint32_t height) {
    std::shared_ptr<SampleBuffer> buffer(new SampleBuffer);
    buffer->samples_.assign(1, std::vector<float>(size_t(width) * height, 0.0f));
    return buffer;
}

std::shared_ptr<SampleBuffer>
SampleBuffer::malformed(bool valid, std::optional<AudioStreamBasicDescription> format, bool hasBufferList) {
    auto buffer = hasBufferList ? audio(48000, 2, 480) : std::shared_ptr<SampleBuffer>(new SampleBuffer);
    buffer->valid_ = valid;
    buffer->format_ = format;
    return buffer;
}
