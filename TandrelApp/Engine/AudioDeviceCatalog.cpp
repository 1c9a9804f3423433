#include "TandrelApp/Engine/AudioDeviceCatalog.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

#include "TandrelApp/Engine/CoreAudioProperty.h"

namespace AudioDeviceCatalog {

namespace {

constexpr std::string_view linePrefix = "qorvix.tandrel.device.line";

std::optional<AudioDeviceInfo> readDevice(AudioObjectID id) {
    AudioDeviceInfo info;
    info.id = id;
    try {
        info.uid = CoreAudioProperty::readString(id, kAudioDevicePropertyDeviceUID);
    } catch (const CoreAudioError&) {
        return std::nullopt;
    }
    try {
        info.name = CoreAudioProperty::readString(id, kAudioObjectPropertyName);
    } catch (const CoreAudioError&) {
        info.name = info.uid;
    }
    try {
        info.sampleRate = CoreAudioProperty::read<double>(id, kAudioDevicePropertyNominalSampleRate, 0.0);
    } catch (const CoreAudioError&) {
        info.sampleRate = 0;
    }
    info.inputChannels = channelCount(id, kAudioObjectPropertyScopeInput);
    info.outputChannels = channelCount(id, kAudioObjectPropertyScopeOutput);
    return info;
}

} // namespace

std::vector<AudioDeviceInfo> all() {
    std::vector<AudioObjectID> ids;
    try {
        ids = CoreAudioProperty::readArray(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    } catch (const CoreAudioError&) {
        return {};
    }
    std::vector<AudioDeviceInfo> devices;
    for (AudioObjectID id : ids) {
        if (auto info = readDevice(id)) {
            devices.push_back(std::move(*info));
        }
    }
    return devices;
}

std::optional<AudioDeviceInfo> device(AudioObjectID id) {
    return readDevice(id);
}

std::optional<AudioDeviceInfo> device(const std::string& uid) {
    for (auto& info : all()) {
        if (info.uid == uid) {
            return std::move(info);
        }
    }
    return std::nullopt;
}

std::vector<AudioDeviceInfo> tandrelLines() {
    std::vector<AudioDeviceInfo> lines;
    for (auto& info : all()) {
        if (info.uid.starts_with(linePrefix)) {
            lines.push_back(std::move(info));
        }
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return compareNaturally(a.uid, b.uid) < 0; });
    return lines;
}

uint32_t channelCount(AudioObjectID device, AudioObjectPropertyScope scope) {
    AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                       kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != kAudioHardwareNoError ||
        size == 0) {
        return 0;
    }
    // AudioBuffer holds a pointer, so a vector of them keeps the list aligned.
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 2);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage.data()) !=
        kAudioHardwareNoError) {
        return 0;
    }
    constexpr size_t header = offsetof(AudioBufferList, mBuffers);
    if (size < header) {
        return 0;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    // Only the buffers the answer actually holds count, whatever the list claims.
    size_t buffers = std::min<size_t>(list->mNumberBuffers, (size - header) / sizeof(AudioBuffer));
    uint32_t channels = 0;
    for (size_t i = 0; i < buffers; ++i) {
        channels += list->mBuffers[i].mNumberChannels;
    }
    return channels;
}

uint32_t setBufferFrameSize(AudioObjectID device, uint32_t frames) {
    uint32_t chosen = frames;
    try {
        auto range = CoreAudioProperty::read<AudioValueRange>(
            device, kAudioDevicePropertyBufferFrameSizeRange, {0, 0});
        if (range.mMaximum > 0) {
            chosen =
                static_cast<uint32_t>(std::min(std::max(double(frames), range.mMinimum), range.mMaximum));
        }
    } catch (const CoreAudioError&) {
    }
    AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof chosen, &chosen);
    try {
        return CoreAudioProperty::read<uint32_t>(device, kAudioDevicePropertyBufferFrameSize, 0);
    } catch (const CoreAudioError&) {
        return chosen;
    }
}

int compareNaturally(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    auto isDigit = [](char c) {
        return c >= '0' && c <= '9';
    };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t si = i, sj = j;
            while (si < a.size() && a[si] == '0') {
                ++si;
            }
            while (sj < b.size() && b[sj] == '0') {
                ++sj;
            }
            size_t ei = si, ej = sj;
            while (ei < a.size() && isDigit(a[ei])) {
                ++ei;
            }
            while (ej < b.size() && isDigit(b[ej])) {
                ++ej;
            }
            // Without leading zeros, a longer run is a larger number; equal lengths compare by digits.
            if (ei - si != ej - sj) {
                return ei - si < ej - sj ? -1 : 1;
            }
            if (int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj)); c != 0) {
                return c < 0 ? -1 : 1;
            }
            i = ei;
            j = ej;
            continue;
        }
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return i < a.size() ? 1 : -1;
    }
    return 0;
}

} // namespace AudioDeviceCatalog
