#include "Platform/AudioServer/PlugInStorage.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <vector>

#include <spdlog/spdlog.h>

namespace {

using Json = nlohmann::ordered_json;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(const unsigned char* bytes, size_t length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const uint32_t n = uint32_t(bytes[i]) << 16 | (i + 1 < length ? uint32_t(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < length ? uint32_t(bytes[i + 2]) : 0);
        out += kBase64[n >> 18 & 63];
        out += kBase64[n >> 12 & 63];
        out += i + 1 < length ? kBase64[n >> 6 & 63] : '=';
        out += i + 2 < length ? kBase64[n & 63] : '=';
    }
    return out;
}

bool decodeBase64(const std::string& text, std::vector<unsigned char>& out) {
    if (text.size() % 4 != 0) {
        return false;
    }
    auto value = [](char c) -> int {
        const char* at = std::char_traits<char>::find(kBase64, 64, c);
        return at != nullptr ? int(at - kBase64) : -1;
    };
    for (size_t i = 0; i < text.size(); i += 4) {
        const int pad = (text[i + 3] == '=') + (text[i + 2] == '=');
        if (i + 4 < text.size() && pad != 0) {
            return false;
        }
        uint32_t n = 0;
        for (int k = 0; k < 4; ++k) {
            const int v = k >= 4 - pad ? 0 : value(text[i + k]);
            if (v < 0) {
                return false;
            }
            n = n << 6 | uint32_t(v);
        }
        out.push_back(static_cast<unsigned char>(n >> 16));
        if (pad < 2) {
            out.push_back(static_cast<unsigned char>(n >> 8 & 0xFF));
        }
        if (pad < 1) {
            out.push_back(static_cast<unsigned char>(n & 0xFF));
        }
    }
    return true;
}

// JSON has no NaN or infinities; they are written as strings so a stored value reads back as stored.
Json realToJSON(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    return value;
}

bool realFromJSON(const Json& json, double& out) {
    if (json.is_number()) {
        out = json.get<double>();
        return true;
    }
    if (!json.is_string()) {
        return false;
    }
    const auto& text = json.get_ref<const std::string&>();
    if (text == "nan") {
        out = std::numeric_limits<double>::quiet_NaN();
    } else if (text == "inf" || text == "-inf") {
        out = text == "inf" ? std::numeric_limits<double>::infinity()
                            : -std::numeric_limits<double>::infinity();
    } else {
        return false;
    }
    return true;
}

// Releases every reference it holds.
struct Refs {
    std::vector<PLRef> values;
    ~Refs() {
        for (PLRef v : values) {
            PLRelease(v);
        }
    }
};

// A stored value is written one or two JSON levels per property-list level ({"array": [...]} or
// {"dictionary": [[key, value], ...]}), below the file's own object.
constexpr size_t kMaxFileDepth = 3 * PL_MAX_DEPTH + 1;

// Whether the JSON nests no deeper than `allowed` levels; looks no further down than that, so a file
// nested a hundred thousand levels deep is refused without exhausting the stack.
bool jsonFits(const Json& json, size_t allowed) {
    if (allowed == 0) {
        return false;
    }
    if (json.is_structured()) {
        for (const auto& item : json) {
            if (!jsonFits(item, allowed - 1)) {
                return false;
            }
        }
    }
    return true;
}

// Whether a stored value, in its typed form, stays within the nesting that property-list values allow.
bool typedFits(const Json& typed, size_t allowed) {
    if (allowed == 0) {
        return false;
    }
    if (!typed.is_object() || typed.size() != 1) {
        return true; // malformed, which reading it reports; not too deep
    }
    const auto entry = typed.begin();
    const Json& payload = entry.value();
    if (!payload.is_array()) {
        return true;
    }
    for (const auto& item : payload) {
        if (entry.key() == "array" && !typedFits(item, allowed - 1)) {
            return false;
        }
        if (entry.key() == "dictionary" && item.is_array() && item.size() == 2 &&
            !typedFits(item[1], allowed - 1)) {
            return false;
        }
    }
    return true;
}

} // namespace

PlugInStorage::PlugInStorage(std::filesystem::path file)
    : file_(std::move(file)) {
    std::ifstream in(file_);
    if (!in) {
        return;
    }
    try {
        Json contents = Json::parse(in);
        if (!contents.is_object()) {
            throw std::runtime_error("not an object");
        }
        if (!jsonFits(contents, kMaxFileDepth)) {
            throw std::runtime_error("nested too deeply");
        }
        for (const auto& [key, value] : contents.items()) {
            if (!typedFits(value, PL_MAX_DEPTH)) {
                throw std::runtime_error("the value of \"" + key + "\" is nested too deeply");
            }
        }
        values_ = std::move(contents);
    } catch (const std::exception& e) {
        in.close();
        std::error_code error;
        std::filesystem::rename(file_, file_.string() + ".unreadable", error);
        spdlog::error("Audio server: plug-in storage {} is unreadable ({}); set aside, starting empty",
                      file_.string(), e.what());
    }
}

PLRef PlugInStorage::copy(const std::string& key) const noexcept {
    try {
        std::lock_guard lock(mutex_);
        auto found = values_.find(key);
        return found != values_.end() ? fromJSON(*found) : nullptr;
    } catch (const std::exception& e) {
        spdlog::error("Audio server: cannot read \"{}\" from plug-in storage {}: {}", key, file_.string(),
                      e.what());
        return nullptr;
    }
}

