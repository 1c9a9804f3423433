#include "Platform/AudioServer/HardwareProfile.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace {

using nlohmann::json;

template <typename T>
T field(const json& object, const char* key, T fallback, const std::string& where) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return fallback;
    }
    try {
        return found->get<T>();
    } catch (const json::exception&) {
        throw HardwareProfileError(where + ": \"" + key + "\" has the wrong type");
    }
}

std::vector<uint32_t> streams(const json& device, const char* key, const std::string& where) {
    auto list = field<std::vector<int64_t>>(device, key, {}, where);
    std::vector<uint32_t> channels;
    for (int64_t n : list) {
        if (n < 1 || n > 256) {
            throw HardwareProfileError(where + ": \"" + key + "\" needs channel counts from 1 to 256");
        }
        channels.push_back(static_cast<uint32_t>(n));
    }
    return channels;
}

InputSignal::Tone toneFromJSON(const json& j, double frequency, const std::string& where) {
    InputSignal::Tone tone{frequency, InputSignal::amplitudeOfLevel(-30)};
    if (j.contains("amplitude")) {
        tone.amplitude = field<double>(j, "amplitude", 0, where);
    } else if (j.contains("level")) {
        tone.amplitude = InputSignal::amplitudeOfLevel(field<double>(j, "level", -30, where));
    }
    return tone;
}

InputSignal signalFromJSON(const json& j, const std::string& where) {
    if (j.is_string() && j == "silence") {
        return InputSignal::silence();
    }
    if (j.is_string() && j == "loopback") {
        return InputSignal::loopback();
    }
    auto sine = j.is_object() ? j.find("sine") : j.end();
    if (!j.is_object() || sine == j.end()) {
        throw HardwareProfileError(where +
                                   ": \"inputSignal\" needs \"silence\", \"loopback\" or {\"sine\": ...}");
    }
    if (sine->is_number()) {
        return InputSignal{InputSignal::Kind::sine, {toneFromJSON(j, sine->get<double>(), where)}, false};
    }
    if (!sine->is_array()) {
        throw HardwareProfileError(where + ": \"sine\" needs a frequency or a list of tones");
    }
    std::vector<InputSignal::Tone> tones;
    for (const auto& t : *sine) {
        if (!t.is_object()) {
            throw HardwareProfileError(where + ": each tone of \"sine\" needs an object");
        }
        tones.push_back(toneFromJSON(t, field<double>(t, "frequency", 0, where), where));
    }
    return InputSignal::sinePerChannel(std::move(tones));
}

DeviceSpec deviceFromJSON(const json& j, size_t index) {
    std::string where = "device " + std::to_string(index);
    if (!j.is_object()) {
        throw HardwareProfileError(where + " is not an object");
    }
    DeviceSpec d;
    d.uid = field<std::string>(j, "uid", "", where);
    d.name = field<std::string>(j, "name", "", where);
    d.manufacturer = field<std::string>(j, "manufacturer", d.manufacturer, where);
    d.sampleRate = field<double>(j, "sampleRate", d.sampleRate, where);
    d.sampleRates = field<std::vector<double>>(j, "sampleRates", {}, where);
    d.bufferFrameSize = field<uint32_t>(j, "bufferFrameSize", d.bufferFrameSize, where);
    auto range = field<std::vector<uint32_t>>(j, "bufferFrameSizeRange",
                                              {d.bufferFrameSizeMinimum, d.bufferFrameSizeMaximum}, where);
    if (range.size() != 2) {
        throw HardwareProfileError(where + ": \"bufferFrameSizeRange\" needs [minimum, maximum]");
    }
    d.bufferFrameSizeMinimum = range[0];
    d.bufferFrameSizeMaximum = range[1];
    d.inputStreams = streams(j, "inputStreams", where);
    d.outputStreams = streams(j, "outputStreams", where);
    d.clockDriftPpm = field<double>(j, "clockDriftPpm", 0, where);
    if (auto signal = j.find("inputSignal"); signal != j.end() && !signal->is_null()) {
        d.inputSignal = signalFromJSON(*signal, where);
    }
    const auto volume = field<std::string>(j, "volume", "main", where);
    if (volume == "main") {
        d.volumeControls = DeviceSpec::VolumeControls::main;
    } else if (volume == "channels") {
        d.volumeControls = DeviceSpec::VolumeControls::channels;
    } else if (volume == "none") {
        d.volumeControls = DeviceSpec::VolumeControls::none;
    } else {
        throw HardwareProfileError(where + ": \"volume\" must be \"main\", \"channels\" or \"none\"");
    }
    try {
        d.validate();
    } catch (const HardwareProfileError& e) {
        throw HardwareProfileError(where + ": " + e.what());
    }
    return d;
}

