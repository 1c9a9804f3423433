#include "TandrelApp/Diagnostics/ClickDetector.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelCore/TandrelCore.h"

namespace {

double positiveOrZero(double value) {
    return value > 0 && std::isfinite(value) ? value : 0.0;
}

} // namespace

ClickDetector::Onsets::Onsets(uint32_t channel, double sampleRate)
    : channel(channel)
    , quietLimit(static_cast<uint64_t>(std::min(positiveOrZero(sampleRate) / 100, 1e18)))
    , ticksPerFrame(positiveOrZero(sampleRate) > 0 ? TDHostTicksPerSecond() / sampleRate : 0.0) {}

void ClickDetector::Onsets::consume(const AudioBufferList* input, uint64_t hostTime) {
    if (input == nullptr || input->mNumberBuffers == 0) {
        return;
    }
    const AudioBuffer& buffer = input->mBuffers[0];
    const uint32_t channels = buffer.mNumberChannels;
    if (buffer.mData == nullptr || channels == 0 || channel >= channels ||
        buffer.mDataByteSize < channels * sizeof(float)) {
        return;
    }
    const auto* samples = static_cast<const float*>(buffer.mData);
    const uint32_t frames = buffer.mDataByteSize / (channels * uint32_t(sizeof(float)));
    for (uint32_t i = 0; i < frames; ++i) {
        if (std::abs(samples[size_t(i) * channels + channel]) > threshold) {
            if (quietFrames > quietLimit && count < capacity) {
                arrivals[count] = hostTime + static_cast<uint64_t>(ticksPerFrame * double(i));
                count += 1;
            }
            quietFrames = 0;
        } else {
            quietFrames += 1;
        }
    }
}

ClickDetector::ClickDetector(AudioDeviceInfo device, uint32_t channel)
    : device_(std::move(device))
    , onsets_(std::make_unique<Onsets>(channel, device_.sampleRate)) {}

ClickDetector::~ClickDetector() {
    stop();
}

void ClickDetector::start(std::optional<uint32_t> bufferFrames) {
    if (bufferFrames) {
        AudioDeviceCatalog::setBufferFrameSize(device_.id, *bufferFrames);
    }
    Onsets* onsets = onsets_.get();
    AudioDeviceIOProcID created = nullptr;
    const OSStatus status = AudioDeviceCreateIOProcIDWithBlock(
        &created, device_.id, nullptr,
        [onsets](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                 AudioBufferList*, const AudioTimeStamp*) {
            onsets->consume(input, inputTime != nullptr ? inputTime->mHostTime : 0);
        });
    if (status != kAudioHardwareNoError || created == nullptr) {
        throw CoreAudioError::osStatus("AudioDeviceCreateIOProcIDWithBlock", status);
    }
    AudioDeviceStart(device_.id, created);
    ioProcID_ = created;
}

void ClickDetector::stop() {
    if (AudioDeviceIOProcID proc = std::exchange(ioProcID_, nullptr)) {
        AudioDeviceStop(device_.id, proc);
        AudioDeviceDestroyIOProcID(device_.id, proc);
    }
}

std::vector<uint64_t> ClickDetector::arrivals() const {
    return {onsets_->arrivals.begin(), onsets_->arrivals.begin() + std::ptrdiff_t(onsets_->count)};
}

std::vector<double> ClickDetector::latencies(const std::vector<uint64_t>& emitted, double expectedMs) const {
    return latencies(arrivals(), emitted, expectedMs);
}

std::vector<double> ClickDetector::latencies(const std::vector<uint64_t>& arrivals,
                                             const std::vector<uint64_t>& emitted, double expectedMs) {
    std::vector<double> result;
    for (uint64_t arrival : arrivals) {
        std::optional<double> best;
        for (auto e = emitted.begin(); e != emitted.end() && *e <= arrival; ++e) {
            const double delay = double(arrival - *e) / TDHostTicksPerSecond() * 1000;
            if (!best || std::abs(delay - expectedMs) <= std::abs(*best - expectedMs)) {
                best = delay;
            }
        }
        if (best) {
            result.push_back(*best);
        }
    }
    return result;
}
