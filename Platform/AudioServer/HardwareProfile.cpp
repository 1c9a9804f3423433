#include "Platform/AudioServer/HardwareProfile.h"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include <spdlog/fmt/fmt.h>

namespace {

using nlohmann::json;

// A number as the messages show it: 48000, 2.9, 1e+300, inf.
std::string show(double value) {
    return fmt::format("{}", value);
}

[[noreturn]] void refuse(const std::string& who, std::string_view key, const std::string& problem) {
    throw HardwareProfileError(who + ": \"" + std::string(key) + "\" " + problem);
}

template <typename T>
T field(const json& object, const char* key, T fallback, const std::string& who) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return fallback;
    }
    try {
        return found->get<T>();
    } catch (const json::exception&) {
        refuse(who, key, "has the wrong type");
    }
}

// The number as a T when it is a whole number from `minimum` to `maximum` (2.0 is one). Anything else is
// refused, never rounded or wrapped.
template <std::integral T>
T wholeNumber(const json& value, std::string_view key, const std::string& who, T minimum, T maximum) {
    std::optional<std::int64_t> whole;
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (std::in_range<std::int64_t>(n)) {
            whole = static_cast<std::int64_t>(n);
        }
    } else if (value.is_number_integer()) {
        whole = value.get<std::int64_t>();
    } else if (value.is_number_float()) {
        // Compared as a double first: converting one out of range is undefined.
        const double d = value.get<double>();
        if (d == std::trunc(d) && d >= static_cast<double>(minimum) && d <= static_cast<double>(maximum)) {
            whole = static_cast<std::int64_t>(d);
        }
    } else {
        refuse(who, key, "has the wrong type");
    }
    if (!whole || std::cmp_less(*whole, minimum) || std::cmp_greater(*whole, maximum)) {
        refuse(who, key,
               "is " + value.dump() + ", not a whole number from " + std::to_string(minimum) + " to " +
                   std::to_string(maximum));
    }
    return static_cast<T>(*whole);
}

template <std::integral T>
T wholeNumberField(const json& object, const char* key, T fallback, const std::string& who, T minimum,
                   T maximum) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return fallback;
    }
    return wholeNumber(*found, key, who, minimum, maximum);
}

std::vector<std::uint32_t> streams(const json& device, const char* key, const std::string& who) {
    auto found = device.find(key);
    if (found == device.end() || found->is_null()) {
        return {};
    }
    if (!found->is_array()) {
        refuse(who, key, "has the wrong type");
    }
    // Every stream has a channel at least: a longer list cannot fit.
    if (found->size() > HardwareLimits::maximumChannels) {
        refuse(who, key,
               "lists " + std::to_string(found->size()) + " streams; a device has at most " +
                   std::to_string(HardwareLimits::maximumChannels) + " channels");
    }
    std::vector<std::uint32_t> channels;
    for (const auto& n : *found) {
        channels.push_back(wholeNumber<std::uint32_t>(n, key, who, 1, HardwareLimits::maximumChannels));
    }
    return channels;
}

InputSignal::Tone toneFromJSON(const json& j, double frequency, const std::string& who) {
    InputSignal::Tone tone{frequency, InputSignal::amplitudeOfLevel(-30)};
    if (j.contains("amplitude")) {
        tone.amplitude = field<double>(j, "amplitude", 0, who);
    } else if (j.contains("level")) {
        tone.amplitude = InputSignal::amplitudeOfLevel(field<double>(j, "level", -30, who));
    }
    return tone;
}

InputSignal signalFromJSON(const json& j, const char* key, const std::string& who) {
    if (j.is_string() && j == "silence") {
        return InputSignal::silence();
    }
    if (j.is_string() && j == "loopback") {
        return InputSignal::loopback();
    }
    auto sine = j.is_object() ? j.find("sine") : j.end();
    if (!j.is_object() || sine == j.end()) {
        refuse(who, key, "needs \"silence\", \"loopback\" or {\"sine\": ...}");
    }
    if (sine->is_number()) {
        return InputSignal{InputSignal::Kind::sine, {toneFromJSON(j, sine->get<double>(), who)}, false};
    }
    if (!sine->is_array()) {
        refuse(who, "sine", "needs a frequency or a list of tones");
    }
    std::vector<InputSignal::Tone> tones;
    for (const auto& t : *sine) {
        if (!t.is_object()) {
            refuse(who, "sine", "needs an object for each tone");
        }
        tones.push_back(toneFromJSON(t, field<double>(t, "frequency", 0, who), who));
    }
    return InputSignal::sinePerChannel(std::move(tones));
}

