#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TandrelApp/Routing/RoutingConfig.h"

using nlohmann::json;

namespace {

const UUID kSourceID = *UUID::fromString("6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D");
const UUID kConnectionID = *UUID::fromString("A0B1C2D3-E4F5-4607-8819-2A3B4C5D6E7F");

SourceConfig makeSource(UUID id, SourceKind kind, std::string name) {
    SourceConfig source;
    source.id = id;
    source.kind = std::move(kind);
    source.name = std::move(name);
    return source;
}

Connection makeConnection(UUID id, Endpoint from, std::string to, std::int64_t pair) {
    Connection connection;
    connection.id = id;
    connection.from = std::move(from);
    connection.toDeviceUID = std::move(to);
    connection.pair = pair;
    return connection;
}

// A configuration with every field away from its default and every enum case in use.
RoutingConfig fullConfig() {
    RoutingConfig config;
    SourceConfig app{kSourceID,
                     SourceKind::application("com.example.player"),
                     "Player",
                     -6.5f,
                     true,
                     true,
                     {{0, -3.0f}, {1, 0.1f}},
                     {1, 5}};
    SourceConfig system = makeSource(UUID::random(), SourceKind::systemAudio(), "システム全体");
    SourceConfig mic = makeSource(UUID::random(), SourceKind::inputDevice("BuiltInMic"), "Mic");
    mic.volumeDB = 12.0f;
    config.sources = {app, system, mic};
    config.monitorDeviceUIDs = {"Speakers", "Headphones"};

    Connection toLine =
        makeConnection(kConnectionID, Endpoint::source(kSourceID), "qorvix.tandrel.device.line.1", 2);
    toLine.width = 1;
    toLine.mode = MappingMode::dualMono;
    toLine.sourceChannel = 3;
    toLine.monoMix = false;
    toLine.routeMask = 9;
    toLine.gainDB = -60.0f;
    toLine.isMuted = true;
    Connection fromLine =
        makeConnection(UUID::random(), Endpoint::line("qorvix.tandrel.device.line.2"), "Speakers", 0);
    fromLine.mode = MappingMode::swapped;
    config.connections = {toLine, fromLine};

    config.visiblePairs = {{"Speakers", 3}, {"qorvix.tandrel.device.line.1", 1}};
    config.splitPairs = {{"Speakers", {0, 4}}, {"Headphones", {}}};
    config.hiddenFaders = {"Headphones"};
    config.unlinkedLineVolumes = {"qorvix.tandrel.device.line.1"};
    config.captureMode = CaptureMode::screenCaptureKit;
    config.latency = LatencyPreset::safe;
    config.deviceVolumes["Speakers"] = DeviceVolume{-12.25f, true, {{0, -6.0f}}, {{3, -60.0f}}, {2}};
    config.autoAdd = AutoAddSettings{false, false, true, false, {"com.example.gone"}, {"OldMonitor"}};
    return config;
}

RoutingConfig decodeText(const std::string& text) {
    return json::parse(text).get<RoutingConfig>();
}

// A minimal valid source and connection, into which the decoding table splices one changed member.
std::string documentWith(const std::string& sourceMembers, const std::string& connectionMembers,
                         const std::string& topMembers = "") {
    return R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "kind": {"systemAudio": {}}, "name": "S")" +
           sourceMembers + R"(}], "connections": [{"id": "a0b1c2d3-e4f5-4607-8819-2a3b4c5d6e7f", )" +
           R"("from": {"source": {"_0": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D"}}, "toDeviceUID": "Out", "pair": 0)" +
           connectionMembers + "}]" + topMembers + "}";
}

} // namespace

TEST(UUIDTest, TextFormAndRandomGeneration) {
    auto uuid = UUID::fromString("6f1c2a44-0b7e-4d55-9c39-1e2f3a4b5c6d");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->uuidString(), "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D");
    for (const char* text :
         {"", "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6", "6F1C2A440B7E-4D55-9C39-1E2F3A4B5C6D0",
          "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6G", "{6F1C2A4-0B7E-4D55-9C39-1E2F3A4B5C6D}"}) {
        EXPECT_FALSE(UUID::fromString(text)) << text;
    }
    UUID a = UUID::random();
    EXPECT_NE(a, UUID::random());
    EXPECT_EQ(a.uuidString()[14], '4');
    EXPECT_NE(std::string("89AB").find(a.uuidString()[19]), std::string::npos);
}

