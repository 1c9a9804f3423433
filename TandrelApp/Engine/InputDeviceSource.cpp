#include "TandrelApp/Engine/InputDeviceSource.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/HostClock.h"
#include "Platform/System/MicrophonePermission.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"
#include "TandrelApp/Support/QueueAwait.h"

namespace {

constexpr uint32_t kGatherFrames = 4096;

AudioStreamBasicDescription floatFormat(double rate, uint32_t channels, bool planar) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                          (planar ? static_cast<uint32_t>(kAudioFormatFlagIsNonInterleaved) : 0u);
    format.mBytesPerFrame = planar ? 4 : 4 * channels;
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

// Streams of several channels each (2 + 6, say) are gathered into one interleaved block, so no
// channel is lost; the space is made at start and used only by the IO thread.
struct Gather {
    explicit Gather(uint32_t channels)
        : channels(channels)
        , samples(static_cast<size_t>(kGatherFrames) * channels) {
        list.mNumberBuffers = 1;
        list.mBuffers[0].mNumberChannels = channels;
        list.mBuffers[0].mData = samples.data();
    }

    // Writes the buffers' channels side by side, in stream order, in chunks of kGatherFrames.
    void write(const AudioBufferList& input, AudioFanout& fanout, const AudioStreamBasicDescription& format,
               uint64_t hostTime) {
        uint64_t frames = UINT64_MAX;
        for (uint32_t b = 0; b < input.mNumberBuffers; ++b) {
            const AudioBuffer& buffer = input.mBuffers[b];
            if (buffer.mNumberChannels > 0) {
                frames = std::min<uint64_t>(frames, buffer.mDataByteSize / (buffer.mNumberChannels * 4u));
            }
        }
        for (uint64_t done = 0; done < frames;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frames - done, kGatherFrames));
            std::fill_n(samples.data(), static_cast<size_t>(n) * channels, 0.0f);
            uint32_t offset = 0;
            for (uint32_t b = 0; b < input.mNumberBuffers && offset < channels; ++b) {
                const AudioBuffer& buffer = input.mBuffers[b];
                const uint32_t width = std::min(buffer.mNumberChannels, channels - offset);
                const auto* in = static_cast<const float*>(buffer.mData);
                if (in != nullptr) {
                    for (uint32_t i = 0; i < n; ++i) {
                        const float* frame = in + (done + i) * buffer.mNumberChannels;
                        std::copy_n(frame, width,
                                    samples.data() + static_cast<size_t>(i) * channels + offset);
                    }
                }
                offset += buffer.mNumberChannels;
            }
            list.mBuffers[0].mDataByteSize = n * channels * 4u;
            fanout.write(&list, format, hostTime);
            done += n;
        }
    }

    uint32_t channels;
    std::vector<float> samples;
    AudioBufferList list{};
};

} // namespace

InputDeviceSource::InputError InputDeviceSource::InputError::noInputChannels(const std::string& deviceName) {
    return InputError(Kind::noInputChannels, deviceName + " には入力チャンネルがありません");
}

InputDeviceSource::InputError InputDeviceSource::InputError::permissionDenied() {
    return InputError(
        Kind::permissionDenied,
        "マイクへのアクセスが許可されていません（システム設定 > プライバシーとセキュリティ > マイク）");
}

InputDeviceSource::InputDeviceSource(AudioDeviceInfo device, std::optional<uint32_t> preferredBufferFrames)
    : device_(std::move(device))
    , fanout_(std::make_unique<AudioFanout>(std::max(device_.inputChannels, 1u)))
    , sampleRate_(device_.sampleRate)
    , preferredBufferFrames_(preferredBufferFrames) {}

InputDeviceSource::~InputDeviceSource() {
    stopSync();
}

QCoro::Task<void> InputDeviceSource::requestMicrophoneAccess() {
    switch (MicrophonePermission::status()) {
    case AuthorizationStatus::authorized:
        co_return;
    case AuthorizationStatus::notDetermined: {
        auto answer = std::make_shared<OneShotCompletion<bool>>();
        MicrophonePermission::requestAccess([answer](bool granted) { answer->finish(granted); });
        if (co_await answer->wait()) {
            co_return;
        }
        throw InputError::permissionDenied();
    }
    case AuthorizationStatus::restricted:
    case AuthorizationStatus::denied:
        break;
    }
    throw InputError::permissionDenied();
}

