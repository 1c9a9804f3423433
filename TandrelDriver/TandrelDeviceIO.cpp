// The line device's audio path and clock: the loop-back ring with its gain ramp, IO start and stop,
// zero time stamps, and the sample-rate and channel-count changes carried out through the host.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "TandrelDriver/DriverCodes.h"
#include "TandrelDriver/TandrelDevice.h"

namespace tandrel::driver {

namespace {

constexpr uint64_t kRingMask = TandrelDevice::kRingFrames - 1;

// The low bits of a sample time; two's complement makes this right for negative times too.
uint32_t ringFrame(int64_t sampleTime) {
    return static_cast<uint32_t>(static_cast<uint64_t>(sampleTime) & kRingMask);
}

// Whether every sample is zero (of either sign), in one pass without an early exit, which the compiler
// turns into vector instructions.
bool isSilent(const float* samples, size_t count) {
    uint32_t bits = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t sample;
        std::memcpy(&sample, samples + i, sizeof sample);
        bits |= sample & 0x7fffffffu;
    }
    return bits == 0;
}

bool isSupportedRate(double rate) {
    for (double r : kSupportedSampleRates) {
        if (r == rate) {
            return true;
        }
    }
    return false;
}

} // namespace

void TandrelDevice::resetClockLocked() {
    clockAnchor_ = context_->runtime->hostNow();
    zeroTimeStampCount_ = 0;
}

