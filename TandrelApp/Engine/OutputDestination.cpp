#include "TandrelApp/Engine/OutputDestination.h"

#include <algorithm>
#include <utility>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/HostClock.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"

namespace {

constexpr uint32_t kMaxFrames = 4096;
constexpr uint32_t kMaxChannels = 64;

// Renders straight into the device's buffers; sized by the first buffer.
AudioDeviceIOBlock renderBlock(TDDestination* raw) {
    return [raw](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                 AudioBufferList* output, const AudioTimeStamp*) {
        if (output == nullptr || output->mNumberBuffers == 0) {
            return;
        }
        const AudioBuffer& first = output->mBuffers[0];
        if (first.mNumberChannels == 0) {
            return;
        }
        const uint32_t frames =
            first.mDataByteSize / (first.mNumberChannels * static_cast<uint32_t>(sizeof(float)));
        TDDestinationRender(raw, output, frames, HostClockNow());
    };
}

void stopAndFree(AudioObjectID device, AudioDeviceIOProcID procID, TDDestination* raw) {
    if (procID != nullptr) {
        AudioDeviceStop(device, procID);
        AudioDeviceDestroyIOProcID(device, procID);
    }
    TDDestinationDestroy(raw);
}

} // namespace

OutputDestination::OutputDestination(AudioDeviceInfo device)
    : device_(std::move(device))
    , sampleRate_(device_.sampleRate) {
    if (device_.outputChannels > 0) {
        raw_ = TDDestinationCreate(std::min(device_.outputChannels, kMaxChannels), kMaxFrames, true);
    }
    if (raw_ == nullptr) {
        throw CoreAudioError::osStatus("TDDestinationCreate (" + device_.name + ")", -1);
    }
    fanout_ = std::make_unique<AudioFanout>(TDDestinationFanout(raw_));
}

OutputDestination::~OutputDestination() {
    AudioDeviceIOProcID procID;
    {
        std::lock_guard lock(procMutex_);
        procID = std::exchange(ioProcID_, nullptr);
    }
    fanout_.reset();
    if (procID != nullptr && DispatchQueue::isMainThread()) {
        // The core destination stays alive until the callback is gone, on the call queue.
        CoreAudioCall::queue()->async(
            [device = device_.id, procID, raw = raw_] { stopAndFree(device, procID, raw); });
        return;
    }
    stopAndFree(device_.id, procID, raw_);
}

bool OutputDestination::isRunning() const {
    std::lock_guard lock(procMutex_);
    return ioProcID_ != nullptr;
}

void OutputDestination::start(std::optional<uint32_t> bufferFrames) {
    std::lock_guard lock(procMutex_);
    if (ioProcID_ != nullptr) {
        return;
    }
    if (bufferFrames) {
        AudioDeviceCatalog::setBufferFrameSize(device_.id, *bufferFrames);
    }
    try {
        sampleRate_.store(CoreAudioProperty::read<double>(device_.id, kAudioDevicePropertyNominalSampleRate,
                                                          sampleRate_.load()),
                          std::memory_order_relaxed);
    } catch (const CoreAudioError&) {
        // Keep the rate the device was listed with.
    }
    AudioDeviceIOProcID procID = nullptr;
    OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&procID, device_.id, nullptr, renderBlock(raw_));
    if (status != kAudioHardwareNoError || procID == nullptr) {
        throw CoreAudioError::osStatus("AudioDeviceCreateIOProcIDWithBlock", status);
    }
    status = AudioDeviceStart(device_.id, procID);
    if (status != kAudioHardwareNoError) {
        AudioDeviceDestroyIOProcID(device_.id, procID);
        throw CoreAudioError::osStatus("AudioDeviceStart (" + device_.name + ")", status);
    }
    ioProcID_ = procID;
}
