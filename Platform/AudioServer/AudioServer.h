// The in-process emulated audio server: a registry of audio objects (the system object, simulated
// devices and their streams, process objects) answering byte-level property calls, with listeners
// delivered on dispatch queues. The application starts it once at launch and each test starts its own;
// clients reach it through the free functions of AudioServerClient.h, which use AudioServer::shared().
//
// Threading: every call is synchronous and may be made from any thread except a real-time one (the
// IO calls have their own rules, see DeviceIO.h). Object state is guarded by one model lock; listeners
// are called later on their own queues, never under it. Each device runs its IO on its own thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/CoreAudioTypes.h"
#include "Platform/AudioServer/DeviceIO.h"
#include "Platform/AudioServer/HardwareProfile.h"
#include "Platform/AudioServer/PropertyList/PLOwner.h"
#include "Platform/Dispatch/DispatchQueue.h"

// Called on the registration's queue with the addresses that changed.
using AudioObjectPropertyListener =
    std::function<void(uint32_t count, const AudioObjectPropertyAddress* addresses)>;
using AudioObjectPropertyListenerToken = uint64_t;

class SystemObject;
class PlugInHost;
class SimulatedDevice;
class ProcessObject;

// A simulated client process as the server sees it.
struct ProcessSpec {
    int32_t pid = 0;
    std::string bundleID;
    bool runningOutput = false;
};

class CATapDescription;

// What AudioServer::start() is given. Outside the class, so that a member's default value is usable in
// start()'s default argument.
struct AudioServerOptions {
    // The hardware; when absent, <home>/profile.json if it exists, else the built-in profile.
    std::optional<nlohmann::json> profile;
    // The state directory; when absent, $TANDREL_AUDIO_SERVER_HOME, else
    // $XDG_STATE_HOME/tandrel-audio-server (~/.local/state when XDG_STATE_HOME is unset).
    std::optional<std::filesystem::path> home;
    // Where driver plug-ins are loaded from: folders of bundles, or bundles themselves. When absent,
    // <home>/PlugIns (Scripts/install_driver puts the driver there). May go unnamed in an initializer.
    std::optional<std::vector<std::filesystem::path>> plugIns = std::nullopt;
};

class AudioServer : public std::enable_shared_from_this<AudioServer> {
public:
    using Options = AudioServerOptions;

    // Starts a server and makes it the shared one, replacing (and stopping) any earlier one. Throws
    // HardwareProfileError for a bad profile.
    static std::shared_ptr<AudioServer> start(Options options = {});
    // The running server, or null before start() and after stop(). Client calls made then fail with
    // kAudioHardwareNotRunningError.
    static std::shared_ptr<AudioServer> shared();
    // Stops the shared server: no listener is called afterwards; objects answer '!obj'.
    static void stop();
    // The state directory used when Options::home is absent, from the environment at the call.
    static std::filesystem::path defaultHome();

    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    const std::filesystem::path& home() const { return home_; }

