// What the capture sources' tests share: listening to a source's fan-out at 48 kHz, measuring a tone in
// what was heard, waiting on the GUI thread while audio threads work, and keeping the sources a test
// started until it ends.
#pragma once

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <qcoro/qcorotask.h>

#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelCore/TandrelCore.h"

namespace CaptureTestSupport {

// The amplitude of one frequency in a 48 kHz signal (a single-bin Fourier estimate).
inline double amplitudeAt(const std::vector<float>& x, double frequency) {
    double s = 0, c = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double phase = 2 * std::numbers::pi * frequency * double(n) / 48000;
        s += x[n] * std::sin(phase);
        c += x[n] * std::cos(phase);
    }
    return x.empty() ? 0 : 2 * std::hypot(s, c) / double(x.size());
}

// Keeps the GUI thread's events flowing until the condition holds or the limit passes.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The left channel of what a stereo fan-out receives over the next `seconds`. A detached ring may still
// be written once by a callback already running, so it goes to `detached`, for the test to free once
// its sources have stopped.
inline std::vector<float> listenLeft(AudioFanout& fanout, double seconds,
                                     std::vector<TDRingBuffer*>& detached) {
    const uint32_t frames = static_cast<uint32_t>(seconds * 48000);
    TDRingBuffer* ring = TDRingBufferCreate(2, frames + 8192);
    TDFanoutAdd(fanout.raw(), ring);
    waitFor([&] { return TDRingBufferAvailableToRead(ring) >= frames; });
    std::vector<float> interleaved(size_t(frames) * 2);
    const uint32_t got = TDRingBufferRead(ring, interleaved.data(), frames);
    TDFanoutRemove(fanout.raw(), ring);
    detached.push_back(ring);
    std::vector<float> left;
    for (uint32_t f = 0; f < got; ++f) {
        left.push_back(interleaved[f * 2]);
    }
    return left;
}

inline void freeRings(std::vector<TDRingBuffer*>& rings) {
    for (TDRingBuffer* ring : rings) {
        TDRingBufferDestroy(ring);
    }
    rings.clear();
}

// The sources a test made and the rings its listeners detached. stopAll() stops every source and only
// then frees the rings, once no callback can reach them.
template <typename Source>
struct CaptureSources {
    std::shared_ptr<Source> add(std::shared_ptr<Source> source) {
        list.push_back(source);
        return source;
    }

    std::vector<float> listen(Source& source, double seconds) {
        return listenLeft(source.fanout(), seconds, detachedRings);
    }

    void stopAll() {
        for (auto& source : list) {
            QCoro::waitFor(source->stop());
        }
        list.clear();
        freeRings(detachedRings);
    }

    std::vector<std::shared_ptr<Source>> list;
    std::vector<TDRingBuffer*> detachedRings;
};

// Starts the source and gives the Error it failed with, if any. QCoro::waitFor never returns from a
// task that throws, so the error is caught inside one.
template <typename Error, typename Source>
QCoro::Task<std::optional<Error>> startCatching(std::shared_ptr<Source> source) {
    try {
        auto starting = source->start();
        co_await std::move(starting);
    } catch (const Error& e) {
        co_return e;
    }
    co_return std::nullopt;
}

} // namespace CaptureTestSupport
