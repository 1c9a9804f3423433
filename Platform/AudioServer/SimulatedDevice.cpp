#include "Platform/AudioServer/SimulatedDevice.h"

#include <algorithm>

#include "Platform/AudioServer/AudioServer.h"

StreamObject::StreamObject(AudioServer& server, AudioObjectID id, AudioObjectID device, bool isInput,
                           uint32_t startingChannel, uint32_t channels, double sampleRate)
    : BuiltInObject(server, id, kAudioStreamClassID, kAudioObjectClassID, device)
    , isInput_(isInput)
    , startingChannel_(startingChannel)
    , channels_(channels)
    , sampleRate_(sampleRate) {}

AudioStreamBasicDescription StreamObject::formatLocked() const {
    return interleavedFloatFormat(sampleRate_, channels_);
}

PropertyValue StreamObject::read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    switch (address.mSelector) {
    case kAudioStreamPropertyDirection:
        return PropertyValue::of(uint32_t{isInput_ ? 1u : 0u});
    case TD_FOURCC('s', 'c', 'h', 'n'): // starting channel
        return PropertyValue::of(startingChannel_);
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyPhysicalFormat:
        return PropertyValue::of(formatLocked());
    default:
        return BuiltInObject::read(address, qualifier);
    }
}

SimulatedDevice::SimulatedDevice(AudioServer& server, AudioObjectID id, DeviceSpec record)
    : BuiltInObject(server, id, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectSystemObject)
    , spec_(std::move(record))
    , io_(std::make_shared<DeviceIO>(spec_.name, ioFormatLocked())) {}

DeviceIO::Format SimulatedDevice::ioFormatLocked() const {
    return {spec_.sampleRate,    spec_.bufferFrameSize, spec_.inputStreams,
            spec_.outputStreams, spec_.clockDriftPpm,   spec_.inputSignal};
}

void SimulatedDevice::setInputSignalLocked(InputSignal signal) {
    spec_.inputSignal = std::move(signal);
    io_->setFormat(ioFormatLocked());
}

void SimulatedDevice::setClockDriftLocked(double ppm) {
    spec_.clockDriftPpm = ppm;
    io_->setFormat(ioFormatLocked());
}

bool SimulatedDevice::hasStreamsLocked(bool input) const {
    return std::any_of(streams_.begin(), streams_.end(),
                       [input](const auto& s) { return s->isInput() == input; });
}

std::vector<std::shared_ptr<StreamObject>>
SimulatedDevice::setStreamsLocked(bool input, const std::vector<uint32_t>& channels,
                                  const std::function<AudioObjectID()>& newID) {
    std::vector<std::shared_ptr<StreamObject>> kept, dropped;
    for (auto& s : streams_) {
        (s->isInput() == input ? dropped : kept).push_back(s);
    }
    std::vector<std::shared_ptr<StreamObject>> added;
    uint32_t first = 1;
    for (uint32_t n : channels) {
        added.push_back(
            std::make_shared<StreamObject>(server_, newID(), objectID(), input, first, n, spec_.sampleRate));
        first += n;
    }
    streams_ = input ? added : kept;
    streams_.insert(streams_.end(), (input ? kept : added).begin(), (input ? kept : added).end());
    (input ? spec_.inputStreams : spec_.outputStreams) = channels;
    io_->setFormat(ioFormatLocked());
    return dropped;
}

bool SimulatedDevice::setNominalSampleRateLocked(double rate, PropertyChanges& changes) {
    if (rate == spec_.sampleRate) {
        return false;
    }
    spec_.sampleRate = rate;
    if (std::find(spec_.sampleRates.begin(), spec_.sampleRates.end(), rate) == spec_.sampleRates.end()) {
        spec_.sampleRates.push_back(rate);
        std::sort(spec_.sampleRates.begin(), spec_.sampleRates.end());
        changes.push_back({objectID(), globalScopeAddress(kAudioDevicePropertyAvailableNominalSampleRates)});
    }
    io_->setFormat(ioFormatLocked());
    changes.push_back({objectID(), globalScopeAddress(kAudioDevicePropertyNominalSampleRate)});
    for (auto& s : streams_) {
        s->setSampleRateLocked(rate);
        changes.push_back({s->objectID(), globalScopeAddress(kAudioStreamPropertyVirtualFormat)});
    }
    return true;
}

