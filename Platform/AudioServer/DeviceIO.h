// The IO of one simulated device: its installed IO procs, the cycles that run them while any is started,
// the input signal and, where a test asked for one, the record of what the device played.
// SimulatedDevice owns one and hands it format changes; the server's IO calls (AudioServerClient.h) and test
// hooks reach it.
//
// Threading. The device's cycles run on the IO clock's real-time thread (IOClock.h), which runs the cycles
// of every running device, each when it is due by the host clock; per cycle the device fills the input
// buffers, gives every started proc the input and its own zeroed output, sums the outputs into the
// device's mix and, when recording, appends the mix to the record. The cycle allocates nothing, takes no
// lock and logs nothing: the proc list is an immutable snapshot swapped atomically, and a format change
// arrives as a fully built set of buffers that the cycle adopts at its start. Procs with a dispatch queue
// are the exception by nature: the cycle copies itself into a fresh allocation and posts it, so their
// devices are not real-time (their output arrives after the cycle has played and is dropped). A cycle that
// runs late runs late; cycles whose whole period went by before it ran are skipped, as the platform skips
// them after an overload. The device's clock does not wait, so sample times stay true to host times; the
// record holds the cycles that ran.
//
// Control calls (create, start, stop, destroy) serialise on a control lock the clock never takes, so they
// may wait for the device's cycle. A stop takes the device off the clock at once, so it waits at most for
// the cycle that is running, however long the device's cycles are. Inside one of the device's own blocks
// start, stop and destroy act without that lock and without waiting for the cycle; creating a proc there
// is refused.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "Platform/AudioServer/HardwareProfile.h"
#include "Platform/Dispatch/DispatchQueue.h"

// One installed IO callback of one device; null is "none".
typedef struct OpaqueAudioDeviceIOProc* AudioDeviceIOProcID;

// Called once per IO cycle with the device's input (one buffer per input stream, interleaved within the
// stream; empty for a device without inputs) and this callback's own zeroed output (one buffer per
// output stream), which the device sums with its other callbacks' outputs. Without a queue it runs on
// the real-time IO thread. `now` and `outputTime` are the cycle's: the sample time counts frames
// since the device started, the host time is the cycle's deadline on the host clock. `inputTime` is that
// of the input's first frame, one buffer earlier.
using AudioDeviceIOBlock = std::function<void(const AudioTimeStamp* now, const AudioBufferList* inputData,
                                              const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                              const AudioTimeStamp* outputTime)>;

// The output a device played, interleaved over all its output channels (its streams in order).
struct RecordedOutput {
    // The device's sample time of the first frame (frames after a skipped cycle lie later than it says).
    int64_t firstSampleTime = 0;
    uint32_t channels = 0;
    std::vector<float> samples;
    uint32_t frames() const { return channels != 0 ? uint32_t(samples.size() / channels) : 0; }
};

class DeviceIO : public std::enable_shared_from_this<DeviceIO> {
public:
    // What a device whose audio lives elsewhere (a plug-in's device) supplies instead of the simulated
    // signal and clock: it is told when the device starts and stops running, gives the timeline the
    // cycles follow, fills the input and takes the mix.
    class Engine {
    public:
        virtual ~Engine() = default;
        // Around a run of the device, on a control thread (not around a pause); a failed start refuses
        // the proc's start with that status.
        virtual OSStatus startIO() = 0;
        virtual void stopIO() = 0;
        // Real-time: no locks of ours, no allocation. Where a run (or a resumed run) starts, and the
        // host time at which a sample time is reached on the device's clock.
        virtual double currentSampleTime() = 0;
        virtual uint64_t hostTimeOfSample(double sampleTime) = 0;
        virtual double hostTicksPerFrame() const = 0;
        // Real-time. One cycle: fill `input` for `inputTime`, then, after every proc ran, take the mix
        // for `outputTime`.
        virtual void beginCycle(uint64_t cycle, uint32_t frames, const AudioTimeStamp& now,
                                const AudioTimeStamp& inputTime, const AudioTimeStamp& outputTime,
                                AudioBufferList* input) = 0;
        virtual void endCycle(const AudioBufferList* mix) = 0;
    };

    // Everything a cycle depends on; the device hands a new one over whenever any of it changes.
    struct Format {
        double sampleRate = 48000;
        uint32_t bufferFrames = 512;
        std::vector<uint32_t> inputStreams;
        std::vector<uint32_t> outputStreams;
        double clockDriftPpm = 0;
        InputSignal signal;
    };

    // The most one device's IO buffers (and record) may take. No device the hardware limits allow needs
    // as much; a start beyond it fails as if memory had run out, before the allocator is asked. Tests
    // lower it.
    static constexpr std::size_t kDefaultMemoryLimit = std::size_t(1) << 30;
    static void setMemoryLimit(std::size_t bytes);

    DeviceIO(std::string name, Format format, std::shared_ptr<Engine> engine = nullptr);
    ~DeviceIO();
    DeviceIO(const DeviceIO&) = delete;
    DeviceIO& operator=(const DeviceIO&) = delete;

