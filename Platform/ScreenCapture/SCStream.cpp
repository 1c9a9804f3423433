#include "Platform/ScreenCapture/SCStream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/ScreenCapture/ScreenCaptureError.h"
#include "Platform/Workspace/Workspace.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTickInterval = 10ms;
constexpr auto kTickLeeway = 2ms;
// After a stall the stream skips ahead rather than flooding its outputs with old audio.
constexpr double kMaxCatchUpSeconds = 0.5;

void complete(SCStream::Completion completion, std::exception_ptr error) {
    if (!completion) {
        return;
    }
    DispatchQueue::global(DispatchQoS::userInitiated)->async([completion = std::move(completion), error] {
        completion(error);
    });
}

} // namespace

std::shared_ptr<SCStream> SCStream::create(SCContentFilter filter, SCStreamConfiguration configuration,
                                           std::weak_ptr<SCStreamDelegate> delegate) {
    return std::shared_ptr<SCStream>(new SCStream(std::move(filter), configuration, std::move(delegate)));
}

SCStream::SCStream(SCContentFilter filter, SCStreamConfiguration configuration,
                   std::weak_ptr<SCStreamDelegate> delegate)
    : filter_(std::move(filter))
    , configuration_(configuration)
    , delegate_(std::move(delegate))
    , generatorQueue_(DispatchQueue::serial("screencapture.stream", DispatchQoS::userInteractive)) {}

SCStream::~SCStream() {
    std::unique_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(mutex_);
        timer = endLocked();
    }
}

void SCStream::addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                               std::shared_ptr<DispatchQueue> queue) {
    if (output.expired() || !queue) {
        throw ScreenCaptureError(ScreenCaptureError::Code::invalidParameter,
                                 "A stream output needs an object and a queue");
    }
    std::lock_guard lock(mutex_);
    outputs_.push_back({std::move(output), type, std::move(queue)});
}

void SCStream::startCapture(Completion completion) {
    std::exception_ptr error;
    {
        std::lock_guard lock(mutex_);
        if (capturing_) {
            error = std::make_exception_ptr(ScreenCaptureError(ScreenCaptureError::Code::alreadyRunning,
                                                               "The stream is already capturing"));
        } else if (configuration_.sampleRate <= 0 || configuration_.channelCount <= 0) {
            error = std::make_exception_ptr(ScreenCaptureError(ScreenCaptureError::Code::invalidParameter,
                                                               "The stream's audio format is invalid"));
        } else {
            capturing_ = true;
            ++generation_;
            const uint64_t generation = generation_;
            std::weak_ptr<SCStream> weak = weak_from_this();
            // The generator state is reset on the generator queue, ahead of the first tick.
            generatorQueue_->async([weak, generation] {
                if (auto self = weak.lock(); self && self->delivers(generation)) {
                    self->startedAt_ = DispatchQueue::Clock::now();
                    self->lastFrameAt_ = {};
                    self->framesProduced_ = 0;
                }
            });
            timer_ = DispatchTimer::repeating(generatorQueue_, kTickInterval, kTickLeeway, [weak] {
                if (auto self = weak.lock()) {
                    self->tick();
                }
            });
        }
    }
    complete(std::move(completion), error);
}

void SCStream::stopCapture(Completion completion) {
    std::exception_ptr error;
    std::unique_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(mutex_);
        if (!capturing_) {
            error = std::make_exception_ptr(
                ScreenCaptureError(ScreenCaptureError::Code::notRunning, "The stream is not capturing"));
        }
        timer = endLocked();
    }
    complete(std::move(completion), error);
}

void SCStream::stopBySystem(std::exception_ptr error) {
    std::unique_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(mutex_);
        if (!capturing_) {
            return;
        }
        timer = endLocked();
    }
    DispatchQueue::global(DispatchQoS::standard)->async([self = shared_from_this(), error] {
        if (auto delegate = self->delegate_.lock()) {
            delegate->streamDidStop(*self, error);
        }
    });
}

bool SCStream::isCapturing() const {
    std::lock_guard lock(mutex_);
    return capturing_;
}

std::unique_ptr<DispatchTimer> SCStream::endLocked() {
    if (capturing_) {
        capturing_ = false;
        ++generation_;
    }
    if (timer_) {
        timer_->cancel();
    }
    return std::move(timer_);
}

bool SCStream::delivers(uint64_t generation) const {
    std::lock_guard lock(mutex_);
    return capturing_ && generation_ == generation;
}

void SCStream::tick() {
    std::vector<Output> outputs;
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (!capturing_) {
            return;
        }
        outputs = outputs_;
        generation = generation_;
    }
    const auto now = DispatchQueue::Clock::now();
    const double rate = configuration_.sampleRate;
    const auto blockFrames = static_cast<uint32_t>(std::max(1, configuration_.sampleRate / 100));
    const double elapsed = std::chrono::duration<double>(now - startedAt_).count();
    auto due = static_cast<uint64_t>(elapsed * rate);
    if (due > framesProduced_ + static_cast<uint64_t>(kMaxCatchUpSeconds * rate)) {
        framesProduced_ = due - static_cast<uint64_t>(kMaxCatchUpSeconds * rate);
    }
    while (configuration_.capturesAudio && framesProduced_ + blockFrames <= due) {
        auto buffer =
            SampleBuffer::audio(rate, static_cast<uint32_t>(configuration_.channelCount), blockFrames);
        mixInto(*buffer);
        framesProduced_ += blockFrames;
        deliver(outputs, SCStreamOutputType::audio, std::move(buffer), generation);
    }
    const auto frameInterval =
        std::chrono::duration<double>(std::max(1.0, configuration_.minimumFrameInterval.seconds()));
    if (lastFrameAt_ == DispatchQueue::Clock::time_point{} || now - lastFrameAt_ >= frameInterval) {
        lastFrameAt_ = now;
        deliver(outputs, SCStreamOutputType::screen,
                SampleBuffer::screenFrame(configuration_.width, configuration_.height), generation);
    }
}

void SCStream::mixInto(SampleBuffer& buffer) {
    auto server = AudioServer::shared();
    if (!server) {
        return;
    }
    const double rate = configuration_.sampleRate;
    const int ownPid = Workspace::ownPid();
    const auto* list = buffer.audioBufferList();
    for (const auto& app : server->applications()) {
        if (!filter_.lets(app.pid) || (configuration_.excludesCurrentProcessAudio && app.pid == ownPid)) {
            continue;
        }
        if (app.signal.kind != InputSignal::Kind::sine || app.signal.tones.empty()) {
            continue;
        }
        const auto tone = app.signal.tones.front();
        double& phase = phases_[app.pid];
        const double step = 2 * std::numbers::pi * tone.frequency / rate;
        for (uint32_t i = 0; i < buffer.frames(); ++i) {
            const auto sample = static_cast<float>(tone.amplitude * std::sin(phase));
            for (uint32_t c = 0; c < list->mNumberBuffers; ++c) {
                buffer.channel(c)[i] += sample;
            }
            phase = std::fmod(phase + step, 2 * std::numbers::pi);
        }
    }
}

void SCStream::deliver(const std::vector<Output>& outputs, SCStreamOutputType type,
                       std::shared_ptr<SampleBuffer> buffer, uint64_t generation) {
    for (const auto& output : outputs) {
        if (output.type != type) {
            continue;
        }
        output.queue->async([self = shared_from_this(), target = output.output, buffer, type, generation] {
            if (!self->delivers(generation)) {
                return;
            }
            if (auto receiver = target.lock()) {
                receiver->stream(*self, *buffer, type);
            }
        });
    }
}