DeviceSpec deviceFromJSON(const json& j, size_t index) {
    std::string who = "device " + std::to_string(index);
    if (!j.is_object()) {
        throw HardwareProfileError(who + " is not an object");
    }
    DeviceSpec d;
    d.uid = field<std::string>(j, "uid", "", who);
    if (d.uid.empty()) {
        throw HardwareProfileError(who + " needs a non-empty \"uid\"");
    }
    who = "device \"" + d.uid + "\"";
    d.name = field<std::string>(j, "name", "", who);
    d.manufacturer = field<std::string>(j, "manufacturer", d.manufacturer, who);
    d.sampleRate = field<double>(j, "sampleRate", d.sampleRate, who);
    d.sampleRates = field<std::vector<double>>(j, "sampleRates", {}, who);
    d.bufferFrameSize = wholeNumberField<std::uint32_t>(j, "bufferFrameSize", d.bufferFrameSize, who,
                                                        HardwareLimits::minimumBufferFrames,
                                                        HardwareLimits::maximumBufferFrames);
    if (auto range = j.find("bufferFrameSizeRange"); range != j.end() && !range->is_null()) {
        if (!range->is_array() || range->size() != 2) {
            refuse(who, "bufferFrameSizeRange", "needs [minimum, maximum]");
        }
        const auto frames = [&who](const json& value) {
            return wholeNumber<std::uint32_t>(value, "bufferFrameSizeRange", who,
                                              HardwareLimits::minimumBufferFrames,
                                              HardwareLimits::maximumBufferFrames);
        };
        d.bufferFrameSizeMinimum = frames((*range)[0]);
        d.bufferFrameSizeMaximum = frames((*range)[1]);
    }
    d.inputStreams = streams(j, "inputStreams", who);
    d.outputStreams = streams(j, "outputStreams", who);
    d.clockDriftPpm = field<double>(j, "clockDriftPpm", 0, who);
    if (auto signal = j.find("inputSignal"); signal != j.end() && !signal->is_null()) {
        d.inputSignal = signalFromJSON(*signal, "inputSignal", who);
    }
    const auto volume = field<std::string>(j, "volume", "main", who);
    if (volume == "main") {
        d.volumeControls = DeviceSpec::VolumeControls::main;
    } else if (volume == "channels") {
        d.volumeControls = DeviceSpec::VolumeControls::channels;
    } else if (volume == "none") {
        d.volumeControls = DeviceSpec::VolumeControls::none;
    } else {
        refuse(who, "volume", "must be \"main\", \"channels\" or \"none\"");
    }
    d.validate();
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
    std::string who = "application " + std::to_string(index);
    if (!j.is_object()) {
        throw HardwareProfileError(who + " is not an object");
    }
    ApplicationSpec a;
    a.bundleID = field<std::string>(j, "bundleID", "", who);
    if (a.bundleID.empty()) {
        throw HardwareProfileError(who + " needs a non-empty \"bundleID\"");
    }
    who = "application \"" + a.bundleID + "\"";
    constexpr auto maximumPid = std::numeric_limits<std::int32_t>::max();
    a.pid = wholeNumberField<std::int32_t>(j, "pid", 0, who, 0, maximumPid);
    a.name = field<std::string>(j, "name", "", who);
    auto policy = field<std::string>(j, "activationPolicy", "regular", who);
    if (policy == "accessory") {
        a.activationPolicy = ActivationPolicy::accessory;
    } else if (policy == "prohibited") {
        a.activationPolicy = ActivationPolicy::prohibited;
    } else if (policy != "regular") {
        refuse(who, "activationPolicy", "needs \"regular\", \"accessory\" or \"prohibited\"");
    }
    a.bundlePath = field<std::string>(j, "bundlePath", "", who);
    a.executablePath = field<std::string>(j, "executablePath", "", who);
    if (auto responsible = j.find("responsiblePid"); responsible != j.end() && !responsible->is_null()) {
        a.responsiblePid = wholeNumber<std::int32_t>(*responsible, "responsiblePid", who, 0, maximumPid);
    }
    if (auto signal = j.find("signal"); signal != j.end() && !signal->is_null()) {
        a.signal = signalFromJSON(*signal, "signal", who);
    }
    if (auto icon = j.find("icon"); icon != j.end() && !icon->is_null()) {
        a.icon = iconFromJSON(*icon, who);
    }
    a.validate();
    return a;
}

bool playable(const InputSignal::Tone& tone) {
    return tone.frequency > 0 && std::isfinite(tone.frequency) && tone.amplitude >= 0 &&
           std::isfinite(tone.amplitude);
}

std::string rateProblem(double rate) {
    return show(rate) + ", not a rate from " + show(HardwareLimits::minimumSampleRate) + " to " +
           show(HardwareLimits::maximumSampleRate) + " Hz";
}