TEST(RoutingConfigCoding, FullConfigurationRoundTripsIdentically) {
    RoutingConfig config = fullConfig();
    json encoded = config;
    EXPECT_EQ(encoded.get<RoutingConfig>(), config);
    EXPECT_EQ(decodeText(encoded.dump(2)), config);
}

TEST(RoutingConfigCoding, WireShapeAndAbsentRouteMaskLeftOut) {
    RoutingConfig config = fullConfig();
    json encoded = config;
    EXPECT_EQ(encoded["connections"][0]["routeMask"], 9);
    EXPECT_FALSE(encoded["connections"][1].contains("routeMask"));
    EXPECT_EQ(encoded["connections"][1].size(), 10u);
    EXPECT_EQ(encoded["sources"][0]["kind"],
              json::parse(R"({"application": {"bundleID": "com.example.player"}})"));
    EXPECT_EQ(encoded["sources"][1]["kind"], json::parse(R"({"systemAudio": {}})"));
    EXPECT_EQ(encoded["connections"][0]["from"],
              json::parse(R"({"source": {"_0": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D"}})"));
    EXPECT_EQ(encoded["connections"][1]["from"],
              json::parse(R"({"line": {"uid": "qorvix.tandrel.device.line.2"}})"));
    EXPECT_EQ(encoded["sources"][0]["channelDB"], json::parse(R"({"0": -3.0, "1": 0.1})"));
    EXPECT_EQ(encoded["captureMode"], "screenCaptureKit");
    EXPECT_EQ(encoded["latency"], "safe");
}

