// The host side of one driver plug-in loaded into the emulated server: it loads the bundle (and never
// unloads it), offers the driver the host table, maps the driver's object ids into the server's, keeps
// the server's list of the driver's devices, turns the driver's notices into listener notifications,
// carries out the configuration changes the driver asks for with the device's IO paused, and keeps the
// driver's storage. The AudioServer loads one per bundle when it starts and stops them with itself.
//
// Threading. The driver calls the host table from any of its threads, also from inside a call the
// server is making into it; those entries only queue work (or touch the storage), and the work runs on
// the plug-in's serial queue, which is the only place that changes the device list. No call into the
// driver or to a listener is made with the server's model lock held.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/AudioServerPlugIn.h"
#include "Platform/AudioServer/PlugInStorage.h"
#include "Platform/Dispatch/DispatchQueue.h"

class PlugInDevice;
class PlugInObject;

class PlugInHost : public std::enable_shared_from_this<PlugInHost> {
public:
    // Loads every bundle (a folder whose name ends in ".driver") found in `places`, each of which is a
    // folder of bundles or a bundle itself; places that do not exist are skipped. A bundle that fails to
    // load is logged and left out. Its storage lives in <server home>/PlugInStorage/<bundle id>.json.
    static std::vector<std::shared_ptr<PlugInHost>> loadAll(AudioServer& server,
                                                            const std::vector<std::filesystem::path>& places);

    ~PlugInHost();
    PlugInHost(const PlugInHost&) = delete;
    PlugInHost& operator=(const PlugInHost&) = delete;

    const std::string& bundleID() const { return bundleID_; }
    AudioObjectID objectID() const { return objectID_; }
    AudioServerPlugInDriverRef driver() const { return driver_; }
    const AudioServerPlugInDriverInterface& table() const { return **driver_; }

    // A fixed-size property of a driver object; false unless the driver answers with exactly that size.
    template <typename T>
    bool readValue(AudioObjectID local, AudioObjectPropertyAddress address, T* out) const {
        uint32_t size = 0;
        return table().GetPropertyData(driver_, local, 0, &address, 0, nullptr, sizeof(T), &size, out) ==
                   kAudioHardwareNoError &&
               size == sizeof(T);
    }
    // An id-list property of a driver object, in driver ids; false (and `out` empty) when the driver
    // does not answer.
    bool readIDs(AudioObjectID local, AudioObjectPropertyAddress address,
                 std::vector<AudioObjectID>& out) const;

    // The server's id for a driver id (0 stays 0). A driver id met for the first time gets an object
    // that forwards to the driver. Model lock held.
    AudioObjectID globalIDLocked(AudioObjectID local);
    // Rewrites the driver ids of an id-valued answer (lists of objects, owners, translations) into the
    // server's ids; other answers are left alone. Takes the model lock.
    void translateAnswer(AudioObjectID local, AudioObjectPropertySelector selector, void* data,
                         uint32_t size);

    // The server stops: later notices and requests are dropped and the devices' IO stops for good.
    // Whatever the driver still stores reaches the storage file.
    void shutDown();

    // ---- The host table's entries ----
    void propertiesChanged(AudioObjectID local, uint32_t count, const AudioObjectPropertyAddress* addresses);
    void requestConfigurationChange(AudioObjectID local, uint64_t action, void* info);

private:
    struct HostTable;
    struct Notice {
        AudioObjectID local;
        std::vector<AudioObjectPropertyAddress> addresses;
    };
    struct DeviceDescription;

    PlugInHost(std::weak_ptr<AudioServer> server, std::string bundleID, AudioServerPlugInDriverRef driver,
               std::shared_ptr<PlugInStorage> storage);
    static std::shared_ptr<PlugInHost> load(AudioServer& server, const std::filesystem::path& bundle);
    bool initialize();

    // On the plug-in's queue.
    void deliverNotices();
    void syncDevices(PropertyChanges& changes);
    bool describeDevice(AudioObjectID local, DeviceDescription& out) const;
    void performConfigurationChange(AudioObjectID local, uint64_t action, void* info);

    const std::weak_ptr<AudioServer> server_;
    const std::string bundleID_;
    const AudioServerPlugInDriverRef driver_;
    const std::shared_ptr<PlugInStorage> storage_;
    const std::shared_ptr<DispatchQueue> queue_;
    HostTable* hostTable_ = nullptr; // kept for the life of the process: the driver may keep it
    AudioObjectID objectID_ = kAudioObjectUnknown;
    std::atomic<bool> stopped_{false};

    std::mutex noticeMutex_;
    std::vector<Notice> notices_;

    // Model lock held.
    std::map<AudioObjectID, AudioObjectID> globalIDs_; // driver id -> server id
    std::map<AudioObjectID, std::shared_ptr<PlugInDevice>> devices_;
    // Volume and mute controls by driver id: the server id of their device, and whether it is the mute.
    std::map<AudioObjectID, std::pair<AudioObjectID, bool>> controls_;
};
