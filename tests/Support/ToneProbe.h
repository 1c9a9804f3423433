// Listening to a device's input from a test, with a callback of the test's own: whether a tone arrives
// and how loud it is per channel. The tests that route tones into lines and monitors hear them with it,
// without depending on the device's recorded output or on what the controller meters.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
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
    // The newest second of one channel.
    std::vector<float> recent(uint32_t channel) {
        drain();
        std::vector<float> samples;
        for (size_t i = channel; i < heard_.size(); i += channels_) {
            samples.push_back(heard_[i]);
        }
        return samples;
    }
    // Frames the callback delivered since the start, and the loudest sample among the newest second.
    uint64_t framesHeard() const { return framesHeard_; }
    float peak() {
        drain();
        float loudest = 0;
        for (float sample : heard_) {
            loudest = std::max(loudest, std::abs(sample));
        }
        return loudest;
    }

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

    // The loudest amplitude within 0.6 % of `frequency`: a route's drift control may hold a tone up to
    // 0.5 % off its pitch for a while.
    double toneLevel(uint32_t channel, double frequency) {
        double loudest = 0;
        for (int step = -4; step <= 4; ++step) {
            loudest = std::max(loudest, amplitude(channel, frequency * (1 + 0.0015 * step)));
        }
        return loudest;
    }

    // Serves the GUI thread's events until the tone near `frequency` on `channel` is louder than
    // `threshold` in what arrives from now on; the time it took, or nothing when it still is not after
    // `limit`.
    std::optional<std::chrono::milliseconds> waitForTone(uint32_t channel, double frequency, double threshold,
                                                         std::chrono::milliseconds limit) {
        drain();
        heard_.clear();
        const auto start = std::chrono::steady_clock::now();
        while (true) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            if (toneLevel(channel, frequency) > threshold) {
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
            framesHeard_ += got;
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
    uint64_t framesHeard_ = 0;
};