OSStatus TandrelDevice::startIO() {
    std::lock_guard guard(lock_);
    if (ioClients_ == 0) {
        resetClockLocked();
        std::fill(ring_.begin(), ring_.end(), 0.0f);
        windowStart_.store(0, std::memory_order_relaxed);
        windowEnd_.store(0, std::memory_order_release);
        ringSilent_.store(true, std::memory_order_relaxed);
        silenceFrom_ = 0;
    }
    ++ioClients_;
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::stopIO() {
    std::lock_guard guard(lock_);
    if (ioClients_ == 0) {
        return kAudioHardwareIllegalOperationError;
    }
    --ioClients_;
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::getZeroTimeStamp(double* sampleTime, uint64_t* hostTime, uint64_t* seed) {
    std::lock_guard guard(lock_);
    const uint64_t now = context_->runtime->hostNow();
    const double period = hostTicksPerFrame_ * kRingFrames;
    uint64_t n = zeroTimeStampCount_;
    // Unsigned wrap-around is intended: after a rate change the anchor may lie "before zero".
    const uint64_t next = clockAnchor_ + static_cast<uint64_t>(static_cast<double>(n + 1) * period);
    uint64_t host;
    if (now >= next) {
        zeroTimeStampCount_ = ++n;
        host = next;
    } else {
        host = clockAnchor_ + static_cast<uint64_t>(static_cast<double>(n) * period);
    }
    if (sampleTime) {
        *sampleTime = static_cast<double>(n * kRingFrames);
    }
    if (hostTime) {
        *hostTime = host;
    }
    if (seed) {
        *seed = 1;
    }
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::willDoIOOperation(uint32_t operation, bool* willDo, bool* inPlace) const {
    if (willDo) {
        *willDo = operation == kAudioServerPlugInIOOperationReadInput ||
                  operation == kAudioServerPlugInIOOperationWriteMix;
    }
    if (inPlace) {
        *inPlace = true;
    }
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::doIOOperation(AudioObjectID streamID, uint32_t operation, uint32_t frames,
                                      const AudioServerPlugInIOCycleInfo* cycle, void* buffer) {
    if (buffer == nullptr || frames == 0 || cycle == nullptr) {
        return kAudioHardwareNoError;
    }
    if (operation == kAudioServerPlugInIOOperationReadInput && streamID == inputStreamID()) {
        readRing(std::llround(cycle->mInputTime.mSampleTime), frames, static_cast<float*>(buffer));
    } else if (operation == kAudioServerPlugInIOOperationWriteMix && streamID == outputStreamID()) {
        writeRing(std::llround(cycle->mOutputTime.mSampleTime), frames, static_cast<const float*>(buffer));
    }
    return kAudioHardwareNoError;
}

void TandrelDevice::writeRing(int64_t t, uint32_t n, const float* source) {
    const uint32_t channels = channelCount();
    const int64_t end = windowEnd_.load(std::memory_order_relaxed);
    const int64_t start = t != end ? t : windowStart_.load(std::memory_order_relaxed);

    std::array<float, kMaxChannels> gains;
    bool unity = true;
    for (uint32_t c = 0; c < channels; ++c) {
        gains[c] = targetGains_[c].load(std::memory_order_relaxed);
        unity = unity && gains[c] == 1.0f && appliedGains_[c] == 1.0f;
    }

    // Silence written over a silent ring changes nothing, whatever the gains.
    const bool silentBlock = isSilent(source, size_t{n} * channels);
    if (!silentBlock) {
        ringSilent_.store(false); // before the samples, so no reader of them sees a silent ring
        silenceFrom_ = t + n;
    } else if (t != end) {
        silenceFrom_ = t;
    }
    const bool unchanged = silentBlock && ringSilent_.load(std::memory_order_relaxed);

    float* ring = ring_.data();
    for (uint32_t f = unchanged ? n : 0; f < n;) {
        const uint32_t p = ringFrame(t + f);
        const uint32_t chunk = std::min(kRingFrames - p, n - f);
        if (unity) {
            std::memcpy(ring + size_t{p} * channels, source + size_t{f} * channels,
                        size_t{chunk} * channels * sizeof(float));
        } else {
            for (uint32_t k = f; k < f + chunk; ++k) {
                // The ramp starts where the last block ended and lands on the target at the last frame.
                const float ratio = static_cast<float>(k + 1) / static_cast<float>(n);
                float* out = ring + size_t{p + (k - f)} * channels;
                const float* in = source + size_t{k} * channels;
                for (uint32_t c = 0; c < channels; ++c) {
                    out[c] = (appliedGains_[c] + (gains[c] - appliedGains_[c]) * ratio) * in[c];
                }
            }
        }
        f += chunk;
    }
    std::copy_n(gains.begin(), channels, appliedGains_.begin());
    // Once every frame of the ring was written with silence, the ring is silent.
    if (silentBlock && t + n - silenceFrom_ >= int64_t{kRingFrames}) {
        ringSilent_.store(true, std::memory_order_relaxed);
    }

    // Published after the samples, so a reader on another thread never sees the window ahead of them.
    windowStart_.store(start, std::memory_order_relaxed);
    windowEnd_.store(t + n, std::memory_order_release);
}

void TandrelDevice::readRing(int64_t t, uint32_t n, float* destination) const {
    const uint32_t channels = channelCount();
    const int64_t end = windowEnd_.load(std::memory_order_acquire);
    const int64_t low = std::max(windowStart_.load(std::memory_order_relaxed), end - int64_t{kRingFrames});
    if (ringSilent_.load(std::memory_order_relaxed)) {
        std::fill_n(destination, size_t{n} * channels, 0.0f);
        return;
    }
    const float* ring = ring_.data();

    for (uint32_t f = 0; f < n;) {
        const int64_t a = t + f;
        const uint32_t p = ringFrame(a);
        const uint32_t chunk = std::min(kRingFrames - p, n - f);
        const int64_t b = a + chunk;
        const int64_t validFrom = std::clamp(std::max(low, a), a, b);
        const int64_t validTo = std::max(validFrom, std::min(b, end));
        float* out = destination + size_t{f} * channels;
        const auto frames = [channels](int64_t count) {
            return static_cast<size_t>(count) * channels;
        };
        std::fill_n(out, frames(validFrom - a), 0.0f);
        std::memcpy(out + frames(validFrom - a), ring + size_t{p} * channels + frames(validFrom - a),
                    frames(validTo - validFrom) * sizeof(float));
        std::fill_n(out + frames(validTo - a), frames(b - validTo), 0.0f);
        f += chunk;
    }
}

OSStatus TandrelDevice::requestSampleRate(double rate) {
    if (!isSupportedRate(rate)) {
        return kAudioHardwareIllegalOperationError;
    }
    if (rate == sampleRate()) {
        return kAudioHardwareNoError;
    }
    context_->runtime->global(QualityOfService::Default, [context = context_, id = deviceID_, rate] {
        if (AudioServerPlugInHostRef host = context->currentHost()) {
            host->RequestDeviceConfigurationChange(host, id, static_cast<uint64_t>(rate), nullptr);
        }
    });
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::setStreamFormat(const AudioStreamBasicDescription& format) {
    const uint32_t channels = channelCount();
    const uint32_t required = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & required) != required ||
        format.mChannelsPerFrame != channels || format.mBitsPerChannel != 32 ||
        format.mBytesPerFrame != 4 * channels || format.mFramesPerPacket != 1) {
        return kAudioDeviceUnsupportedFormatError;
    }
    return requestSampleRate(format.mSampleRate);
}

void TandrelDevice::requestChannelCount(uint32_t count) {
    count = std::clamp(count, 2u, kMaxChannels);
    AudioServerPlugInHostRef host = context_->currentHost();
    if (count != channelCount() && host != nullptr) {
        host->RequestDeviceConfigurationChange(host, deviceID_, kChannelCountActionBit + count, nullptr);
    }
}

OSStatus TandrelDevice::performConfigurationChange(uint64_t action) {
    if (action & kChannelCountActionBit) {
        const uint32_t channels = static_cast<uint32_t>(action & 0xFFFF);
        if (channels < 2 || channels > kMaxChannels) {
            return kAudioHardwareIllegalOperationError;
        }
        std::lock_guard guard(lock_);
        ring_.assign(size_t{channels} * kRingFrames, 0.0f);
        windowStart_.store(0, std::memory_order_relaxed);
        windowEnd_.store(0, std::memory_order_release);
        ringSilent_.store(true, std::memory_order_relaxed);
        silenceFrom_ = 0;
        channelCount_.store(channels, std::memory_order_relaxed);
        return kAudioHardwareNoError;
    }

    const double rate = static_cast<double>(action);
    if (!isSupportedRate(rate)) {
        return kAudioHardwareBadObjectError;
    }
    std::lock_guard guard(lock_);
    const double oldPeriod = hostTicksPerFrame_ * kRingFrames;
    sampleRate_ = rate;
    hostTicksPerFrame_ = ticksPerFrame(rate);
    // Re-base the anchor so the current zero time stamp keeps its host time under the new period;
    // otherwise a running line's time stamps would jump by count x (period change).
    const double newPeriod = hostTicksPerFrame_ * kRingFrames;
    const double n = static_cast<double>(zeroTimeStampCount_);
    clockAnchor_ = clockAnchor_ + static_cast<uint64_t>(n * oldPeriod) - static_cast<uint64_t>(n * newPeriod);
    return kAudioHardwareNoError;
}

} // namespace tandrel::driver