TEST(RoutingConfigCoding, NonFiniteFloatFailsEncoding) {
    RoutingConfig config = fullConfig();
    config.deviceVolumes["Speakers"].pairDB[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(json encoded = config, ConfigEncodingError);
    config = fullConfig();
    config.sources[0].volumeDB = -std::numeric_limits<float>::infinity();
    EXPECT_THROW(json encoded = config, ConfigEncodingError);
}

// A failed encode hands nothing over: the target keeps what it held (and, when it is a value under
// construction, has nothing filled in that its never-run destructor would have to free).
TEST(RoutingConfigCoding, AFailedEncodeLeavesItsTargetAsItWas) {
    RoutingConfig config = fullConfig();
    config.connections.back().gainDB = std::numeric_limits<float>::infinity();
    json target = "before";
    EXPECT_THROW(to_json(target, config), ConfigEncodingError);
    EXPECT_EQ(target, "before");
    EXPECT_THROW(to_json(target, config.connections.back()), ConfigEncodingError);
    EXPECT_EQ(target, "before");

    config = fullConfig();
    config.deviceVolumes["Speakers"].masterDB = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(to_json(target, config), ConfigEncodingError);
    EXPECT_THROW(to_json(target, config.deviceVolumes["Speakers"]), ConfigEncodingError);
    EXPECT_EQ(target, "before");
}

TEST(RoutingConfigCoding, MissingKeysTakeTheirDefaults) {
    EXPECT_EQ(decodeText("{}"), RoutingConfig());
    EXPECT_EQ(decodeText(R"({"autoAdd": {}, "deviceVolumes": {"X": {}}})").volume("X"), DeviceVolume());
    EXPECT_EQ(decodeText(R"({"autoAdd": {"apps": false}})").autoAdd,
              (AutoAddSettings{false, true, true, true, {}, {}}));

    RoutingConfig minimal = decodeText(documentWith("", ""));
    ASSERT_EQ(minimal.sources.size(), 1u);
    EXPECT_EQ(minimal.sources[0], makeSource(kSourceID, SourceKind::systemAudio(), "S"));
    ASSERT_EQ(minimal.connections.size(), 1u);
    EXPECT_EQ(minimal.connections[0], makeConnection(kConnectionID, Endpoint::source(kSourceID), "Out", 0));
    EXPECT_EQ(minimal.connections[0].width, 2);
    EXPECT_TRUE(minimal.connections[0].monoMix);
}

struct DecodingCase {
    const char* name;
    std::string document;
    bool succeeds;
    const char* description = nullptr; // expected error description, when it matters
};

TEST(RoutingConfigCoding, DecodingRulesTable) {
    const DecodingCase cases[] = {
        {"unknown keys are ignored",
         documentWith(R"(, "colour": "red")", R"(, "extra": [1])", R"(, "version": 3)"), true},
        {"null optional is missing",
         documentWith(R"(, "volumeDB": null, "channelDB": null)", R"(, "width": null)",
                      R"(, "latency": null, "autoAdd": null)"),
         true},
        {"top level must be an object", "[]", false},
        {"source without name", R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D",
                                   "kind": {"systemAudio": {}}}]})",
         false, "No value associated with key \"name\"."},
        {"required null fails", documentWith("", "").replace(documentWith("", "").find("\"S\""), 3, "null"),
         false},
        {"connection without pair", R"({"connections": [{"id": "A0B1C2D3-E4F5-4607-8819-2A3B4C5D6E7F",
              "from": {"line": {"uid": "L"}}, "toDeviceUID": "Out"}]})",
         false, "No value associated with key \"pair\"."},
        {"integral float is an Int", documentWith("", R"(, "width": 1.0)"), true},
        {"fractional Int fails", documentWith("", R"(, "sourceChannel": 1.5)"), false},
        {"Int as text fails", documentWith("", R"(, "routeMask": "9")"), false},
        {"Int beyond 64 bits fails", documentWith("", R"(, "pair": 18446744073709551615)"), false},
        {"Bool as number fails", documentWith(R"(, "isMuted": 1)", ""), false},
        {"Float as text fails", documentWith(R"(, "volumeDB": "-6")", ""), false},
        {"Float beyond its range fails", documentWith(R"(, "volumeDB": 1e39)", ""), false},
        {"wrong type deep inside fails", R"({"deviceVolumes": {"X": {"pairDB": {"0": true}}}})", false},
        {"Int keys are decimal text", R"({"deviceVolumes": {"X": {"channelDB": {"3": -6, "+4": 1}}}})", true},
        {"non-numeric Int key fails", R"({"deviceVolumes": {"X": {"channelDB": {"left": -6}}}})", false},
        {"set with a text element fails", documentWith(R"(, "mutedChannels": [1, "2"])", ""), false},
        {"unknown mapping mode fails", documentWith("", R"(, "mode": "Stereo")"), false},
        {"known mapping mode", documentWith("", R"(, "mode": "dualMono")"), true},
        {"unknown capture mode fails", R"({"captureMode": "ProcessTap"})", false},
        {"known capture mode", R"({"captureMode": "processTap"})", true},
        {"unknown latency fails", R"({"latency": "fast"})", false},
        {"invalid UUID fails", documentWith("", "").replace(documentWith("", "").find("a0b1"), 4, "zzzz"),
         false},
        {"kind with no case",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "kind": {}, "name": "S"}]})", false,
         "Invalid number of keys found, expected one."},
        {"kind with two cases",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S",
              "kind": {"systemAudio": {}, "application": {"bundleID": "x"}}}]})",
         false, "Invalid number of keys found, expected one."},
        {"unknown case keys do not count",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S",
              "kind": {"systemAudio": {}, "bluetooth": {}}}]})",
         true},
        {"only unknown case keys",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S", "kind": {"bluetooth": {}}}]})",
         false, "Invalid number of keys found, expected one."},
        {"payload must be present",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S", "kind": {"systemAudio": null}}]})",
         false},
        {"payload must be an object",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S", "kind": {"systemAudio": true}}]})",
         false},
        {"payload label is required",
         R"({"sources": [{"id": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D", "name": "S", "kind": {"application": {}}}]})",
         false},
        {"endpoint payload label is required",
         R"({"connections": [{"id": "A0B1C2D3-E4F5-4607-8819-2A3B4C5D6E7F", "from": {"source": {"id": "x"}},
              "toDeviceUID": "Out", "pair": 0}]})",
         false},
        {"endpoint with two cases",
         R"({"connections": [{"id": "A0B1C2D3-E4F5-4607-8819-2A3B4C5D6E7F", "toDeviceUID": "Out", "pair": 0,
              "from": {"line": {"uid": "L"}, "source": {"_0": "6F1C2A44-0B7E-4D55-9C39-1E2F3A4B5C6D"}}}]})",
         false, "Invalid number of keys found, expected one."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json document = json::parse(c.document);
        if (c.succeeds) {
            EXPECT_NO_THROW(document.get<RoutingConfig>());
            continue;
        }
        try {
            document.get<RoutingConfig>();
            ADD_FAILURE() << "decoded";
        } catch (const ConfigDecodingError& error) {
            if (c.description) {
                EXPECT_EQ(error.description(), c.description);
            }
        }
    }
}

