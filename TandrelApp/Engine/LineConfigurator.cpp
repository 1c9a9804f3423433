#include "TandrelApp/Engine/LineConfigurator.h"

#include <algorithm>
#include <set>

#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"
#include "TandrelApp/Engine/CoreAudioCall.h"

namespace {

// Owns one property-list reference.
struct Held {
    explicit Held(PLRef value = nullptr)
        : value(value) {}
    ~Held() { PLRelease(value); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    PLRef value;
};

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// The length in bytes of a blank (tab or Unicode space separator) encoded at text[i], or 0.
size_t blankAt(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) {
        return static_cast<unsigned char>(text[k]);
    };
    const size_t left = text.size() - i;
    if (byte(i) == ' ' || byte(i) == '\t') {
        return 1;
    }
    if (left >= 2 && byte(i) == 0xC2 && byte(i + 1) == 0xA0) { // U+00A0
        return 2;
    }
    if (left >= 3) {
        const uint32_t cp = (byte(i) & 0x0Fu) << 12 | (byte(i + 1) & 0x3Fu) << 6 | (byte(i + 2) & 0x3Fu);
        if ((byte(i) & 0xF0u) == 0xE0u && (cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F ||
                                           cp == 0x205F || cp == 0x3000)) {
            return 3;
        }
    }
    return 0;
}

// The length of a blank that ends just before text[end], or 0.
size_t blankBefore(const std::string& text, size_t end) {
    for (size_t width = 1; width <= 3 && width <= end; ++width) {
        if (blankAt(text, end - width) == width) {
            return width;
        }
    }
    return 0;
}

std::optional<int64_t> integerValue(PLRef value) {
    int64_t number = 0;
    if (PLGetType(value) != PLTypeNumber || !PLNumberGetInt64(value, &number)) {
        return std::nullopt;
    }
    return number;
}

} // namespace

namespace LineConfigurator {

std::string trimmingBlanks(const std::string& text) {
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t width = blankAt(text, begin);
        if (width == 0) {
            break;
        }
        begin += width;
    }
    size_t end = text.size();
    while (end > begin) {
        const size_t width = blankBefore(text, end);
        if (width == 0) {
            break;
        }
        end -= width;
    }
    return text.substr(begin, end - begin);
}

std::optional<AudioObjectID> pluginID() {
    const auto address = globalAddress(kAudioHardwarePropertyTranslateBundleIDToPlugIn);
    Held bundleID(PLStringCreate(kTandrelDriverBundleID));
    AudioObjectID plugin = kAudioObjectUnknown;
    uint32_t size = sizeof plugin;
    const OSStatus status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof(PLRef),
                                                       &bundleID.value, &size, &plugin);
    if (status != kAudioHardwareNoError || plugin == kAudioObjectUnknown) {
        return std::nullopt;
    }
    return plugin;
}

std::vector<LineSpec> read() {
    const auto plugin = pluginID();
    if (!plugin) {
        throw ConfiguratorError::driverNotFound();
    }
    const auto address = globalAddress(kTandrelPropertyLines);
    if (!AudioObjectHasProperty(*plugin, &address)) {
        throw ConfiguratorError::unsupported();
    }
    Held list;
    uint32_t size = sizeof(PLRef);
    const OSStatus status = AudioObjectGetPropertyData(*plugin, &address, 0, nullptr, &size, &list.value);
    const std::string operation = "ライン構成の読み込み";
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus(operation, status);
    }
    if (PLGetType(list.value) != PLTypeArray) {
        throw CoreAudioError::osStatus(operation, 0);
    }
    const size_t count = PLArrayGetCount(list.value);
    for (size_t i = 0; i < count; ++i) {
        if (PLGetType(PLArrayGetValueAtIndex(list.value, i)) != PLTypeDictionary) {
            throw CoreAudioError::osStatus(operation, 0);
        }
    }
    std::vector<LineSpec> lines;
    for (size_t i = 0; i < count; ++i) {
        PLRef entry = PLArrayGetValueAtIndex(list.value, i);
        const auto number = integerValue(PLDictionaryGetValue(entry, "number"));
        const auto channels = integerValue(PLDictionaryGetValue(entry, "channels"));
        if (!number || !channels) {
            continue;
        }
        PLRef name = PLDictionaryGetValue(entry, "name");
        lines.push_back({*number, *channels,
                         PLGetType(name) == PLTypeString
                             ? std::string(PLStringGetUTF8(name), PLStringGetLength(name))
                             : "Line " + std::to_string(*number)});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const LineSpec& a, const LineSpec& b) { return a.number < b.number; });
    return lines;
}

void validate(const std::vector<LineSpec>& lines) {
    if (lines.empty()) {
        throw ConfiguratorError::invalid("ラインは1本以上必要です");
    }
    if (static_cast<int64_t>(lines.size()) > kMaxLines) {
        throw ConfiguratorError::invalid("ラインは最大 " + std::to_string(kMaxLines) + " 本です");
    }
    std::set<int64_t> numbers;
    for (const auto& line : lines) {
        numbers.insert(line.number);
    }
    if (numbers.size() < lines.size()) {
        throw ConfiguratorError::invalid("ライン番号が重複しています");
    }
    for (const auto& line : lines) {
        if (line.number < 1 || line.number > kMaxLineNumber) {
            throw ConfiguratorError::invalid("ライン番号は 1〜" + std::to_string(kMaxLineNumber) + " です");
        }
        if (line.channels < 2 || line.channels > 64 || line.channels % 2 != 0) {
            throw ConfiguratorError::invalid("チャンネル数は 2〜64 の偶数です");
        }
        if (trimmingBlanks(line.name).empty()) {
            throw ConfiguratorError::invalid("ライン " + std::to_string(line.number) + " の名前が空です");
        }
    }
}

void write(const std::vector<LineSpec>& lines) {
    validate(lines);
    const auto plugin = pluginID();
    if (!plugin) {
        throw ConfiguratorError::driverNotFound();
    }
    std::vector<PLRef> entries;
    for (const auto& line : lines) {
        Held number(PLNumberCreateInt64(line.number));
        Held channels(PLNumberCreateInt64(line.channels));
        Held name(PLStringCreate(trimmingBlanks(line.name).c_str()));
        const char* keys[] = {"number", "channels", "name"};
        const PLRef values[] = {number.value, channels.value, name.value};
        entries.push_back(PLDictionaryCreate(keys, values, 3));
    }
    Held array(PLArrayCreate(entries.data(), entries.size()));
    for (PLRef entry : entries) {
        PLRelease(entry);
    }
    const auto address = globalAddress(kTandrelPropertyLines);
    const OSStatus status =
        AudioObjectSetPropertyData(*plugin, &address, 0, nullptr, sizeof(PLRef), &array.value);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError::osStatus("ライン構成の書き込み", status);
    }
}

} // namespace LineConfigurator

namespace LineChannelGains {

bool write(AudioObjectID device, const std::vector<float>& gains) {
    std::vector<PLRef> numbers;
    numbers.reserve(gains.size());
    for (float gain : gains) {
        numbers.push_back(PLNumberCreateFloat64(gain));
    }
    Held array(PLArrayCreate(numbers.data(), numbers.size()));
    for (PLRef number : numbers) {
        PLRelease(number);
    }
    const auto address = globalAddress(kTandrelPropertyLineChannelGains);
    return AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof(PLRef), &array.value) ==
           kAudioHardwareNoError;
}

} // namespace LineChannelGains
