// The line device's objects and properties: construction, the property tables of the device, its two
// streams and its two controls, the setters and the announcements of volume and mute changes.
#include "TandrelDriver/TandrelDevice.h"

#include <cmath>
#include <string>

#include "Platform/System/HostClock.h"
#include "TandrelDriver/DriverCodes.h"
#include "TandrelDriver/DriverLog.h"

namespace tandrel::driver {

std::atomic<TandrelDevice::VolumeChanged> TandrelDevice::sVolumeChanged{nullptr};

namespace {

PLRef makeLineName(uint32_t lineNumber, PLRef given) {
    if (PLGetType(given) == PLTypeString && PLStringGetLength(given) > 0) {
        return PLRetain(given);
    }
    return PLStringCreate(("Line " + std::to_string(lineNumber)).c_str());
}

template <typename T>
T readValue(const void* data) {
    T v;
    std::memcpy(&v, data, sizeof(T));
    return v;
}

std::string fourCCText(uint32_t code) {
    return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
            static_cast<char>(code)};
}

// The input stream comes first and belongs to the input scope; everything after it to the output scope.
template <size_t N>
OSStatus writeScopedIDs(PropertyWriter& w, AudioObjectPropertyScope scope, const AudioObjectID (&ids)[N]) {
    switch (scope) {
    case kAudioObjectPropertyScopeInput:
        return w.partial(ids, 1);
    case kAudioObjectPropertyScopeOutput:
        return w.partial(ids + 1, N - 1);
    case kAudioObjectPropertyScopeGlobal:
        return w.partial(ids, N);
    default:
        return w.empty();
    }
}

} // namespace

TandrelDevice::TandrelDevice(uint32_t lineNumber, AudioObjectID baseID, uint32_t channels, PLRef name,
                             std::shared_ptr<DriverContext> context)
    : lineNumber_(lineNumber)
    , deviceID_(baseID)
    , context_(std::move(context))
    , uid_(PLStringCreate(("qorvix.tandrel.device.line" + std::to_string(lineNumber)).c_str()))
    , channelCount_(std::min(channels, kMaxChannels))
    , name_(makeLineName(lineNumber, name))
    , hostTicksPerFrame_(ticksPerFrame(48000))
    , ring_(static_cast<size_t>(std::min(channels, kMaxChannels)) * kRingFrames, 0.0f) {
    for (auto& g : targetGains_) {
        g.store(1.0f, std::memory_order_relaxed);
    }
    appliedGains_.fill(1.0f);
}

TandrelDevice::~TandrelDevice() {
    PLRelease(name_);
    PLRelease(uid_);
}

double TandrelDevice::ticksPerFrame(double rate) {
    HostTimebaseInfo timebase;
    HostClockTimebase(&timebase);
    return 1e9 * timebase.denom / timebase.numer / rate;
}

void TandrelDevice::restoreVolume(float scalar, bool muted) {
    volume_.store(std::clamp(scalar, 0.0f, 1.0f), std::memory_order_relaxed);
    muted_.store(muted ? 1 : 0, std::memory_order_relaxed);
}

bool TandrelDevice::isRunning() const {
    std::lock_guard guard(lock_);
    return ioClients_ > 0;
}

PLRef TandrelDevice::copyName() const {
    std::lock_guard guard(lock_);
    return PLRetain(name_);
}

bool TandrelDevice::setName(PLRef name) {
    if (PLGetType(name) != PLTypeString || PLStringGetLength(name) == 0) {
        return false;
    }
    std::lock_guard guard(lock_);
    if (PLEqual(name_, name)) {
        return false;
    }
    PLRelease(name_);
    name_ = PLRetain(name);
    return true;
}

double TandrelDevice::sampleRate() const {
    std::lock_guard guard(lock_);
    return sampleRate_;
}