HardwareProfile profileFromJSON(const json& j) {
    if (!j.is_object()) {
        throw HardwareProfileError("not a JSON object");
    }
    auto found = j.find("devices");
    if (found == j.end() || !found->is_array()) {
        throw HardwareProfileError("needs a \"devices\" array");
    }
    if (found->size() > HardwareLimits::maximumDevices) {
        throw HardwareProfileError("\"devices\" lists " + std::to_string(found->size()) +
                                   " devices, more than " + std::to_string(HardwareLimits::maximumDevices));
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
        if (apps->size() > HardwareLimits::maximumApplications) {
            throw HardwareProfileError("\"applications\" lists " + std::to_string(apps->size()) +
                                       " applications, more than " +
                                       std::to_string(HardwareLimits::maximumApplications));
        }
        for (size_t i = 0; i < apps->size(); ++i) {
            profile.applications.push_back(applicationFromJSON((*apps)[i], i));
        }
    }
    const std::string who = "the profile";
    const std::pair<const char*, std::string*> defaults[] = {
        {"defaultInput", &profile.defaultInputUID},
        {"defaultOutput", &profile.defaultOutputUID},
        {"defaultSystemOutput", &profile.defaultSystemOutputUID},
    };
    for (const auto& [key, uid] : defaults) {
        *uid = field<std::string>(j, key, "", who);
        if (!uid->empty() && !uids.count(*uid)) {
            refuse(who, key, "names \"" + *uid + "\", which is not in \"devices\"");
        }
    }
    return profile;
}

} // namespace

void ApplicationSpec::validate() const {
    if (bundleID.empty()) {
        throw HardwareProfileError("an application needs a non-empty \"bundleID\"");
    }
    const std::string who = "application \"" + bundleID + "\"";
    if (pid < 0) {
        refuse(who, "pid", "is " + std::to_string(pid) + "; process ids cannot be negative");
    }
    if (responsiblePid && *responsiblePid < 0) {
        refuse(who, "responsiblePid",
               "is " + std::to_string(*responsiblePid) + "; process ids cannot be negative");
    }
    if (signal.kind != InputSignal::Kind::silence && signal.kind != InputSignal::Kind::sine) {
        refuse(who, "signal", "must be \"silence\" or a sine");
    }
    if (!std::all_of(signal.tones.begin(), signal.tones.end(), playable)) {
        refuse(who, "signal", "needs positive frequencies and finite levels");
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
    const std::string who = "device \"" + uid + "\"";
    if (name.empty()) {
        name = uid;
    }
    if (!HardwareLimits::runnableRate(sampleRate)) {
        refuse(who, "sampleRate", "is " + rateProblem(sampleRate));
    }
    if (sampleRates.size() > HardwareLimits::maximumSampleRates) {
        refuse(who, "sampleRates",
               "lists " + std::to_string(sampleRates.size()) + " rates, more than " +
                   std::to_string(HardwareLimits::maximumSampleRates));
    }
    for (double rate : sampleRates) {
        if (!HardwareLimits::runnableRate(rate)) {
            refuse(who, "sampleRates", "holds " + rateProblem(rate));
        }
    }
    if (std::find(sampleRates.begin(), sampleRates.end(), sampleRate) == sampleRates.end()) {
        sampleRates.push_back(sampleRate);
    }
    std::sort(sampleRates.begin(), sampleRates.end());
    if (!HardwareLimits::runnableFrames(bufferFrameSizeMinimum) ||
        !HardwareLimits::runnableFrames(bufferFrameSizeMaximum) ||
        bufferFrameSizeMinimum > bufferFrameSizeMaximum) {
        refuse(who, "bufferFrameSizeRange",
               "is [" + std::to_string(bufferFrameSizeMinimum) + ", " +
                   std::to_string(bufferFrameSizeMaximum) + "], not an ordered range within " +
                   std::to_string(HardwareLimits::minimumBufferFrames) + " to " +
                   std::to_string(HardwareLimits::maximumBufferFrames) + " frames");
    }
    if (bufferFrameSize < bufferFrameSizeMinimum || bufferFrameSize > bufferFrameSizeMaximum) {
        refuse(who, "bufferFrameSize",
               "is " + std::to_string(bufferFrameSize) + ", outside \"bufferFrameSizeRange\" [" +
                   std::to_string(bufferFrameSizeMinimum) + ", " + std::to_string(bufferFrameSizeMaximum) +
                   "]");
    }
    std::uint64_t channels = 0;
    for (const auto& [key, list] :
         {std::pair{"inputStreams", &inputStreams}, {"outputStreams", &outputStreams}}) {
        for (std::uint32_t n : *list) {
            if (n == 0) {
                refuse(who, key, "holds a stream without channels");
            }
            channels += n;
        }
    }
    if (channels > HardwareLimits::maximumChannels) {
        refuse(who, "inputStreams\" and \"outputStreams",
               "have " + std::to_string(channels) + " channels together, more than " +
                   std::to_string(HardwareLimits::maximumChannels));
    }
    if (!(std::abs(clockDriftPpm) <= HardwareLimits::maximumClockDriftPpm)) {
        refuse(who, "clockDriftPpm",
               "is " + show(clockDriftPpm) + ", not within ±" + show(HardwareLimits::maximumClockDriftPpm) +
                   " ppm");
    }
    if (!std::all_of(inputSignal.tones.begin(), inputSignal.tones.end(), playable)) {
        refuse(who, "inputSignal", "needs positive frequencies and finite levels");
    }
}

HardwareProfile HardwareProfile::fromJSON(const json& j, const std::string& source) {
    try {
        return profileFromJSON(j);
    } catch (const HardwareProfileError& e) {
        throw HardwareProfileError(source + ": " + e.what());
    }
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
