#include "Platform/AudioServer/DeviceIO.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <stdexcept>
#include <thread>

#include <spdlog/spdlog.h>

#include "Platform/AudioServer/IOClock.h"
#include "Platform/System/HostClock.h"

namespace {

std::atomic<std::size_t> runsAlive{0};
std::atomic<std::size_t> memoryLimit{DeviceIO::kDefaultMemoryLimit};

// Set only inside a cycle (the device and the procs it runs) and around every block call.
thread_local const void* tlsCycleDevice = nullptr;
thread_local const void* tlsCycleProcs = nullptr;
thread_local const void* tlsRunningProc = nullptr;

AudioDeviceIOProcID procIDOf(uint64_t n) {
    return reinterpret_cast<AudioDeviceIOProcID>(static_cast<uintptr_t>(n));
}

// Buffer-list storage for one direction: one buffer per stream over contiguous float storage.
struct BufferLayout {
    std::vector<std::byte> listBytes;
    AudioBufferList* list = nullptr;

    void build(const std::vector<uint32_t>& streams, uint32_t frames, float* data) {
        listBytes.assign(TD_AUDIO_BUFFER_LIST_SIZE(std::max<size_t>(streams.size(), 1)), std::byte{0});
        list = reinterpret_cast<AudioBufferList*>(listBytes.data());
        reset(streams, frames, data);
    }
    // Blocks may write the list's fields; each call gets them fresh.
    void reset(const std::vector<uint32_t>& streams, uint32_t frames, float* data) {
        list->mNumberBuffers = static_cast<uint32_t>(streams.size());
        size_t offset = 0;
        for (size_t s = 0; s < streams.size(); ++s) {
            list->mBuffers[s] =
                AudioBuffer{streams[s], static_cast<uint32_t>(frames * streams[s] * 4), data + offset};
            offset += size_t(frames) * streams[s];
        }
    }
};

uint32_t sum(const std::vector<uint32_t>& v) {
    uint32_t n = 0;
    for (uint32_t x : v) {
        n += x;
    }
    return n;
}

// Real-time. How many whole periods have passed since `deadline`.
uint64_t cyclesGoneBy(uint64_t deadline, double period) {
    const uint64_t now = HostClockNow();
    if (now <= deadline || !(period > 0)) {
        return 0;
    }
    return static_cast<uint64_t>(double(now - deadline) / period);
}

// Where each device channel lies in contiguous per-stream interleaved storage.
void channelPlaces(const std::vector<uint32_t>& streams, uint32_t frames, std::vector<uint32_t>& base,
                   std::vector<uint32_t>& stride) {
    uint32_t offset = 0;
    for (uint32_t channels : streams) {
        for (uint32_t c = 0; c < channels; ++c) {
            base.push_back(offset + c);
            stride.push_back(channels);
        }
        offset += frames * channels;
    }
}

// A tone's phasor turns by one sample's rotation; four phasors a sample apart turn by four samples'.
struct Step {
    static constexpr uint32_t kLanes = 4;
    double cos = 1, sin = 0;
    double laneCos = 1, laneSin = 0;
    explicit Step(double increment)
        : cos(std::cos(2 * std::numbers::pi * increment))
        , sin(std::sin(2 * std::numbers::pi * increment))
        , laneCos(std::cos(2 * std::numbers::pi * increment * kLanes))
        , laneSin(std::sin(2 * std::numbers::pi * increment * kLanes)) {}
};

// Real-time. `frames` samples of a sine from `phase` (in cycles), each handed to `emit(frame, value)`,
// and the phase moved on by as many. Phasors turned by one multiplication per sample stand in for a sine
// per sample: four of them, a sample apart, each turned four samples at a time, so that no sample waits
// for the one before it. They restart from the exact phase every cycle, so their rounding never
// accumulates.
template <typename Emit>
void oscillate(double& phase, double increment, Step step, double level, uint32_t frames, Emit emit) {
    constexpr uint32_t kLanes = Step::kLanes;
    const double angle = 2 * std::numbers::pi * phase;
    double c[kLanes], s[kLanes];
    c[0] = level * std::cos(angle);
    s[0] = level * std::sin(angle);
    for (uint32_t l = 1; l < kLanes; ++l) {
        c[l] = c[l - 1] * step.cos - s[l - 1] * step.sin;
        s[l] = s[l - 1] * step.cos + c[l - 1] * step.sin;
    }
    uint32_t f = 0;
    for (; f + kLanes <= frames; f += kLanes) {
        for (uint32_t l = 0; l < kLanes; ++l) {
            emit(f + l, s[l]);
        }
        for (uint32_t l = 0; l < kLanes; ++l) {
            const double next = c[l] * step.laneCos - s[l] * step.laneSin;
            s[l] = s[l] * step.laneCos + c[l] * step.laneSin;
            c[l] = next;
        }
    }
    for (uint32_t l = 0; f + l < frames; ++l) {
        emit(f + l, s[l]);
    }
    phase += double(frames) * increment;
    phase -= std::floor(phase);
}

} // namespace

