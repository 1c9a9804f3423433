// The persisted routing as plain values (sources, monitors, connections, layout, volumes, automatic
// adding) with their JSON coding; the controller holds one live value, the store writes it, and the
// reconcile pass and the mixer read their gains and channel mappings from it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "TandrelApp/Engine/CaptureMode.h"
#include "TandrelApp/Engine/ChannelMapping.h"
#include "TandrelApp/Support/UUID.h"

// What a configured source captures.
struct SourceKind {
    struct Application {
        std::string bundleID;
        bool operator==(const Application&) const = default;
    };
    struct SystemAudio {
        bool operator==(const SystemAudio&) const = default;
    };
    struct InputDevice {
        std::string uid;
        bool operator==(const InputDevice&) const = default;
    };

    std::variant<Application, SystemAudio, InputDevice> value;

    static SourceKind application(std::string bundleID) { return {Application{std::move(bundleID)}}; }
    static SourceKind systemAudio() { return {SystemAudio{}}; }
    static SourceKind inputDevice(std::string uid) { return {InputDevice{std::move(uid)}}; }

    bool operator==(const SourceKind&) const = default;
};

// Where a connection starts: a configured source, or a line whose input is used as a source.
struct Endpoint {
    struct Source {
        UUID id;
        bool operator==(const Source&) const = default;
    };
    struct Line {
        std::string uid;
        bool operator==(const Line&) const = default;
    };

    std::variant<Source, Line> value;

    static Endpoint source(UUID id) { return {Source{id}}; }
    static Endpoint line(std::string uid) { return {Line{std::move(uid)}}; }

    bool operator==(const Endpoint&) const = default;
};

enum class MappingMode { automatic, stereo, swapped, dualMono };
inline constexpr std::array<MappingMode, 4> allMappingModes{MappingMode::automatic, MappingMode::stereo,
                                                            MappingMode::swapped, MappingMode::dualMono};
std::string_view rawValue(MappingMode mode);
std::optional<MappingMode> mappingModeFromRawValue(std::string_view text);

enum class LatencyPreset { low, normal, safe };
inline constexpr std::array<LatencyPreset, 3> allLatencyPresets{LatencyPreset::low, LatencyPreset::normal,
                                                                LatencyPreset::safe};
std::string_view rawValue(LatencyPreset preset);
std::optional<LatencyPreset> latencyPresetFromRawValue(std::string_view text);
// The device buffer size, in frames, of capture sources, line inputs and destinations under a preset.
std::uint32_t bufferFrames(LatencyPreset preset);

// The two-channel mapping of a mode from source channel `sourceChannel` onto `toPair` and the channel
// after it. A source without channels maps nothing.
ChannelMapping channelMapping(MappingMode mode, std::uint32_t sourceChannels, std::int64_t sourceChannel,
                              std::int64_t toPair);

struct SourceConfig {
    UUID id;
    SourceKind kind;
    std::string name;
    float volumeDB = 0.0f;
    bool isMuted = false;
    bool isAutoAdded = false;
    std::map<std::int64_t, float> channelDB;
    std::set<std::int64_t> mutedChannels;

    // Linear gain of one source channel from its own level and mute; the source's volume and mute
    // apply to the whole route and are not part of it.
    float channelGain(std::int64_t channel) const;

    bool operator==(const SourceConfig&) const = default;
};

struct Connection {
    // One row of the route-mask table: the bit, and the channel offsets it joins, relative to the
    // source pair start and to `pair`.
    struct RouteBit {
        int bit;
        int sourceOffset;
        int destinationOffset;
    };
    static constexpr std::array<RouteBit, 4> routeBits{{{1, 0, 0}, {2, 0, 1}, {4, 1, 0}, {8, 1, 1}}};

