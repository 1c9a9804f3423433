// A screen-capture stream: captures what its content filter lets through and hands audio and screen
// sample buffers to its outputs on the queues they were added with, and tells its delegate when the
// system ends it. The screen-capture audio source runs one per capture.
//
// Audio is the sum of the simulated applications' tones that the filter lets through (without this
// process's own when the configuration excludes it), generated in blocks of 10 ms in real time at the
// configured rate and channel count. Screen frames come at most once a second. Outputs and delegate are
// held weakly: a released one is never called.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/ScreenCapture/SCContentFilter.h"
#include "Platform/ScreenCapture/SampleBuffer.h"

// A duration as a count of 1/timescale seconds; a timescale of 0 means none.
struct SCTimeInterval {
    int64_t value = 0;
    int32_t timescale = 0;
    double seconds() const { return timescale > 0 ? double(value) / timescale : 0.0; }
};

struct SCStreamConfiguration {
    bool capturesAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    bool excludesCurrentProcessAudio = false;
    uint32_t width = 1920;
    uint32_t height = 1080;
    // Frames come no more often than this, and never more than once a second here.
    SCTimeInterval minimumFrameInterval;
    bool showsCursor = true;
};

enum class SCStreamOutputType { screen, audio };

class SCStream;

class SCStreamOutput {
public:
    virtual ~SCStreamOutput() = default;
    // Called on the queue given with the output, one buffer at a time.
    virtual void stream(SCStream& stream, const SampleBuffer& sampleBuffer, SCStreamOutputType type) = 0;
};

class SCStreamDelegate {
public:
    virtual ~SCStreamDelegate() = default;
    // The system ended the stream; called on an arbitrary thread, never after stopCapture().
    virtual void streamDidStop(SCStream& stream, std::exception_ptr error) = 0;
};

class SCStream : public std::enable_shared_from_this<SCStream> {
public:
    using Completion = std::function<void(std::exception_ptr)>;

    static std::shared_ptr<SCStream> create(SCContentFilter filter, SCStreamConfiguration configuration,
                                            std::weak_ptr<SCStreamDelegate> delegate);
    // Stops capturing.
    ~SCStream();
    SCStream(const SCStream&) = delete;
    SCStream& operator=(const SCStream&) = delete;

    // Throws ScreenCaptureError for an expired output or a missing queue.
    void addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                         std::shared_ptr<DispatchQueue> queue);
    // The completions run later on a global queue, with null or the ScreenCaptureError (already
    // running, not running). Once stopCapture() has returned, no output or delegate call starts.
    void startCapture(Completion completion);
    void stopCapture(Completion completion);
    bool isCapturing() const;

    const SCContentFilter& filter() const { return filter_; }
    const SCStreamConfiguration& configuration() const { return configuration_; }

    // Test hook: the system ends a running stream: it stops and its delegate hears `error` on a global
    // queue. Does nothing on a stream that is not capturing.
    void stopBySystem(std::exception_ptr error);

private:
    struct Output {
        std::weak_ptr<SCStreamOutput> output;
        SCStreamOutputType type;
        std::shared_ptr<DispatchQueue> queue;
    };

    SCStream(SCContentFilter filter, SCStreamConfiguration configuration,
             std::weak_ptr<SCStreamDelegate> delegate);
    // Ends capturing; returns the timer to be released outside the lock. Lock held.
    std::unique_ptr<DispatchTimer> endLocked();
    void tick();
    void mixInto(SampleBuffer& buffer);
    void deliver(const std::vector<Output>& outputs, SCStreamOutputType type,
                 std::shared_ptr<SampleBuffer> buffer, uint64_t generation);
    bool delivers(uint64_t generation) const;

    const SCContentFilter filter_;
    const SCStreamConfiguration configuration_;
    const std::weak_ptr<SCStreamDelegate> delegate_;
    const std::shared_ptr<DispatchQueue> generatorQueue_;

    mutable std::mutex mutex_;
    std::vector<Output> outputs_;
    bool capturing_ = false;
    uint64_t generation_ = 0; // counts starts and stops, so buffers of an ended capture are dropped
    std::unique_ptr<DispatchTimer> timer_;

    // Generator state, used on generatorQueue_ only.
    DispatchQueue::Clock::time_point startedAt_;
    DispatchQueue::Clock::time_point lastFrameAt_;
    uint64_t framesProduced_ = 0;
    std::map<int, double> phases_; // per process id, so each tone runs on across blocks
};