// An image file's path, or an XPM image given as its list of strings.
ApplicationIcon iconFromJSON(const json& j, const std::string& where) {
    ApplicationIcon icon;
    if (j.is_string()) {
        icon.path = j.get<std::string>();
        return icon;
    }
    auto xpm = j.is_object() ? j.find("xpm") : j.end();
    if (xpm == j.end() || !xpm->is_array() || xpm->empty() ||
        !std::all_of(xpm->begin(), xpm->end(), [](const json& line) { return line.is_string(); })) {
        throw HardwareProfileError(where + ": \"icon\" needs a path or {\"xpm\": [texts]}");
    }
    std::string text = "/* XPM */\nstatic const char* icon[] = {\n";
    for (size_t i = 0; i < xpm->size(); ++i) {
        text += "\"" + (*xpm)[i].get<std::string>() + (i + 1 < xpm->size() ? "\",\n" : "\"\n");
    }
    text += "};\n";
    icon.imageData.assign(text.begin(), text.end());
    return icon;
}

ApplicationSpec applicationFromJSON(const json& j, size_t index) {
    std::string where = "application " + std::to_string(index);
    if (!j.is_object()) {
        throw HardwareProfileError(where + " is not an object");
    }
    ApplicationSpec a;
    a.pid = field<int32_t>(j, "pid", 0, where);
    a.bundleID = field<std::string>(j, "bundleID", "", where);
    a.name = field<std::string>(j, "name", "", where);
    auto policy = field<std::string>(j, "activationPolicy", "regular", where);
    if (policy == "accessory") {
        a.activationPolicy = ActivationPolicy::accessory;
    } else if (policy == "prohibited") {
        a.activationPolicy = ActivationPolicy::prohibited;
    } else if (policy != "regular") {
        throw HardwareProfileError(where + ": \"activationPolicy\" needs \"regular\", \"accessory\" or "
                                           "\"prohibited\"");
    }
    a.bundlePath = field<std::string>(j, "bundlePath", "", where);
    a.executablePath = field<std::string>(j, "executablePath", "", where);
    if (auto responsible = j.find("responsiblePid"); responsible != j.end() && !responsible->is_null()) {
        a.responsiblePid = field<int32_t>(j, "responsiblePid", 0, where);
    }
    if (auto signal = j.find("signal"); signal != j.end() && !signal->is_null()) {
        a.signal = signalFromJSON(*signal, where);
    }
    if (auto icon = j.find("icon"); icon != j.end() && !icon->is_null()) {
        a.icon = iconFromJSON(*icon, where);
    }
    try {
        a.validate();
    } catch (const HardwareProfileError& e) {
        throw HardwareProfileError(where + ": " + e.what());
    }
    return a;
}

} // namespace

void ApplicationSpec::validate() const {
    if (bundleID.empty()) {
        throw HardwareProfileError("an application needs a non-empty \"bundleID\"");
    }
    if (pid < 0 || (responsiblePid && *responsiblePid < 0)) {
        throw HardwareProfileError("process ids cannot be negative");
    }
    if (signal.kind != InputSignal::Kind::silence && signal.kind != InputSignal::Kind::sine) {
        throw HardwareProfileError("an application plays \"silence\" or a sine");
    }
    for (const auto& tone : signal.tones) {
        if (!(tone.frequency > 0) || !std::isfinite(tone.frequency) || !(tone.amplitude >= 0) ||
            !std::isfinite(tone.amplitude)) {
            throw HardwareProfileError("\"signal\" needs positive frequencies and finite levels");
        }
    }
}

InputSignal InputSignal::sine(double frequency, double levelDBFS) {
    return {Kind::sine, {{frequency, amplitudeOfLevel(levelDBFS)}}, false};
}

double InputSignal::amplitudeOfLevel(double dBFS) {
    return std::pow(10.0, dBFS / 20.0);
}

