// Helpers for the core's tests: device buffer lists of any layout and a producer that writes blocks
// of a signal through a fan-out with synthetic host times (ticks are nanoseconds).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

#include "Platform/System/HostClock.h"
#include "TandrelCore/TandrelCore.h"

// A buffer list whose buffers own their storage; channels per buffer as given.
class DeviceBuffers {
public:
    DeviceBuffers(std::vector<uint32_t> channelsPerBuffer, uint32_t frames, float fill = 0.0f)
        : storage_(channelsPerBuffer.size()) {
        list_.reset(static_cast<AudioBufferList*>(
            std::calloc(1, TD_AUDIO_BUFFER_LIST_SIZE(channelsPerBuffer.size()))));
        list_->mNumberBuffers = static_cast<uint32_t>(channelsPerBuffer.size());
        for (size_t b = 0; b < channelsPerBuffer.size(); ++b) {
            storage_[b].assign(static_cast<size_t>(channelsPerBuffer[b]) * frames, fill);
            list_->mBuffers[b].mNumberChannels = channelsPerBuffer[b];
            list_->mBuffers[b].mDataByteSize = static_cast<uint32_t>(storage_[b].size() * sizeof(float));
            list_->mBuffers[b].mData = storage_[b].empty() ? nullptr : storage_[b].data();
        }
    }
    AudioBufferList* list() { return list_.get(); }
    std::vector<float>& buffer(size_t b) { return storage_[b]; }

private:
    struct Free {
        void operator()(AudioBufferList* p) const { std::free(p); }
    };
    std::unique_ptr<AudioBufferList, Free> list_;
    std::vector<std::vector<float>> storage_;
};

// Writes interleaved blocks of a signal into a fan-out, keeping its own sample clock.
class TestProducer {
public:
    TestProducer(TDFanout* fanout, uint32_t channels, double rate,
                 std::function<float(uint64_t, uint32_t)> signal)
        : fanout_(fanout)
        , channels_(channels)
        , rate_(rate)
        , signal_(std::move(signal)) {}

    void write(uint32_t frames, uint64_t hostTime) {
        block_.resize(static_cast<size_t>(frames) * channels_);
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t c = 0; c < channels_; ++c) {
                block_[static_cast<size_t>(i) * channels_ + c] = signal_(position_ + i, c);
            }
        }
        TDFanoutWriteInterleaved(fanout_, block_.data(), channels_, frames, hostTime);
        position_ += frames;
    }
    uint64_t position() const { return position_; }
    double rate() const { return rate_; }

private:
    TDFanout* fanout_;
    uint32_t channels_;
    double rate_;
    std::function<float(uint64_t, uint32_t)> signal_;
    std::vector<float> block_;
    uint64_t position_ = 0;
};

inline std::function<float(uint64_t, uint32_t)> sine(double frequency, double rate, float amplitude) {
    return [=](uint64_t n, uint32_t) {
        return amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * frequency * n / rate));
    };
}

inline std::function<float(uint64_t, uint32_t)> constant(float value) {
    return [=](uint64_t, uint32_t) {
        return value;
    };
}

constexpr uint64_t kSecond = 1'000'000'000ull;

inline uint64_t ticksFor(double frames, double rate) {
    return static_cast<uint64_t>(std::llround(frames / rate * 1e9));
}

inline std::vector<TDMatrixEntry> identity(uint16_t channels) {
    std::vector<TDMatrixEntry> entries;
    for (uint16_t c = 0; c < channels; ++c) {
        entries.push_back({c, c, 1.0f});
    }
    return entries;
}
