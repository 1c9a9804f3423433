#include "TandrelApp/Routing/RoutingConfig.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "TandrelApp/Routing/Volume.h"

using nlohmann::json;

namespace {

using Kind = ConfigDecodingError::Kind;

template <typename Enum>
struct RawValues;

template <>
struct RawValues<MappingMode> {
    static constexpr std::array<std::pair<MappingMode, std::string_view>, 4> table{{
        {MappingMode::automatic, "automatic"},
        {MappingMode::stereo, "stereo"},
        {MappingMode::swapped, "swapped"},
        {MappingMode::dualMono, "dualMono"},
    }};
};

template <>
struct RawValues<LatencyPreset> {
    static constexpr std::array<std::pair<LatencyPreset, std::string_view>, 3> table{{
        {LatencyPreset::low, "low"},
        {LatencyPreset::normal, "normal"},
        {LatencyPreset::safe, "safe"},
    }};
};

template <>
struct RawValues<CaptureMode> {
    static constexpr const auto& table = kCaptureModeRawValues;
};

template <typename Enum>
std::string_view rawValueOf(Enum value) {
    for (const auto& [candidate, text] : RawValues<Enum>::table) {
        if (candidate == value) {
            return text;
        }
    }
    return {};
}

template <typename Enum>
std::optional<Enum> enumFromRaw(std::string_view text) {
    for (const auto& [candidate, raw] : RawValues<Enum>::table) {
        if (raw == text) {
            return candidate;
        }
    }
    return std::nullopt;
}

// ---- Encoding

json encodeFloat(float value) {
    if (!std::isfinite(value)) {
        throw ConfigEncodingError("Unable to encode the non-finite float " + std::to_string(value) +
                                  " in JSON.");
    }
    // Widen through the shortest decimal form, so 0.1f is written as 0.1 and reads back as 0.1f.
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    double widened = value;
    if (error == std::errc()) {
        std::from_chars(buffer, end, widened);
    }
    return widened;
}

json encodeIntSet(const std::set<std::int64_t>& values) {
    json array = json::array();
    for (auto value : values) {
        array.push_back(value);
    }
    return array;
}

json encodeStringSet(const std::set<std::string>& values) {
    json array = json::array();
    for (const auto& value : values) {
        array.push_back(value);
    }
    return array;
}

json encodeIntKeyedFloats(const std::map<std::int64_t, float>& values) {
    json object = json::object();
    for (const auto& [key, value] : values) {
        object[std::to_string(key)] = encodeFloat(value);
    }
    return object;
}

// ---- Decoding

[[noreturn]] void fail(Kind kind, const std::string& path, std::string description) {
    throw ConfigDecodingError(kind, path, std::move(description));
}

std::string childPath(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string indexPath(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

const json& expectObject(const json& value, const std::string& path) {
    if (!value.is_object()) {
        fail(Kind::typeMismatch, path,
             "Expected to decode a keyed container but found " + std::string(value.type_name()) +
                 " instead.");
    }
    return value;
}

const json& expectArray(const json& value, const std::string& path) {
    if (!value.is_array()) {
        fail(Kind::typeMismatch, path,
             "Expected to decode an array but found " + std::string(value.type_name()) + " instead.");
    }
    return value;
}

void decode(const json& value, bool& out, const std::string& path) {
    if (!value.is_boolean()) {
        fail(Kind::typeMismatch, path,
             "Expected to decode Bool but found " + std::string(value.type_name()) + " instead.");
    }
    out = value.get<bool>();
}

void decode(const json& value, std::string& out, const std::string& path) {
    if (!value.is_string()) {
        fail(Kind::typeMismatch, path,
             "Expected to decode String but found " + std::string(value.type_name()) + " instead.");
    }
    out = value.get<std::string>();
}

void decode(const json& value, std::int64_t& out, const std::string& path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        out = value.get<std::int64_t>();
        return;
    }
    if (value.is_number_unsigned()) {
        auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(Kind::dataCorrupted, path, "Number " + value.dump() + " does not fit in Int.");
        }
        out = static_cast<std::int64_t>(unsignedValue);
        return;
    }
    if (value.is_number_float()) {
        // A number written as 2.0 is still the integer 2; 2.5 is not an integer at all.
        double number = value.get<double>();
        if (std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            out = static_cast<std::int64_t>(number);
            return;
        }
        fail(Kind::dataCorrupted, path, "Number " + value.dump() + " does not fit in Int.");
    }
    fail(Kind::typeMismatch, path,
         "Expected to decode Int but found " + std::string(value.type_name()) + " instead.");
}

void decode(const json& value, float& out, const std::string& path) {
    if (!value.is_number()) {
        fail(Kind::typeMismatch, path,
             "Expected to decode Float but found " + std::string(value.type_name()) + " instead.");
    }
    double number = value.get<double>();
    auto narrowed = static_cast<float>(number);
    if (!std::isfinite(narrowed)) {
        fail(Kind::dataCorrupted, path, "Number " + value.dump() + " does not fit in Float.");
    }
    out = narrowed;
}

void decode(const json& value, UUID& out, const std::string& path) {
    std::string text;
    decode(value, text, path);
    auto uuid = UUID::fromString(text);
    if (!uuid) {
        fail(Kind::dataCorrupted, path, "Attempted to decode UUID from invalid UUID string.");
    }
    out = *uuid;
}

// The containers below decode their elements through these.
void decode(const json& value, SourceKind& out, const std::string& path);
void decode(const json& value, Endpoint& out, const std::string& path);
void decode(const json& value, SourceConfig& out, const std::string& path);
void decode(const json& value, Connection& out, const std::string& path);
void decode(const json& value, DeviceVolume& out, const std::string& path);
void decode(const json& value, AutoAddSettings& out, const std::string& path);

template <typename Enum>
requires std::is_enum_v<Enum>
void decode(const json& value, Enum& out, const std::string& path) {
    std::string text;
    decode(value, text, path);
    auto decoded = enumFromRaw<Enum>(text);
    if (!decoded) {
        fail(Kind::dataCorrupted, path, "Cannot initialize from invalid String value " + text);
    }
    out = *decoded;
}

template <typename T>
void decode(const json& value, std::vector<T>& out, const std::string& path) {
    const json& array = expectArray(value, path);
    std::vector<T> result;
    result.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
        T element{};
        decode(array[i], element, indexPath(path, i));
        result.push_back(std::move(element));
    }
    out = std::move(result);
}

