/* The contract between the audio server and the driver plug-ins it loads: the driver's interface table,
 * the host table a driver calls back through, the IO-cycle records, the type and interface identifiers
 * and the status codes. The emulated audio server implements the host side; each driver bundle exports
 * one factory that hands out its interface table. Plain C, so both tables cross a dlopen boundary. */
#ifndef PLATFORM_AUDIOSERVER_AUDIOSERVERPLUGIN_H
#define PLATFORM_AUDIOSERVER_AUDIOSERVERPLUGIN_H

#include <stdbool.h>
#include <stdint.h>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records that the driver's property data carry (addresses, ranges and time stamps are in
 * CoreAudioTypes.h) ---- */

/* A stream format offered over a range of sample rates, 56 bytes. */
typedef struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
} AudioStreamRangedDescription;

typedef uint32_t AudioChannelLabel;
typedef uint32_t AudioChannelLayoutTag;

enum {
    kAudioChannelLabel_Left = 1,
    kAudioChannelLabel_Right = 2,
    kAudioChannelLabel_Discrete_0 = (1u << 16) | 0,
    kAudioChannelLayoutTag_UseChannelDescriptions = 0,
};

/* 20 bytes. */
typedef struct AudioChannelDescription {
    AudioChannelLabel mChannelLabel;
    uint32_t mChannelFlags;
    float mCoordinates[3];
} AudioChannelDescription;

/* 12 bytes plus 20 per description; mNumberChannelDescriptions entries follow, the first inline. */
typedef struct AudioChannelLayout {
    AudioChannelLayoutTag mChannelLayoutTag;
    uint32_t mChannelBitmap;
    uint32_t mNumberChannelDescriptions;
    AudioChannelDescription mChannelDescriptions[1];
} AudioChannelLayout;

#define TD_AUDIO_CHANNEL_LAYOUT_SIZE(n) (12u + 20u * (uint32_t)(n))

/* One entry of a plug-in object's custom property list, 12 bytes. Custom properties whose data type is
 * kAudioServerPlugInCustomPropertyDataTypeCFPropertyList carry one 8-byte PLRef. */
typedef struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    uint32_t mPropertyDataType;
    uint32_t mQualifierDataType;
} AudioServerPlugInCustomPropertyInfo;

enum {
    kAudioServerPlugInCustomPropertyDataTypeNone = 0,
    kAudioServerPlugInCustomPropertyDataTypeCFString = TD_FOURCC('c', 'f', 's', 't'),
    kAudioServerPlugInCustomPropertyDataTypeCFPropertyList = TD_FOURCC('p', 'l', 's', 't'),
};

/* ---- Status codes (the audio server's own are in CoreAudioTypes.h) ---- */

/* COM-style results of QueryInterface. */
typedef int32_t HRESULT;
#define TD_S_OK ((HRESULT)0)
#define TD_E_NOINTERFACE ((HRESULT)0x80000004u)

/* ---- Identifiers ---- */

/* A 16-byte identifier in its textual byte order (the first byte is the first two hex digits). */
typedef struct AudioServerPlugInUUID {
    uint8_t bytes[16];
} AudioServerPlugInUUID;

#define TD_UUID_INIT(b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15)                   \
    {                                                                                                        \
        { b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15 }                             \
    }

/* The plug-in type a factory is asked for: 443ABAB8-E7B3-491A-B985-BEB9187030DB. */
#define kAudioServerPlugInTypeUUID_INIT                                                                      \
    TD_UUID_INIT(0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30,   \
                 0xDB)
#define kAudioServerPlugInTypeUUIDString "443ABAB8-E7B3-491A-B985-BEB9187030DB"

/* The driver interface: EEA5773D-CC43-49F1-8E00-8F96E7D23B17. */
#define kAudioServerPlugInDriverInterfaceUUID_INIT                                                           \
    TD_UUID_INIT(0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, 0x8F, 0x96, 0xE7, 0xD2, 0x3B,   \
                 0x17)

/* The base interface every table answers: 00000000-0000-0000-C000-000000000046. */
#define kIUnknownUUID_INIT                                                                                   \
    TD_UUID_INIT(0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   \
                 0x46)

static inline bool AudioServerPlugInUUIDEqual(const AudioServerPlugInUUID* a,
                                              const AudioServerPlugInUUID* b) {
    for (int i = 0; i < 16; ++i) {
        if (a->bytes[i] != b->bytes[i]) {
            return false;
        }
    }
    return true;
}

/* ---- IO ---- */

enum {
    kAudioServerPlugInIOOperationThread = TD_FOURCC('t', 'h', 'r', 'd'),
    kAudioServerPlugInIOOperationCycle = TD_FOURCC('c', 'y', 'c', 'l'),
    kAudioServerPlugInIOOperationReadInput = TD_FOURCC('r', 'e', 'a', 'd'),
    kAudioServerPlugInIOOperationConvertInput = TD_FOURCC('c', 'i', 'n', 'p'),
    kAudioServerPlugInIOOperationProcessInput = TD_FOURCC('p', 'i', 'n', 'p'),
    kAudioServerPlugInIOOperationProcessOutput = TD_FOURCC('p', 'o', 'u', 't'),
    kAudioServerPlugInIOOperationMixOutput = TD_FOURCC('m', 'i', 'x', 'o'),
    kAudioServerPlugInIOOperationProcessMix = TD_FOURCC('p', 'm', 'i', 'x'),
    kAudioServerPlugInIOOperationConvertMix = TD_FOURCC('c', 'm', 'i', 'x'),
    kAudioServerPlugInIOOperationWriteMix = TD_FOURCC('r', 'i', 't', 'e'),
};

