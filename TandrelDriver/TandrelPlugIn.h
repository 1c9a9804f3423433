// The plug-in object (object 1): it owns the line devices, answers the plug-in's own properties, routes
// every other object's calls to the device that owns the object, and keeps the line list and the line
// volumes in the host's storage. The driver's interface table calls into the current instance.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/AudioServer/PropertyList/PLOwner.h"
#include "TandrelDriver/DriverRuntime.h"
#include "TandrelDriver/LineList.h"
#include "TandrelDriver/PropertyWriter.h"
#include "TandrelDriver/TandrelDevice.h"

namespace tandrel::driver {

struct SavedVolume {
    float scalar = 1.0f;
    bool muted = false;
    bool operator==(const SavedVolume&) const = default;
};

class TandrelPlugIn : public std::enable_shared_from_this<TandrelPlugIn> {
public:
    static constexpr size_t kMaxRetired = 32;
    static constexpr AudioObjectID kFirstDeviceID = 2;
    static constexpr DriverRuntime::Delay kSaveDelay{1000};
    static constexpr DriverRuntime::Delay kReclaimCheckInterval{30000};
    static constexpr DriverRuntime::Delay kReclaimDeleteDelay{5000};

    explicit TandrelPlugIn(std::shared_ptr<DriverRuntime> runtime);
    ~TandrelPlugIn();
    TandrelPlugIn(const TandrelPlugIn&) = delete;
    TandrelPlugIn& operator=(const TandrelPlugIn&) = delete;

    // The instance the entry points serve; made on first use with the dispatch runtime.
    static TandrelPlugIn& current();
    // Swaps in a fresh instance (tests). Blocks still queued keep the old one alive until they ran.
    static void replaceCurrent(std::shared_ptr<TandrelPlugIn> plugIn);

    // Loads "volumes" and "lines" (or the default lines) from storage and creates the lines, without
    // announcing anything.
    OSStatus initialize(AudioServerPlugInHostRef host);

    // The live or retired device that owns any of its five ids; lock-free.
    TandrelDevice* findDevice(AudioObjectID objectID) const;
    OSStatus getProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                         uint32_t qualifierSize, const void* qualifier, PropertyWriter& writer) const;
    OSStatus isPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                bool* settable) const;
    OSStatus setProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address, uint32_t size,
                         const void* data);

    // Live devices by ascending line number.
    std::vector<TandrelDevice*> currentDevices() const;
    // Makes the live devices match the list; the caller holds the configuration lock.
    LineChanges applyLines(const std::vector<LineConfig>& lines);
    // Records a device's announced volume and mute and schedules the coalesced save.
    void volumeChanged(TandrelDevice& device);

private:
    OSStatus getPlugInProperty(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                               const void* qualifier, PropertyWriter& writer) const;
    OSStatus requestLines(uint32_t size, const void* data);
    void applyRequestedLines(const PLOwner& list);
    void notifyLineChanges(const LineChanges& changes);
    void saveLinesLater(const PLOwner& list);
    void saveVolumes();
    void loadVolumes(PLRef stored);
    PLRef copyLineList() const;
    void retire(TandrelDevice* device);
    void scheduleReclaim(size_t index);
    void reclaim(size_t index);
    AudioServerPlugInHostRef host() const { return context_->currentHost(); }
    DriverRuntime& runtime() const { return *context_->runtime; }

    const std::shared_ptr<DriverContext> context_;

    // Held by initialize and around every line-list application.
    std::mutex configMutex_;
    // The order of slots carries no meaning; readers load them without a lock.
    std::array<std::atomic<TandrelDevice*>, kMaxLines> slots_{};
    // Removed lines that the host may still use; found by findDevice until reclaimed.
    std::array<std::atomic<TandrelDevice*>, kMaxRetired> retired_{};
    // Under configMutex_. Ids are never reused.
    AudioObjectID nextObjectID_ = kFirstDeviceID;

    std::mutex volumeMutex_;
    // Every line whose volume was ever stored or loaded, so a line that comes back gets its state back.
    std::map<uint32_t, SavedVolume> volumes_;
    std::atomic<bool> volumeSavePending_{false};
};

} // namespace tandrel::driver