QCoro::Task<void> InputDeviceSource::start(std::optional<uint32_t> bufferFrames) {
    auto self = shared_from_this();
    const uint64_t stopsBefore = stopRequests_.load();
    if (device_.inputChannels == 0) {
        throw InputError::noInputChannels(device_.name);
    }
    co_await requestMicrophoneAccess();
    // The audio-server work waits on the call queue from a pool thread, never on the caller's. The
    // task is a named local: g++ 12 destroys temporaries of a co_await expression twice.
    auto starting =
        awaitOnQueue(DispatchQueue::global(DispatchQoS::userInitiated), [self, bufferFrames, stopsBefore] {
            // Start and stop meet on the call queue, so the callback id is always the one running: a stop
            // asked for while this start was on its way wins, and a second start replaces the callback
            // instead of leaving one running that nothing could stop.
            CoreAudioCall::sync([&] {
                if (self->stopRequests_.load() != stopsBefore) {
                    return;
                }
                self->stopOnCallQueue();
                self->ioProcID_.store(self->startIO(bufferFrames));
            });
        });
    co_await std::move(starting);
}

QCoro::Task<void> InputDeviceSource::stop() {
    auto self = shared_from_this();
    stopRequests_.fetch_add(1);
    auto stopping =
        awaitOnQueue(DispatchQueue::global(DispatchQoS::userInitiated), [self] { self->stopSync(); });
    co_await std::move(stopping);
}

AudioDeviceIOProcID InputDeviceSource::startIO(std::optional<uint32_t> bufferFrames) {
    if (bufferFrames) {
        AudioDeviceCatalog::setBufferFrameSize(device_.id, *bufferFrames);
    }
    double rate = device_.sampleRate;
    try {
        rate = CoreAudioProperty::read<double>(device_.id, kAudioDevicePropertyNominalSampleRate, rate);
    } catch (const CoreAudioError&) {
        // The catalog's rate stands.
    }
    sampleRate_.store(rate, std::memory_order_relaxed);

    // The block holds the rate and the fan-out, never the source: the source stops it before dying.
    AudioFanout* fanout = fanout_.get();
    auto gather = std::make_shared<Gather>(device_.inputChannels);
    AudioDeviceIOBlock block = [rate, fanout, gather](const AudioTimeStamp*, const AudioBufferList* input,
                                                      const AudioTimeStamp*, AudioBufferList*,
                                                      const AudioTimeStamp*) {
        if (input == nullptr || input->mNumberBuffers == 0) {
            return;
        }
        const uint32_t firstChannels = input->mBuffers[0].mNumberChannels;
        if (firstChannels == 0) {
            return;
        }
        const uint64_t hostTime = HostClockNow();
        if (input->mNumberBuffers == 1) {
            fanout->write(input, floatFormat(rate, firstChannels, false), hostTime);
            return;
        }
        const bool allMono = std::all_of(input->mBuffers, input->mBuffers + input->mNumberBuffers,
                                         [](const AudioBuffer& b) { return b.mNumberChannels == 1; });
        if (allMono) {
            fanout->write(input, floatFormat(rate, input->mNumberBuffers, true), hostTime);
            return;
        }
        gather->write(*input, *fanout, floatFormat(rate, gather->channels, false), hostTime);
    };

    AudioDeviceIOProcID procID = nullptr;
    OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&procID, device_.id, nullptr, std::move(block));
    if (status != kAudioHardwareNoError || procID == nullptr) {
        throw CoreAudioError::osStatus("AudioDeviceCreateIOProcIDWithBlock", status);
    }
    status = AudioDeviceStart(device_.id, procID);
    if (status != kAudioHardwareNoError) {
        AudioDeviceDestroyIOProcID(device_.id, procID);
        throw CoreAudioError::osStatus("AudioDeviceStart", status);
    }
    return procID;
}

void InputDeviceSource::stopSync() {
    if (ioProcID_.load() == nullptr) {
        return;
    }
    CoreAudioCall::sync([this] { stopOnCallQueue(); });
}

void InputDeviceSource::stopOnCallQueue() {
    AudioDeviceIOProcID procID = ioProcID_.exchange(nullptr);
    if (procID != nullptr) {
        AudioDeviceStop(device_.id, procID);
        AudioDeviceDestroyIOProcID(device_.id, procID);
    }
}
