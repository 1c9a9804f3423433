// A sine generator with one fixed frequency per channel, written into its fan-out in chunks by a 2 ms
// timer on the queue "qorvix.tandrel.tone". The engine and routing self-tests feed it into the engine and
// the controller like any captured source.
#pragma once

#include <vector>

#include "Platform/System/HostClock.h"
#include "TandrelApp/Diagnostics/TimedSignalSource.h"

class ToneSource : public TimedSignalSource {
public:
    // One channel per frequency (at least one); `chunkFrames` is usually a hundredth of the rate.
    ToneSource(std::vector<double> frequencies, float amplitude, double sampleRate, uint32_t chunkFrames,
               Clock clock = HostClockNow);

    // "Tone " with the integer parts of the frequencies joined by "/", then " Hz".
    std::string producerName() const override;

    const std::vector<double>& frequencies() const { return frequencies_; }
    float amplitude() const { return amplitude_; }

    // Starts from frame 0 now.
    void start();

private:
    void fillChunk(float* buffer, uint64_t firstFrame) override;

    const std::vector<double> frequencies_;
    const float amplitude_;
};
