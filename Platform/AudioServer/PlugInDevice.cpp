#include "Platform/AudioServer/PlugInDevice.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerPlugIn.h"
#include "Platform/AudioServer/PlugInHost.h"
#include "Platform/System/HostClock.h"

namespace {

constexpr AudioObjectPropertySelector kVolumeScalar = TD_FOURCC('v', 'o', 'l', 'm');
constexpr AudioObjectPropertySelector kMute = TD_FOURCC('m', 'u', 't', 'e');
constexpr AudioObjectPropertySelector kControlScalarValue = TD_FOURCC('l', 'c', 's', 'v');
constexpr AudioObjectPropertySelector kControlBooleanValue = TD_FOURCC('b', 'c', 'v', 'l');

// The client id the server uses for all its IO on a driver's device.
constexpr uint32_t kServerClientID = 1;

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

} // namespace

// ---- The device's IO through the driver ----

class PlugInIOEngine final : public DeviceIO::Engine {
public:
    PlugInIOEngine(std::shared_ptr<PlugInHost> host, AudioObjectID device)
        : host_(std::move(host))
        , device_(device) {}

    // Only while the IO thread is not running.
    void setLayout(const PlugInDeviceLayout& layout) {
        inputStreams_ = layout.inputStreams;
        outputStreams_ = layout.outputStreams;
        ticksPerFrame_.store(1e9 / layout.sampleRate, std::memory_order_relaxed);
    }

    OSStatus startIO() override {
        const auto& t = host_->table();
        if (OSStatus status = t.AddDeviceClient(host_->driver(), device_, &client_); status != 0) {
            return status;
        }
        if (OSStatus status = t.StartIO(host_->driver(), device_, kServerClientID); status != 0) {
            t.RemoveDeviceClient(host_->driver(), device_, &client_);
            return status;
        }
        bool inPlace = true;
        willRead_ = willWrite_ = false;
        t.WillDoIOOperation(host_->driver(), device_, kServerClientID, kAudioServerPlugInIOOperationReadInput,
                            &willRead_, &inPlace);
        t.WillDoIOOperation(host_->driver(), device_, kServerClientID, kAudioServerPlugInIOOperationWriteMix,
                            &willWrite_, &inPlace);
        return kAudioHardwareNoError;
    }

    void stopIO() override {
        const auto& t = host_->table();
        t.StopIO(host_->driver(), device_, kServerClientID);
        t.RemoveDeviceClient(host_->driver(), device_, &client_);
    }

    // Real-time (the driver's clock call is the driver's business).
    double currentSampleTime() override {
        refreshZeroTimeStamp();
        const double elapsed = static_cast<double>(int64_t(HostClockNow() - zeroHost_));
        return zeroSample_ + elapsed / hostTicksPerFrame();
    }

    uint64_t hostTimeOfSample(double sampleTime) override {
        refreshZeroTimeStamp();
        const double host = static_cast<double>(zeroHost_) + (sampleTime - zeroSample_) * hostTicksPerFrame();
        return host > 0 ? static_cast<uint64_t>(std::llround(host)) : 0;
    }

    double hostTicksPerFrame() const override { return ticksPerFrame_.load(std::memory_order_relaxed); }

    void beginCycle(uint64_t cycle, uint32_t frames, const AudioTimeStamp& now,
                    const AudioTimeStamp& inputTime, const AudioTimeStamp& outputTime,
                    AudioBufferList* input) override {
        info_ = AudioServerPlugInIOCycleInfo{};
        info_.mIOCycleCounter = cycle;
        info_.mNominalIOBufferFrameSize = frames;
        info_.mInputTime = inputTime;
        info_.mOutputTime = outputTime;
        info_.mCurrentTime = now;
        info_.mMainHostTicksPerFrame = info_.mDeviceHostTicksPerFrame = hostTicksPerFrame();
        frames_ = frames;
        if (willRead_) {
            run(kAudioServerPlugInIOOperationReadInput, inputStreams_, input);
        } else {
            for (uint32_t b = 0; b < input->mNumberBuffers; ++b) {
                std::fill_n(static_cast<float*>(input->mBuffers[b].mData),
                            input->mBuffers[b].mDataByteSize / sizeof(float), 0.0f);
            }
        }
    }

