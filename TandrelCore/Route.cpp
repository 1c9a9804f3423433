#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TandrelCore/CoreInternal.h"
#include "TandrelCore/ResampleKernel.h"

using tdcore::kMaxChannels;

struct TDRoute {
    TDRingBuffer* ring = nullptr;
    uint32_t channels = 0;
    double sourceRate = 0;
    double nominalRatio = 0;
    uint32_t maxFrames = 0;
    uint32_t halfWidth = 0;
    uint32_t taps = 0;
    double cutoff = 0;
    const float* table = nullptr; // shared with every route of the same half width and cutoff
    float* history = nullptr;
    uint32_t historyCapacity = 0;
    uint32_t historyFill = 0;
    double position = 0;
    float* output = nullptr;
    float* planar = nullptr; // the vector kernels' per-channel copy of the history
    uint32_t planarStride = 0;
    tdcore::ResampleKernel kernel = nullptr;
    tdcore::ResampleIsa isa = tdcore::ResampleIsa::Scalar;
    TDMatrixEntry* entries = nullptr;
    uint32_t entryCount = 0;

    // Render-thread state.
    bool primed = false;
    double drift = 0;
    uint64_t lastSeenWriteTime = 0;
    uint32_t jitter = 0;
    uint32_t underrunReserve = 0;

    // Controls: stored by the main thread, read once per chunk.
    std::atomic<float> masterGain{1.0f};
    std::atomic<float> sourceGains[kMaxChannels];
    std::atomic<bool> muted{false};
    std::atomic<uint32_t> safetyFrames{0};

    // Statistics: stored by the render thread, read by anyone.
    std::atomic<bool> statPrimed{false};
    std::atomic<uint32_t> statFill{0};
    std::atomic<uint32_t> statTarget{0};
    std::atomic<double> statRatio{0};
    std::atomic<uint64_t> underruns{0};
    std::atomic<uint64_t> overruns{0};
};