struct DeviceIO::Proc {
    uint64_t id = 0;
    std::shared_ptr<DispatchQueue> queue;
    AudioDeviceIOBlock block;
    std::atomic<uint64_t> runToken{0}; // 0 while stopped; a queued cycle runs only under its own token
    std::atomic<int> inFlight{0};      // block calls entered (or about to check the token)
    std::atomic<bool> destroyed{false};
};

// The buffers and state of cycles in one format, built off the IO thread.
struct DeviceIO::Cycle {
    Cycle* nextRetired = nullptr; // the retired list is linked through the cycles themselves

    // Throws std::bad_alloc, as running out of memory would, for buffers beyond the memory limit.
    static Cycle* create(const Format& f, uint32_t recordFrames) {
        const uint64_t frames = f.bufferFrames;
        const uint64_t outChannels = sum(f.outputStreams);
        const uint64_t floats = frames * (sum(f.inputStreams) + 2 * outChannels) +
                                (recordFrames != 0 ? (uint64_t(recordFrames) + frames) * outChannels : 0);
        if (floats > memoryLimit.load() / sizeof(float)) {
            throw std::bad_alloc();
        }
        return new Cycle(f, recordFrames);
    }

    Cycle(const Format& f, uint32_t recordFrames)
        : format(f)
        , frames(f.bufferFrames)
        , inChannels(sum(f.inputStreams))
        , outChannels(sum(f.outputStreams))
        , periodNs(double(f.bufferFrames) / f.sampleRate * 1e9 / (1.0 + f.clockDriftPpm * 1e-6))
        , input(size_t(frames) * inChannels)
        , procOutput(size_t(frames) * outChannels)
        , mix(size_t(frames) * outChannels)
        , phase(inChannels, 0.0)
        // One cycle more than asked for: the cycle being written may overwrite the oldest frames.
        , recordCapacity(outChannels != 0 && recordFrames != 0 ? uint64_t(recordFrames) + frames : 0)
        , record(recordCapacity != 0 ? std::make_unique<std::atomic<float>[]>(recordCapacity * outChannels)
                                     : nullptr) {
        inputLayout.build(f.inputStreams, frames, input.data());
        outputLayout.build(f.outputStreams, frames, procOutput.data());
        mixLayout.build(f.outputStreams, frames, mix.data());
        channelPlaces(f.inputStreams, frames, inBase, inStride);
        channelPlaces(f.outputStreams, frames, outBase, outStride);
        for (uint32_t c = 0; c < inChannels; ++c) {
            auto tone = f.signal.toneOfChannel(c);
            increment.push_back(tone.frequency / f.sampleRate);
            step.emplace_back(increment.back());
            amplitude.push_back(static_cast<float>(tone.amplitude));
        }
        if (f.signal.kind == InputSignal::Kind::mix) {
            for (const auto& tone : f.signal.tones) {
                mixIncrement.push_back(tone.frequency / f.sampleRate);
                mixStep.emplace_back(mixIncrement.back());
                mixAmplitude.push_back(tone.amplitude);
            }
            mixPhase.assign(mixIncrement.size(), 0.0);
            mixTaken.assign(mixIncrement.size(), 0);
            mixSum.assign(frames, 0.0);
        }
    }