template <typename T>
void decode(const json& value, std::set<T>& out, const std::string& path) {
    std::vector<T> elements;
    decode(value, elements, path);
    out = std::set<T>(elements.begin(), elements.end());
}

template <typename T>
void decode(const json& value, std::map<std::string, T>& out, const std::string& path) {
    const json& object = expectObject(value, path);
    std::map<std::string, T> result;
    for (const auto& [key, element] : object.items()) {
        T decoded{};
        decode(element, decoded, childPath(path, key));
        result.emplace(key, std::move(decoded));
    }
    out = std::move(result);
}

template <typename T>
void decode(const json& value, std::map<std::int64_t, T>& out, const std::string& path) {
    const json& object = expectObject(value, path);
    std::map<std::int64_t, T> result;
    for (const auto& [key, element] : object.items()) {
        // Integer keys are written as their decimal text; an optional leading "+" is accepted as the
        // platform's integer parser accepts it.
        std::string_view digits = key;
        if (!digits.empty() && digits.front() == '+') {
            digits.remove_prefix(1);
        }
        std::int64_t number = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            (key.front() == '+' && digits.front() == '-')) {
            fail(Kind::typeMismatch, childPath(path, key),
                 "Expected Int key but found String key \"" + key + "\".");
        }
        T decoded{};
        decode(element, decoded, childPath(path, key));
        result[number] = std::move(decoded);
    }
    out = std::move(result);
}