    void endCycle(const AudioBufferList* mix) override {
        if (willWrite_) {
            run(kAudioServerPlugInIOOperationWriteMix, outputStreams_, const_cast<AudioBufferList*>(mix));
        }
    }

private:
    void refreshZeroTimeStamp() {
        double sample = 0;
        uint64_t host = 0, seed = 0;
        if (host_->table().GetZeroTimeStamp(host_->driver(), device_, kServerClientID, &sample, &host,
                                            &seed) == kAudioHardwareNoError) {
            zeroSample_ = sample;
            zeroHost_ = host;
        }
    }

    void run(uint32_t operation, const std::vector<AudioObjectID>& streams, AudioBufferList* buffers) {
        const auto& t = host_->table();
        t.BeginIOOperation(host_->driver(), device_, kServerClientID, operation, frames_, &info_);
        const size_t n = std::min<size_t>(streams.size(), buffers->mNumberBuffers);
        for (size_t s = 0; s < n; ++s) {
            t.DoIOOperation(host_->driver(), device_, streams[s], kServerClientID, operation, frames_, &info_,
                            buffers->mBuffers[s].mData, nullptr);
        }
        t.EndIOOperation(host_->driver(), device_, kServerClientID, operation, frames_, &info_);
    }

    const std::shared_ptr<PlugInHost> host_;
    const AudioObjectID device_;
    const AudioServerPlugInClientInfo client_{kServerClientID, static_cast<int32_t>(getpid()), true, nullptr};
    std::vector<AudioObjectID> inputStreams_, outputStreams_;
    std::atomic<double> ticksPerFrame_{1e9 / 48000};
    bool willRead_ = false, willWrite_ = false;
    // The IO thread's own.
    double zeroSample_ = 0;
    uint64_t zeroHost_ = 0;
    uint32_t frames_ = 0;
    AudioServerPlugInIOCycleInfo info_{};
};

// ---- Forwarding ----

PlugInObject::PlugInObject(AudioServer& server, AudioObjectID id, std::shared_ptr<PlugInHost> host,
                           AudioObjectID local, AudioClassID classID, AudioObjectID owner)
    : AudioObject(server, id, classID, kAudioObjectClassID, owner)
    , host_(std::move(host))
    , local_(local) {}

bool PlugInObject::hasProperty(const AudioObjectPropertyAddress& address) const {
    return host_->table().HasProperty(host_->driver(), local_, 0, &address);
}

OSStatus PlugInObject::isPropertySettable(const AudioObjectPropertyAddress& address,
                                          bool* outSettable) const {
    if (outSettable == nullptr) {
        return kAudio_ParamError;
    }
    return host_->table().IsPropertySettable(host_->driver(), local_, 0, &address, outSettable);
}

OSStatus PlugInObject::getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                           const void* qualifier, uint32_t* outDataSize) const {
    if (outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    return host_->table().GetPropertyDataSize(host_->driver(), local_, 0, &address, qualifierSize, qualifier,
                                              outDataSize);
}

OSStatus PlugInObject::getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                       const void* qualifier, uint32_t* ioDataSize, void* outData) const {
    if (ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    uint32_t written = 0;
    const OSStatus status = host_->table().GetPropertyData(
        host_->driver(), local_, 0, &address, qualifierSize, qualifier, *ioDataSize, &written, outData);
    *ioDataSize = status == kAudioHardwareNoError ? written : 0;
    if (status == kAudioHardwareNoError) {
        host_->translateAnswer(local_, address.mSelector, outData, written);
    }
    return status;
}

OSStatus PlugInObject::setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                       const void* qualifier, uint32_t dataSize, const void* data) {
    return host_->table().SetPropertyData(host_->driver(), local_, 0, &address, qualifierSize, qualifier,
                                          dataSize, data);
}

// ---- Devices ----

PlugInDevice::PlugInDevice(AudioServer& server, AudioObjectID id, std::shared_ptr<PlugInHost> host,
                           AudioObjectID local, std::string uid, AudioObjectID volume, AudioObjectID mute,
                           PlugInDeviceLayout layout)
    : PlugInObject(server, id, host, local, kAudioDeviceClassID, host->objectID())
    , uid_(std::move(uid))
    , volume_(volume)
    , mute_(mute)
    , engine_(std::make_shared<PlugInIOEngine>(host, local))
    , layout_(std::move(layout)) {
    engine_->setLayout(layout_);
    io_ = std::make_shared<DeviceIO>(uid_, formatLocked(), engine_);
}