    // ---- Client interface ----
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address);
    OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                bool* outSettable);
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t* outDataSize);
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                             void* outData);
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                             const void* data);
    // Wildcards are allowed in the address. The listener runs asynchronously on `queue` after each change
    // of a matching property; once removal returns it is never called again (a call already running on
    // another thread finishes).
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::shared_ptr<DispatchQueue> queue, AudioObjectPropertyListener listener,
                                 AudioObjectPropertyListenerToken* outToken);
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerToken token);
    // Device IO, as the client calls of AudioServerClient.h describe it.
    OSStatus createIOProc(AudioObjectID device, std::shared_ptr<DispatchQueue> queue,
                          AudioDeviceIOBlock block, AudioDeviceIOProcID* outID);
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID procID);
    OSStatus startIOProc(AudioObjectID device, AudioDeviceIOProcID procID);
    OSStatus stopIOProc(AudioObjectID device, AudioDeviceIOProcID procID);
    // Process taps and aggregate devices, as ProcessTap.h and AggregateDevice.h describe them.
    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID);
    OSStatus destroyProcessTap(AudioObjectID tap);
    OSStatus createAggregateDevice(PLRef description, AudioObjectID* outDeviceID);
    OSStatus destroyAggregateDevice(AudioObjectID device);

    // ---- Test hooks (each announces what it changes, like the real hardware would) ----
    AudioObjectID addDevice(DeviceSpec record); // throws HardwareProfileError for a bad record or a taken UID
    bool removeDevice(const std::string& uid);
    bool renameDevice(const std::string& uid, const std::string& name);
    // Any rate within HardwareLimits; it joins the list.
    bool setNominalSampleRate(const std::string& uid, double rate);
    // False for a stream without channels or a device beyond HardwareLimits' channels.
    bool setStreamLayout(const std::string& uid, AudioObjectPropertyScope scope,
                         std::vector<uint32_t> channels);
    AudioObjectID deviceID(const std::string& uid) const; // kAudioObjectUnknown when absent
    AudioObjectID addProcess(ProcessSpec record);
    bool removeProcess(int32_t pid);
    bool setProcessRunningOutput(int32_t pid, bool running);
    // Simulated applications: launched into the shared workspace and listed as process objects; their
    // signal reaches every tap that includes them. addApplication returns the pid and throws
    // HardwareProfileError for a bad record, std::invalid_argument for a pid already running.
    int32_t addApplication(ApplicationSpec record);
    bool removeApplication(int32_t pid);                        // terminates it in the workspace too
    bool setApplicationSignal(int32_t pid, InputSignal signal); // false for an unknown pid or a bad signal
    // What each simulated application plays now (silence unless it runs output), in launch order; the
    // screen-capture streams mix their audio from it.
    struct ApplicationSnapshot {
        int32_t pid = 0;
        std::string bundleID;
        InputSignal signal;
    };
    std::vector<ApplicationSnapshot> applications() const;
    // Every later aggregate-device creation fails with `status`; 0 lets them succeed again.
    void failAggregateCreation(OSStatus status);
    std::vector<AudioObjectID> tapList() const;
    std::vector<AudioObjectID> aggregateDeviceList() const;
    // Makes the operations in `operations` on one property of one object fail with `status`. A status of
    // 0 makes a get succeed without a value (a NULL reference for reference-valued properties).
    enum Operation : uint32_t { get = 1, getSize = 2, set = 4, all = 7 };
    void refuseProperty(AudioObjectID object, AudioObjectPropertySelector selector, OSStatus status,
                        uint32_t operations = all);
    // Makes one property of one object absent, as on an object whose driver predates it: has answers
    // false and every get, size query or set fails with kAudioHardwareUnknownPropertyError.
    void hideProperty(AudioObjectID object, AudioObjectPropertySelector selector);
    // Makes gets of one property of one object answer `value` (a +1 reference each, 8 bytes), as a
    // driver of another version might; the server keeps its own reference. Cleared by clearRefusals.
    void answerProperty(AudioObjectID object, AudioObjectPropertySelector selector, PLRef value);
    // Every later start of an IO proc on the device fails with `status` (a device another client holds
    // exclusively, say); 0 lets starts succeed again.
    void refuseDeviceStart(AudioObjectID device, OSStatus status);
    void clearRefusals(); // and the hidden properties
    // Property listeners registered now, over every object and client.
    std::size_t listenerCount() const;

    // ---- Test hooks for device IO ----
    // Makes the device keep the last `frames` frames it plays, from its next cycle (or start) on; 0
    // stops recording. Devices record nothing unless asked. False for an unknown device.
    bool recordOutput(const std::string& uid, uint32_t frames);
    // The last `frames` frames the device recorded (see recordOutput) since it last started, interleaved
    // over its output channels, with the sample time of the first; nothing for an unknown device. The
    // record restarts when it is asked for and when the device's rate, buffer size or layout changes.
    std::optional<RecordedOutput> recordedOutput(const std::string& uid, uint32_t frames) const;
    // Cycles the device skipped because its IO was held up past their time (DeviceIO::skippedCycles);
    // nothing for an unknown device.
    std::optional<uint64_t> skippedCycles(const std::string& uid) const;
    // What the device's inputs play from its next cycle on (the profile's "inputSignal").
    bool setInputSignal(const std::string& uid, InputSignal signal);
    // The device clock's drift in ppm (the profile's "clockDriftPpm"), from its next cycle on; false
    // for an unknown device or a drift beyond HardwareLimits (±10000 ppm).
    bool setClockDrift(const std::string& uid, double ppm);
    // Devices whose IO runs in this process, over every server (teardown tests expect 0).
    static std::size_t runningIOCount() { return DeviceIO::runningCount(); }

    // ---- For the server's objects ----
    std::mutex& modelMutex() const { return modelMutex_; }
    // Announces changes to listeners. Never call with the model lock held.
    void announce(const PropertyChanges& changes);
    // Model lock held for the accessors below.
    const std::vector<AudioObjectID>& deviceListLocked() const { return deviceOrder_; }
    const std::vector<AudioObjectID>& processListLocked() const { return processOrder_; }
    const std::vector<AudioObjectID>& tapListLocked() const { return tapOrder_; }
    // What a new tap's format is: float32 stereo at the default system output's rate.
    AudioStreamBasicDescription tapFormatLocked() const;
    // Hands every aggregate device the current mix of its tap; call after any change to taps,
    // processes or what they play.
    void refreshTapMixesLocked();
    AudioObjectID processForPIDLocked(int32_t pid) const;
    AudioObjectID deviceForUIDLocked(const std::string& uid) const;
    AudioObjectID plugInForBundleIDLocked(const std::string& bundleID) const;
    std::vector<AudioObjectID> plugInListLocked() const;
    AudioObjectID defaultDeviceLocked(AudioObjectPropertySelector which) const;
    OSStatus setDefaultDeviceLocked(AudioObjectPropertySelector which, AudioObjectID device,
                                    PropertyChanges& changes);