AudioStreamBasicDescription TandrelDevice::makeFormat(double rate, uint32_t channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = channels * 4;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = channels * 4;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

// ---- Getters ----

OSStatus TandrelDevice::getProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                    uint32_t /*qualifierSize*/, const void* /*qualifier*/,
                                    PropertyWriter& writer) const {
    if (objectID == deviceID_) {
        return getDeviceProperty(address, writer);
    }
    if (objectID == inputStreamID() || objectID == outputStreamID()) {
        return getStreamProperty(objectID == inputStreamID(), address, writer);
    }
    if (objectID == volumeControlID()) {
        return getVolumeProperty(address, writer);
    }
    if (objectID == muteControlID()) {
        return getMuteProperty(address, writer);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus TandrelDevice::getDeviceProperty(const AudioObjectPropertyAddress& address,
                                          PropertyWriter& w) const {
    const uint32_t channels = channelCount();
    switch (address.mSelector) {
    case sel::kBaseClass:
        return w.value(cls::kObject);
    case sel::kClass:
        return w.value(cls::kDevice);
    case sel::kOwner:
        return w.value(kPlugInObjectID);
    case sel::kName:
        return w.adopt(w.isSizeQuery() ? nullptr : copyName());
    case sel::kManufacturer:
        return w.newString("qorvix");
    case sel::kDeviceUID:
        return w.string(uid_);
    case sel::kModelUID:
        return w.newString("qorvix.tandrel.model");
    case sel::kTransportType:
        return w.value(kTransportTypeVirtual);
    case sel::kRelatedDevices:
        return w.partial(&deviceID_, 1);
    case sel::kClockDomain:
        return w.value(uint32_t{0});
    case sel::kDeviceIsAlive:
        return w.value(uint32_t{1});
    case sel::kDeviceIsRunning:
        return w.value(uint32_t{isRunning() ? 1u : 0u});
    case sel::kCanBeDefaultDevice:
        return w.value(uint32_t{1});
    case sel::kCanBeDefaultSystemDevice:
    case sel::kIsHidden:
    case sel::kLatency:
    case sel::kSafetyOffset:
        return w.value(uint32_t{0});
    case sel::kZeroTimeStampPeriod:
        return w.value(kRingFrames);
    case sel::kNominalSampleRate:
        return w.value(sampleRate());
    case sel::kAvailableNominalSampleRates: {
        std::array<AudioValueRange, kSupportedSampleRates.size()> ranges;
        for (size_t i = 0; i < ranges.size(); ++i) {
            ranges[i] = {kSupportedSampleRates[i], kSupportedSampleRates[i]};
        }
        return w.partial(ranges.data(), ranges.size());
    }
    case sel::kStreams: {
        const AudioObjectID streams[] = {inputStreamID(), outputStreamID()};
        return writeScopedIDs(w, address.mScope, streams);
    }
    case sel::kOwnedObjects: {
        const AudioObjectID owned[] = {inputStreamID(), outputStreamID(), volumeControlID(), muteControlID()};
        return writeScopedIDs(w, address.mScope, owned);
    }
    case sel::kControlList: {
        const AudioObjectID controls[] = {volumeControlID(), muteControlID()};
        return w.partial(controls, 2);
    }
    case sel::kPreferredChannelsForStereo: {
        const uint32_t pair[] = {1, channels < 2 ? 1u : 2u};
        return w.value(pair);
    }
    case sel::kPreferredChannelLayout:
        return w.fill(TD_AUDIO_CHANNEL_LAYOUT_SIZE(channels), [channels](void* buffer) {
            auto* layout = static_cast<AudioChannelLayout*>(buffer);
            std::memset(buffer, 0, TD_AUDIO_CHANNEL_LAYOUT_SIZE(channels));
            layout->mChannelLayoutTag = kAudioChannelLayoutTag_UseChannelDescriptions;
            layout->mNumberChannelDescriptions = channels;
            for (uint32_t i = 0; i < channels; ++i) {
                AudioChannelLabel label = kAudioChannelLabel_Discrete_0 + i;
                if (channels == 2) {
                    label = i == 0 ? kAudioChannelLabel_Left : kAudioChannelLabel_Right;
                }
                layout->mChannelDescriptions[i].mChannelLabel = label;
            }
        });
    case sel::kCustomPropertyInfoList:
        return w.customPropertyInfo(
            {sel::kChannelGains, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, 0});
    case sel::kChannelGains:
        return w.adopt(w.isSizeQuery() ? nullptr : copyChannelGains());
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus TandrelDevice::getStreamProperty(bool input, const AudioObjectPropertyAddress& address,
                                          PropertyWriter& w) const {
    switch (address.mSelector) {
    case sel::kBaseClass:
        return w.value(cls::kObject);
    case sel::kClass:
        return w.value(cls::kStream);
    case sel::kOwner:
        return w.value(deviceID_);
    case sel::kOwnedObjects:
        return w.empty();
    case sel::kIsActive: {
        std::lock_guard guard(lock_);
        return w.value(uint32_t{(input ? inputActive_ : outputActive_) ? 1u : 0u});
    }
    case sel::kDirection:
        return w.value(uint32_t{input ? 1u : 0u});
    case sel::kTerminalType:
        return w.value(kTerminalTypeLine);
    case sel::kStartingChannel:
        return w.value(uint32_t{1});
    case sel::kLatency:
        return w.value(uint32_t{0});
    case sel::kPhysicalFormat:
    case sel::kVirtualFormat:
        return w.value(makeFormat(sampleRate(), channelCount()));
    case sel::kAvailablePhysicalFormats:
    case sel::kAvailableVirtualFormats: {
        std::array<AudioStreamRangedDescription, kSupportedSampleRates.size()> formats;
        for (size_t i = 0; i < formats.size(); ++i) {
            const double rate = kSupportedSampleRates[i];
            formats[i] = {makeFormat(rate, channelCount()), {rate, rate}};
        }
        return w.partial(formats.data(), formats.size());
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus TandrelDevice::getControlProperty(uint32_t baseClass, uint32_t classID,
                                           const AudioObjectPropertyAddress& address,
                                           PropertyWriter& w) const {
    switch (address.mSelector) {
    case sel::kBaseClass:
        return w.value(baseClass);
    case sel::kClass:
        return w.value(classID);
    case sel::kOwner:
        return w.value(deviceID_);
    case sel::kOwnedObjects:
        return w.empty();
    case sel::kControlScope:
        return w.value(uint32_t{kAudioObjectPropertyScopeOutput});
    case sel::kControlElement:
        return w.value(uint32_t{kAudioObjectPropertyElementMain});
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus TandrelDevice::getVolumeProperty(const AudioObjectPropertyAddress& address,
                                          PropertyWriter& w) const {
    switch (address.mSelector) {
    case sel::kScalarValue:
        return w.value(volumeScalar());
    // The range is declared as one decibel, so the scalar maps onto it linearly.
    case sel::kDecibelValue:
        return w.value(volumeScalar() - 1.0f);
    case sel::kDecibelRange:
        return w.value(AudioValueRange{-1.0, 0.0});
    default:
        return getControlProperty(cls::kLevelControl, cls::kVolumeControl, address, w);
    }
}

OSStatus TandrelDevice::getMuteProperty(const AudioObjectPropertyAddress& address, PropertyWriter& w) const {
    if (address.mSelector == sel::kBooleanValue) {
        return w.value(uint32_t{isMuted() ? 1u : 0u});
    }
    return getControlProperty(cls::kBooleanControl, cls::kMuteControl, address, w);
}

PLRef TandrelDevice::copyChannelGains() const {
    std::array<PLRef, kMaxChannels> numbers{};
    const uint32_t channels = channelCount();
    for (uint32_t c = 0; c < channels; ++c) {
        numbers[c] = PLNumberCreateFloat64(targetGains_[c].load(std::memory_order_relaxed));
    }
    PLRef array = PLArrayCreate(numbers.data(), channels);
    for (uint32_t c = 0; c < channels; ++c) {
        PLRelease(numbers[c]);
    }
    return array;
}

// ---- Settable rules and setters ----

OSStatus TandrelDevice::isPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                           bool& settable) const {
    PropertyWriter probe = PropertyWriter::sizeQuery();
    if (OSStatus status = getProperty(objectID, address, 0, nullptr, probe);
        status != kAudioHardwareNoError) {
        return status;
    }
    const uint32_t s = address.mSelector;
    if (objectID == deviceID_) {
        settable = s == sel::kNominalSampleRate || s == sel::kChannelGains;
    } else if (objectID == volumeControlID()) {
        settable = s == sel::kScalarValue || s == sel::kDecibelValue;
    } else if (objectID == muteControlID()) {
        settable = s == sel::kBooleanValue;
    } else {
        settable = s == sel::kPhysicalFormat || s == sel::kVirtualFormat || s == sel::kIsActive;
    }
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::setProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                    uint32_t size, const void* data) {
    if (objectID == volumeControlID() || objectID == muteControlID()) {
        return setControlProperty(objectID, address, size, data);
    }
    if (objectID == deviceID_) {
        switch (address.mSelector) {
        case sel::kChannelGains:
            return setChannelGains(size, data);
        case sel::kNominalSampleRate:
            if (size != sizeof(double)) {
                return kAudioHardwareBadPropertySizeError;
            }
            return requestSampleRate(readValue<double>(data));
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    if (objectID == inputStreamID() || objectID == outputStreamID()) {
        switch (address.mSelector) {
        case sel::kPhysicalFormat:
        case sel::kVirtualFormat:
            if (size != sizeof(AudioStreamBasicDescription)) {
                return kAudioHardwareBadPropertySizeError;
            }
            return setStreamFormat(readValue<AudioStreamBasicDescription>(data));
        case sel::kIsActive:
            return setStreamActive(objectID, address, size, data);
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    return kAudioHardwareBadObjectError;
}

OSStatus TandrelDevice::setChannelGains(uint32_t size, const void* data) {
    if (size != sizeof(PLRef)) {
        return kAudioHardwareBadPropertySizeError;
    }
    const PLRef gains = readValue<PLRef>(data);
    if (PLGetType(gains) != PLTypeArray) {
        return kAudioHardwareIllegalOperationError;
    }
    const size_t count = PLArrayGetCount(gains);
    for (uint32_t c = 0; c < kMaxChannels; ++c) {
        float gain = 1.0f;
        if (c < count) {
            float value;
            // A non-finite gain would poison every sample that passes the line; it counts as unity.
            if (PLNumberGetFloat32(PLArrayGetValueAtIndex(gains, c), &value) && std::isfinite(value)) {
                gain = std::clamp(value, 0.0f, 16.0f);
            }
        }
        targetGains_[c].store(gain, std::memory_order_relaxed);
    }
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::setStreamActive(AudioObjectID streamID, const AudioObjectPropertyAddress& address,
                                        uint32_t size, const void* data) {
    if (size != sizeof(uint32_t)) {
        return kAudioHardwareBadPropertySizeError;
    }
    const bool active = readValue<uint32_t>(data) != 0;
    {
        std::lock_guard guard(lock_);
        (streamID == inputStreamID() ? inputActive_ : outputActive_) = active;
    }
    if (AudioServerPlugInHostRef host = context_->currentHost()) {
        host->PropertiesChanged(host, streamID, 1, &address);
    }
    return kAudioHardwareNoError;
}

OSStatus TandrelDevice::setControlProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                           uint32_t size, const void* data) {
    if (objectID == muteControlID()) {
        if (address.mSelector != sel::kBooleanValue) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (size != sizeof(uint32_t)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const uint8_t muted = readValue<uint32_t>(data) != 0 ? 1 : 0;
        if (muted_.exchange(muted, std::memory_order_relaxed) != muted) {
            notifyControlChanged(muteControlID(), sel::kBooleanValue);
        }
        return kAudioHardwareNoError;
    }

    if (size != sizeof(float)) {
        return kAudioHardwareBadPropertySizeError;
    }
    const float value = readValue<float>(data);
    float scalar;
    if (address.mSelector == sel::kScalarValue) {
        scalar = value;
    } else if (address.mSelector == sel::kDecibelValue) {
        scalar = value + 1.0f;
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    // A NaN passes a clamp unchanged and would end up in the stored volumes.
    if (!std::isfinite(scalar)) {
        return kAudioHardwareIllegalOperationError;
    }
    scalar = std::clamp(scalar, 0.0f, 1.0f);
    consoleLog().info("TandrelDriver: Line {} volume set via '{}' = {:f} -> scalar {:f}", lineNumber_,
                      fourCCText(address.mSelector), value, scalar);
    if (volume_.exchange(scalar, std::memory_order_relaxed) != scalar) {
        notifyControlChanged(volumeControlID(), sel::kScalarValue, sel::kDecibelValue);
    }
    return kAudioHardwareNoError;
}

void TandrelDevice::notifyControlChanged(AudioObjectID objectID, uint32_t selector1, uint32_t selector2) {
    context_->runtime->global(
        QualityOfService::UserInitiated, [context = context_, this, objectID, selector1, selector2] {
            if (AudioServerPlugInHostRef host = context->currentHost()) {
                const AudioObjectPropertyAddress addresses[] = {
                    {selector1, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
                    {selector2, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain}};
                host->PropertiesChanged(host, objectID, selector2 != 0 ? 2 : 1, addresses);
            }
            if (VolumeChanged callback = sVolumeChanged.load(std::memory_order_acquire)) {
                callback(*this);
            }
        });
}

} // namespace tandrel::driver
