// A mono producer that emits a short 1 kHz burst at a fixed interval and remembers when each burst was
// generated, written in chunks by a 1 ms timer on the queue "qorvix.tandrel.click". The latency self-test
// routes it into a line and pairs the bursts with the clicks a ClickDetector hears.
#pragma once

#include <mutex>
#include <vector>

#include "Platform/System/HostClock.h"
#include "TandrelApp/Diagnostics/TimedSignalSource.h"

class ClickSource : public TimedSignalSource {
public:
    // Bursts every `intervalSeconds` (truncated to whole frames); an interval shorter than one frame
    // gives silence.
    ClickSource(double sampleRate, uint32_t chunkFrames, double intervalSeconds, Clock clock = HostClockNow);

    std::string producerName() const override { return "Click"; }

    uint64_t intervalFrames() const { return intervalFrames_; }
    // Frames per burst: a millisecond of audio.
    uint32_t burstFrames() const { return burstFrames_; }

    // Continues the frame count of an earlier run; a fresh source starts at frame 0.
    void start();

    // The host time of every burst generated so far (the nominal time of its first frame), ascending.
    std::vector<uint64_t> burstTimes() const;

private:
    void fillChunk(float* buffer, uint64_t firstFrame) override;

    const uint64_t intervalFrames_;
    const uint32_t burstFrames_;
    mutable std::mutex lock_;
    std::vector<uint64_t> burstTimes_;
};