// A key whose value is null counts as missing.
const json* present(const json& object, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

template <typename T>
void optionalField(const json& object, std::string_view key, T& out, const std::string& path) {
    if (const json* value = present(object, key)) {
        decode(*value, out, childPath(path, key));
    }
}

template <typename T>
void requiredField(const json& object, std::string_view key, T& out, const std::string& path) {
    auto it = object.find(key);
    if (it == object.end()) {
        fail(Kind::keyNotFound, path, "No value associated with key \"" + std::string(key) + "\".");
    }
    if (it->is_null()) {
        fail(Kind::valueNotFound, childPath(path, key),
             "Expected a value for key \"" + std::string(key) + "\" but found null instead.");
    }
    decode(*it, out, childPath(path, key));
}

// Enumerations with payloads are objects with exactly one known key, the case name, whose value is
// the payload object. Returns the case name and its payload object.
std::pair<std::string, const json*>
decodeCase(const json& value, std::initializer_list<std::string_view> cases, const std::string& path) {
    const json& object = expectObject(value, path);
    const json* payload = nullptr;
    std::string name;
    int found = 0;
    for (auto candidate : cases) {
        auto it = object.find(candidate);
        if (it != object.end()) {
            ++found;
            name = candidate;
            payload = &*it;
        }
    }
    if (found != 1) {
        fail(Kind::typeMismatch, path, "Invalid number of keys found, expected one.");
    }
    if (payload->is_null()) {
        fail(Kind::valueNotFound, childPath(path, name),
             "Expected a keyed container but found null instead.");
    }
    return {name, &expectObject(*payload, childPath(path, name))};
}

void decode(const json& value, SourceKind& out, const std::string& path) {
    auto [name, payload] = decodeCase(value, {"application", "systemAudio", "inputDevice"}, path);
    std::string casePath = childPath(path, name);
    if (name == "application") {
        SourceKind::Application application;
        requiredField(*payload, "bundleID", application.bundleID, casePath);
        out.value = std::move(application);
    } else if (name == "systemAudio") {
        out.value = SourceKind::SystemAudio{};
    } else {
        SourceKind::InputDevice device;
        requiredField(*payload, "uid", device.uid, casePath);
        out.value = std::move(device);
    }
}

void decode(const json& value, Endpoint& out, const std::string& path) {
    auto [name, payload] = decodeCase(value, {"source", "line"}, path);
    std::string casePath = childPath(path, name);
    if (name == "source") {
        Endpoint::Source source;
        requiredField(*payload, "_0", source.id, casePath);
        out.value = source;
    } else {
        Endpoint::Line line;
        requiredField(*payload, "uid", line.uid, casePath);
        out.value = std::move(line);
    }
}

void decode(const json& value, SourceConfig& out, const std::string& path) {
    const json& object = expectObject(value, path);
    SourceConfig source;
    requiredField(object, "id", source.id, path);
    requiredField(object, "kind", source.kind, path);
    requiredField(object, "name", source.name, path);
    optionalField(object, "volumeDB", source.volumeDB, path);
    optionalField(object, "isMuted", source.isMuted, path);
    optionalField(object, "isAutoAdded", source.isAutoAdded, path);
    optionalField(object, "channelDB", source.channelDB, path);
    optionalField(object, "mutedChannels", source.mutedChannels, path);
    out = std::move(source);
}

void decode(const json& value, Connection& out, const std::string& path) {
    const json& object = expectObject(value, path);
    Connection connection;
    requiredField(object, "id", connection.id, path);
    requiredField(object, "from", connection.from, path);
    requiredField(object, "toDeviceUID", connection.toDeviceUID, path);
    requiredField(object, "pair", connection.pair, path);
    optionalField(object, "width", connection.width, path);
    optionalField(object, "mode", connection.mode, path);
    optionalField(object, "sourceChannel", connection.sourceChannel, path);
    optionalField(object, "monoMix", connection.monoMix, path);
    if (const json* mask = present(object, "routeMask")) {
        std::int64_t bits = 0;
        decode(*mask, bits, childPath(path, "routeMask"));
        connection.routeMask = bits;
    }
    optionalField(object, "gainDB", connection.gainDB, path);
    optionalField(object, "isMuted", connection.isMuted, path);
    out = std::move(connection);
}

void decode(const json& value, DeviceVolume& out, const std::string& path) {
    const json& object = expectObject(value, path);
    DeviceVolume volume;
    optionalField(object, "masterDB", volume.masterDB, path);
    optionalField(object, "isMuted", volume.isMuted, path);
    optionalField(object, "pairDB", volume.pairDB, path);
    optionalField(object, "channelDB", volume.channelDB, path);
    optionalField(object, "mutedChannels", volume.mutedChannels, path);
    out = std::move(volume);
}

void decode(const json& value, AutoAddSettings& out, const std::string& path) {
    const json& object = expectObject(value, path);
    AutoAddSettings settings;
    optionalField(object, "apps", settings.apps, path);
    optionalField(object, "runningApps", settings.runningApps, path);
    optionalField(object, "systemAudio", settings.systemAudio, path);
    optionalField(object, "monitors", settings.monitors, path);
    optionalField(object, "dismissedApps", settings.dismissedApps, path);
    optionalField(object, "dismissedMonitors", settings.dismissedMonitors, path);
    out = std::move(settings);
}

void decode(const json& value, RoutingConfig& out, const std::string& path) {
    const json& object = expectObject(value, path);
    RoutingConfig config;
    optionalField(object, "sources", config.sources, path);
    optionalField(object, "monitorDeviceUIDs", config.monitorDeviceUIDs, path);
    optionalField(object, "connections", config.connections, path);
    optionalField(object, "visiblePairs", config.visiblePairs, path);
    optionalField(object, "splitPairs", config.splitPairs, path);
    optionalField(object, "hiddenFaders", config.hiddenFaders, path);
    optionalField(object, "unlinkedLineVolumes", config.unlinkedLineVolumes, path);
    optionalField(object, "captureMode", config.captureMode, path);
    optionalField(object, "latency", config.latency, path);
    optionalField(object, "deviceVolumes", config.deviceVolumes, path);
    optionalField(object, "autoAdd", config.autoAdd, path);
    out = std::move(config);
}

float gainOrUnity(const std::map<std::int64_t, float>& levels, std::int64_t key) {
    auto it = levels.find(key);
    return it == levels.end() ? 1.0f : Volume::linearGain(it->second);
}

} // namespace

