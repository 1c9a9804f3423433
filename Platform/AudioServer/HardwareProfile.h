// The simulated hardware the emulated audio server starts with, read from a JSON profile; the server
// and its test hooks build devices from these records.
//
// Profile shape (every key but "devices" and each device's "uid" is optional; unknown keys are ignored):
//   { "devices": [ { "uid": "...", "name": "...", "manufacturer": "...",
//                    "sampleRate": 48000, "sampleRates": [44100, 48000],
//                    "bufferFrameSize": 512, "bufferFrameSizeRange": [15, 4096],
//                    "inputStreams": [2, 6], "outputStreams": [2] } ],
//     "defaultInput": "<uid>", "defaultOutput": "<uid>", "defaultSystemOutput": "<uid>" }
// Stream lists give each stream's channel count, in order.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct DeviceSpec {
    std::string uid;
    std::string name; // the UID when empty
    std::string manufacturer = "Tandrel";
    double sampleRate = 48000;
    std::vector<double> sampleRates; // the nominal rate is always among them
    uint32_t bufferFrameSize = 512;
    uint32_t bufferFrameSizeMinimum = 15;
    uint32_t bufferFrameSizeMaximum = 4096;
    std::vector<uint32_t> inputStreams;
    std::vector<uint32_t> outputStreams;

    // Fills the derived defaults and throws HardwareProfileError when the record cannot describe a device.
    void validate();
};

struct HardwareProfile {
    std::vector<DeviceSpec> devices;
    std::string defaultInputUID;        // empty: the first device with input streams
    std::string defaultOutputUID;       // empty: the first device with output streams
    std::string defaultSystemOutputUID; // empty: the default output

    // Throws HardwareProfileError naming the offending key.
    static HardwareProfile fromJSON(const nlohmann::json& json);
    // A stereo output, a mono microphone and an interface with input streams of 2 and 6 channels and
    // one output stream of 8.
    static nlohmann::json builtInJSON();
};

class HardwareProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
