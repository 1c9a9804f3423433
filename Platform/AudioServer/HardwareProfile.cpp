#include "Platform/AudioServer/HardwareProfile.h"

#include <algorithm>
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
    try {
        d.validate();
    } catch (const HardwareProfileError& e) {
        throw HardwareProfileError(where + ": " + e.what());
    }
    return d;
}

} // namespace

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
          "inputStreams": [1] },
        { "uid": "tandrel.sim.interface", "name": "Studio Interface", "manufacturer": "Tandrel Audio",
          "sampleRate": 48000, "sampleRates": [44100, 48000, 88200, 96000], "bufferFrameSize": 256,
          "bufferFrameSizeRange": [32, 2048], "inputStreams": [2, 6], "outputStreams": [8] }
      ],
      "defaultInput": "tandrel.sim.microphone",
      "defaultOutput": "tandrel.sim.speakers",
      "defaultSystemOutput": "tandrel.sim.speakers"
    })");
}