InputSignal::Tone InputSignal::toneOfChannel(uint32_t channel) const {
    if (kind != Kind::sine || tones.empty()) {
        return {};
    }
    if (!perChannel) {
        return tones.front();
    }
    return channel < tones.size() ? tones[channel] : Tone{};
}

void DeviceSpec::validate() {
    if (uid.empty()) {
        throw HardwareProfileError("a device needs a non-empty \"uid\"");
    }
    if (name.empty()) {
        name = uid;
    }
    if (!(sampleRate > 0)) {
        throw HardwareProfileError("\"sampleRate\" must be positive");
    }
    if (std::any_of(sampleRates.begin(), sampleRates.end(), [](double r) { return !(r > 0); })) {
        throw HardwareProfileError("\"sampleRates\" must be positive");
    }
    if (std::find(sampleRates.begin(), sampleRates.end(), sampleRate) == sampleRates.end()) {
        sampleRates.push_back(sampleRate);
    }
    std::sort(sampleRates.begin(), sampleRates.end());
    if (bufferFrameSizeMinimum == 0 || bufferFrameSizeMinimum > bufferFrameSizeMaximum) {
        throw HardwareProfileError("\"bufferFrameSizeRange\" must be 1 or more and ordered");
    }
    if (bufferFrameSize < bufferFrameSizeMinimum || bufferFrameSize > bufferFrameSizeMaximum) {
        throw HardwareProfileError("\"bufferFrameSize\" lies outside \"bufferFrameSizeRange\"");
    }
    // Beyond a few percent a clock is broken, not drifting; the bound also keeps the period positive.
    if (!(std::abs(clockDriftPpm) <= 10000)) {
        throw HardwareProfileError("\"clockDriftPpm\" must lie within -10000...10000");
    }
    for (const auto& tone : inputSignal.tones) {
        if (!(tone.frequency > 0) || !std::isfinite(tone.frequency) || !(tone.amplitude >= 0) ||
            !std::isfinite(tone.amplitude)) {
            throw HardwareProfileError("\"inputSignal\" needs positive frequencies and finite levels");
        }
    }
}

HardwareProfile HardwareProfile::fromJSON(const json& j) {
    if (!j.is_object()) {
        throw HardwareProfileError("the hardware profile is not a JSON object");
    }
    auto found = j.find("devices");
    if (found == j.end() || !found->is_array()) {
        throw HardwareProfileError("the hardware profile needs a \"devices\" array");
    }
    HardwareProfile profile;
    std::set<std::string> uids;
    for (size_t i = 0; i < found->size(); ++i) {
        DeviceSpec d = deviceFromJSON((*found)[i], i);
        if (!uids.insert(d.uid).second) {
            throw HardwareProfileError("device " + std::to_string(i) + ": the uid \"" + d.uid +
                                       "\" is taken");
        }
        profile.devices.push_back(std::move(d));
    }
    if (auto apps = j.find("applications"); apps != j.end() && !apps->is_null()) {
        if (!apps->is_array()) {
            throw HardwareProfileError("\"applications\" needs an array");
        }
        for (size_t i = 0; i < apps->size(); ++i) {
            profile.applications.push_back(applicationFromJSON((*apps)[i], i));
        }
    }
    profile.defaultInputUID = field<std::string>(j, "defaultInput", "", "the profile");
    profile.defaultOutputUID = field<std::string>(j, "defaultOutput", "", "the profile");
    profile.defaultSystemOutputUID = field<std::string>(j, "defaultSystemOutput", "", "the profile");
    for (const auto* uid :
         {&profile.defaultInputUID, &profile.defaultOutputUID, &profile.defaultSystemOutputUID}) {
        if (!uid->empty() && !uids.count(*uid)) {
            throw HardwareProfileError("the default device \"" + *uid + "\" is not in \"devices\"");
        }
    }
    return profile;
}

