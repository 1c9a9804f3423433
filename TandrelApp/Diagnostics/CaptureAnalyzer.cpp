#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "Platform/Dispatch/DeferredWork.h"
#include "TandrelApp/Diagnostics/AudioFileWriter.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/RoutingEngine.h"
#include "TandrelApp/Support/WeakTimer.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDrainInterval = 20ms;

const std::shared_ptr<AudioProducer>& analysable(const std::shared_ptr<AudioProducer>& producer) {
    if (producer == nullptr || producer->channelCount() < 1 || !(producer->sampleRate() >= 20) ||
        !std::isfinite(producer->sampleRate())) {
        throw CaptureAnalyzer::UnsupportedProducer(
            "解析できない音源です（チャンネルがないか、サンプルレートが 20 Hz 未満です）");
    }
    return producer;
}

// One second of audio; the core rounds it up to a power of two (and caps it at 2^30 frames).
uint32_t ringFrames(double sampleRate) {
    return sampleRate >= 1073741824.0 ? 1073741824u : static_cast<uint32_t>(sampleRate);
}

} // namespace

CaptureAnalyzer::CaptureAnalyzer(std::shared_ptr<AudioProducer> producer,
                                 std::vector<double> probeFrequencies)
    : producer_(analysable(producer))
    , probeFrequencies_(std::move(probeFrequencies))
    , channels_(producer_->channelCount())
    , sampleRate_(producer_->sampleRate())
    , blockFrames_(static_cast<uint32_t>(std::min(sampleRate_ / 20, 1073741824.0)))
    , ring_(std::make_shared<AudioRingBuffer>(channels_, ringFrames(sampleRate_)))
    , queue_(DispatchQueue::serial("qorvix.tandrel.analyzer", DispatchQoS::userInitiated))
    , scratch_(size_t(TDRingBufferCapacity(ring_->raw())) * channels_)
    , currentLevels_{std::vector<float>(channels_, 0.0f), std::vector<float>(channels_, 0.0f)}
    , probeSums_(channels_, std::vector<double>(probeFrequencies_.size(), 0.0)) {}

CaptureAnalyzer::~CaptureAnalyzer() {
    TDFanoutRemove(producer_->fanout().raw(), ring_->raw());
    timer_.reset();
    DeferredWork::schedule(RoutingEngine::reclaimDelay, [ring = ring_] {});
}

void CaptureAnalyzer::start() {
    TDFanoutAdd(producer_->fanout().raw(), ring_->raw());
    timer_ = repeatingWhileAlive(queue_, kDrainInterval, weak_from_this(), &CaptureAnalyzer::drain);
}

void CaptureAnalyzer::stop() {
    TDFanoutRemove(producer_->fanout().raw(), ring_->raw());
    timer_.reset();
    queue_->sync([this] {
        drain();
        file_.reset();
    });
}

void CaptureAnalyzer::startRecording(const std::filesystem::path& path) {
    auto file = std::make_unique<AudioFileWriter>(path, sampleRate_, channels_);
    // The old file is closed here, off the queue.
    auto replaced = queue_->sync([this, &file] { return std::exchange(file_, std::move(file)); });
}

void CaptureAnalyzer::stopRecording() {
    auto closed = queue_->sync([this] { return std::move(file_); });
}

CaptureAnalyzer::Levels CaptureAnalyzer::levels() const {
    return queue_->sync([this] { return currentLevels_; });
}

uint64_t CaptureAnalyzer::totalFramesConsumed() const {
    return queue_->sync([this] { return framesConsumed_; });
}

std::vector<std::vector<double>> CaptureAnalyzer::probeAmplitudesPerChannel() const {
    return queue_->sync([this] {
        auto amplitudes = probeSums_;
        for (auto& channel : amplitudes) {
            for (double& amplitude : channel) {
                amplitude = probeBlocks_ >= 1 ? amplitude / double(probeBlocks_) : 0.0;
            }
        }
        return amplitudes;
    });
}

std::vector<double> CaptureAnalyzer::probeAmplitudes() const {
    const auto perChannel = probeAmplitudesPerChannel();
    if (perChannel.empty() || probeFrequencies_.empty()) {
        return {};
    }
    std::vector<double> mean(probeFrequencies_.size(), 0.0);
    for (const auto& channel : perChannel) {
        for (size_t p = 0; p < mean.size(); ++p) {
            mean[p] += channel[p];
        }
    }
    for (double& value : mean) {
        value /= double(perChannel.size());
    }
    return mean;
}

uint32_t CaptureAnalyzer::ringCapacity() const {
    return TDRingBufferCapacity(ring_->raw());
}

uint64_t CaptureAnalyzer::droppedFrames() const {
    return TDRingBufferDroppedFrames(ring_->raw());
}

void CaptureAnalyzer::drain() {
    while (blockFrames_ >= 1 && TDRingBufferAvailableToRead(ring_->raw()) >= blockFrames_) {
        analyse(TDRingBufferRead(ring_->raw(), scratch_.data(), blockFrames_));
    }
}

void CaptureAnalyzer::analyse(uint32_t frames) {
    if (frames == 0) {
        return;
    }
    framesConsumed_ += frames;
    for (uint32_t c = 0; c < channels_; ++c) {
        float peak = 0;
        float sumOfSquares = 0;
        for (uint32_t i = 0; i < frames; ++i) {
            const float x = scratch_[size_t(i) * channels_ + c];
            peak = std::max(peak, std::abs(x));
            sumOfSquares += x * x;
        }
        currentLevels_.peak[c] = peak;
        currentLevels_.rms[c] = std::sqrt(sumOfSquares / float(frames));
    }

    if (!probeFrequencies_.empty()) {
        for (uint32_t c = 0; c < channels_; ++c) {
            for (size_t p = 0; p < probeFrequencies_.size(); ++p) {
                // Goertzel over the block: no window, no overlap.
                const double k = 2 * std::cos(2 * std::numbers::pi * probeFrequencies_[p] / sampleRate_);
                double s1 = 0;
                double s2 = 0;
                for (uint32_t i = 0; i < frames; ++i) {
                    const double s = k * s1 + double(scratch_[size_t(i) * channels_ + c]) - s2;
                    s2 = s1;
                    s1 = s;
                }
                const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
                const double magnitude = power > 0 ? std::sqrt(power) : 0.0;
                probeSums_[c][p] += 2 * magnitude / double(frames);
            }
        }
        probeBlocks_ += 1;
    }

    if (file_) {
        // A failed write loses only this block; the next one is written as usual.
        file_->write(scratch_.data(), frames);
    }
}
