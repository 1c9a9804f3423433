#include "TandrelApp/Diagnostics/ToneSource.h"

#include <cmath>
#include <numbers>

#include "TandrelApp/Diagnostics/NumberText.h"

using namespace std::chrono_literals;

ToneSource::ToneSource(std::vector<double> frequencies, float amplitude, double sampleRate,
                       uint32_t chunkFrames, Clock clock)
    : TimedSignalSource("qorvix.tandrel.tone", static_cast<uint32_t>(frequencies.size()), sampleRate,
                        chunkFrames, std::move(clock))
    , frequencies_(std::move(frequencies))
    , amplitude_(amplitude) {}

std::string ToneSource::producerName() const {
    std::string name = "Tone ";
    for (size_t i = 0; i < frequencies_.size(); ++i) {
        if (i > 0) {
            name += "/";
        }
        name += integerPartText(frequencies_[i]);
    }
    return name + " Hz";
}

void ToneSource::start() {
    startTicking(2ms, true);
}

void ToneSource::fillChunk(float* buffer, uint64_t firstFrame) {
    const uint32_t channels = channelCount();
    const double rate = sampleRate();
    for (uint32_t i = 0; i < chunkFrames(); ++i) {
        const double n = double(firstFrame + i);
        for (uint32_t c = 0; c < channels; ++c) {
            const double frequency = c < frequencies_.size() ? frequencies_[c] : 0.0;
            // The remainder keeps the phase argument small however long the tone runs.
            const double phase = std::fmod(frequency * n, rate) / rate;
            buffer[size_t(i) * channels + c] =
                static_cast<float>(std::sin(2 * std::numbers::pi * phase) * double(amplitude_));
        }
    }
}
