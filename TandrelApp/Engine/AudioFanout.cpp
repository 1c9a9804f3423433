#include "TandrelApp/Engine/AudioFanout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

AudioFanout::AudioFanout(uint32_t channels)
    : raw_(TDFanoutCreate(channels))
    , owned_(true) {
    if (raw_ == nullptr) {
        std::fprintf(stderr, "TDFanoutCreate failed (channels: %u)\n", channels);
        std::abort();
    }
}

AudioFanout::AudioFanout(TDFanout* borrowed)
    : raw_(borrowed)
    , owned_(false) {}

AudioFanout::~AudioFanout() {
    if (owned_) {
        TDFanoutDestroy(raw_);
    }
}

uint32_t AudioFanout::write(const AudioBufferList* bufferList, const AudioStreamBasicDescription& format,
                            uint64_t hostTime) {
    if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & kAudioFormatFlagIsFloat) == 0 ||
        format.mBitsPerChannel != 32 || format.mBytesPerFrame == 0) {
        return 0;
    }
    if (bufferList == nullptr || bufferList->mNumberBuffers == 0) {
        return 0;
    }
    const AudioBuffer& first = bufferList->mBuffers[0];
    if (first.mData == nullptr || first.mDataByteSize < format.mBytesPerFrame) {
        return 0;
    }
    uint32_t frames = first.mDataByteSize / format.mBytesPerFrame;

    if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0) {
        // Each frame is read as channelsPerFrame consecutive floats: a smaller frame would overrun.
        if (static_cast<uint64_t>(format.mBytesPerFrame) <
            static_cast<uint64_t>(format.mChannelsPerFrame) * 4) {
            return 0;
        }
        TDFanoutWriteInterleaved(raw_, static_cast<const float*>(first.mData), format.mChannelsPerFrame,
                                 frames, hostTime);
        return frames;
    }

    const uint32_t channels = std::min(bufferList->mNumberBuffers, kMaxPlanarChannels);
    for (uint32_t c = 0; c < channels; ++c) {
        const AudioBuffer& buffer = bufferList->mBuffers[c];
        if (buffer.mData == nullptr) {
            return 0;
        }
        // The block is as long as its shortest channel.
        frames = std::min(frames, buffer.mDataByteSize / format.mBytesPerFrame);
        channelPointers_[c] = static_cast<const float*>(buffer.mData);
    }
    TDFanoutWritePlanar(raw_, channelPointers_.data(), channels, frames, hostTime);
    return frames;
}
