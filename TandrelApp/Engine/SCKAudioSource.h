// Captures one application, or the whole system but this program, through a screen-capture stream and
// writes its stereo audio into its fan-out. The controller makes one per application or whole-system
// source that uses the screen-capture backend; the capture lab and the self-tests make their own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <qcoro/qcorotask.h>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/ScreenCapture/SCStream.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/CaptureError.h"
#include "TandrelApp/Engine/CaptureModel.h"

class SCKAudioSource : public AudioCaptureSource,
                       public SCStreamOutput,
                       public SCStreamDelegate,
                       public std::enable_shared_from_this<SCKAudioSource> {
public:
    // Touches no screen-capture object. Own it through a shared_ptr: the stream holds it weakly.
    SCKAudioSource(CaptureTarget target, double sampleRate);
    // A stream still running is stopped, so it never calls into a released source.
    ~SCKAudioSource() override;
    SCKAudioSource(const SCKAudioSource&) = delete;
    SCKAudioSource& operator=(const SCKAudioSource&) = delete;

    std::string producerName() const override { return target_.displayName(); }
    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return 2; }
    double sampleRate() const override { return sampleRate_; }

    CaptureTarget target() const override { return target_; }
    CaptureBackend backend() const override { return CaptureBackend::screenCaptureKit; }
    CaptureStatistics statistics() const override;
    void setOnStop(StopHandler handler) override;
    // Throws CaptureError or ScreenCaptureError, leaving the source stopped. A start on a running source
    // replaces its stream, stopping the old one.
    QCoro::Task<void> start() override;
    // Never throws, never calls onStop.
    QCoro::Task<void> stop() override;

    // The running stream, or null.
    std::shared_ptr<SCStream> stream() const;

    // SCStreamOutput: audio on the audio queue; screen frames are dropped on the video queue.
    void stream(SCStream& stream, const SampleBuffer& sampleBuffer, SCStreamOutputType type) override;
    // SCStreamDelegate: the system ended the stream.
    void streamDidStop(SCStream& stream, std::exception_ptr error) override;

private:
    SCContentFilter makeFilter(const SCShareableContent& content) const;
    SCStreamConfiguration makeConfiguration() const;
    // Real-time: one buffer into the fan-out.
    void handleAudio(const SampleBuffer& sampleBuffer);

    const CaptureTarget target_;
    const double sampleRate_;
    const std::unique_ptr<AudioFanout> fanout_;
    const std::shared_ptr<DispatchQueue> audioQueue_;
    const std::shared_ptr<DispatchQueue> videoQueue_;

    // Guards stream_ and onStop_, so a stop by the owner and one by the system never both act.
    mutable std::mutex streamLock_;
    std::shared_ptr<SCStream> stream_;
    StopHandler onStop_;

    // The format of the first audio buffer the fan-out took, recorded by the audio handler without a lock or
    // an allocation and never changed after; statistics() turns it into text.
    AudioStreamBasicDescription firstFormat_{};
    std::atomic<bool> haveFirstFormat_{false};
};