std::string_view rawValue(MappingMode mode) {
    return rawValueOf(mode);
}

std::optional<MappingMode> mappingModeFromRawValue(std::string_view text) {
    return enumFromRaw<MappingMode>(text);
}

std::string_view rawValue(LatencyPreset preset) {
    return rawValueOf(preset);
}

std::optional<LatencyPreset> latencyPresetFromRawValue(std::string_view text) {
    return enumFromRaw<LatencyPreset>(text);
}

std::uint32_t bufferFrames(LatencyPreset preset) {
    switch (preset) {
    case LatencyPreset::low:
        return 64;
    case LatencyPreset::normal:
        return 128;
    case LatencyPreset::safe:
        return 512;
    }
    return 128;
}

// ---- Gains

float SourceConfig::channelGain(std::int64_t channel) const {
    if (mutedChannels.contains(channel)) {
        return 0.0f;
    }
    auto it = channelDB.find(channel);
    return Volume::linearGain(it == channelDB.end() ? 0.0f : it->second);
}

float DeviceVolume::gain(std::int64_t channel) const {
    if (isMuted || mutedChannels.contains(channel)) {
        return 0.0f;
    }
    float master = Volume::linearGain(masterDB);
    float pairGain = gainOrUnity(pairDB, channel - channel % 2);
    float channelGain = gainOrUnity(channelDB, channel);
    return master * pairGain * channelGain;
}

DeviceVolume RoutingConfig::volume(const std::string& uid) const {
    auto it = deviceVolumes.find(uid);
    return it == deviceVolumes.end() ? DeviceVolume{} : it->second;
}

// ---- Errors

ConfigDecodingError::ConfigDecodingError(Kind kind, std::string codingPath, std::string description)
    : std::runtime_error(codingPath.empty() ? description : description + " (at " + codingPath + ")")
    , kind_(kind)
    , codingPath_(std::move(codingPath))
    , description_(std::move(description)) {}

// ---- JSON entry points
//
// Each encoder builds its whole value before handing it over: nlohmann calls to_json on a value under
// construction, whose destructor never runs if to_json throws, so an encoder that filled `out` and then
// threw (a non-finite gain) would leak what it had filled.

void to_json(json& out, const SourceKind& kind) {
    out = std::visit(
        [](const auto& value) -> json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, SourceKind::Application>) {
                return {{"application", {{"bundleID", value.bundleID}}}};
            } else if constexpr (std::is_same_v<T, SourceKind::SystemAudio>) {
                return {{"systemAudio", json::object()}};
            } else {
                return {{"inputDevice", {{"uid", value.uid}}}};
            }
        },
        kind.value);
}

void from_json(const json& in, SourceKind& kind) {
    decode(in, kind, "");
}