std::vector<AudioObjectID> SimulatedDevice::ownedObjects() const {
    return streamIDs(kAudioObjectPropertyScopeGlobal);
}

std::vector<AudioObjectID> SimulatedDevice::streamIDs(AudioObjectPropertyScope scope) const {
    std::vector<AudioObjectID> ids;
    for (const auto& s : streams_) {
        if (scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeWildcard ||
            s->isInput() == (scope == kAudioObjectPropertyScopeInput)) {
            ids.push_back(s->objectID());
        }
    }
    return ids;
}

// An AudioBufferList with one entry per stream; the buffers carry channel counts only.
PropertyValue SimulatedDevice::streamConfiguration(bool input) const {
    std::vector<AudioBuffer> buffers;
    for (const auto& s : streams_) {
        if (s->isInput() == input) {
            buffers.push_back(AudioBuffer{s->channels(), 0, nullptr});
        }
    }
    std::vector<std::byte> bytes(TD_AUDIO_BUFFER_LIST_SIZE(buffers.size()));
    auto* list = reinterpret_cast<AudioBufferList*>(bytes.data());
    list->mNumberBuffers = static_cast<uint32_t>(buffers.size());
    if (!buffers.empty()) {
        std::memcpy(list->mBuffers, buffers.data(), buffers.size() * sizeof(AudioBuffer));
    }
    return PropertyValue::bytes(std::move(bytes));
}

PropertyValue SimulatedDevice::read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
        return PropertyValue::string(spec_.name);
    case kAudioObjectPropertyManufacturer:
        return PropertyValue::string(spec_.manufacturer);
    case kAudioDevicePropertyDeviceUID:
        return PropertyValue::string(spec_.uid);
    case kAudioDevicePropertyDeviceIsAlive:
        return PropertyValue::of(uint32_t{1});
    case kAudioDevicePropertyNominalSampleRate:
        return PropertyValue::of(spec_.sampleRate);
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        std::vector<AudioValueRange> ranges;
        for (double r : spec_.sampleRates) {
            ranges.push_back({r, r});
        }
        return PropertyValue::array(ranges);
    }
    case kAudioDevicePropertyStreams:
        return PropertyValue::array(streamIDs(address.mScope));
    case kAudioDevicePropertyStreamConfiguration:
        if (address.mScope != kAudioObjectPropertyScopeInput &&
            address.mScope != kAudioObjectPropertyScopeOutput) {
            return PropertyValue::error(kAudioHardwareUnknownPropertyError);
        }
        return streamConfiguration(address.mScope == kAudioObjectPropertyScopeInput);
    case kAudioDevicePropertyBufferFrameSize:
        return PropertyValue::of(spec_.bufferFrameSize);
    case kAudioDevicePropertyBufferFrameSizeRange:
        return PropertyValue::of(
            AudioValueRange{double(spec_.bufferFrameSizeMinimum), double(spec_.bufferFrameSizeMaximum)});
    case kAudioDevicePropertyVolumeScalar:
        if (!hasVolumeControl(address)) {
            return PropertyValue::error(kAudioHardwareUnknownPropertyError);
        }
        return PropertyValue::of(volumes_.contains(address.mElement) ? volumes_.at(address.mElement) : 1.0f);
    case kAudioDevicePropertyMute:
        if (!hasVolumeControl(address)) {
            return PropertyValue::error(kAudioHardwareUnknownPropertyError);
        }
        return PropertyValue::of(uint32_t{mutes_.contains(address.mElement) && mutes_.at(address.mElement)});
    default:
        return BuiltInObject::read(address, qualifier);
    }
}