    const Format format;
    const uint32_t frames;
    const uint32_t inChannels;
    const uint32_t outChannels;
    const double periodNs;
    std::vector<float> input, procOutput, mix;
    BufferLayout inputLayout, outputLayout, mixLayout;
    uint64_t cycles = 0; // counted for an engine's device only
    std::vector<uint32_t> inBase, inStride, outBase, outStride;
    std::vector<double> increment, phase; // cycles per frame and position of each input channel's tone
    std::vector<Step> step;
    std::vector<float> amplitude;
    std::vector<double> mixIncrement, mixPhase, mixAmplitude; // the tones of a `mix` signal
    std::vector<Step> mixStep;
    std::vector<double> mixSum;    // one cycle of the mixed tones
    std::vector<char> mixTaken;    // scratch for handing phases over to the next format
    const uint64_t recordCapacity; // frames; 0 without a record
    std::unique_ptr<std::atomic<float>[]> record;
    std::atomic<uint64_t> recorded{0};
    std::atomic<int64_t> firstSampleTime{0};

    // Real-time: writes this cycle's input signal.
    void fillInput();
    // Real-time: appends this cycle's mix to the record, when there is one.
    void recordMix();
};

// One run of the device on the clock: where its clock stands and the buffers of its current format. Only
// the clock's thread touches it between the clock's add and remove.
struct DeviceIO::Run final : IOClock::Client {
    Run(DeviceIO& io, Cycle* first)
        : io(io)
        , cycle(first) {
        // The first cycle falls on the clock's grid, so devices that tick together share its wake-ups. An
        // engine's device follows the engine's clock from wherever it stands now.
        if (io.engine_) {
            const double ticksPerFrame = io.engine_->hostTicksPerFrame();
            sampleTime = std::floor(io.engine_->currentSampleTime());
            const uint64_t at = io.engine_->hostTimeOfSample(sampleTime);
            const uint64_t onGrid =
                IOClock::gridDeadline(at, IOClock::gridStep(cycle->frames, ticksPerFrame));
            if (ticksPerFrame > 0) {
                sampleTime += std::round(double(onGrid - at) / ticksPerFrame);
            }
        } else {
            base = IOClock::gridDeadline(HostClockNow(), IOClock::gridStep(cycle->frames, ticksPerFrame()));
        }
        deadline = deadlineOf();
    }

    double ticksPerFrame() const {
        return io.engine_           ? io.engine_->hostTicksPerFrame()
               : cycle->frames != 0 ? cycle->periodNs / cycle->frames
                                    : 0;
    }

    uint64_t deadlineOf() const {
        return io.engine_ ? io.engine_->hostTimeOfSample(sampleTime)
                          : base + static_cast<uint64_t>(std::llround(double(k) * cycle->periodNs));
    }

    void run() override;

    DeviceIO& io;
    Cycle* cycle;
    double sampleTime = 0;
    uint64_t base = 0; // the deadline of the first cycle in the current format
    uint64_t k = 0;    // cycles since `base`
    bool ran = false;  // whether a cycle of this run has run
};

void DeviceIO::Cycle::fillInput() {
    const auto kind = format.signal.kind;
    if (kind == InputSignal::Kind::mix) {
        // The first tone is written, the others added; every channel of every stream carries the sum.
        for (size_t t = 0; t < mixPhase.size(); ++t) {
            if (t == 0) {
                oscillate(mixPhase[t], mixIncrement[t], mixStep[t], mixAmplitude[t], frames,
                          [this](uint32_t f, double value) { mixSum[f] = value; });
            } else {
                oscillate(mixPhase[t], mixIncrement[t], mixStep[t], mixAmplitude[t], frames,
                          [this](uint32_t f, double value) { mixSum[f] += value; });
            }
        }
        if (mixPhase.empty()) {
            std::fill(mixSum.begin(), mixSum.end(), 0.0);
        }
        float* out = input.data();
        for (uint32_t channels : format.inputStreams) {
            for (uint32_t f = 0; f < frames; ++f) {
                std::fill_n(out + size_t(f) * channels, channels, static_cast<float>(mixSum[f]));
            }
            out += size_t(frames) * channels;
        }
        return;
    }
    for (uint32_t ch = 0; ch < inChannels; ++ch) {
        float* out = input.data() + inBase[ch];
        const uint32_t stride = inStride[ch];
        if (kind == InputSignal::Kind::loopback) {
            // Last cycle's mix, still in place: the device's output comes back one buffer later.
            const float* from = ch < outChannels ? mix.data() + outBase[ch] : nullptr;
            const uint32_t fromStride = ch < outChannels ? outStride[ch] : 0;
            for (uint32_t f = 0; f < frames; ++f) {
                out[f * stride] = from != nullptr ? from[f * fromStride] : 0.0f;
            }
        } else {
            const float level = amplitude[ch];
            oscillate(phase[ch], increment[ch], step[ch], 1.0, frames,
                      [out, stride, level](uint32_t f, double v) {
                          out[f * stride] = level * static_cast<float>(v);
                      });
        }
    }
}