json HardwareProfile::builtInJSON() {
    return json::parse(R"({
      "devices": [
        { "uid": "tandrel.sim.speakers", "name": "Built-in Speakers", "sampleRate": 48000,
          "sampleRates": [44100, 48000, 96000], "bufferFrameSize": 512, "bufferFrameSizeRange": [15, 4096],
          "outputStreams": [2] },
        { "uid": "tandrel.sim.microphone", "name": "Built-in Microphone", "sampleRate": 48000,
          "sampleRates": [44100, 48000], "bufferFrameSize": 512, "bufferFrameSizeRange": [15, 4096],
          "inputStreams": [1], "inputSignal": {"sine": 330, "level": -30}, "clockDriftPpm": 20 },
        { "uid": "tandrel.sim.interface", "name": "Studio Interface", "manufacturer": "Tandrel Audio",
          "sampleRate": 48000, "sampleRates": [44100, 48000, 88200, 96000], "bufferFrameSize": 256,
          "bufferFrameSizeRange": [32, 2048], "inputStreams": [2, 6], "outputStreams": [8],
          "clockDriftPpm": -35 },
        { "uid": "qorvix.tandrel.test.loopback", "name": "Loopback", "sampleRate": 48000,
          "sampleRates": [44100, 48000], "bufferFrameSize": 512, "bufferFrameSizeRange": [32, 4096],
          "inputStreams": [2], "outputStreams": [2], "inputSignal": "loopback" }
      ],
      "applications": [
        { "bundleID": "org.example.toneplayer", "name": "Tone Player",
          "executablePath": "/opt/toneplayer/bin/toneplayer", "signal": {"sine": 1000, "level": -20},
          "icon": {"xpm": [
            "16 16 3 1",
            "  c None",
            ". c #2f7fd8",
            "# c #ffffff",
            "  ............  ",
            " .............. ",
            "................",
            "...##...........",
            "..#..#..........",
            "..#..#..........",
            ".#....#.........",
            ".#....#......#..",
            "......#.....#...",
            ".......#....#...",
            ".......#...#....",
            "........#..#....",
            "........#.#.....",
            ".........#......",
            " .............. ",
            "  ............  "]} },
        { "bundleID": "org.example.notes", "name": "Notes",
          "executablePath": "/usr/bin/notes", "signal": "silence",
          "icon": {"xpm": [
            "16 16 3 1",
            "  c None",
            ". c #e8b020",
            "# c #fff8e0",
            "  ............  ",
            " .............. ",
            "...##########...",
            "...#........#...",
            "...#.######.#...",
            "...#........#...",
            "...#.######.#...",
            "...#........#...",
            "...#.######.#...",
            "...#........#...",
            "...#.####...#...",
            "...#........#...",
            "...##########...",
            "................",
            " .............. ",
            "  ............  "]} },
        { "bundleID": "org.example.musicbox", "name": "Music Box",
          "executablePath": "/opt/musicbox/bin/musicbox", "signal": {"sine": 523.25, "level": -18},
          "icon": {"xpm": [
            "16 16 3 1",
            "  c None",
            ". c #c2449a",
            "# c #ffffff",
            "  ............  ",
            " .............. ",
            "......#######...",
            "......#######...",
            "......#.....#...",
            "......#.....#...",
            "......#.....#...",
            "......#.....#...",
            "......#.....#...",
            "......#...###...",
            "....###..####...",
            "...####..####...",
            "...####...##....",
            "....##..........",
            " .............. ",
            "  ............  "]} },
        { "bundleID": "org.example.podcast", "name": "Podcast",
          "executablePath": "/opt/podcast/bin/podcast", "signal": {"sine": 196, "level": -22},
          "icon": {"xpm": [
            "16 16 3 1",
            "  c None",
            ". c #e46c2a",
            "# c #ffffff",
            "  ............  ",
            " .............. ",
            "......####......",
            ".....######.....",
            ".....######.....",
            ".....######.....",
            ".....######.....",
            "...#.######.#...",
            "...#.######.#...",
            "...#..####..#...",
            "....#......#....",
            ".....######.....",
            ".......##.......",
            ".....######.....",
            " .............. ",
            "  ............  "]} },
        { "bundleID": "org.example.videocall", "name": "Video Call",
          "executablePath": "/opt/videocall/bin/videocall", "signal": {"sine": 784, "level": -26},
          "icon": {"xpm": [
            "16 16 3 1",
            "  c None",
            ". c #2fa55a",
            "# c #ffffff",
            "  ............  ",
            " .............. ",
            "................",
            "................",
            "..########......",
            "..########...#..",
            "..########..##..",
            "..#########.##..",
            "..############..",
            "..#########.##..",
            "..########..##..",
            "..########...#..",
            "................",
            "................",
            " .............. ",
            "  ............  "]} }
      ],
      "defaultInput": "tandrel.sim.microphone",
      "defaultOutput": "tandrel.sim.speakers",
      "defaultSystemOutput": "tandrel.sim.speakers"
    })");
}
