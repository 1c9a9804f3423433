// A simulated hardware device of the emulated server and its stream objects: name, UID, nominal rate,
// buffer size and stream layout from a DeviceSpec, and the device's IO (DeviceIO), which it keeps in
// step with them. The server creates them from the hardware profile and changes them through its test
// hooks; all state but the IO is guarded by the server's model lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/DeviceIO.h"
#include "Platform/AudioServer/HardwareProfile.h"

// One stream of a device: a direction, its first channel within the device and a float32 interleaved
// format at the device's rate.
class StreamObject final : public BuiltInObject {
public:
    StreamObject(AudioServer& server, AudioObjectID id, AudioObjectID device, bool isInput,
                 uint32_t startingChannel, uint32_t channels, double sampleRate);

    bool isInput() const { return isInput_; }
    uint32_t channels() const { return channels_; }
    void setSampleRateLocked(double rate) { sampleRate_ = rate; }
    AudioStreamBasicDescription formatLocked() const;

protected:
    PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const override;

private:
    const bool isInput_;
    const uint32_t startingChannel_;
    const uint32_t channels_;
    double sampleRate_;
};

class SimulatedDevice final : public BuiltInObject {
public:
    SimulatedDevice(AudioServer& server, AudioObjectID id, DeviceSpec record);

    // Safe to use without the model lock; it outlives the device's removal until it is released.
    const std::shared_ptr<DeviceIO>& io() const { return io_; }

    // Model lock held for everything below.
    const DeviceSpec& specLocked() const { return spec_; }
    const std::vector<std::shared_ptr<StreamObject>>& streamsLocked() const { return streams_; }
    bool hasStreamsLocked(bool input) const;
    // Replaces the streams of one direction; returns the streams it dropped. `newID` gives object ids.
    std::vector<std::shared_ptr<StreamObject>> setStreamsLocked(bool input,
                                                                const std::vector<uint32_t>& channels,
                                                                const std::function<AudioObjectID()>& newID);
    void renameLocked(std::string name) { spec_.name = std::move(name); }
    // Returns false when the rate was already in force.
    bool setNominalSampleRateLocked(double rate, PropertyChanges& changes);
    void setInputSignalLocked(InputSignal signal);
    void setClockDriftLocked(double ppm);
    std::vector<AudioObjectID> ownedObjects() const override;

protected:
    PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const override;
    bool settable(const AudioObjectPropertyAddress& address) const override;
    OSStatus write(const AudioObjectPropertyAddress& address, Qualifier qualifier, PropertyData data,
                   PropertyChanges& changes) override;

private:
    PropertyValue streamConfiguration(bool input) const;
    std::vector<AudioObjectID> streamIDs(AudioObjectPropertyScope scope) const;
    DeviceIO::Format ioFormatLocked() const;
    // Whether the output volume and mute controls exist at this address's element.
    bool hasVolumeControl(const AudioObjectPropertyAddress& address) const;
    OSStatus writeVolumeControl(const AudioObjectPropertyAddress& address, PropertyData data,
                                PropertyChanges& changes);

    DeviceSpec spec_;
    std::map<uint32_t, float> volumes_; // by element; 1 until written
    std::map<uint32_t, bool> mutes_;
    std::vector<std::shared_ptr<StreamObject>> streams_; // inputs first, each direction in order
    std::shared_ptr<DeviceIO> io_;
};
