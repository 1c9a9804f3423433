// The common part of the self-tests' synthetic producers (ToneSource, ClickSource): a timer on the
// producer's own serial queue works out from the host clock how many frames are due since start() and
// writes whole chunks into the fan-out until it has caught up, each stamped with the host time of the tick.
// The subclass fills the chunks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/AudioProducer.h"

class TimedSignalSource : public AudioProducer, public std::enable_shared_from_this<TimedSignalSource> {
public:
    // The host clock in ticks (HostClockNow); tests pass a clock of their own.
    using Clock = std::function<uint64_t()>;

    // Cancels a running timer.
    ~TimedSignalSource() override;
    TimedSignalSource(const TimedSignalSource&) = delete;
    TimedSignalSource& operator=(const TimedSignalSource&) = delete;

    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return sampleRate_; }
    uint32_t chunkFrames() const { return chunkFrames_; }
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

    // Stops the timer; nothing more is written until the next start().
    void stop();

protected:
    // `chunkFrames` of at least 1 frame; the fan-out exists from here on, so consumers may attach early.
    TimedSignalSource(std::string queueLabel, uint32_t channels, double sampleRate, uint32_t chunkFrames,
                      Clock clock);

    // Notes the start time, resets the frame count when asked, and starts the timer (first tick now).
    // Own the source through a shared_ptr: the timer holds it weakly.
    void startTicking(std::chrono::microseconds interval, bool resetFrameCount);

    // Fills `buffer` (chunkFrames × channels interleaved samples) with frames firstFrame, firstFrame + 1,
    // ... of the signal. Runs on the queue.
    virtual void fillChunk(float* buffer, uint64_t firstFrame) = 0;

    uint64_t startTime() const { return startTime_; }

private:
    // Writes every whole chunk that is due by now. Queue only.
    void tick();

    const uint32_t channels_;
    const double sampleRate_;
    const uint32_t chunkFrames_;
    const Clock clock_;
    const std::unique_ptr<AudioFanout> fanout_;
    const std::shared_ptr<DispatchQueue> queue_;
    std::unique_ptr<DispatchTimer> timer_;

    // Queue only.
    uint64_t startTime_ = 0;
    uint64_t framesGenerated_ = 0;
    std::vector<float> buffer_;
};