namespace {

uint32_t truncToU32(double value) {
    if (!(value > 0)) {
        return 0;
    }
    if (value >= 4294967295.0) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

void freeRoute(TDRoute* route) {
    TDRingBufferDestroy(route->ring);
    tdcore::releaseFilterTable(route->table);
    std::free(route->history);
    std::free(route->planar);
    std::free(route->output);
    std::free(route->entries);
    delete route;
}

// The fill the route aims for: safety, the reserve grown by underruns, the producer's block or jitter,
// and one chunk's worth of source frames.
uint32_t targetFill(const TDRoute* route, uint32_t frames) {
    const uint64_t block = std::max(TDRingBufferMaxWriteFrames(route->ring), route->jitter);
    const uint64_t chunk = static_cast<uint64_t>(std::ceil(route->nominalRatio * frames));
    const uint64_t target = static_cast<uint64_t>(route->safetyFrames.load(std::memory_order_relaxed)) +
                            route->underrunReserve + block + chunk;
    return static_cast<uint32_t>(std::min<uint64_t>(target, UINT32_MAX));
}

void measureJitter(TDRoute* route, double ticksPerSecond) {
    const uint64_t written = TDRingBufferLastWriteTime(route->ring);
    if (written == route->lastSeenWriteTime) {
        return;
    }
    if (route->lastSeenWriteTime != 0 && written > route->lastSeenWriteTime) {
        const double gap =
            static_cast<double>(written - route->lastSeenWriteTime) / ticksPerSecond * route->sourceRate;
        if (gap < 0.3 * route->sourceRate && gap > route->jitter) {
            route->jitter = static_cast<uint32_t>(gap);
        }
    }
    route->lastSeenWriteTime = written;
}

// The resampler's starting point: halfWidth frames of silence ahead of the first source frame.
void rewindHistory(TDRoute* route) {
    route->historyFill = route->halfWidth;
    std::memset(route->history, 0, static_cast<size_t>(route->halfWidth) * route->channels * sizeof(float));
    route->position = route->halfWidth - 1.0;
}

void prime(TDRoute* route) {
    route->primed = true;
    route->drift = 0;
    rewindHistory(route);
    route->statPrimed.store(true, std::memory_order_relaxed);
}

// Slow drift control: a low-passed fill error nudges the ratio by at most 0.5 %.
double correctedRatio(TDRoute* route, uint32_t avail, uint32_t target, uint64_t now, double ticksPerSecond) {
    double estimated = avail;
    const uint64_t written = TDRingBufferLastWriteTime(route->ring);
    if (written != 0 && now > written) {
        const double sinceWrite = static_cast<double>(now - written) / ticksPerSecond * route->sourceRate;
        estimated += std::min(sinceWrite, 2.0 * TDRingBufferMaxWriteFrames(route->ring));
    }
    route->drift += 0.01 * (estimated - target - route->drift);
    const double correction = std::clamp(route->drift / (2.0 * route->sourceRate), -0.005, 0.005);
    const double ratio = route->nominalRatio * (1.0 + correction);
    route->statRatio.store(ratio, std::memory_order_relaxed);
    return ratio;
}

// Frames the history must gain for this chunk: the span its last output frame reads, less what it holds.
uint32_t framesWanted(const TDRoute* route, uint32_t frames, double ratio) {
    const uint64_t need =
        route->halfWidth + static_cast<uint64_t>(std::floor(route->position + (frames - 1) * ratio)) + 1;
    if (need <= route->historyFill) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(need, route->historyCapacity)) - route->historyFill;
}

// A ring that came up short: the route waits to prime again, behind a deeper target.
void countUnderrun(TDRoute* route) {
    route->primed = false;
    route->statPrimed.store(false, std::memory_order_relaxed);
    route->underruns.fetch_add(1, std::memory_order_relaxed);
    const uint32_t step = truncToU32(0.005 * route->sourceRate);
    const uint32_t ceiling = truncToU32(0.1 * route->sourceRate);
    route->underrunReserve = std::min(route->underrunReserve + step, ceiling);
}

// Tops the history up to what this chunk needs; a short ring is an underrun, padded with silence.
void refill(TDRoute* route, uint32_t frames, double ratio) {
    const uint32_t want = framesWanted(route, frames, ratio);
    if (want == 0) {
        return;
    }
    const size_t channels = route->channels;
    float* end = route->history + route->historyFill * channels;
    const uint32_t got = TDRingBufferRead(route->ring, end, want);
    if (got < want) {
        std::memset(end + got * channels, 0, (want - got) * channels * sizeof(float));
        countUnderrun(route);
    }
    route->historyFill += want;
}

// The controls as read once for a chunk. When every entry that adds anything maps a source channel to
// the same mix channel, at most once each, the kernel adds its samples straight into the mix with
// diagonalGains and the interleaved output is never written.
struct MixControls {
    float master;
    float sourceGains[kMaxChannels];
    bool diagonal;
    float diagonalGains[kMaxChannels];
};

// An entry's gain in this chunk: its own times the master and its source channel's, 0 for an entry
// that names a channel the route or the destination lacks.
inline float entryGain(const TDRoute& route, const MixControls& controls, const TDMatrixEntry& entry,
                       uint32_t destinationChannels) {
    if (entry.srcChannel >= route.channels || entry.dstChannel >= destinationChannels) {
        return 0.0f;
    }
    return entry.gain * controls.master * controls.sourceGains[entry.srcChannel];
}

// False when the route adds nothing to this chunk: muted, master gain 0, or no entry with a gain.
bool readControls(TDRoute* route, uint32_t destinationChannels, MixControls& controls) {
    if (route->muted.load(std::memory_order_relaxed)) {
        return false;
    }
    controls.master = route->masterGain.load(std::memory_order_relaxed);
    if (controls.master == 0.0f || route->entryCount == 0) {
        return false;
    }
    const uint32_t channels = route->channels;
    for (uint32_t c = 0; c < channels; ++c) {
        controls.sourceGains[c] = route->sourceGains[c].load(std::memory_order_relaxed);
        controls.diagonalGains[c] = 0.0f;
    }
    bool audible = false;
    controls.diagonal = true;
    for (uint32_t e = 0; e < route->entryCount; ++e) {
        const TDMatrixEntry entry = route->entries[e];
        const float gain = entryGain(*route, controls, entry, destinationChannels);
        if (gain == 0.0f) {
            continue;
        }
        audible = true;
        if (entry.srcChannel != entry.dstChannel || controls.diagonalGains[entry.srcChannel] != 0.0f) {
            controls.diagonal = false;
        } else {
            controls.diagonalGains[entry.srcChannel] = gain;
        }
    }
    return audible;
}

void mixInto(const TDRoute* route, const MixControls& controls, uint32_t frames, uint32_t destinationChannels,
             float* mix) {
    const uint32_t channels = route->channels;
    for (uint32_t e = 0; e < route->entryCount; ++e) {
        const TDMatrixEntry entry = route->entries[e];
        const float gain = entryGain(*route, controls, entry, destinationChannels);
        if (gain == 0.0f) {
            continue;
        }
        const float* in = route->output + entry.srcChannel;
        float* out = mix + entry.dstChannel;
        for (uint32_t i = 0; i < frames; ++i) {
            out[static_cast<size_t>(i) * destinationChannels] += in[static_cast<size_t>(i) * channels] * gain;
        }
    }
}

void resampleAndMix(TDRoute* route, const MixControls& controls, uint32_t frames, double ratio,
                    uint32_t destinationChannels, float* mix) {
    tdcore::ResampleJob job;
    job.history = route->history;
    job.historyFrames = route->historyFill;
    job.planar = route->planar;
    job.planarStride = route->planarStride;
    job.table = route->table;
    job.halfWidth = route->halfWidth;
    job.taps = route->taps;
    job.channels = route->channels;
    job.position = route->position;
    job.ratio = ratio;
    job.frames = frames;
    if (controls.diagonal) {
        job.mix = mix;
        job.mixChannels = destinationChannels;
        job.gains = controls.diagonalGains;
    } else {
        job.output = route->output;
    }
    route->kernel(job);
    if (!controls.diagonal) {
        mixInto(route, controls, frames, destinationChannels, mix);
    }
}

void advance(TDRoute* route, uint32_t frames, double ratio) {
    route->position += frames * ratio;
    const int64_t drop = static_cast<int64_t>(std::floor(route->position)) - (route->halfWidth - 1);
    if (drop <= 0) {
        return;
    }
    const uint32_t dropped = static_cast<uint32_t>(std::min<int64_t>(drop, route->historyFill));
    const size_t channels = route->channels;
    std::memmove(route->history, route->history + dropped * channels,
                 (route->historyFill - dropped) * channels * sizeof(float));
    route->historyFill -= dropped;
    route->position -= dropped;
}

// Refill and advance of a chunk that computes no samples, leaving the route exactly as they would: the
// same frames consumed, underruns, position and history. Only the frames the advance would keep are
// copied out of the ring; the ones it would drop at once are skipped.
void consumeSilently(TDRoute* route, uint32_t frames, double ratio) {
    const uint32_t want = framesWanted(route, frames, ratio);
    if (want == 0) {
        advance(route, frames, ratio);
        return;
    }
    const uint32_t fill = route->historyFill;
    const uint32_t total = fill + want;
    const double position = route->position + frames * ratio;
    const int64_t drop = static_cast<int64_t>(std::floor(position)) - (route->halfWidth - 1);
    const uint32_t dropped = drop > 0 ? static_cast<uint32_t>(std::min<int64_t>(drop, total)) : 0;
    const size_t channels = route->channels;
    if (dropped < fill) {
        std::memmove(route->history, route->history + dropped * channels,
                     (fill - dropped) * channels * sizeof(float));
    }
    const uint32_t firstKept = std::max(fill, dropped);
    const uint32_t skip = firstKept - fill;
    uint32_t got = TDRingBufferSkip(route->ring, skip);
    if (got == skip) {
        got += TDRingBufferRead(route->ring, route->history + (firstKept - dropped) * channels, want - skip);
    }
    if (got < want) {
        const uint32_t silentFrom = std::max(fill + got, dropped);
        std::memset(route->history + (silentFrom - dropped) * channels, 0,
                    (total - silentFrom) * channels * sizeof(float));
        countUnderrun(route);
    }
    route->historyFill = total - dropped;
    route->position = position - dropped;
}

} // namespace

