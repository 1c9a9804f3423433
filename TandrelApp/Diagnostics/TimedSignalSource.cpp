#include "TandrelApp/Diagnostics/TimedSignalSource.h"

#include <algorithm>

#include "TandrelApp/Support/WeakTimer.h"
#include "TandrelCore/TandrelCore.h"

TimedSignalSource::TimedSignalSource(std::string queueLabel, uint32_t channels, double sampleRate,
                                     uint32_t chunkFrames, Clock clock)
    : channels_(std::max(channels, 1u))
    , sampleRate_(sampleRate)
    , chunkFrames_(std::max(chunkFrames, 1u))
    , clock_(std::move(clock))
    , fanout_(std::make_unique<AudioFanout>(channels_))
    , queue_(DispatchQueue::serial(std::move(queueLabel), DispatchQoS::userInteractive))
    , buffer_(size_t(chunkFrames_) * channels_, 0.0f) {}

TimedSignalSource::~TimedSignalSource() {
    timer_.reset();
}

void TimedSignalSource::startTicking(std::chrono::microseconds interval, bool resetFrameCount) {
    timer_.reset();
    // On the queue, so a tick of an earlier run that is still finishing never sees half a restart.
    queue_->sync([&] {
        startTime_ = clock_();
        if (resetFrameCount) {
            framesGenerated_ = 0;
        }
    });
    timer_ = repeatingWhileAlive(queue_, interval, weak_from_this(), &TimedSignalSource::tick);
}

void TimedSignalSource::stop() {
    timer_.reset();
}

void TimedSignalSource::tick() {
    const uint64_t now = clock_();
    const uint64_t elapsed = now > startTime_ ? now - startTime_ : 0;
    const double due = double(elapsed) / TDHostTicksPerSecond() * sampleRate_;
    // Before the start, or for a rate that is no number, nothing is due.
    const uint64_t framesDue = due >= 1 ? static_cast<uint64_t>(std::min(due, 1e18)) : 0;
    while (framesDue >= framesGenerated_ && framesDue - framesGenerated_ >= chunkFrames_) {
        fillChunk(buffer_.data(), framesGenerated_);
        TDFanoutWriteInterleaved(fanout_->raw(), buffer_.data(), channels_, chunkFrames_, now);
        framesGenerated_ += chunkFrames_;
    }
}
