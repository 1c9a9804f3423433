#include "TandrelApp/Diagnostics/ClickSource.h"

#include <cmath>
#include <numbers>

#include "TandrelCore/TandrelCore.h"

using namespace std::chrono_literals;

namespace {

// Frames in `seconds` at `rate`, truncated; 0 for anything that is not a positive count.
uint64_t wholeFrames(double seconds, double rate) {
    const double frames = seconds * rate;
    return frames >= 1 && frames < 1e18 ? static_cast<uint64_t>(frames) : 0;
}

} // namespace

ClickSource::ClickSource(double sampleRate, uint32_t chunkFrames, double intervalSeconds, Clock clock)
    : TimedSignalSource("qorvix.tandrel.click", 1, sampleRate, chunkFrames, std::move(clock))
    , intervalFrames_(wholeFrames(intervalSeconds, sampleRate))
    , burstFrames_(static_cast<uint32_t>(std::min<uint64_t>(wholeFrames(0.001, sampleRate), UINT32_MAX))) {}

void ClickSource::start() {
    startTicking(1ms, false);
}

std::vector<uint64_t> ClickSource::burstTimes() const {
    std::lock_guard lock(lock_);
    return burstTimes_;
}

void ClickSource::fillChunk(float* buffer, uint64_t firstFrame) {
    const double rate = sampleRate();
    for (uint32_t i = 0; i < chunkFrames(); ++i) {
        const uint64_t n = firstFrame + i;
        if (intervalFrames_ == 0) {
            buffer[i] = 0;
            continue;
        }
        const uint64_t phase = n % intervalFrames_;
        if (phase == 0) {
            const auto offset = static_cast<uint64_t>(double(n) / rate * TDHostTicksPerSecond());
            std::lock_guard lock(lock_);
            burstTimes_.push_back(startTime() + offset);
        }
        buffer[i] =
            phase < burstFrames_
                ? static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * double(phase) / rate) * 0.5)
                : 0.0f;
    }
}
