#include "TandrelApp/Engine/CoreAudioProperty.h"

namespace CoreAudioProperty {

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    PLRef value = nullptr;
    uint32_t size = sizeof value;
    OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
    std::string operation = "文字列取得 '" + fourCC(selector) + "'";
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus(operation, status);
    }
    if (PLGetType(value) != PLTypeString) {
        PLRelease(value);
        throw CoreAudioError::osStatus(operation, 0);
    }
    std::string text(PLStringGetUTF8(value), PLStringGetLength(value));
    PLRelease(value);
    return text;
}

std::vector<AudioObjectID> readArray(AudioObjectID object, AudioObjectPropertySelector selector) {
    AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus("プロパティサイズ取得 '" + fourCC(selector) + "'", status);
    }
    if (size < sizeof(AudioObjectID)) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
    status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, ids.data());
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus("プロパティ取得 '" + fourCC(selector) + "'", status);
    }
    ids.resize(std::min<size_t>(ids.size(), size / sizeof(AudioObjectID)));
    return ids;
}

} // namespace CoreAudioProperty
