// Captures one application (all its processes) or the whole system except this program through a
// process tap held in a private aggregate device, and writes the tap's stereo mix into its fan-out. The
// controller makes one per application or whole-system source that uses the process tap backend; the
// capture lab and the self-tests make their own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/logger.h>

#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/AudioServer/ProcessTap.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/CaptureModel.h"

class ProcessTapSource : public AudioCaptureSource, public std::enable_shared_from_this<ProcessTapSource> {
public:
    // Touches no audio-server object. Own it through a shared_ptr: start() and the listener need it.
    explicit ProcessTapSource(CaptureTarget target);
    // Tears a running capture down on the releasing thread.
    ~ProcessTapSource() override;
    ProcessTapSource(const ProcessTapSource&) = delete;
    ProcessTapSource& operator=(const ProcessTapSource&) = delete;

    std::string producerName() const override { return target_.displayName(); }
    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return 2; }
    double sampleRate() const override { return sampleRate_.load(std::memory_order_relaxed); }

    CaptureTarget target() const override { return target_; }
    CaptureBackend backend() const override { return CaptureBackend::processTap; }
    CaptureStatistics statistics() const override;
    void setOnStop(StopHandler handler) override;
    // Builds the tap, the aggregate device and its callback on the control queue, waited for from a pool
    // thread; throws CoreAudioError, leaving nothing behind. Starting a running source tears its capture
    // down first.
    QCoro::Task<void> start() override;
    // Tears everything down on the control queue. Never throws.
    QCoro::Task<void> stop() override;

    // The aggregate device's IO buffer size; set before start(). Absent leaves the device's size alone.
    void setBufferFrames(std::optional<uint32_t> frames) { bufferFrames_ = frames; }

private:
    void setUp();
    void teardown();
    std::vector<AudioObjectID> matchingProcessObjects();
    const std::optional<std::string>& appBundlePath();
    void startWatchingProcesses();
    void stopWatchingProcesses();
    void updateTappedProcesses();

    const CaptureTarget target_;
    std::atomic<double> sampleRate_{48000};
    const std::unique_ptr<AudioFanout> fanout_;
    std::mutex onStopMutex_;
    StopHandler onStop_; // kept for the owner; this source ends only through stop()
    const std::shared_ptr<spdlog::logger> log_;
    const std::shared_ptr<DispatchQueue> controlQueue_;

    // Control queue only (and the destructor, which never overlaps with it).
    std::optional<CATapDescription> tapDescription_;
    AudioObjectID tapID_ = kAudioObjectUnknown;
    AudioObjectID aggregateID_ = kAudioObjectUnknown;
    AudioDeviceIOProcID ioProcID_ = nullptr;
    AudioStreamBasicDescription tapFormat_{};
    std::optional<AudioObjectPropertyListenerToken> processListListener_;
    std::optional<uint32_t> bufferFrames_;
    std::optional<std::optional<std::string>> appBundlePath_;

    mutable std::mutex infoLock_;
    std::string formatSummary_ = "-";
    std::optional<int> tappedProcessCount_;
};
