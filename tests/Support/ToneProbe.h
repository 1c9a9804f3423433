// Listening to a device's input from a test, with a callback of the test's own: whether a tone arrives
// and how loud it is per channel. The tests that route tones into lines and monitors hear them with it,
// without depending on the device's recorded output or on what the controller meters.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <qcoro/qcorotask.h>

#include "Support/ToneLevel.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelCore/TandrelCore.h"

class ToneProbe {
public:
    // Starts a callback of its own on the device's input; throws what the start throws. Blocks the GUI
    // thread's caller while serving its events.
    explicit ToneProbe(const AudioDeviceInfo& device)
        : input_(std::make_shared<InputDeviceSource>(device))
        , channels_(std::max<uint32_t>(device.inputChannels, 1))
        , ring_(TDRingBufferCreate(channels_, 96000)) {
        TDFanoutAdd(input_->fanout().raw(), ring_);
        // QCoro::waitFor never returns from a task that throws, so the error is caught inside one.
        auto failure = std::make_shared<std::exception_ptr>();
        QCoro::waitFor(start(input_, failure));
        if (*failure) {
            release();
            std::rethrow_exception(*failure);
        }
    }
    // The callback is stopped before the ring goes, so nothing writes into freed memory.
    ~ToneProbe() { release(); }
    ToneProbe(const ToneProbe&) = delete;
    ToneProbe& operator=(const ToneProbe&) = delete;

    double sampleRate() const { return input_->sampleRate(); }

    // The amplitude of `frequency` on `channel` over the newest `seconds` heard; 0 before that much has
    // arrived.
    double amplitude(uint32_t channel, double frequency, double seconds = 0.2) {
        drain();
        const auto frames = static_cast<size_t>(seconds * sampleRate());
        if (channel >= channels_ || frames == 0 || heard_.size() < frames * channels_) {
            return 0;
        }
        std::vector<float> samples(frames);
        const size_t first = heard_.size() / channels_ - frames;
        for (size_t frame = 0; frame < frames; ++frame) {
            samples[frame] = heard_[(first + frame) * channels_ + channel];
        }
        return ToneLevel::amplitudeAt(samples, frequency, sampleRate());
    }

    // Serves the GUI thread's events until `frequency` on `channel` is louder than `threshold` in what
    // arrives from now on; the time it took, or nothing when it still is not after `limit`.
    std::optional<std::chrono::milliseconds> waitForTone(uint32_t channel, double frequency, double threshold,
                                                         std::chrono::milliseconds limit) {
        drain();
        heard_.clear();
        const auto start = std::chrono::steady_clock::now();
        while (true) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            if (amplitude(channel, frequency) > threshold) {
                return elapsed;
            }
            if (elapsed > limit) {
                return std::nullopt;
            }
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    static QCoro::Task<> start(std::shared_ptr<InputDeviceSource> input,
                               std::shared_ptr<std::exception_ptr> failure) {
        try {
            co_await input->start(std::nullopt);
        } catch (...) {
            *failure = std::current_exception();
        }
    }

    // Keeps the newest second.
    void drain() {
        std::vector<float> block(size_t(4096) * channels_);
        while (uint32_t got = TDRingBufferRead(ring_, block.data(), 4096)) {
            heard_.insert(heard_.end(), block.begin(), block.begin() + std::ptrdiff_t(got) * channels_);
        }
        const size_t keep = static_cast<size_t>(std::max(sampleRate(), 8000.0)) * channels_;
        if (heard_.size() > keep) {
            heard_.erase(heard_.begin(), heard_.end() - std::ptrdiff_t(keep));
        }
    }

    void release() {
        if (ring_ == nullptr) {
            return;
        }
        QCoro::waitFor(input_->stop());
        TDFanoutRemove(input_->fanout().raw(), ring_);
        TDRingBufferDestroy(ring_);
        ring_ = nullptr;
    }

    std::shared_ptr<InputDeviceSource> input_;
    const uint32_t channels_;
    TDRingBuffer* ring_;
    std::vector<float> heard_;
};
