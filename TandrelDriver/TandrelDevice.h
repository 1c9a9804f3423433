// One line: an audio device whose output stream loops back into its input stream, with a volume and a
// mute control and per-channel gains. The plug-in object creates, finds and retires devices and routes
// every property and IO call for one of a device's five objects here.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "TandrelDriver/DriverRuntime.h"
#include "TandrelDriver/PropertyWriter.h"

namespace tandrel::driver {

inline constexpr std::array<double, 6> kSupportedSampleRates = {44100, 48000, 88200, 96000, 176400, 192000};

class TandrelDevice {
public:
    static constexpr uint32_t kMaxChannels = 64;
    // The ring period and the zero time stamp period are the same, so a sample time's ring frame is its
    // low bits.
    static constexpr uint32_t kRingFrames = 16384;
    static constexpr uint64_t kChannelCountActionBit = 1ull << 32;

    using VolumeChanged = void (*)(TandrelDevice& device);
    // Called after every announced volume or mute change; the plug-in stores and saves the state.
    static std::atomic<VolumeChanged> sVolumeChanged;

    // name may be null or empty: the line is then called "Line <number>". channels is capped at 64.
    TandrelDevice(uint32_t lineNumber, AudioObjectID baseID, uint32_t channels, PLRef name,
                  std::shared_ptr<DriverContext> context);
    ~TandrelDevice();
    TandrelDevice(const TandrelDevice&) = delete;
    TandrelDevice& operator=(const TandrelDevice&) = delete;

    uint32_t lineNumber() const { return lineNumber_; }
    AudioObjectID deviceID() const { return deviceID_; }
    AudioObjectID inputStreamID() const { return deviceID_ + 1; }
    AudioObjectID outputStreamID() const { return deviceID_ + 2; }
    AudioObjectID volumeControlID() const { return deviceID_ + 3; }
    AudioObjectID muteControlID() const { return deviceID_ + 4; }
    bool ownsObject(AudioObjectID id) const { return id >= deviceID_ && id <= deviceID_ + 4; }

    uint32_t channelCount() const { return channelCount_.load(std::memory_order_relaxed); }
    float volumeScalar() const { return volume_.load(std::memory_order_relaxed); }
    bool isMuted() const { return muted_.load(std::memory_order_relaxed) != 0; }
    // Sets the state a line had before, without announcing it.
    void restoreVolume(float scalar, bool muted);

    bool isRunning() const;
    // +1 references.
    PLRef copyName() const;
    PLRef copyUID() const { return PLRetain(uid_); }
    bool hasUID(PLRef uid) const { return PLEqual(uid_, uid); }
    // False, and no change, for a null or empty name or the current one.
    bool setName(PLRef name);
    double sampleRate() const;

    OSStatus getProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                         uint32_t qualifierSize, const void* qualifier, PropertyWriter& writer) const;
    OSStatus isPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                bool& settable) const;
    OSStatus setProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address, uint32_t size,
                         const void* data);

    OSStatus startIO();
    OSStatus stopIO();
    OSStatus getZeroTimeStamp(double* sampleTime, uint64_t* hostTime, uint64_t* seed);
    OSStatus willDoIOOperation(uint32_t operation, bool* willDo, bool* inPlace) const;
    // Real-time: no locks, no allocation.
    OSStatus doIOOperation(AudioObjectID streamID, uint32_t operation, uint32_t frames,
                           const AudioServerPlugInIOCycleInfo* cycle, void* buffer);

    // Asks the host to change the rate; 'nope' for a rate outside kSupportedSampleRates.
    OSStatus requestSampleRate(double rate);
    OSStatus setStreamFormat(const AudioStreamBasicDescription& format);
    // Asks the host to change the channel count (clamped to 2 ... 64) when it differs.
    void requestChannelCount(uint32_t count);
    // The host's call back for a change this device requested; IO is paused meanwhile.
    OSStatus performConfigurationChange(uint64_t action);

    // Real-time: no locks, no allocation. Interleaved frames of channelCount() channels.
    void writeRing(int64_t sampleTime, uint32_t frames, const float* source);
    void readRing(int64_t sampleTime, uint32_t frames, float* destination) const;

    static AudioStreamBasicDescription makeFormat(double rate, uint32_t channels);

private:
    OSStatus getDeviceProperty(const AudioObjectPropertyAddress& address, PropertyWriter& writer) const;
    OSStatus getStreamProperty(bool input, const AudioObjectPropertyAddress& address,
                               PropertyWriter& writer) const;
    // What the volume and the mute control answer alike.
    OSStatus getControlProperty(uint32_t baseClass, uint32_t classID,
                                const AudioObjectPropertyAddress& address, PropertyWriter& writer) const;
    OSStatus getVolumeProperty(const AudioObjectPropertyAddress& address, PropertyWriter& writer) const;
    OSStatus getMuteProperty(const AudioObjectPropertyAddress& address, PropertyWriter& writer) const;
    OSStatus setChannelGains(uint32_t size, const void* data);
    OSStatus setStreamActive(AudioObjectID streamID, const AudioObjectPropertyAddress& address, uint32_t size,
                             const void* data);
    OSStatus setControlProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                uint32_t size, const void* data);
    void notifyControlChanged(AudioObjectID objectID, uint32_t selector1, uint32_t selector2 = 0);
    PLRef copyChannelGains() const;
    void resetClockLocked();
    static double ticksPerFrame(double rate);

    const uint32_t lineNumber_;
    const AudioObjectID deviceID_;
    const std::shared_ptr<DriverContext> context_;
    const PLRef uid_;

    std::atomic<float> volume_{1.0f};
    // Written by property calls, snapshotted by the IO thread at the start of each block.
    std::array<std::atomic<float>, kMaxChannels> targetGains_;
    // IO thread only: where the last block's ramp ended.
    std::array<float, kMaxChannels> appliedGains_;
    std::atomic<uint8_t> muted_{0};
    // Changed under the lock while the host holds IO paused; read by IO without it.
    std::atomic<uint32_t> channelCount_;

    mutable std::mutex lock_;
    PLRef name_;
    double sampleRate_ = 48000;
    uint32_t ioClients_ = 0;
    bool inputActive_ = true;
    bool outputActive_ = true;
    double hostTicksPerFrame_;
    uint64_t clockAnchor_ = 0;
    uint64_t zeroTimeStampCount_ = 0;

    // Interleaved, indexed by sample time modulo kRingFrames. Reallocated only under the lock while IO is
    // paused; IO touches the samples without it.
    std::vector<float> ring_;
    // [start, end) in sample times: what readRing may hand out. Reset under the lock by the first
    // startIO and channel changes, otherwise IO thread only.
    std::atomic<int64_t> windowStart_{0};
    std::atomic<int64_t> windowEnd_{0};
    // Whether every sample of the ring is zero: since it was cleared, or since a whole ring of silence was
    // written without a gap. A line nothing plays into then neither copies its silence in nor out. Reset
    // with the window; otherwise IO only, published like the window.
    std::atomic<bool> ringSilent_{true};
    int64_t silenceFrom_ = 0; // IO only: where the gapless run of silent writes up to the window's end began
};

} // namespace tandrel::driver