TEST(RoutingConfigValue, OrderOfListsMattersOrderOfSetsDoesNot) {
    RoutingConfig config = fullConfig();
    RoutingConfig reordered = config;
    std::swap(reordered.sources[0], reordered.sources[1]);
    EXPECT_NE(config, reordered);

    RoutingConfig a = decodeText(R"({"hiddenFaders": ["x", "y"], "splitPairs": {"D": [4, 0]}})");
    RoutingConfig b = decodeText(R"({"hiddenFaders": ["y", "x", "y"], "splitPairs": {"D": [0, 4]}})");
    EXPECT_EQ(a, b);
}

TEST(RoutingConfigValue, VolumeForUnknownDeviceIsDefaultAndInsertsNothing) {
    RoutingConfig config = fullConfig();
    EXPECT_EQ(config.volume("Nowhere"), DeviceVolume());
    EXPECT_FALSE(config.deviceVolumes.contains("Nowhere"));
    EXPECT_EQ(config.volume("Speakers").masterDB, -12.25f);
}

TEST(RoutingConfigValue, SourceChannelGain) {
    SourceConfig source = makeSource(kSourceID, SourceKind::systemAudio(), "S");
    source.channelDB = {{0, 12.0f}, {1, -60.0f}, {2, -20.0f}};
    source.mutedChannels = {0};
    source.volumeDB = -60.0f; // applies to the route, not to a channel
    EXPECT_EQ(source.channelGain(0), 0.0f);
    EXPECT_EQ(source.channelGain(1), 0.0f);
    EXPECT_NEAR(source.channelGain(2), 0.1f, 1e-6f);
    EXPECT_EQ(source.channelGain(3), 1.0f);
}

TEST(RoutingConfigValue, DeviceChannelGainMultipliesMasterPairAndChannel) {
    DeviceVolume volume;
    volume.masterDB = -20.0f;
    volume.pairDB = {{0, -60.0f}, {2, 20.0f}};
    volume.channelDB = {{3, -20.0f}, {5, -61.0f}};
    volume.mutedChannels = {4};
    struct Row {
        std::int64_t channel;
        float gain;
    };
    for (Row row : {Row{0, 0.0f}, Row{1, 0.0f}, Row{2, 1.0f}, Row{3, 0.1f}, Row{4, 0.0f}, Row{5, 0.0f},
                    Row{6, 0.1f}, Row{7, 0.1f}}) {
        EXPECT_NEAR(volume.gain(row.channel), row.gain, 1e-6f) << "channel " << row.channel;
    }
    volume.isMuted = true;
    EXPECT_EQ(volume.gain(2), 0.0f);
    volume.isMuted = false;
    volume.masterDB = -60.0f;
    for (std::int64_t channel = 0; channel < 8; ++channel) {
        EXPECT_EQ(volume.gain(channel), 0.0f);
    }
}