DeviceIO::Format PlugInDevice::formatLocked() const {
    DeviceIO::Format format;
    format.sampleRate = layout_.sampleRate;
    format.bufferFrames = bufferFrames_;
    format.inputStreams = layout_.inputChannels;
    format.outputStreams = layout_.outputChannels;
    // The driver fills the input; the loop-back signal is the cheapest placeholder for it.
    format.signal = InputSignal::loopback();
    return format;
}

PlugInDeviceLayout PlugInDevice::layout() const {
    std::lock_guard lock(mutex_);
    return layout_;
}

bool PlugInDevice::readLayout(const PlugInHost& host, AudioObjectID local, PlugInDeviceLayout& out) {
    if (!host.readValue(local, address(kAudioDevicePropertyNominalSampleRate), &out.sampleRate) ||
        !(out.sampleRate > 0)) {
        return false;
    }
    for (bool input : {true, false}) {
        auto scope = input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
        auto& streams = input ? out.inputStreams : out.outputStreams;
        auto& channels = input ? out.inputChannels : out.outputChannels;
        channels.clear();
        if (!host.readIDs(local, address(kAudioDevicePropertyStreams, scope), streams)) {
            return false;
        }
        for (AudioObjectID stream : streams) {
            AudioStreamBasicDescription format{};
            if (!host.readValue(stream, address(kAudioStreamPropertyVirtualFormat), &format) ||
                format.mChannelsPerFrame == 0) {
                return false;
            }
            channels.push_back(format.mChannelsPerFrame);
        }
    }
    return true;
}

void PlugInDevice::reloadLayoutWhilePaused() {
    PlugInDeviceLayout fresh;
    if (!readLayout(*host_, local_, fresh)) {
        return;
    }
    engine_->setLayout(fresh);
    std::lock_guard lock(mutex_);
    layout_ = std::move(fresh);
    io_->setFormat(formatLocked());
}

PlugInDevice::Synthesised PlugInDevice::synthesise(const AudioObjectPropertyAddress& a,
                                                   std::optional<PropertyValue>* value,
                                                   Control* control) const {
    switch (a.mSelector) {
    case kAudioDevicePropertyStreamConfiguration: {
        if (a.mScope != kAudioObjectPropertyScopeInput && a.mScope != kAudioObjectPropertyScopeOutput) {
            return Synthesised::absent;
        }
        std::lock_guard lock(mutex_);
        const auto& channels =
            a.mScope == kAudioObjectPropertyScopeInput ? layout_.inputChannels : layout_.outputChannels;
        std::vector<std::byte> bytes(TD_AUDIO_BUFFER_LIST_SIZE(channels.size()));
        auto* list = reinterpret_cast<AudioBufferList*>(bytes.data());
        list->mNumberBuffers = static_cast<uint32_t>(channels.size());
        for (size_t i = 0; i < channels.size(); ++i) {
            list->mBuffers[i] = AudioBuffer{channels[i], 0, nullptr};
        }
        value->emplace(PropertyValue::bytes(std::move(bytes)));
        return Synthesised::value;
    }
    case kAudioDevicePropertyBufferFrameSize: {
        std::lock_guard lock(mutex_);
        value->emplace(PropertyValue::of(bufferFrames_));
        return Synthesised::value;
    }
    case kAudioDevicePropertyBufferFrameSizeRange:
        value->emplace(PropertyValue::of(AudioValueRange{kMinimumBufferFrames, kMaximumBufferFrames}));
        return Synthesised::value;
    case kVolumeScalar:
    case kMute: {
        const bool volume = a.mSelector == kVolumeScalar;
        control->id = volume ? volume_ : mute_;
        control->address = address(volume ? kControlScalarValue : kControlBooleanValue);
        const bool present = control->id != kAudioObjectUnknown &&
                             a.mScope == kAudioObjectPropertyScopeOutput &&
                             a.mElement == kAudioObjectPropertyElementMain;
        return present ? Synthesised::control : Synthesised::absent;
    }
    default:
        return Synthesised::no;
    }
}

bool PlugInDevice::hasProperty(const AudioObjectPropertyAddress& a) const {
    std::optional<PropertyValue> value;
    Control control;
    switch (synthesise(a, &value, &control)) {
    case Synthesised::value:
        return true;
    case Synthesised::control:
        return host_->table().HasProperty(host_->driver(), control.id, 0, &control.address);
    case Synthesised::absent:
        return false;
    case Synthesised::no:
        break;
    }
    return PlugInObject::hasProperty(a);
}