    UUID id;
    Endpoint from;
    std::string toDeviceUID;
    std::int64_t pair = 0;
    std::int64_t width = 2;
    MappingMode mode = MappingMode::automatic;
    std::int64_t sourceChannel = 0;
    bool monoMix = true;
    std::optional<std::int64_t> routeMask; // absent: the mode decides
    float gainDB = 0.0f;
    bool isMuted = false;

    // The entries of this connection's route for a producer with `sourceChannels` channels.
    ChannelMapping channelMapping(std::uint32_t sourceChannels) const;

    // The stored route mask, or the one equivalent to the mapping the mode gives.
    std::int64_t routeMaskFor(std::uint32_t sourceChannels) const;

    bool operator==(const Connection&) const = default;
};

struct DeviceVolume {
    float masterDB = 0.0f;
    bool isMuted = false;
    std::map<std::int64_t, float> pairDB; // keyed by the pair's first channel
    std::map<std::int64_t, float> channelDB;
    std::set<std::int64_t> mutedChannels;

    // Linear gain of one output channel: master x pair x channel, 0 when muted.
    float gain(std::int64_t channel) const;

    bool operator==(const DeviceVolume&) const = default;
};

struct AutoAddSettings {
    bool apps = true;
    bool runningApps = true;
    bool systemAudio = true;
    bool monitors = true;
    std::set<std::string> dismissedApps;
    std::set<std::string> dismissedMonitors;

    bool operator==(const AutoAddSettings&) const = default;
};

struct RoutingConfig {
    std::vector<SourceConfig> sources;
    std::vector<std::string> monitorDeviceUIDs;
    std::vector<Connection> connections;
    std::map<std::string, std::int64_t> visiblePairs;
    std::map<std::string, std::set<std::int64_t>> splitPairs;
    std::set<std::string> hiddenFaders;
    std::set<std::string> unlinkedLineVolumes;
    CaptureMode captureMode = CaptureMode::automatic;
    LatencyPreset latency = LatencyPreset::normal;
    std::map<std::string, DeviceVolume> deviceVolumes;
    AutoAddSettings autoAdd;

    // The stored volumes of a device, or all defaults when it has none (nothing is inserted).
    DeviceVolume volume(const std::string& uid) const;

    bool operator==(const RoutingConfig&) const = default;
};

// Why a document could not be read as a configuration; the loader falls back to the default then.
class ConfigDecodingError : public std::runtime_error {
public:
    enum class Kind { typeMismatch, keyNotFound, valueNotFound, dataCorrupted };

    ConfigDecodingError(Kind kind, std::string codingPath, std::string description);

    Kind kind() const { return kind_; }
    // Dotted path of the offending value, e.g. "sources[2].kind"; empty for the document itself.
    const std::string& codingPath() const { return codingPath_; }
    const std::string& description() const { return description_; }

private:
    Kind kind_;
    std::string codingPath_;
    std::string description_;
};

// Thrown when a value cannot be written as JSON (a float that is not finite).
class ConfigEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// JSON coding by key. Decoding is strict (required keys, types, enum text) and throws
// ConfigDecodingError; unknown keys are ignored and null counts as a missing key.
void to_json(nlohmann::json& json, const SourceKind& kind);
void from_json(const nlohmann::json& json, SourceKind& kind);
void to_json(nlohmann::json& json, const Endpoint& endpoint);
void from_json(const nlohmann::json& json, Endpoint& endpoint);
void to_json(nlohmann::json& json, const SourceConfig& source);
void from_json(const nlohmann::json& json, SourceConfig& source);
void to_json(nlohmann::json& json, const Connection& connection);
void from_json(const nlohmann::json& json, Connection& connection);
void to_json(nlohmann::json& json, const DeviceVolume& volume);
void from_json(const nlohmann::json& json, DeviceVolume& volume);
void to_json(nlohmann::json& json, const AutoAddSettings& settings);
void from_json(const nlohmann::json& json, AutoAddSettings& settings);
void to_json(nlohmann::json& json, const RoutingConfig& config);
void from_json(const nlohmann::json& json, RoutingConfig& config);
