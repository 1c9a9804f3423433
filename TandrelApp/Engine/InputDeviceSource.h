// Captures one input device (a physical input, or a line whose input returns what was played into it)
// through a device IO callback and writes every block into its own fan-out. The controller makes one
// per input-device source and per line used as a source; self-tests make their own.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <qcoro/qcorotask.h>

#include "Platform/AudioServer/AudioServerClient.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Support/AppError.h"

class InputDeviceSource : public AudioProducer, public std::enable_shared_from_this<InputDeviceSource> {
public:
    class InputError : public AppError {
    public:
        enum class Kind { noInputChannels, permissionDenied };
        static InputError noInputChannels(const std::string& deviceName);
        static InputError permissionDenied();
        Kind kind() const { return kind_; }

    private:
        InputError(Kind kind, const std::string& description)
            : AppError(description)
            , kind_(kind) {}
        Kind kind_;
    };

    // Touches nothing of the audio server until start().
    explicit InputDeviceSource(AudioDeviceInfo device,
                               std::optional<uint32_t> preferredBufferFrames = std::nullopt);
    // A running source stops its callback first, waiting for the call queue (in place when released on it).
    ~InputDeviceSource() override;
    InputDeviceSource(const InputDeviceSource&) = delete;
    InputDeviceSource& operator=(const InputDeviceSource&) = delete;

    // Asks for the microphone, then installs and starts the device callback off the caller's thread;
    // throws InputError or CoreAudioError. Starting a running source replaces its callback; a stop
    // asked for meanwhile wins.
    QCoro::Task<void> start(std::optional<uint32_t> bufferFrames);
    // Stops and removes the callback, off the caller's thread. Never throws.
    QCoro::Task<void> stop();
    static QCoro::Task<void> requestMicrophoneAccess();

    const AudioDeviceInfo& device() const { return device_; }
    std::optional<uint32_t> preferredBufferFrames() const { return preferredBufferFrames_; }
    bool isRunning() const { return ioProcID_.load() != nullptr; }

    std::string producerName() const override { return device_.name; }
    AudioFanout& fanout() const override { return *fanout_; }
    uint32_t channelCount() const override { return device_.inputChannels; }
    double sampleRate() const override { return sampleRate_.load(std::memory_order_relaxed); }

private:
    AudioDeviceIOProcID startIO(std::optional<uint32_t> bufferFrames);
    void stopSync();
    void stopOnCallQueue();

    const AudioDeviceInfo device_;
    const std::unique_ptr<AudioFanout> fanout_;
    std::atomic<double> sampleRate_;
    std::atomic<AudioDeviceIOProcID> ioProcID_{nullptr};
    std::atomic<uint64_t> stopRequests_{0};
    const std::optional<uint32_t> preferredBufferFrames_;
};
