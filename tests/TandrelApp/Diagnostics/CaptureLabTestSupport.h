// What the capture lab's tests share: a capture source that plays what the test writes and starts,
// stops and fails on the test's word, a maker that hands such sources to the model and keeps them, and
// a model environment with a music folder of the test's own.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>

#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Support/AppError.h"

namespace CaptureLabTestSupport {

class FakeCaptureSource : public AudioCaptureSource {
public:
    FakeCaptureSource(CaptureTarget target, CaptureBackend backend, uint32_t channels = 2)
        : target_(std::move(target))
        , backend_(backend)
        , channels_(channels)
        , fanout_(std::make_unique<AudioFanout>(channels)) {}

    std::string producerName() const override { return target_.displayName(); }
    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return 48000; }
    CaptureTarget target() const override { return target_; }
    CaptureBackend backend() const override { return backend_; }
    CaptureStatistics statistics() const override {
        std::lock_guard lock(mutex_);
        return statistics_;
    }
    void setOnStop(StopHandler handler) override {
        std::lock_guard lock(mutex_);
        onStop_ = std::move(handler);
    }

    QCoro::Task<void> start() override {
        starts += 1;
        while (holdStart) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        }
        if (failStartWith) {
            throw AppError(*failStartWith);
        }
        running = true;
    }
    QCoro::Task<void> stop() override {
        stops += 1;
        while (holdStop) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        }
        running = false;
    }

    void setStatistics(CaptureStatistics statistics) {
        std::lock_guard lock(mutex_);
        statistics_ = std::move(statistics);
    }
    // Ends the capture the way the system does: its handler is called from another thread.
    void stopBySystem(std::exception_ptr error) {
        StopHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = onStop_;
        }
        std::thread([handler, error] {
            if (handler) {
                handler(error);
            }
        }).join();
    }
    // Writes `frames` frames of a constant level per channel (the last level for every further channel),
    // as a capture callback would.
    void play(std::vector<float> levels, uint32_t frames) {
        std::vector<float> block(size_t(frames) * channels_);
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channels_; ++c) {
                block[size_t(f) * channels_ + c] = levels[std::min<size_t>(c, levels.size() - 1)];
            }
        }
        TDFanoutWriteInterleaved(fanout_->raw(), block.data(), channels_, frames, 0);
    }

    std::atomic<bool> holdStart = false;
    std::atomic<bool> holdStop = false;
    std::optional<std::string> failStartWith;
    std::atomic<int> starts = 0;
    std::atomic<int> stops = 0;
    std::atomic<bool> running = false;

private:
    const CaptureTarget target_;
    const CaptureBackend backend_;
    const uint32_t channels_;
    const std::unique_ptr<AudioFanout> fanout_;
    mutable std::mutex mutex_;
    CaptureStatistics statistics_{.callbacks = 0,
                                  .framesReceived = 0,
                                  .lastCallbackFrames = 0,
                                  .sourceFormat = "-",
                                  .tappedProcesses = std::nullopt};
    StopHandler onStop_;
};

// Makes fake sources for the model and keeps every one it made, in order.
struct FakeSources {
    struct Made {
        CaptureBackend backend;
        CaptureTarget target;
        std::shared_ptr<FakeCaptureSource> source;
    };

    // What the next source made is set up with before the model starts it, and its channel count.
    std::function<void(FakeCaptureSource&)> prepare;
    uint32_t channels = 2;
    std::vector<Made> made;

    // The source made last; there must be one.
    const std::shared_ptr<FakeCaptureSource>& last() const { return made.back().source; }

    auto maker() {
        return [this](CaptureBackend backend,
                      const CaptureTarget& target) -> std::shared_ptr<AudioCaptureSource> {
            auto source = std::make_shared<FakeCaptureSource>(target, backend, channels);
            if (prepare) {
                prepare(*source);
            }
            made.push_back({backend, target, source});
            return source;
        };
    }
};

inline const CaptureTarget tonePlayer = CaptureTarget::application("org.example.toneplayer", "Tone Player");

} // namespace CaptureLabTestSupport