/* What the host knows about one IO cycle of a device. Input time is where the cycle's ReadInput reads,
 * output time where its WriteMix writes, both on the device's own timeline. */
typedef struct AudioServerPlugInIOCycleInfo {
    uint64_t mIOCycleCounter;
    uint32_t mNominalIOBufferFrameSize;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    AudioTimeStamp mCurrentTime;
    double mMainHostTicksPerFrame;
    double mDeviceHostTicksPerFrame;
} AudioServerPlugInIOCycleInfo;

/* The client a device call is made for. */
typedef struct AudioServerPlugInClientInfo {
    uint32_t mClientID;
    int32_t mProcessID;
    bool mIsNativeEndian;
    PLRef mBundleID;
} AudioServerPlugInClientInfo;

/* ---- The host table ---- */

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;

/* Offered to the driver in Initialize and valid for the driver's whole life. Every entry may be called
 * from any driver thread, including from inside a driver entry point the host is running, so the host
 * must queue what it does with a notification rather than call back into the driver. */
struct AudioServerPlugInHostInterface {
    /* The listed properties of the object changed; the host re-reads them and tells its clients. */
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef host, AudioObjectID objectID,
                                  uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses);
    /* The value stored under key, +1 (the driver releases it); *outData is NULL when there is none. */
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef host, const char* key, PLRef* outData);
    /* Stores data under key (the host keeps its own reference); it survives a restart of the server. */
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef host, const char* key, PLRef data);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef host, const char* key);
    /* Asks the host to stop IO on the device, call PerformDeviceConfigurationChange with the same
     * action and info, and resume. Returns at once; the change happens later on a host thread. */
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                 uint64_t changeAction, void* changeInfo);
};

/* ---- The driver table ---- */

typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;
/* What a factory returns: a pointer to the driver's pointer to its table. Every entry gets it back. */
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

/* The slots in their fixed order. Object-valued answers (device lists, owners) use the driver's own
 * object ids; the plug-in object is 1. Property data are byte buffers whose layouts the properties
 * define; strings, arrays and dictionaries travel as 8-byte PLRefs handed out +1. */
struct AudioServerPlugInDriverInterface {
    void* _reserved;

    /* Reference counting and interface lookup, COM style. */
    HRESULT(*QueryInterface)
    (AudioServerPlugInDriverRef driver, AudioServerPlugInUUID interfaceID, void** outInterface);
    uint32_t (*AddRef)(AudioServerPlugInDriverRef driver);
    uint32_t (*Release)(AudioServerPlugInDriverRef driver);

    /* Called once after the factory, before any other entry but the three above. */
    OSStatus (*Initialize)(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef driver, PLRef description,
                             const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                const AudioServerPlugInClientInfo* clientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                   const AudioServerPlugInClientInfo* clientInfo);
    /* Carries out what the driver asked for with RequestDeviceConfigurationChange; IO is stopped. */
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                                 AudioObjectID deviceObjectID, uint64_t changeAction,
                                                 void* changeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                               AudioObjectID deviceObjectID, uint64_t changeAction,
                                               void* changeInfo);

    /* Properties. clientProcessID is the calling client's process id, 0 for the server itself. */
    bool (*HasProperty)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, int32_t clientProcessID,
                        const AudioObjectPropertyAddress* address);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                   int32_t clientProcessID, const AudioObjectPropertyAddress* address,
                                   bool* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                    int32_t clientProcessID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierDataSize, const void* qualifierData,
                                    uint32_t* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                int32_t clientProcessID, const AudioObjectPropertyAddress* address,
                                uint32_t qualifierDataSize, const void* qualifierData, uint32_t dataSize,
                                uint32_t* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                int32_t clientProcessID, const AudioObjectPropertyAddress* address,
                                uint32_t qualifierDataSize, const void* qualifierData, uint32_t dataSize,
                                const void* data);

    /* IO. Start and stop are counted per device; the rest run on the host's real-time IO thread. */
    OSStatus (*StartIO)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                 uint32_t clientID, double* outSampleTime, uint64_t* outHostTime,
                                 uint64_t* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                  uint32_t clientID, uint32_t operationID, bool* outWillDo,
                                  bool* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                 uint32_t clientID, uint32_t operationID, uint32_t ioBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* ioCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                              AudioObjectID streamObjectID, uint32_t clientID, uint32_t operationID,
                              uint32_t ioBufferFrameSize, const AudioServerPlugInIOCycleInfo* ioCycleInfo,
                              void* ioMainBuffer, void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                               uint32_t clientID, uint32_t operationID, uint32_t ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* ioCycleInfo);
};

/* The factory every driver bundle exports under the name its Info.json gives: the driver reference
 * for the plug-in type, NULL for any other type. allocator is unused and may be NULL. */
typedef void* (*AudioServerPlugInFactoryFunction)(void* allocator,
                                                  const AudioServerPlugInUUID* requestedTypeUUID);

#ifdef __cplusplus
}
#endif

#endif
