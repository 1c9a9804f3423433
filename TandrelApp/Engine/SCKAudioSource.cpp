#include "TandrelApp/Engine/SCKAudioSource.h"

#include <utility>

#include "Platform/ScreenCapture/SCShareableContent.h"
#include "Platform/System/HostClock.h"
#include "Platform/System/ScreenCapturePermission.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/AudioFormatSummary.h"
#include "TandrelApp/Support/QueueAwait.h"

SCKAudioSource::SCKAudioSource(CaptureTarget target, double sampleRate)
    : target_(std::move(target))
    , sampleRate_(sampleRate)
    , fanout_(std::make_unique<AudioFanout>(2))
    , audioQueue_(DispatchQueue::serial("qorvix.tandrel.capture.audio", DispatchQoS::userInteractive))
    , videoQueue_(DispatchQueue::serial("qorvix.tandrel.capture.video", DispatchQoS::background)) {}

SCKAudioSource::~SCKAudioSource() {
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard lock(streamLock_);
        stream = std::move(stream_);
    }
    if (stream) {
        stream->stopCapture(nullptr);
    }
}

CaptureStatistics SCKAudioSource::statistics() const {
    CaptureStatistics s;
    s.callbacks = TDFanoutWriteCount(fanout_->raw());
    s.framesReceived = TDFanoutFramesWritten(fanout_->raw());
    s.lastCallbackFrames = TDFanoutLastWriteFrames(fanout_->raw());
    s.sourceFormat = haveFirstFormat_.load(std::memory_order_acquire) ? summary(firstFormat_) : "-";
    return s;
}

void SCKAudioSource::setOnStop(StopHandler handler) {
    std::lock_guard lock(streamLock_);
    onStop_ = std::move(handler);
}

std::shared_ptr<SCStream> SCKAudioSource::stream() const {
    std::lock_guard lock(streamLock_);
    return stream_;
}

QCoro::Task<void> SCKAudioSource::start() {
    auto self = shared_from_this();
    using Content = std::shared_ptr<const SCShareableContent>;
    auto contentReady = std::make_shared<OneShotCompletion<Content>>();
    SCShareableContent::getShareableContent(false, false,
                                            [contentReady](Content content, std::exception_ptr error) {
                                                if (error) {
                                                    contentReady->fail(error);
                                                } else {
                                                    contentReady->finish(std::move(content));
                                                }
                                            });
    Content content;
    try {
        auto waiting = contentReady->wait();
        content = co_await waiting;
    } catch (...) {
        // The service's refusal says little; without the permission the user needs to know that.
        if (ScreenCapturePermission::preflight()) {
            throw;
        }
        throw CaptureError::permissionDenied();
    }
    if (content->displays().empty()) {
        throw CaptureError::noDisplay();
    }
    auto stream =
        SCStream::create(makeFilter(*content), makeConfiguration(), std::weak_ptr<SCStreamDelegate>(self));
    stream->addStreamOutput(std::weak_ptr<SCStreamOutput>(self), SCStreamOutputType::audio, audioQueue_);
    stream->addStreamOutput(std::weak_ptr<SCStreamOutput>(self), SCStreamOutputType::screen, videoQueue_);

    // Published before it starts, so a stop by the owner or by the system while it starts finds it.
    std::shared_ptr<SCStream> previous;
    {
        std::lock_guard lock(streamLock_);
        previous = std::exchange(stream_, stream);
    }
    if (previous) {
        previous->stopCapture(nullptr);
    }

    auto started = std::make_shared<OneShotCompletion<void>>();
    stream->startCapture([started](std::exception_ptr error) {
        if (error) {
            started->fail(error);
        } else {
            started->finish({});
        }
    });
    try {
        auto starting = started->wait();
        co_await starting;
    } catch (...) {
        std::lock_guard lock(streamLock_);
        if (stream_ == stream) {
            stream_.reset();
        }
        throw;
    }
}

QCoro::Task<void> SCKAudioSource::stop() {
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard lock(streamLock_);
        stream = std::exchange(stream_, nullptr);
    }
    if (!stream) {
        co_return;
    }
    auto stopped = std::make_shared<OneShotCompletion<void>>();
    // A failed stop leaves nothing to undo: the stream is ours no more either way.
    stream->stopCapture([stopped](std::exception_ptr) { stopped->finish({}); });
    auto stopping = stopped->wait();
    co_await stopping;
}

void SCKAudioSource::stream(SCStream&, const SampleBuffer& sampleBuffer, SCStreamOutputType type) {
    if (type == SCStreamOutputType::audio) {
        handleAudio(sampleBuffer);
    }
}

void SCKAudioSource::streamDidStop(SCStream& stream, std::exception_ptr error) {
    StopHandler handler;
    {
        std::lock_guard lock(streamLock_);
        // A stream the owner has already stopped (or replaced) is no news to it.
        if (stream_.get() != &stream) {
            return;
        }
        stream_.reset();
        handler = onStop_;
    }
    if (handler) {
        handler(error);
    }
}

SCContentFilter SCKAudioSource::makeFilter(const SCShareableContent& content) const {
    const SCDisplay& display = content.displays().front();
    std::vector<SCRunningApplication> matches;
    if (const auto* app = target_.app()) {
        const std::string helperPrefix = app->bundleID + ".";
        for (const auto& candidate : content.applications()) {
            if (candidate.bundleIdentifier == app->bundleID ||
                candidate.bundleIdentifier.starts_with(helperPrefix)) {
                matches.push_back(candidate);
            }
        }
        if (matches.empty()) {
            throw CaptureError::applicationNotFound(app->bundleID);
        }
        return SCContentFilter::including(display, std::move(matches));
    }
    if (const auto own = Workspace::ownBundleIdentifier()) {
        for (const auto& candidate : content.applications()) {
            if (candidate.bundleIdentifier == *own) {
                matches.push_back(candidate);
            }
        }
    }
    return SCContentFilter::excluding(display, std::move(matches));
}

SCStreamConfiguration SCKAudioSource::makeConfiguration() const {
    SCStreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.sampleRate = static_cast<int>(sampleRate_);
    configuration.channelCount = 2;
    configuration.excludesCurrentProcessAudio = true;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = {1, 1};
    configuration.showsCursor = false;
    return configuration;
}

void SCKAudioSource::handleAudio(const SampleBuffer& sampleBuffer) {
    if (!sampleBuffer.isValid() || sampleBuffer.audioFormat() == nullptr) {
        return;
    }
    const AudioStreamBasicDescription format = *sampleBuffer.audioFormat();
    const uint64_t hostTime = HostClockNow();
    const AudioBufferList* bufferList = sampleBuffer.audioBufferList();
    if (bufferList == nullptr) {
        return;
    }
    const uint32_t written = fanout_->write(bufferList, format, hostTime);
    // The text describes the first buffer the fan-out took, not one it refused. Only the serial audio
    // queue records it, once.
    if (written != 0 && !haveFirstFormat_.load(std::memory_order_relaxed)) {
        firstFormat_ = format;
        haveFirstFormat_.store(true, std::memory_order_release);
    }
}
