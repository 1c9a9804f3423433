// One output device (a monitor or a line) in the audio engine: a mixing destination sized to the
// device, rendered by a device IO callback, whose own mix is itself a producer for meters and tests.
// The controller keeps one per destination device; the routing engine connects routes to it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelCore/TandrelCore.h"

class OutputDestination : public AudioProducer {
public:
    // Throws CoreAudioError ("TDDestinationCreate (<name>)", -1) for a device without outputs.
    explicit OutputDestination(AudioDeviceInfo device);
    // Stops the device callback before freeing the core destination. Released on the GUI thread while
    // the callback runs, the stop and the free are handed to the call queue so the GUI never waits.
    ~OutputDestination() override;
    OutputDestination(const OutputDestination&) = delete;
    OutputDestination& operator=(const OutputDestination&) = delete;

    // Installs and starts the device callback, once; throws CoreAudioError. Blocking: run it on the
    // call queue.
    void start(std::optional<uint32_t> bufferFrames);
    bool isRunning() const;

    const AudioDeviceInfo& device() const { return device_; }
    const std::string& id() const { return device_.uid; }
    TDDestination* raw() const { return raw_; }

    std::string producerName() const override { return device_.name; }
    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return TDDestinationChannels(raw_); }
    double sampleRate() const override { return sampleRate_.load(std::memory_order_relaxed); }

    // The routing engine's record of the plan in force: whether one was ever published and which core
    // routes it names. Main thread only.
    struct PlanState {
        bool published = false;
        std::vector<TDRoute*> routes;
    };
    PlanState planState;

private:
    AudioDeviceInfo device_;
    TDDestination* raw_ = nullptr;
    std::unique_ptr<AudioFanout> fanout_;
    std::atomic<double> sampleRate_;
    mutable std::mutex procMutex_; // start (call queue) against teardown (main thread)
    AudioDeviceIOProcID ioProcID_ = nullptr;
};
