// The server's objects for a loaded driver's objects. PlugInObject forwards every property call to the
// driver under the driver's own id and rewrites id-valued answers into the server's ids; PlugInDevice
// adds what the server itself provides for a driver's device (stream configurations, IO buffer size,
// volume and mute in the output scope from the device's controls) and the device's IO, which runs the
// driver's IO operations around the clients' IO procs. PlugInHost creates and removes them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/DeviceIO.h"

class PlugInHost;
class PlugInIOEngine;

class PlugInObject : public AudioObject {
public:
    PlugInObject(AudioServer& server, AudioObjectID id, std::shared_ptr<PlugInHost> host, AudioObjectID local,
                 AudioClassID classID, AudioObjectID owner);

    AudioObjectID localID() const { return local_; }

    bool hasProperty(const AudioObjectPropertyAddress& address) const override;
    OSStatus isPropertySettable(const AudioObjectPropertyAddress& address, bool* outSettable) const override;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                 const void* qualifier, uint32_t* outDataSize) const override;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t* ioDataSize, void* outData) const override;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t dataSize, const void* data) override;

protected:
    const std::shared_ptr<PlugInHost> host_;
    const AudioObjectID local_;
};

// What the server knows of a driver device's layout; read from the driver when the device appears and
// after each configuration change.
struct PlugInDeviceLayout {
    double sampleRate = 48000;
    std::vector<AudioObjectID> inputStreams, outputStreams; // driver ids
    std::vector<uint32_t> inputChannels, outputChannels;
};

class PlugInDevice final : public PlugInObject {
public:
    static constexpr uint32_t kDefaultBufferFrames = 512;
    static constexpr uint32_t kMinimumBufferFrames = 15;
    static constexpr uint32_t kMaximumBufferFrames = 4096;

    // `volume` and `mute` are the driver ids of the output-scope controls (0 when absent).
    PlugInDevice(AudioServer& server, AudioObjectID id, std::shared_ptr<PlugInHost> host, AudioObjectID local,
                 std::string uid, AudioObjectID volume, AudioObjectID mute, PlugInDeviceLayout layout);

    const std::string& uid() const { return uid_; }
    const std::shared_ptr<DeviceIO>& io() const { return io_; }
    // Reads the layout from the driver again and hands it to the IO. Only while the IO is paused or
    // stopped (PlugInHost calls it inside DeviceIO::withIOPaused).
    void reloadLayoutWhilePaused();
    PlugInDeviceLayout layout() const;
    // Reads rate, streams and channel counts from the driver; false when the driver does not answer.
    static bool readLayout(const PlugInHost& host, AudioObjectID local, PlugInDeviceLayout& out);

    bool hasProperty(const AudioObjectPropertyAddress& address) const override;
    OSStatus isPropertySettable(const AudioObjectPropertyAddress& address, bool* outSettable) const override;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                 const void* qualifier, uint32_t* outDataSize) const override;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t* ioDataSize, void* outData) const override;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t dataSize, const void* data) override;

private:
    enum class Synthesised { no, value, control, absent };
    // A device's 'volm'/'mute' stands for this driver control and its own address.
    struct Control {
        AudioObjectID id = kAudioObjectUnknown;
        AudioObjectPropertyAddress address{};
    };
    // The property the server answers itself (`value`), through one of the device's controls (`control`),
    // or not at all here (`absent`); `no` forwards to the driver's device.
    Synthesised synthesise(const AudioObjectPropertyAddress& address, std::optional<PropertyValue>* value,
                           Control* control) const;
    DeviceIO::Format formatLocked() const;

    const std::string uid_;
    const AudioObjectID volume_, mute_;
    const std::shared_ptr<PlugInIOEngine> engine_;

    mutable std::mutex mutex_;
    PlugInDeviceLayout layout_;
    uint32_t bufferFrames_ = kDefaultBufferFrames;

    std::shared_ptr<DeviceIO> io_;
};