namespace tdcore {

RouteShape routeShape(const TDRoute* route) {
    return {route->halfWidth, route->taps, route->historyCapacity, route->cutoff, route->table, route->isa};
}

bool routeUseKernel(TDRoute* route, ResampleIsa isa) {
    const ResampleKernel kernel = resampleKernel(isa);
    if (kernel == nullptr || (isa != ResampleIsa::Scalar && route->planar == nullptr)) {
        return false;
    }
    route->kernel = kernel;
    route->isa = isa;
    return true;
}

void routePullAndMix(TDRoute* route, uint32_t frames, uint64_t now, uint32_t destinationChannels,
                     float* mix) {
    if (frames == 0) {
        return;
    }
    frames = std::min(frames, route->maxFrames);
    const double ticksPerSecond = TDHostTicksPerSecond();
    uint32_t avail = TDRingBufferAvailableToRead(route->ring);
    measureJitter(route, ticksPerSecond);
    const uint32_t target = targetFill(route, frames);
    route->statTarget.store(target, std::memory_order_relaxed);

    if (!route->primed) {
        route->statFill.store(avail, std::memory_order_relaxed);
        if (avail < target || TDRingBufferMaxWriteFrames(route->ring) == 0) {
            return;
        }
        prime(route);
    }

    const uint32_t overrunLimit = truncToU32(0.1 * route->sourceRate);
    if (avail > static_cast<uint64_t>(target) + overrunLimit) {
        TDRingBufferSkip(route->ring, avail - target);
        route->drift = 0;
        route->overruns.fetch_add(1, std::memory_order_relaxed);
        avail = target;
    }
    route->statFill.store(avail, std::memory_order_relaxed);

    const double ratio = correctedRatio(route, avail, target, now, ticksPerSecond);
    // A route that adds nothing still consumes its ring and moves on exactly as an audible one, so that
    // unmuting it later is seamless; it only skips computing samples.
    MixControls controls;
    if (!readControls(route, destinationChannels, controls)) {
        consumeSilently(route, frames, ratio);
        return;
    }
    refill(route, frames, ratio);
    resampleAndMix(route, controls, frames, ratio, destinationChannels, mix);
    advance(route, frames, ratio);
}

} // namespace tdcore

