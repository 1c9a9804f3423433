// The simulated hardware the emulated audio server starts with, read from a JSON profile; the server
// and its test hooks build devices from these records.
//
// Profile shape (every key but "devices" and each device's "uid" is optional; unknown keys are ignored):
//   { "devices": [ { "uid": "...", "name": "...", "manufacturer": "...",
//                    "sampleRate": 48000, "sampleRates": [44100, 48000],
//                    "bufferFrameSize": 512, "bufferFrameSizeRange": [15, 4096],
//                    "inputStreams": [2, 6], "outputStreams": [2],
//                    "clockDriftPpm": 50, "inputSignal": <signal>, "volume": "main" } ],
//     "defaultInput": "<uid>", "defaultOutput": "<uid>", "defaultSystemOutput": "<uid>" }
// Stream lists give each stream's channel count, in order. A signal is "silence", "loopback" (the
// device's own output, one buffer later) or a sine: {"sine": 330, "level": -30} (level in dBFS, or
// "amplitude" linear), or {"sine": [{"frequency": 440, "level": -20}, ...]} with one tone per input
// channel (channels past the list are silent). Without "inputSignal" the inputs are silent.
// "volume" places the output volume and mute controls: "main" (the main element, the default), "channels"
// (one per output channel, elements 1...n) or "none"; a device without outputs has none.
//
// "applications" lists simulated applications (each key but "bundleID" optional):
//   [ { "pid": 4100, "bundleID": "...", "name": "...", "activationPolicy": "regular" | "accessory" |
//       "prohibited", "bundlePath": "...", "executablePath": "...", "responsiblePid": 4000,
//       "signal": "silence" | {"sine": 1000, "level": -20},
//       "icon": "/path/to/image.png" | {"xpm": ["16 16 2 1", ". c #3478f6", ...]} } ]
// Without "pid" the workspace assigns one. An "xpm" icon lists the strings of an XPM image in order.
// The built-in profile's first two: one plays 1 kHz, one is silent; the others play tones of their own.
//
// Integer fields (process ids, buffer sizes and ranges, stream lists) take whole numbers only, never
// rounded or wrapped; every value must lie within HardwareLimits. A refused profile names its file, the
// device or application, the field and the value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Workspace/Workspace.h"

// What the emulated hardware runs: room for any real device, but nothing its IO cannot keep up
// with or hold in memory. Profiles and the server's test hooks are held to these bounds.
struct HardwareLimits {
    static constexpr double minimumSampleRate = 8000;   // Hz, nominal and listed rates
    static constexpr double maximumSampleRate = 768000; // Hz
    static constexpr std::uint32_t minimumBufferFrames = 1;
    static constexpr std::uint32_t maximumBufferFrames = 16384;
    // A device's input and output channels together; every stream has at least one, so this bounds
    // the number of streams too.
    static constexpr std::uint32_t maximumChannels = 512;
    static constexpr std::size_t maximumSampleRates = 64; // listed rates a device
    static constexpr std::size_t maximumDevices = 256;
    static constexpr std::size_t maximumApplications = 1024;
    // Beyond a few percent a clock is broken, not drifting; the bound also keeps the period positive.
    static constexpr double maximumClockDriftPpm = 10000;

    // Whether a nominal rate, or a buffer size in frames, lies within the bounds above.
    static constexpr bool runnableRate(double rate) {
        return rate >= minimumSampleRate && rate <= maximumSampleRate;
    }
    static constexpr bool runnableFrames(std::uint32_t frames) {
        return frames >= minimumBufferFrames && frames <= maximumBufferFrames;
    }
};

// What a simulated device's inputs play.
struct InputSignal {
    struct Tone {
        double frequency = 0; // Hz
        double amplitude = 0; // linear, 1 = full scale
        bool operator==(const Tone&) const = default;
    };
    // `mix`: every channel plays the sum of all tones (what a process tap hears).
    enum class Kind { silence, sine, loopback, mix };

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
    static InputSignal mix(std::vector<Tone> tones) {
        return tones.empty() ? silence() : InputSignal{Kind::mix, std::move(tones), false};
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
    // Where the output volume scalar ('volm') and mute ('mute') controls sit.
    enum class VolumeControls { main, channels, none };
    VolumeControls volumeControls = VolumeControls::main;

    // Fills the derived defaults and throws HardwareProfileError, naming the device by its UID, when the
    // record cannot describe a device or lies outside HardwareLimits.
    void validate();
};

// A simulated application: a running application of the workspace and a process object of the server.
struct ApplicationSpec {
    int32_t pid = 0; // 0: the workspace assigns one
    std::string bundleID;
    std::string name;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    std::string bundlePath;
    std::string executablePath;
    std::optional<int32_t> responsiblePid;
    // Silence, or a sine whose first tone it plays on both channels; it runs output while it plays one.
    InputSignal signal;
    ApplicationIcon icon;

    // Throws HardwareProfileError, naming the application by its bundle id, when the record cannot
    // describe an application.
    void validate() const;
};

struct HardwareProfile {
    std::vector<DeviceSpec> devices;
    std::vector<ApplicationSpec> applications;
    std::string defaultInputUID;        // empty: the first device with input streams
    std::string defaultOutputUID;       // empty: the first device with output streams
    std::string defaultSystemOutputUID; // empty: the default output

    // Throws HardwareProfileError naming `source` (the profile's file), the device or application, the
    // offending key and its value.
    static HardwareProfile fromJSON(const nlohmann::json& json,
                                    const std::string& source = "the hardware profile");
    // A stereo output, a mono microphone playing a quiet 330 Hz sine, an interface with input streams
    // of 2 and 6 channels and one output stream of 8, and a stereo loopback device whose inputs return
    // its output one buffer later; five applications with icons: "Tone Player" (1 kHz at -20 dBFS),
    // the silent "Notes", and "Music Box", "Podcast" and "Video Call" playing tones of their own.
    static nlohmann::json builtInJSON();
};

class HardwareProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
