// The simulated hardware the emulated audio server starts with, read from a JSON profile; the server
// and its test hooks build devices from these records.
//
// Profile shape (every key but "devices" and each device's "uid" is optional; unknown keys are ignored):
//   { "devices": [ { "uid": "...", "name": "...", "manufacturer": "...",
//                    "sampleRate": 48000, "sampleRates": [44100, 48000],
//                    "bufferFrameSize": 512, "bufferFrameSizeRange": [15, 4096],
//                    "inputStreams": [2, 6], "outputStreams": [2],
//                    "clockDriftPpm": 50, "inputSignal": <signal> } ],
//     "defaultInput": "<uid>", "defaultOutput": "<uid>", "defaultSystemOutput": "<uid>" }
// Stream lists give each stream's channel count, in order. A signal is "silence", "loopback" (the
// device's own output, one buffer later) or a sine: {"sine": 330, "level": -30} (level in dBFS, or
// "amplitude" linear), or {"sine": [{"frequency": 440, "level": -20}, ...]} with one tone per input
// channel (channels past the list are silent). Without "inputSignal" the inputs are silent.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// What a simulated device's inputs play.
struct InputSignal {
    struct Tone {
        double frequency = 0; // Hz
        double amplitude = 0; // linear, 1 = full scale
        bool operator==(const Tone&) const = default;
    };
    enum class Kind { silence, sine, loopback };

    Kind kind = Kind::silence;
    // One tone for every channel, or one per channel in order (channels past the list are silent).
    std::vector<Tone> tones;
    bool perChannel = false;

    static InputSignal silence() { return {}; }
    static InputSignal loopback() { return {Kind::loopback, {}, false}; }
    static InputSignal sine(double frequency, double levelDBFS);
    static InputSignal sinePerChannel(std::vector<Tone> tones) {
        return {Kind::sine, std::move(tones), true};
    }
    static double amplitudeOfLevel(double dBFS);
    // The tone channel `channel` plays; silence is a zero tone.
    Tone toneOfChannel(uint32_t channel) const;
    bool operator==(const InputSignal&) const = default;
};

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
    // Positive: the device's clock runs fast, so its cycles come that many parts per million more often.
    double clockDriftPpm = 0;
    InputSignal inputSignal;

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
    // A stereo output, a mono microphone playing a quiet 330 Hz sine, an interface with input streams
    // of 2 and 6 channels and one output stream of 8, and a stereo loopback device whose inputs return
    // its output one buffer later.
    static nlohmann::json builtInJSON();
};

class HardwareProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