void DeviceIO::Cycle::recordMix() {
    if (recordCapacity == 0) {
        return;
    }
    const uint64_t written = recorded.load(std::memory_order_relaxed);
    for (uint32_t f = 0; f < frames; ++f) {
        std::atomic<float>* slot = &record[((written + f) % recordCapacity) * outChannels];
        for (uint32_t ch = 0; ch < outChannels; ++ch) {
            slot[ch].store(mix[outBase[ch] + f * outStride[ch]], std::memory_order_relaxed);
        }
    }
    recorded.store(written + frames, std::memory_order_release);
}

// ---- Construction ----

DeviceIO::DeviceIO(std::string name, Format format, std::shared_ptr<Engine> engine)
    : name_(std::move(name))
    , engine_(std::move(engine))
    , liveProcs_(new ProcList)
    , format_(std::move(format)) {}

DeviceIO::~DeviceIO() {
    shutDown();
    delete liveProcs_.load();
    delete pending_.load();
    freeRetired();
}

void DeviceIO::freeRetired() {
    for (Cycle* cycle = retired_.exchange(nullptr); cycle != nullptr;) {
        Cycle* next = cycle->nextRetired;
        delete cycle;
        cycle = next;
    }
}

std::size_t DeviceIO::runningCount() {
    return runsAlive.load();
}

void DeviceIO::setMemoryLimit(std::size_t bytes) {
    memoryLimit.store(bytes);
}

// ---- Procs ----

std::shared_ptr<DeviceIO::Proc> DeviceIO::findLocked(AudioDeviceIOProcID id) const {
    for (const auto& p : procs_) {
        if (procIDOf(p->id) == id && !p->destroyed.load()) {
            return p;
        }
    }
    return nullptr;
}

DeviceIO::Proc* DeviceIO::findOnIOThread(AudioDeviceIOProcID id) const {
    const auto* procs = static_cast<const ProcList*>(tlsCycleProcs);
    if (procs == nullptr) {
        return nullptr;
    }
    for (const auto& p : *procs) {
        if (procIDOf(p->id) == id && !p->destroyed.load()) {
            return p.get();
        }
    }
    return nullptr;
}

bool DeviceIO::onIOThread() const {
    return tlsCycleDevice == this;
}

bool DeviceIO::anyStartedLocked() const {
    return std::any_of(procs_.begin(), procs_.end(), [](const auto& p) { return p->runToken.load() != 0; });
}

void DeviceIO::stopRunIfIdleLocked() {
    if (!anyStartedLocked() && isRunningLocked()) {
        stopRunLocked();
    }
}

