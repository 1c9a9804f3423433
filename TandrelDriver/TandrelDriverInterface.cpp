// The driver's exported factory and its interface table: reference counting, interface lookup and the
// entry points, each forwarded to the plug-in object or to the line device that owns the object id.
#include <exception>

#include "TandrelDriver/DriverLog.h"
#include "TandrelDriver/TandrelDriverTesting.h"
#include "TandrelDriver/TandrelPlugIn.h"

using namespace tandrel::driver;

namespace {

std::atomic<uint32_t> gRefCount{0};

extern AudioServerPlugInDriverInterface gInterface;
AudioServerPlugInDriverInterface* gInterfacePtr = &gInterface;

AudioServerPlugInDriverRef driverRef() {
    return &gInterfacePtr;
}

bool isDriver(AudioServerPlugInDriverRef driver) {
    return driver == driverRef();
}

TandrelPlugIn& plugIn() {
    return TandrelPlugIn::current();
}

// Nothing may throw across the table; a failed allocation is reported like any other refusal.
template <typename Body>
OSStatus guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        driverLog().error("Entry point failed: {}", e.what());
        return kAudioHardwareUnspecifiedError;
    }
}

HRESULT QueryInterface(AudioServerPlugInDriverRef driver, AudioServerPlugInUUID interfaceID,
                       void** outInterface) {
    static const AudioServerPlugInUUID kIUnknown = kIUnknownUUID_INIT;
    static const AudioServerPlugInUUID kDriverInterface = kAudioServerPlugInDriverInterfaceUUID_INIT;
    if (!isDriver(driver) || outInterface == nullptr) {
        return static_cast<HRESULT>(kAudioHardwareBadObjectError);
    }
    if (!AudioServerPlugInUUIDEqual(&interfaceID, &kIUnknown) &&
        !AudioServerPlugInUUIDEqual(&interfaceID, &kDriverInterface)) {
        return TD_E_NOINTERFACE;
    }
    gRefCount.fetch_add(1, std::memory_order_relaxed);
    *outInterface = driverRef();
    return TD_S_OK;
}

uint32_t AddRef(AudioServerPlugInDriverRef driver) {
    if (!isDriver(driver)) {
        return 0;
    }
    return gRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The driver lives as long as the server; a count of 0 destroys nothing and never goes below 0.
uint32_t Release(AudioServerPlugInDriverRef driver) {
    if (!isDriver(driver)) {
        return 0;
    }
    uint32_t count = gRefCount.load(std::memory_order_relaxed);
    while (count > 0 && !gRefCount.compare_exchange_weak(count, count - 1, std::memory_order_relaxed)) {
    }
    return count > 0 ? count - 1 : 0;
}

OSStatus Initialize(AudioServerPlugInDriverRef, AudioServerPlugInHostRef host) {
    return guarded([&] { return plugIn().initialize(host); });
}

OSStatus CreateDevice(AudioServerPlugInDriverRef, PLRef, const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus DestroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus knownDevice(AudioObjectID objectID) {
    return plugIn().findDevice(objectID) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID objectID,
                         const AudioServerPlugInClientInfo*) {
    return knownDevice(objectID);
}

OSStatus RemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID objectID,
                            const AudioServerPlugInClientInfo*) {
    return knownDevice(objectID);
}

OSStatus PerformDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID objectID, uint64_t action,
                                          void*) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    if (!device) {
        return kAudioHardwareBadObjectError;
    }
    return guarded([&] { return device->performConfigurationChange(action); });
}

OSStatus AbortDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID objectID, uint64_t, void*) {
    return knownDevice(objectID);
}

bool HasProperty(AudioServerPlugInDriverRef, AudioObjectID objectID, int32_t,
                 const AudioObjectPropertyAddress* address) {
    PropertyWriter probe = PropertyWriter::sizeQuery();
    return guarded([&] { return plugIn().getProperty(objectID, address, 0, nullptr, probe); }) ==
           kAudioHardwareNoError;
}

OSStatus IsPropertySettable(AudioServerPlugInDriverRef, AudioObjectID objectID, int32_t,
                            const AudioObjectPropertyAddress* address, bool* outSettable) {
    return guarded([&] { return plugIn().isPropertySettable(objectID, address, outSettable); });
}

OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef, AudioObjectID objectID, int32_t,
                             const AudioObjectPropertyAddress* address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t* outSize) {
    if (outSize == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return guarded([&] {
        PropertyWriter writer = PropertyWriter::sizeQuery();
        const OSStatus status = plugIn().getProperty(objectID, address, qualifierSize, qualifier, writer);
        if (status == kAudioHardwareNoError) {
            *outSize = writer.written;
        }
        return status;
    });
}

OSStatus GetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, int32_t,
                         const AudioObjectPropertyAddress* address, uint32_t qualifierSize,
                         const void* qualifier, uint32_t dataSize, uint32_t* outSize, void* outData) {
    if (outSize == nullptr || outData == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return guarded([&] {
        PropertyWriter writer{dataSize, outData, 0};
        const OSStatus status = plugIn().getProperty(objectID, address, qualifierSize, qualifier, writer);
        if (status == kAudioHardwareNoError) {
            *outSize = writer.written;
        }
        return status;
    });
}

OSStatus SetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, int32_t,
                         const AudioObjectPropertyAddress* address, uint32_t, const void*, uint32_t dataSize,
                         const void* data) {
    return guarded([&] { return plugIn().setProperty(objectID, address, dataSize, data); });
}

OSStatus StartIO(AudioServerPlugInDriverRef, AudioObjectID objectID, uint32_t) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    return device ? device->startIO() : kAudioHardwareBadObjectError;
}

OSStatus StopIO(AudioServerPlugInDriverRef, AudioObjectID objectID, uint32_t) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    if (!device) {
        driverLog().error("StopIO for unknown device {}", objectID);
        return kAudioHardwareBadObjectError;
    }
    return device->stopIO();
}

OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID objectID, uint32_t, double* outSampleTime,
                          uint64_t* outHostTime, uint64_t* outSeed) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    return device ? device->getZeroTimeStamp(outSampleTime, outHostTime, outSeed)
                  : kAudioHardwareBadObjectError;
}

OSStatus WillDoIOOperation(AudioServerPlugInDriverRef, AudioObjectID objectID, uint32_t, uint32_t operation,
                           bool* outWillDo, bool* outInPlace) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    return device ? device->willDoIOOperation(operation, outWillDo, outInPlace)
                  : kAudioHardwareBadObjectError;
}

OSStatus BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID, uint32_t, uint32_t, uint32_t,
                          const AudioServerPlugInIOCycleInfo*) {
    return kAudioHardwareNoError;
}

OSStatus DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID objectID, AudioObjectID streamID, uint32_t,
                       uint32_t operation, uint32_t frames, const AudioServerPlugInIOCycleInfo* cycle,
                       void* mainBuffer, void*) {
    TandrelDevice* device = plugIn().findDevice(objectID);
    return device ? device->doIOOperation(streamID, operation, frames, cycle, mainBuffer)
                  : kAudioHardwareBadObjectError;
}

OSStatus EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, uint32_t, uint32_t, uint32_t,
                        const AudioServerPlugInIOCycleInfo*) {
    return kAudioHardwareNoError;
}

AudioServerPlugInDriverInterface gInterface = {
    nullptr,
    QueryInterface,
    AddRef,
    Release,
    Initialize,
    CreateDevice,
    DestroyDevice,
    AddDeviceClient,
    RemoveDeviceClient,
    PerformDeviceConfigurationChange,
    AbortDeviceConfigurationChange,
    HasProperty,
    IsPropertySettable,
    GetPropertyDataSize,
    GetPropertyData,
    SetPropertyData,
    StartIO,
    StopIO,
    GetZeroTimeStamp,
    WillDoIOOperation,
    BeginIOOperation,
    DoIOOperation,
    EndIOOperation,
};

} // namespace

extern "C" __attribute__((visibility("default"))) void*
TandrelDriver_Create(void* /*allocator*/, const AudioServerPlugInUUID* requestedTypeUUID) {
    static const AudioServerPlugInUUID kPlugInType = kAudioServerPlugInTypeUUID_INIT;
    if (requestedTypeUUID == nullptr || !AudioServerPlugInUUIDEqual(requestedTypeUUID, &kPlugInType)) {
        return nullptr;
    }
    driverLog().info("Factory called");
    return driverRef();
}

namespace tandrel::driver {

void resetDriverForTesting(std::shared_ptr<DriverRuntime> runtime) {
    TandrelDevice::sVolumeChanged.store(nullptr, std::memory_order_release);
    TandrelPlugIn::replaceCurrent(std::make_shared<TandrelPlugIn>(std::move(runtime)));
    gRefCount.store(0, std::memory_order_relaxed);
}

uint32_t driverRefCountForTesting() {
    return gRefCount.load(std::memory_order_relaxed);
}

} // namespace tandrel::driver