private:
    friend class PlugInHost; // publishes a plug-in's objects and devices in the registry
    struct Listener;
    struct Refusal {
        OSStatus status;
        uint32_t operations;
    };

    AudioServer(HardwareProfile profile, std::filesystem::path home);
    void shutDown();
    std::shared_ptr<AudioObject> object(AudioObjectID id) const;
    std::shared_ptr<DeviceIO> deviceIO(AudioObjectID id, OSStatus* status) const;
    // A device leaving the registry: its IO may still be ending, and a client stopping its procs waits
    // for that end (see `waitForDeparted`).
    void departLocked(AudioObjectID id, const std::shared_ptr<DeviceIO>& io);
    void waitForDeparted(AudioObjectID id) const;
    std::optional<Refusal> refusal(AudioObjectID id, AudioObjectPropertySelector selector,
                                   Operation op) const;
    bool hasPropertyHidden(AudioObjectID id, AudioObjectPropertySelector selector) const;
    PLOwner answer(AudioObjectID id, AudioObjectPropertySelector selector) const;
    AudioObjectID nextObjectIDLocked() { return nextObjectID_++; }
    AudioObjectID addDeviceLocked(DeviceSpec record);
    void removeObjectLocked(AudioObjectID id);
    std::shared_ptr<SimulatedDevice> deviceLocked(const std::string& uid) const;
    std::shared_ptr<ProcessObject> processLocked(int32_t pid) const;
    void replaceDefaultsAfterRemovalLocked(AudioObjectID removed, PropertyChanges& changes);
    InputSignal tapMixLocked(const CATapDescription& description) const;
    // The description of the tap with this UUID; null when there is none.
    const CATapDescription* tapDescriptionLocked(const std::string& uuid) const;
    void launchApplications(const std::vector<ApplicationSpec>& applications);

    const std::filesystem::path home_;

    mutable std::mutex modelMutex_;
    bool running_ = true;
    AudioObjectID nextObjectID_ = 2; // never reused, so a stale id can never name a newer object
    std::map<AudioObjectID, std::shared_ptr<AudioObject>> objects_;
    std::map<AudioObjectID, std::weak_ptr<DeviceIO>> departed_; // devices removed, by their last id
    std::vector<AudioObjectID> deviceOrder_;
    std::vector<AudioObjectID> processOrder_;
    std::map<std::string, AudioObjectID> plugInsByBundleID_;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    AudioObjectID defaultSystemOutput_ = kAudioObjectUnknown;
    std::map<std::pair<AudioObjectID, AudioObjectPropertySelector>, Refusal> refusals_;
    std::set<std::pair<AudioObjectID, AudioObjectPropertySelector>> hidden_;
    std::map<std::pair<AudioObjectID, AudioObjectPropertySelector>, PLOwner> answers_;
    std::vector<AudioObjectID> tapOrder_;
    std::map<AudioObjectID, std::string> aggregateTaps_; // aggregate device → its tap's UUID ("" for none)
    OSStatus aggregateFailure_ = kAudioHardwareNoError;
    std::map<AudioObjectID, OSStatus> startRefusals_;
    std::vector<int32_t> applications_; // pids launched into the workspace

    std::vector<std::shared_ptr<PlugInHost>> plugInHosts_; // set once, before the server is shared

    mutable std::mutex listenerMutex_;
    std::vector<std::shared_ptr<Listener>> listeners_;
    AudioObjectPropertyListenerToken nextToken_ = 1;
};