OSStatus PlugInDevice::isPropertySettable(const AudioObjectPropertyAddress& a, bool* outSettable) const {
    if (outSettable == nullptr) {
        return kAudio_ParamError;
    }
    std::optional<PropertyValue> value;
    Control control;
    switch (synthesise(a, &value, &control)) {
    case Synthesised::value:
        *outSettable = a.mSelector == kAudioDevicePropertyBufferFrameSize;
        return kAudioHardwareNoError;
    case Synthesised::control:
        return host_->table().IsPropertySettable(host_->driver(), control.id, 0, &control.address,
                                                 outSettable);
    case Synthesised::absent:
        return kAudioHardwareUnknownPropertyError;
    case Synthesised::no:
        break;
    }
    return PlugInObject::isPropertySettable(a, outSettable);
}

OSStatus PlugInDevice::getPropertyDataSize(const AudioObjectPropertyAddress& a, uint32_t qualifierSize,
                                           const void* qualifier, uint32_t* outDataSize) const {
    if (outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    std::optional<PropertyValue> value;
    Control control;
    switch (synthesise(a, &value, &control)) {
    case Synthesised::value:
        *outDataSize = value->size();
        return kAudioHardwareNoError;
    case Synthesised::control:
        return host_->table().GetPropertyDataSize(host_->driver(), control.id, 0, &control.address, 0,
                                                  nullptr, outDataSize);
    case Synthesised::absent:
        return kAudioHardwareUnknownPropertyError;
    case Synthesised::no:
        break;
    }
    return PlugInObject::getPropertyDataSize(a, qualifierSize, qualifier, outDataSize);
}

OSStatus PlugInDevice::getPropertyData(const AudioObjectPropertyAddress& a, uint32_t qualifierSize,
                                       const void* qualifier, uint32_t* ioDataSize, void* outData) const {
    if (ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    std::optional<PropertyValue> value;
    Control control;
    switch (synthesise(a, &value, &control)) {
    case Synthesised::value:
        return value->copyOut(ioDataSize, outData);
    case Synthesised::control: {
        uint32_t written = 0;
        const OSStatus status = host_->table().GetPropertyData(
            host_->driver(), control.id, 0, &control.address, 0, nullptr, *ioDataSize, &written, outData);
        *ioDataSize = status == kAudioHardwareNoError ? written : 0;
        return status;
    }
    case Synthesised::absent:
        *ioDataSize = 0;
        return kAudioHardwareUnknownPropertyError;
    case Synthesised::no:
        break;
    }
    return PlugInObject::getPropertyData(a, qualifierSize, qualifier, ioDataSize, outData);
}

OSStatus PlugInDevice::setPropertyData(const AudioObjectPropertyAddress& a, uint32_t qualifierSize,
                                       const void* qualifier, uint32_t dataSize, const void* data) {
    std::optional<PropertyValue> value;
    Control control;
    switch (synthesise(a, &value, &control)) {
    case Synthesised::value: {
        if (a.mSelector != kAudioDevicePropertyBufferFrameSize) {
            return kAudioHardwareIllegalOperationError;
        }
        uint32_t frames = 0;
        if (data == nullptr || dataSize != sizeof frames) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(&frames, data, sizeof frames);
        if (frames < kMinimumBufferFrames || frames > kMaximumBufferFrames) {
            return kAudioHardwareIllegalOperationError;
        }
        {
            std::lock_guard lock(mutex_);
            if (frames == bufferFrames_) {
                return kAudioHardwareNoError;
            }
            bufferFrames_ = frames;
            io_->setFormat(formatLocked());
        }
        server_.announce({{objectID(), address(kAudioDevicePropertyBufferFrameSize)}});
        return kAudioHardwareNoError;
    }
    case Synthesised::control:
        return host_->table().SetPropertyData(host_->driver(), control.id, 0, &control.address, 0, nullptr,
                                              dataSize, data);
    case Synthesised::absent:
        return kAudioHardwareUnknownPropertyError;
    case Synthesised::no:
        break;
    }
    return PlugInObject::setPropertyData(a, qualifierSize, qualifier, dataSize, data);
}