    // The statuses are the server's: 'nope' for an unknown or destroyed proc, '!dev' once shut down; a
    // start whose buffers cannot be allocated answers kAudio_MemFullError and leaves the device stopped.
    OSStatus createProc(std::shared_ptr<DispatchQueue> queue, AudioDeviceIOBlock block,
                        AudioDeviceIOProcID* outID);
    OSStatus destroyProc(AudioDeviceIOProcID id);
    OSStatus startProc(AudioDeviceIOProcID id);
    OSStatus stopProc(AudioDeviceIOProcID id);

    // Takes effect at the next cycle of a running device. Called under the server's model lock, so it
    // never waits for a cycle.
    void setFormat(Format format);
    // Runs `change` with the cycles stopped at a cycle boundary and no proc running, then lets IO
    // go on (the run itself continues: the engine is not stopped). Not from inside a block.
    void withIOPaused(const std::function<void()>& change);
    // Stops every proc and the cycles for good; later calls answer '!dev'. The device is gone. From
    // inside one of its blocks the cycles end right after the block, and are waited for elsewhere.
    void shutDown();
    // Returns once the device's IO has ended for good: its cycles are off the clock and none of its blocks
    // runs. Only for a device that is being shut down; at once from inside a block.
    void waitUntilEnded() const;

    // From its next cycle (or start) on, the device keeps the last `frames` frames it plays; 0, the
    // default, keeps none. Only tests and self-tests that inspect a device's output ask for a record.
    void recordOutput(uint32_t frames);
    // The last `frames` frames recorded since the device last started, the record was asked for or the
    // format changed (fewer when it has not played that many); the channel count also without a record.
    RecordedOutput recordedOutput(uint32_t frames) const;

    // Cycles skipped since the device was made because their whole period had gone by before they could
    // run (the process or the machine held the IO up): their input is lost and their output never played.
    uint64_t skippedCycles() const { return skippedCycles_.load(std::memory_order_relaxed); }

    // Devices whose IO runs in this process, over all servers: counted from the start that began the run
    // to the stop that ended it.
    static std::size_t runningCount();

private:
    struct Proc;
    using ProcList = std::vector<std::shared_ptr<Proc>>;
    struct Cycle;
    struct Run;

    std::shared_ptr<Proc> findLocked(AudioDeviceIOProcID id) const;
    Proc* findOnIOThread(AudioDeviceIOProcID id) const;
    bool onIOThread() const; // inside one of this device's cycles
    bool anyStartedLocked() const;
    void publishProcsLocked();
    OSStatus startCyclesLocked(); // fails, with nothing started, when the buffers cannot be had
    void stopCyclesLocked();
    OSStatus haltProc(AudioDeviceIOProcID id, bool destroy);
    void stopRunLocked();       // the cycles and, when it was started, the engine's run
    void stopRunIfIdleLocked(); // once no proc is started
    bool markDeadLocked();
    void freeRetired();
    bool isRunningLocked() const;
    void purgeAndIdleLater();
    void purgeAndIdle();
    static void waitUntilIdle(const Proc& proc);
    void rebuildPendingLocked(); // format lock held

    // The cycle and the format adoption are real-time: no locks, no allocation.
    void runCycle(Cycle& cycle, const ProcList& procs, double sampleTime, uint64_t hostTime);
    void adoptPending(Cycle*& cycle, double sampleTime);
    static void postToQueue(const std::shared_ptr<Proc>& proc, const Cycle& cycle,
                            const AudioTimeStamp& stamp, const AudioTimeStamp& inputStamp);

    const std::string name_;
    const std::shared_ptr<Engine> engine_;

    // Control side: the procs, the run on the clock and its lifecycle.
    mutable std::mutex controlMutex_;
    std::vector<std::shared_ptr<Proc>> procs_;
    std::unique_ptr<Run> run_; // while the device's cycles run
    bool dead_ = false;
    std::atomic<bool> ended_{false}; // set once a shut down has ended the IO for good
    bool engineRunning_ = false;
    uint64_t nextProcID_ = 1;
    std::atomic<uint64_t> nextRunToken_{1};

    // Shared with the cycles.
    std::atomic<const ProcList*> liveProcs_;
    std::atomic<uint64_t> cycleCount_{0}; // odd while a cycle runs
    std::atomic<uint64_t> skippedCycles_{0};
    std::atomic<bool> keepRunning_{false};

    // Format side, never held while waiting for a cycle. A cycle adopts `pending_` at its start and
    // pushes the buffers it dropped onto `retired_`, which the next change frees.
    mutable std::mutex formatMutex_;
    Format format_;
    uint32_t recordFrames_ = 0;
    bool cyclesActive_ = false;
    std::unique_ptr<Cycle> idleCycle_; // the buffers of the last run while no cycles run
    std::atomic<Cycle*> pending_{nullptr};
    std::atomic<Cycle*> retired_{nullptr}; // a list linked through Cycle::nextRetired
    std::atomic<Cycle*> active_{nullptr};  // what the record is read from
};