bool SimulatedDevice::hasVolumeControl(const AudioObjectPropertyAddress& address) const {
    if (address.mScope != kAudioObjectPropertyScopeOutput) {
        return false;
    }
    uint32_t outputs = 0;
    for (uint32_t n : spec_.outputStreams) {
        outputs += n;
    }
    switch (spec_.volumeControls) {
    case DeviceSpec::VolumeControls::main:
        return outputs > 0 && address.mElement == kAudioObjectPropertyElementMain;
    case DeviceSpec::VolumeControls::channels:
        return address.mElement >= 1 && address.mElement <= outputs;
    case DeviceSpec::VolumeControls::none:
        return false;
    }
    return false;
}

// Like hardware, a control announces a write only when its value really changed.
OSStatus SimulatedDevice::writeVolumeControl(const AudioObjectPropertyAddress& address, PropertyData data,
                                             PropertyChanges& changes) {
    bool changed = false;
    if (address.mSelector == kAudioDevicePropertyVolumeScalar) {
        float scalar = 0;
        if (!readExactly(data, &scalar)) {
            return kAudioHardwareBadPropertySizeError;
        }
        // NaN counts as silence, like any value below the range.
        scalar = !(scalar > 0.0f) ? 0.0f : std::min(scalar, 1.0f);
        auto [entry, added] = volumes_.try_emplace(address.mElement, 1.0f);
        changed = entry->second != scalar;
        entry->second = scalar;
    } else {
        uint32_t mute = 0;
        if (!readExactly(data, &mute)) {
            return kAudioHardwareBadPropertySizeError;
        }
        auto [entry, added] = mutes_.try_emplace(address.mElement, false);
        changed = entry->second != (mute != 0);
        entry->second = mute != 0;
    }
    if (changed) {
        changes.push_back(
            {objectID(), {address.mSelector, kAudioObjectPropertyScopeOutput, address.mElement}});
    }
    return kAudioHardwareNoError;
}

bool SimulatedDevice::settable(const AudioObjectPropertyAddress& address) const {
    if (address.mSelector == kAudioDevicePropertyVolumeScalar ||
        address.mSelector == kAudioDevicePropertyMute) {
        return hasVolumeControl(address);
    }
    return address.mSelector == kAudioDevicePropertyNominalSampleRate ||
           address.mSelector == kAudioDevicePropertyBufferFrameSize;
}

OSStatus SimulatedDevice::write(const AudioObjectPropertyAddress& address, Qualifier, PropertyData data,
                                PropertyChanges& changes) {
    if (address.mSelector == kAudioDevicePropertyVolumeScalar ||
        address.mSelector == kAudioDevicePropertyMute) {
        return writeVolumeControl(address, data, changes);
    }
    if (address.mSelector == kAudioDevicePropertyNominalSampleRate) {
        double rate = 0;
        if (!readExactly(data, &rate)) {
            return kAudioHardwareBadPropertySizeError;
        }
        if (std::find(spec_.sampleRates.begin(), spec_.sampleRates.end(), rate) == spec_.sampleRates.end()) {
            return kAudioDeviceUnsupportedFormatError;
        }
        setNominalSampleRateLocked(rate, changes);
        return kAudioHardwareNoError;
    }
    uint32_t frames = 0;
    if (!readExactly(data, &frames)) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (frames < spec_.bufferFrameSizeMinimum || frames > spec_.bufferFrameSizeMaximum) {
        return kAudioHardwareIllegalOperationError;
    }
    if (frames != spec_.bufferFrameSize) {
        spec_.bufferFrameSize = frames;
        io_->setFormat(ioFormatLocked());
        changes.push_back({objectID(), globalScopeAddress(kAudioDevicePropertyBufferFrameSize)});
    }
    return kAudioHardwareNoError;
}