bool PlugInStorage::write(const std::string& key, PLRef value) noexcept {
    try {
        Json json = toJSON(value);
        if (json.is_null()) {
            return false;
        }
        std::lock_guard lock(mutex_);
        Json next = values_;
        next[key] = std::move(json);
        return replaceLocked(std::move(next));
    } catch (const std::exception& e) {
        spdlog::error("Audio server: cannot store \"{}\" in plug-in storage {}: {}", key, file_.string(),
                      e.what());
        return false;
    }
}

bool PlugInStorage::remove(const std::string& key) noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (!values_.contains(key)) {
            return true;
        }
        Json next = values_;
        next.erase(key);
        return replaceLocked(std::move(next));
    } catch (const std::exception& e) {
        spdlog::error("Audio server: cannot remove \"{}\" from plug-in storage {}: {}", key, file_.string(),
                      e.what());
        return false;
    }
}

// Written beside the file and renamed over it, so a crash leaves the old or the new contents. The text is
// made before the file is opened: a value that cannot be written as JSON leaves the file as it was.
bool PlugInStorage::replaceLocked(Json contents) {
    const std::string text = contents.dump(2);
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    const auto temporary = file_.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text << '\n';
        out.flush();
        if (!out) {
            spdlog::error("Audio server: cannot write plug-in storage {}", temporary);
            return false;
        }
    }
    std::filesystem::rename(temporary, file_, error);
    if (error) {
        spdlog::error("Audio server: cannot replace plug-in storage {}: {}", file_.string(), error.message());
        return false;
    }
    values_ = std::move(contents);
    return true;
}

Json PlugInStorage::toJSON(PLRef value) {
    return toJSON(value, PL_MAX_DEPTH);
}

PLRef PlugInStorage::fromJSON(const Json& json) {
    return fromJSON(json, PL_MAX_DEPTH);
}

Json PlugInStorage::toJSON(PLRef value, size_t allowed) {
    if (allowed == 0) {
        return nullptr;
    }
    switch (PLGetType(value)) {
    case PLTypeString:
        return {{"string", std::string(PLStringGetUTF8(value), PLStringGetLength(value))}};
    case PLTypeNumber: {
        if (PLNumberIsFloat(value)) {
            double d = 0;
            PLNumberGetFloat64(value, &d);
            return {{"real", realToJSON(d)}};
        }
        int64_t i = 0;
        PLNumberGetInt64(value, &i);
        return {{"integer", i}};
    }
    case PLTypeBoolean:
        return {{"boolean", PLBooleanGetValue(value)}};
    case PLTypeData:
        return {{"data", encodeBase64(static_cast<const unsigned char*>(PLDataGetBytes(value)),
                                      PLDataGetLength(value))}};
    case PLTypeArray: {
        Json items = Json::array();
        for (size_t i = 0; i < PLArrayGetCount(value); ++i) {
            Json item = toJSON(PLArrayGetValueAtIndex(value, i), allowed - 1);
            if (item.is_null()) {
                return nullptr;
            }
            items.push_back(std::move(item));
        }
        return {{"array", std::move(items)}};
    }
    case PLTypeDictionary: {
        Json entries = Json::array();
        for (size_t i = 0; i < PLDictionaryGetCount(value); ++i) {
            Json item = toJSON(PLDictionaryGetValueAtIndex(value, i), allowed - 1);
            if (item.is_null()) {
                return nullptr;
            }
            entries.push_back(Json::array({PLDictionaryGetKeyAtIndex(value, i), std::move(item)}));
        }
        return {{"dictionary", std::move(entries)}};
    }
    default:
        return nullptr;
    }
}

PLRef PlugInStorage::fromJSON(const Json& json, size_t allowed) {
    if (allowed == 0 || !json.is_object() || json.size() != 1) {
        return nullptr;
    }
    // The entry is read through an iterator kept alive here: a binding to *json.items().begin() would
    // refer into a temporary.
    const auto entry = json.begin();
    const std::string& type = entry.key();
    const Json& v = entry.value();
    if (type == "string" && v.is_string()) {
        const auto& text = v.get_ref<const std::string&>();
        return PLStringCreateWithBytes(text.data(), text.size());
    }
    if (type == "integer" && v.is_number_integer()) {
        return PLNumberCreateInt64(v.get<int64_t>());
    }
    if (double d = 0; type == "real" && realFromJSON(v, d)) {
        return PLNumberCreateFloat64(d);
    }
    if (type == "boolean" && v.is_boolean()) {
        return PLBooleanCreate(v.get<bool>());
    }
    if (std::vector<unsigned char> bytes;
        type == "data" && v.is_string() && decodeBase64(v.get_ref<const std::string&>(), bytes)) {
        return PLDataCreate(bytes.data(), bytes.size());
    }
    if (type == "array" && v.is_array()) {
        Refs items;
        for (const auto& item : v) {
            PLRef ref = fromJSON(item, allowed - 1);
            if (ref == nullptr) {
                return nullptr;
            }
            items.values.push_back(ref);
        }
        return PLArrayCreate(items.values.data(), items.values.size());
    }
    if (type == "dictionary" && v.is_array()) {
        Refs values;
        std::vector<std::string> keys;
        for (const auto& entry : v) {
            if (!entry.is_array() || entry.size() != 2 || !entry[0].is_string()) {
                return nullptr;
            }
            PLRef ref = fromJSON(entry[1], allowed - 1);
            if (ref == nullptr) {
                return nullptr;
            }
            keys.push_back(entry[0].get<std::string>());
            values.values.push_back(ref);
        }
        std::vector<const char*> keyPointers;
        for (const auto& k : keys) {
            keyPointers.push_back(k.c_str());
        }
        return PLDictionaryCreate(keyPointers.data(), values.values.data(), values.values.size());
    }
    return nullptr;
}