namespace {

// The fastest kernel the processor offers, when the route's frame indices fit its 32-bit lane arithmetic
// and its per-channel copy of the history can be had; the scalar reference otherwise.
void chooseKernel(TDRoute* route) {
    route->kernel = tdcore::resampleKernel(tdcore::ResampleIsa::Scalar);
    route->isa = tdcore::ResampleIsa::Scalar;
    const tdcore::ResampleIsa best = tdcore::bestResampleIsa();
    if (best == tdcore::ResampleIsa::Scalar || route->historyCapacity >= (1u << 30) ||
        route->maxFrames >= (1u << 30)) {
        return;
    }
    route->planarStride = route->historyCapacity + tdcore::kPlanarSlack;
    route->planar = tdcore::allocateFloats(route->planarStride, route->channels);
    if (route->planar != nullptr) {
        tdcore::routeUseKernel(route, best);
    }
}

} // namespace

extern "C" {

TDRoute* TDRouteCreate(uint32_t channels, uint32_t maxFrames, const TDMatrixEntry* entries,
                       uint32_t entryCount, double sourceRate, double destinationRate) {
    if (channels == 0 || channels > kMaxChannels || maxFrames == 0 || !(sourceRate > 0) ||
        !(destinationRate > 0) || !std::isfinite(sourceRate) || !std::isfinite(destinationRate) ||
        (entryCount > 0 && entries == nullptr)) {
        return nullptr;
    }
    const double ratio = sourceRate / destinationRate;
    if (!std::isfinite(ratio) || !(ratio > 0)) {
        return nullptr;
    }
    auto* route = new (std::nothrow) TDRoute;
    if (route == nullptr) {
        return nullptr;
    }
    route->channels = channels;
    route->sourceRate = sourceRate;
    route->nominalRatio = ratio;
    route->maxFrames = maxFrames;
    route->halfWidth = 8 * static_cast<uint32_t>(std::min(std::ceil(ratio), 4.0));
    route->taps = 2 * route->halfWidth;

    const double historyFrames = std::ceil(ratio * maxFrames * 1.005) + route->taps + 4;
    const uint32_t ringFrames = truncToU32(sourceRate * 0.7);
    if (historyFrames < 4294967295.0 && ringFrames > 0) {
        route->historyCapacity = static_cast<uint32_t>(historyFrames);
        route->ring = TDRingBufferCreate(channels, ringFrames);
        route->history = tdcore::allocateFloats(route->historyCapacity, channels);
        route->output = tdcore::allocateFloats(maxFrames, channels);
        if (entryCount > 0) {
            route->entries = static_cast<TDMatrixEntry*>(std::malloc(sizeof(TDMatrixEntry) * entryCount));
        }
    }
    route->cutoff = ratio > 1.0 ? 0.92 / ratio : 0.92;
    if (route->ring != nullptr) {
        route->table = tdcore::acquireFilterTable(route->halfWidth, route->cutoff);
    }
    if (route->ring == nullptr || route->table == nullptr || route->history == nullptr ||
        route->output == nullptr || (entryCount > 0 && route->entries == nullptr)) {
        freeRoute(route);
        return nullptr;
    }
    if (entryCount > 0) {
        std::memcpy(route->entries, entries, sizeof(TDMatrixEntry) * entryCount);
    }
    route->entryCount = entryCount;

    chooseKernel(route);
    rewindHistory(route);
    for (auto& gain : route->sourceGains) {
        gain.store(1.0f, std::memory_order_relaxed);
    }
    route->safetyFrames.store(truncToU32(sourceRate * 0.005), std::memory_order_relaxed);
    route->statRatio.store(ratio, std::memory_order_relaxed);
    return route;
}

void TDRouteDestroy(TDRoute* route) {
    if (route != nullptr) {
        freeRoute(route);
    }
}

TDRingBuffer* TDRouteRing(TDRoute* route) {
    return route->ring;
}

void TDRouteSetGain(TDRoute* route, float gain) {
    route->masterGain.store(gain, std::memory_order_relaxed);
}

void TDRouteSetSourceChannelGain(TDRoute* route, uint32_t channel, float gain) {
    if (channel < kMaxChannels) {
        route->sourceGains[channel].store(gain, std::memory_order_relaxed);
    }
}

void TDRouteSetMuted(TDRoute* route, bool muted) {
    route->muted.store(muted, std::memory_order_relaxed);
}

void TDRouteSetSafetyFrames(TDRoute* route, uint32_t frames) {
    route->safetyFrames.store(frames, std::memory_order_relaxed);
}

TDRouteStats TDRouteGetStats(const TDRoute* route) {
    TDRouteStats stats;
    stats.primed = route->statPrimed.load(std::memory_order_relaxed);
    stats.fill = route->statFill.load(std::memory_order_relaxed);
    stats.target = route->statTarget.load(std::memory_order_relaxed);
    stats.ratio = route->statRatio.load(std::memory_order_relaxed);
    stats.nominalRatio = route->nominalRatio;
    stats.underruns = route->underruns.load(std::memory_order_relaxed);
    stats.overruns = route->overruns.load(std::memory_order_relaxed);
    return stats;
}

} // extern "C"