void to_json(json& out, const Endpoint& endpoint) {
    out = std::visit(
        [](const auto& value) -> json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Endpoint::Source>) {
                return {{"source", {{"_0", value.id.uuidString()}}}};
            } else {
                return {{"line", {{"uid", value.uid}}}};
            }
        },
        endpoint.value);
}

void from_json(const json& in, Endpoint& endpoint) {
    decode(in, endpoint, "");
}

void to_json(json& out, const SourceConfig& source) {
    json result = json::object();
    result["id"] = source.id.uuidString();
    result["kind"] = source.kind;
    result["name"] = source.name;
    result["volumeDB"] = encodeFloat(source.volumeDB);
    result["isMuted"] = source.isMuted;
    result["isAutoAdded"] = source.isAutoAdded;
    result["channelDB"] = encodeIntKeyedFloats(source.channelDB);
    result["mutedChannels"] = encodeIntSet(source.mutedChannels);
    out = std::move(result);
}

void from_json(const json& in, SourceConfig& source) {
    decode(in, source, "");
}

void to_json(json& out, const Connection& connection) {
    json result = json::object();
    result["id"] = connection.id.uuidString();
    result["from"] = connection.from;
    result["toDeviceUID"] = connection.toDeviceUID;
    result["pair"] = connection.pair;
    result["width"] = connection.width;
    result["mode"] = std::string(rawValue(connection.mode));
    result["sourceChannel"] = connection.sourceChannel;
    result["monoMix"] = connection.monoMix;
    if (connection.routeMask) {
        result["routeMask"] = *connection.routeMask;
    }
    result["gainDB"] = encodeFloat(connection.gainDB);
    result["isMuted"] = connection.isMuted;
    out = std::move(result);
}

void from_json(const json& in, Connection& connection) {
    decode(in, connection, "");
}

void to_json(json& out, const DeviceVolume& volume) {
    json result = json::object();
    result["masterDB"] = encodeFloat(volume.masterDB);
    result["isMuted"] = volume.isMuted;
    result["pairDB"] = encodeIntKeyedFloats(volume.pairDB);
    result["channelDB"] = encodeIntKeyedFloats(volume.channelDB);
    result["mutedChannels"] = encodeIntSet(volume.mutedChannels);
    out = std::move(result);
}

void from_json(const json& in, DeviceVolume& volume) {
    decode(in, volume, "");
}

void to_json(json& out, const AutoAddSettings& settings) {
    json result = json::object();
    result["apps"] = settings.apps;
    result["runningApps"] = settings.runningApps;
    result["systemAudio"] = settings.systemAudio;
    result["monitors"] = settings.monitors;
    result["dismissedApps"] = encodeStringSet(settings.dismissedApps);
    result["dismissedMonitors"] = encodeStringSet(settings.dismissedMonitors);
    out = std::move(result);
}

void from_json(const json& in, AutoAddSettings& settings) {
    decode(in, settings, "");
}

void to_json(json& out, const RoutingConfig& config) {
    json result = json::object();
    result["sources"] = json::array();
    for (const auto& source : config.sources) {
        result["sources"].push_back(source);
    }
    result["monitorDeviceUIDs"] = config.monitorDeviceUIDs;
    result["connections"] = json::array();
    for (const auto& connection : config.connections) {
        result["connections"].push_back(connection);
    }
    result["visiblePairs"] = json::object();
    for (const auto& [uid, count] : config.visiblePairs) {
        result["visiblePairs"][uid] = count;
    }
    result["splitPairs"] = json::object();
    for (const auto& [uid, pairs] : config.splitPairs) {
        result["splitPairs"][uid] = encodeIntSet(pairs);
    }
    result["hiddenFaders"] = encodeStringSet(config.hiddenFaders);
    result["unlinkedLineVolumes"] = encodeStringSet(config.unlinkedLineVolumes);
    result["captureMode"] = std::string(rawValueOf(config.captureMode));
    result["latency"] = std::string(rawValue(config.latency));
    result["deviceVolumes"] = json::object();
    for (const auto& [uid, volume] : config.deviceVolumes) {
        result["deviceVolumes"][uid] = volume;
    }
    result["autoAdd"] = config.autoAdd;
    out = std::move(result);
}

void from_json(const json& in, RoutingConfig& config) {
    decode(in, config, "");
}