void DeviceIO::waitUntilIdle(const Proc& proc) {
    if (tlsRunningProc == &proc) {
        return; // the block itself asked: it is running by definition and will not be called again
    }
    while (proc.inFlight.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

OSStatus DeviceIO::createProc(std::shared_ptr<DispatchQueue> queue, AudioDeviceIOBlock block,
                              AudioDeviceIOProcID* outID) {
    if (outID == nullptr || !block) {
        return kAudio_ParamError;
    }
    *outID = nullptr;
    if (onIOThread()) {
        return kAudioHardwareIllegalOperationError; // would have to wait for the cycle running it
    }
    auto proc = std::make_shared<Proc>();
    proc->queue = std::move(queue);
    proc->block = std::move(block);
    std::lock_guard lock(controlMutex_);
    if (dead_) {
        return kAudioHardwareBadDeviceError;
    }
    proc->id = nextProcID_++;
    procs_.push_back(proc);
    publishProcsLocked();
    *outID = procIDOf(proc->id);
    return kAudioHardwareNoError;
}

OSStatus DeviceIO::startProc(AudioDeviceIOProcID id) {
    if (onIOThread()) {
        Proc* proc = findOnIOThread(id);
        if (proc == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        uint64_t none = 0;
        proc->runToken.compare_exchange_strong(none, nextRunToken_.fetch_add(1));
        return kAudioHardwareNoError;
    }
    std::lock_guard lock(controlMutex_);
    if (dead_) {
        return kAudioHardwareBadDeviceError;
    }
    auto proc = findLocked(id);
    if (!proc) {
        return kAudioHardwareIllegalOperationError;
    }
    if (engine_ && !engineRunning_) {
        if (OSStatus status = engine_->startIO(); status != kAudioHardwareNoError) {
            return status;
        }
        engineRunning_ = true;
    }
    if (proc->runToken.load() == 0) {
        proc->runToken.store(nextRunToken_.fetch_add(1));
    }
    if (!run_) {
        if (OSStatus status = startCyclesLocked(); status != kAudioHardwareNoError) {
            proc->runToken.store(0); // the device stays stopped
            stopRunIfIdleLocked();
            return status;
        }
    }
    return kAudioHardwareNoError;
}

OSStatus DeviceIO::stopProc(AudioDeviceIOProcID id) {
    return haltProc(id, false);
}

OSStatus DeviceIO::destroyProc(AudioDeviceIOProcID id) {
    return haltProc(id, true);
}

// Stop and destroy differ only in whether the proc also leaves the device's list.
OSStatus DeviceIO::haltProc(AudioDeviceIOProcID id, bool destroy) {
    if (onIOThread()) {
        Proc* proc = findOnIOThread(id);
        if (proc == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        proc->runToken.store(0);
        if (destroy) {
            proc->destroyed.store(true);
        }
        waitUntilIdle(*proc); // a queued sibling may be running on its queue
        purgeAndIdleLater();
        return kAudioHardwareNoError;
    }
    std::shared_ptr<Proc> proc;
    {
        std::unique_lock lock(controlMutex_);
        if (dead_) {
            // The caller frees what its block uses once this returns, so the shut down must be over.
            lock.unlock();
            waitUntilEnded();
            return kAudioHardwareBadDeviceError;
        }
        proc = findLocked(id);
        if (!proc) {
            return kAudioHardwareIllegalOperationError;
        }
        proc->runToken.store(0);
        if (destroy) {
            proc->destroyed.store(true);
            std::erase(procs_, proc);
            publishProcsLocked();
        }
        stopRunIfIdleLocked();
    }
    // Outside the lock: a queued block that is running may itself call into this device.
    waitUntilIdle(*proc);
    return kAudioHardwareNoError;
}

// Swaps in a new snapshot and frees the old one once no cycle can still be reading it.
void DeviceIO::publishProcsLocked() {
    auto* fresh = new ProcList(procs_);
    const ProcList* old = liveProcs_.exchange(fresh);
    uint64_t cycle = cycleCount_.load();
    if (cycle % 2 != 0) {
        while (cycleCount_.load() == cycle) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    delete old;
}

// A block that stopped or destroyed a proc inside its cycle cannot wait for that cycle; the tidying
// (dropping destroyed procs, taking an idle device off the clock) happens on a global queue.
void DeviceIO::purgeAndIdleLater() {
    DispatchQueue::global(DispatchQoS::userInitiated)->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->purgeAndIdle();
        }
    });
}

void DeviceIO::purgeAndIdle() {
    std::lock_guard lock(controlMutex_);
    if (dead_) {
        return;
    }
    if (std::erase_if(procs_, [](const auto& p) { return p->destroyed.load(); }) != 0) {
        publishProcsLocked();
    }
    stopRunIfIdleLocked();
}

// False when the device was already shut down; else stops every proc for good.
bool DeviceIO::markDeadLocked() {
    if (dead_) {
        return false;
    }
    dead_ = true;
    for (auto& p : procs_) {
        p->runToken.store(0);
    }
    return true;
}

void DeviceIO::shutDown() {
    if (onIOThread()) {
        // A block removed its own device: everything stops now, but its cycle can only be waited for
        // from elsewhere, and the job keeps this object alive until then.
        {
            std::lock_guard lock(controlMutex_);
            if (!markDeadLocked()) {
                return;
            }
            keepRunning_.store(false);
        }
        DispatchQueue::global(DispatchQoS::userInitiated)->async([self = shared_from_this()] {
            std::lock_guard lock(self->controlMutex_);
            if (self->isRunningLocked()) {
                self->stopRunLocked();
            }
            self->ended_.store(true);
        });
        return;
    }
    std::vector<std::shared_ptr<Proc>> procs;
    {
        std::lock_guard lock(controlMutex_);
        if (!markDeadLocked()) {
            return;
        }
        if (isRunningLocked()) {
            stopRunLocked();
        }
        procs.swap(procs_);
        publishProcsLocked();
    }
    for (const auto& p : procs) {
        waitUntilIdle(*p);
    }
    ended_.store(true);
}

void DeviceIO::waitUntilEnded() const {
    if (tlsRunningProc != nullptr) {
        return; // a block waiting here would hold up the very end it waits for
    }
    while (!ended_.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// ---- The run on the clock ----

OSStatus DeviceIO::startCyclesLocked() {
    std::lock_guard lock(formatMutex_);
    // A fresh record per run: sample times restart at 0 and the record follows them.
    std::unique_ptr<Cycle> first;
    std::unique_ptr<Run> run;
    try {
        first.reset(Cycle::create(format_, recordFrames_));
        run = std::make_unique<Run>(*this, first.get());
    } catch (const std::bad_alloc&) {
        return kAudio_MemFullError;
    } catch (const std::length_error&) {
        return kAudio_MemFullError;
    }
    keepRunning_.store(true);
    active_.store(first.get());
    runsAlive.fetch_add(1); // counted from the start, so a count taken after a start sees it
    if (!IOClock::add(run.get())) {
        runsAlive.fetch_sub(1);
        keepRunning_.store(false);
        active_.store(idleCycle_.get());
        return kAudio_MemFullError;
    }
    first.release();
    run_ = std::move(run);
    idleCycle_.reset();
    cyclesActive_ = true;
    return kAudioHardwareNoError;
}

// A driver engine stays started while its cycles are paused for a configuration change, so "running"
// is either of the two.
bool DeviceIO::isRunningLocked() const {
    return run_ != nullptr || engineRunning_;
}

void DeviceIO::stopRunLocked() {
    if (run_) {
        stopCyclesLocked();
    }
    if (engineRunning_) {
        engineRunning_ = false;
        engine_->stopIO();
    }
}

void DeviceIO::withIOPaused(const std::function<void()>& change) {
    std::lock_guard lock(controlMutex_);
    const bool wasRunning = run_ != nullptr;
    if (wasRunning) {
        stopCyclesLocked();
    }
    change();
    if (wasRunning && !dead_ && anyStartedLocked()) {
        if (OSStatus status = startCyclesLocked(); status != kAudioHardwareNoError) {
            spdlog::warn("Audio server: the IO of {} cannot go on after its change (status {}); it stopped",
                         name_, status);
            for (auto& p : procs_) {
                p->runToken.store(0);
            }
            stopRunLocked();
        }
    }
}

// Never from inside one of the device's own cycles (those hand their stops to another thread).
void DeviceIO::stopCyclesLocked() {
    keepRunning_.store(false);
    IOClock::remove(run_.get());
    std::lock_guard lock(formatMutex_);
    idleCycle_.reset(run_->cycle); // stays readable until the next run
    run_.reset();
    active_.store(idleCycle_.get());
    delete pending_.exchange(nullptr);
    freeRetired();
    cyclesActive_ = false;
    runsAlive.fetch_sub(1);
}

// ---- Formats ----

void DeviceIO::setFormat(Format format) {
    std::lock_guard lock(formatMutex_);
    format_ = std::move(format);
    rebuildPendingLocked();
}

void DeviceIO::recordOutput(uint32_t frames) {
    std::lock_guard lock(formatMutex_);
    recordFrames_ = frames;
    rebuildPendingLocked();
}

// A running device takes the new buffers at its next cycle. Where they cannot be allocated it goes on
// with the ones it has, which still match the buffer lists its procs are handed.
void DeviceIO::rebuildPendingLocked() {
    if (!cyclesActive_) {
        return;
    }
    try {
        auto* next = Cycle::create(format_, recordFrames_);
        freeRetired();
        delete pending_.exchange(next); // one the thread never took
    } catch (const std::exception& e) {
        spdlog::warn("Audio server: {} keeps its previous IO buffers: {}", name_, e.what());
    }
}

// Real-time. The buffers the thread drops are pushed onto `retired_` (lock-free) for the next format
// change, or the thread's end, to free.
void DeviceIO::adoptPending(Cycle*& cycle, double sampleTime) {
    if (pending_.load() == nullptr) {
        return;
    }
    Cycle* next = pending_.exchange(nullptr);
    if (next == nullptr) {
        return;
    }
    for (size_t c = 0; c < std::min(next->phase.size(), cycle->phase.size()); ++c) {
        next->phase[c] = cycle->phase[c];
    }
    // A tone keeps its phase when the set of tones changes (a process joins or leaves a tap): it is
    // found by frequency and level, not by position, so the others do not jump.
    std::fill(cycle->mixTaken.begin(), cycle->mixTaken.end(), 0);
    for (size_t t = 0; t < next->mixPhase.size(); ++t) {
        for (size_t u = 0; u < cycle->mixPhase.size(); ++u) {
            if (!cycle->mixTaken[u] && cycle->mixIncrement[u] == next->mixIncrement[t] &&
                cycle->mixAmplitude[u] == next->mixAmplitude[t]) {
                next->mixPhase[t] = cycle->mixPhase[u];
                cycle->mixTaken[u] = 1;
                break;
            }
        }
    }
    next->firstSampleTime.store(static_cast<int64_t>(sampleTime));
    active_.store(next);
    cycle->nextRetired = retired_.load();
    while (!retired_.compare_exchange_weak(cycle->nextRetired, cycle)) {
    }
    cycle = next;
}

// ---- The cycles ----

void DeviceIO::Run::run() {
    if (!io.keepRunning_.load()) {
        deadline = IOClock::kNever; // stopped: nothing more runs until the stop takes the run off the clock
        return;
    }
    // Cycles whose whole period went by before this one ran (the process or the machine was held up)
    // can no longer be delivered. Like the platform after such an overload, the device skips them: run
    // back to back they would drain every ring this device reads from at once, ahead of the producers
    // feeding those rings, which are only catching up themselves.
    // A run's first cycle is no cycle missed: a device whose run the clock takes up late starts late, at
    // sample time 0 as ever, still on its grid.
    const double period = io.engine_ ? cycle->frames * io.engine_->hostTicksPerFrame() : cycle->periodNs;
    if (const uint64_t missed = cyclesGoneBy(deadline, period); missed != 0) {
        if (!ran && !io.engine_) {
            base += static_cast<uint64_t>(std::llround(double(missed) * period));
        } else {
            sampleTime += double(missed) * cycle->frames;
            k += missed;
            io.skippedCycles_.fetch_add(missed, std::memory_order_relaxed);
        }
        deadline = deadlineOf();
    }
    ran = true;
    Cycle* before = cycle;
    io.adoptPending(cycle, sampleTime);
    if (cycle != before) {
        base = deadline;
        k = 0;
    }
    io.cycleCount_.fetch_add(1); // odd: procs are being read
    const ProcList* procs = io.liveProcs_.load();
    tlsCycleDevice = &io;
    tlsCycleProcs = procs;
    io.runCycle(*cycle, *procs, sampleTime, deadline);
    tlsCycleProcs = nullptr;
    tlsCycleDevice = nullptr;
    io.cycleCount_.fetch_add(1);
    sampleTime += cycle->frames;
    ++k;
    deadline = io.keepRunning_.load() ? deadlineOf() : IOClock::kNever;
}

// Real-time.
void DeviceIO::runCycle(Cycle& c, const ProcList& procs, double sampleTime, uint64_t hostTime) {
    const uint32_t frames = c.frames;
    if (!engine_) {
        c.fillInput(); // an engine writes the whole input itself, every cycle
    }

    const AudioTimeStamp stamp{
        sampleTime, hostTime, 1.0, 0, kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid, 0};
    // The input a cycle hands over was captured during the buffer before the cycle's time, so its time
    // stamp is that of its first frame, one buffer earlier. An engine's device has the engine write its
    // whole input for that time, so what one proc plays comes back to the inputs a cycle later with the
    // host time at which it was played.
    const double ticksPerFrame = engine_       ? engine_->hostTicksPerFrame()
                                 : frames != 0 ? c.periodNs / frames
                                               : 0.0;
    AudioTimeStamp inputStamp = stamp;
    inputStamp.mSampleTime = sampleTime - frames;
    inputStamp.mHostTime = hostTime - static_cast<uint64_t>(std::llround(frames * ticksPerFrame));
    if (engine_) {
        c.inputLayout.reset(c.format.inputStreams, frames, c.input.data());
        engine_->beginCycle(c.cycles++, frames, stamp, inputStamp, stamp, c.inputLayout.list);
    }
    bool mixed = false; // whether the mix holds a proc's output yet
    for (const auto& shared : procs) {
        Proc& p = *shared;
        if (p.queue) {
            if (p.runToken.load() != 0) {
                postToQueue(shared, c, stamp, inputStamp);
            }
            continue;
        }
        p.inFlight.fetch_add(1);
        if (p.runToken.load() != 0) {
            // The first proc plays straight into the mix; each other into a buffer of its own, added to it.
            std::vector<float>& output = mixed ? c.procOutput : c.mix;
            std::fill(output.begin(), output.end(), 0.0f);
            c.outputLayout.reset(c.format.outputStreams, frames, output.data());
            c.inputLayout.reset(c.format.inputStreams, frames, c.input.data());
            tlsRunningProc = &p;
            p.block(&stamp, c.inputLayout.list, &inputStamp, c.outputLayout.list, &stamp);
            tlsRunningProc = nullptr;
            if (mixed) {
                for (size_t i = 0; i < c.mix.size(); ++i) {
                    c.mix[i] += c.procOutput[i];
                }
            }
            mixed = true;
        }
        p.inFlight.fetch_sub(1);
    }
    if (!mixed) {
        std::fill(c.mix.begin(), c.mix.end(), 0.0f);
    }
    if (engine_) {
        c.mixLayout.reset(c.format.outputStreams, frames, c.mix.data());
        engine_->endCycle(c.mixLayout.list);
    }

    c.recordMix();
}

// Not real-time (see the header): the cycle is copied, so nothing it points at can dangle, and the
// block runs only if the proc is still started under the same token when the item comes up.
void DeviceIO::postToQueue(const std::shared_ptr<Proc>& proc, const Cycle& c, const AudioTimeStamp& stamp,
                           const AudioTimeStamp& inputStamp) {
    struct Copy {
        std::vector<float> input, output;
        BufferLayout inputLayout, outputLayout;
        AudioTimeStamp stamp, inputStamp;
    };
    auto copy = std::make_shared<Copy>();
    copy->input = c.input;
    copy->output.assign(c.procOutput.size(), 0.0f);
    copy->inputLayout.build(c.format.inputStreams, c.frames, copy->input.data());
    copy->outputLayout.build(c.format.outputStreams, c.frames, copy->output.data());
    copy->stamp = stamp;
    copy->inputStamp = inputStamp;
    uint64_t token = proc->runToken.load();
    proc->queue->async([proc, copy, token] {
        proc->inFlight.fetch_add(1);
        if (token != 0 && proc->runToken.load() == token) {
            const void* outer = std::exchange(tlsRunningProc, proc.get());
            proc->block(&copy->stamp, copy->inputLayout.list, &copy->inputStamp, copy->outputLayout.list,
                        &copy->stamp);
            tlsRunningProc = outer;
        }
        proc->inFlight.fetch_sub(1);
    });
}

// ---- The record ----

RecordedOutput DeviceIO::recordedOutput(uint32_t frames) const {
    std::lock_guard lock(formatMutex_);
    RecordedOutput out;
    const Cycle* c = active_.load();
    if (c == nullptr || c->outChannels == 0) {
        return out;
    }
    out.channels = c->outChannels;
    if (c->recordCapacity == 0) {
        return out;
    }
    // The cycle being written may overwrite the oldest frames; a copy that raced it is taken again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const uint64_t end = c->recorded.load(std::memory_order_acquire);
        const uint64_t n = std::min<uint64_t>({frames, end, c->recordCapacity - c->frames});
        const uint64_t start = end - n;
        out.samples.resize(n * c->outChannels);
        for (uint64_t f = 0; f < n; ++f) {
            const std::atomic<float>* slot = &c->record[((start + f) % c->recordCapacity) * c->outChannels];
            for (uint32_t ch = 0; ch < c->outChannels; ++ch) {
                out.samples[f * c->outChannels + ch] = slot[ch].load(std::memory_order_relaxed);
            }
        }
        const uint64_t after = c->recorded.load(std::memory_order_acquire);
        if (after + c->frames <= start + c->recordCapacity) {
            out.firstSampleTime = c->firstSampleTime.load() + static_cast<int64_t>(start);
            return out;
        }
    }
    out.samples.clear();
    return out;
}
