// The plug-in object: its lifetime, Initialize, the routing of property calls by object id, and the
// plug-in's own properties.
#include "TandrelDriver/TandrelPlugIn.h"

#include <algorithm>

#include "TandrelDriver/DriverCodes.h"
#include "TandrelDriver/DriverLog.h"

namespace tandrel::driver {

namespace {

std::mutex gCurrentMutex;
// Never destroyed: the server's threads may still call in while the process exits, and the bundle is
// never unloaded.
std::shared_ptr<TandrelPlugIn>& gCurrentOwner = *new std::shared_ptr<TandrelPlugIn>;
std::atomic<TandrelPlugIn*> gCurrent{nullptr};

void volumeChangedHook(TandrelDevice& device) {
    TandrelPlugIn::current().volumeChanged(device);
}

const std::vector<LineConfig>& defaultLines() {
    static const std::vector<LineConfig> lines = {{1, 2, nullptr}, {2, 64, nullptr}};
    return lines;
}

// What the server stored under `key`; empty when there is no host or nothing stored.
PLOwner copyFromStorage(AudioServerPlugInHostRef host, const char* key) {
    PLRef stored = nullptr;
    if (!host || host->CopyFromStorage(host, key, &stored) != kAudioHardwareNoError) {
        return {};
    }
    return PLOwner::adopt(stored);
}

} // namespace

TandrelPlugIn::TandrelPlugIn(std::shared_ptr<DriverRuntime> runtime)
    : context_(std::make_shared<DriverContext>(std::move(runtime))) {}

TandrelPlugIn::~TandrelPlugIn() {
    for (auto& slot : slots_) {
        delete slot.exchange(nullptr);
    }
    for (auto& slot : retired_) {
        delete slot.exchange(nullptr);
    }
}

TandrelPlugIn& TandrelPlugIn::current() {
    if (TandrelPlugIn* plugIn = gCurrent.load(std::memory_order_acquire)) {
        return *plugIn;
    }
    std::lock_guard guard(gCurrentMutex);
    if (!gCurrentOwner) {
        gCurrentOwner = std::make_shared<TandrelPlugIn>(makeDispatchRuntime());
        gCurrent.store(gCurrentOwner.get(), std::memory_order_release);
    }
    return *gCurrentOwner;
}

void TandrelPlugIn::replaceCurrent(std::shared_ptr<TandrelPlugIn> plugIn) {
    std::lock_guard guard(gCurrentMutex);
    gCurrent.store(plugIn.get(), std::memory_order_release);
    gCurrentOwner = std::move(plugIn);
}

OSStatus TandrelPlugIn::initialize(AudioServerPlugInHostRef host) {
    context_->host.store(host, std::memory_order_release);
    std::lock_guard guard(configMutex_);
    TandrelDevice::sVolumeChanged.store(&volumeChangedHook, std::memory_order_release);

    const PLOwner volumes = copyFromStorage(host, "volumes");
    if (PLGetType(volumes.get()) == PLTypeDictionary) {
        std::lock_guard volumeGuard(volumeMutex_);
        loadVolumes(volumes.get());
    }

    const PLOwner stored = copyFromStorage(host, "lines");
    std::vector<LineConfig> lines;
    const bool useStored = parseLines(stored.get(), lines) && !lines.empty();
    applyLines(useStored ? lines : defaultLines());

    driverLog().info("Initialized with {} line(s)", currentDevices().size());
    return kAudioHardwareNoError;
}

TandrelDevice* TandrelPlugIn::findDevice(AudioObjectID objectID) const {
    const auto findIn = [objectID](const auto& slots) -> TandrelDevice* {
        for (const auto& slot : slots) {
            TandrelDevice* device = slot.load(std::memory_order_acquire);
            if (device && device->ownsObject(objectID)) {
                return device;
            }
        }
        return nullptr;
    };
    TandrelDevice* device = findIn(slots_);
    return device ? device : findIn(retired_);
}

std::vector<TandrelDevice*> TandrelPlugIn::currentDevices() const {
    std::vector<TandrelDevice*> devices;
    for (const auto& slot : slots_) {
        if (TandrelDevice* device = slot.load(std::memory_order_acquire)) {
            devices.push_back(device);
        }
    }
    std::sort(devices.begin(), devices.end(), [](const TandrelDevice* a, const TandrelDevice* b) {
        return a->lineNumber() < b->lineNumber();
    });
    return devices;
}

OSStatus TandrelPlugIn::getProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier,
                                    PropertyWriter& writer) const {
    if (address == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (objectID == kPlugInObjectID) {
        return getPlugInProperty(*address, qualifierSize, qualifier, writer);
    }
    if (TandrelDevice* device = findDevice(objectID)) {
        return device->getProperty(objectID, *address, qualifierSize, qualifier, writer);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus TandrelPlugIn::isPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                           bool* settable) const {
    if (address == nullptr || settable == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (objectID == kPlugInObjectID) {
        PropertyWriter probe = PropertyWriter::sizeQuery();
        const OSStatus status = getPlugInProperty(*address, 0, nullptr, probe);
        if (status == kAudioHardwareNoError) {
            *settable = address->mSelector == sel::kLines;
        }
        return status;
    }
    if (TandrelDevice* device = findDevice(objectID)) {
        return device->isPropertySettable(objectID, *address, *settable);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus TandrelPlugIn::setProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t size, const void* data) {
    if (address == nullptr || data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (objectID == kPlugInObjectID) {
        if (address->mSelector != sel::kLines) {
            return kAudioHardwareUnknownPropertyError;
        }
        return requestLines(size, data);
    }
    if (TandrelDevice* device = findDevice(objectID)) {
        return device->setProperty(objectID, *address, size, data);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus TandrelPlugIn::getPlugInProperty(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                          const void* qualifier, PropertyWriter& w) const {
    switch (address.mSelector) {
    case sel::kBaseClass:
        return w.value(cls::kObject);
    case sel::kClass:
        return w.value(cls::kPlugIn);
    case sel::kOwner:
        return w.value(AudioObjectID{kAudioObjectUnknown});
    case sel::kManufacturer:
        return w.newString("qorvix");
    case sel::kResourceBundle:
        return w.newString("");
    case sel::kBoxList:
        return w.empty();
    case sel::kDeviceList:
    case sel::kOwnedObjects: {
        std::vector<AudioObjectID> ids;
        for (const TandrelDevice* device : currentDevices()) {
            ids.push_back(device->deviceID());
        }
        return w.partial(ids.data(), ids.size());
    }
    case sel::kTranslateUIDToBox:
        return w.value(AudioObjectID{kAudioObjectUnknown});
    case sel::kTranslateUIDToDevice: {
        if (w.isSizeQuery()) {
            return w.value(AudioObjectID{kAudioObjectUnknown});
        }
        if (qualifierSize != sizeof(PLRef) || qualifier == nullptr) {
            return kAudioHardwareBadPropertySizeError;
        }
        PLRef uid;
        std::memcpy(&uid, qualifier, sizeof(uid));
        AudioObjectID found = kAudioObjectUnknown;
        if (uid != nullptr) {
            for (const TandrelDevice* device : currentDevices()) {
                if (device->hasUID(uid)) {
                    found = device->deviceID();
                    break;
                }
            }
        }
        return w.value(found);
    }
    case sel::kCustomPropertyInfoList:
        return w.customPropertyInfo({sel::kLines, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, 0});
    case sel::kLines:
        return w.adopt(w.isSizeQuery() ? nullptr : copyLineList());
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

} // namespace tandrel::driver
