/* The audio server's plain records: stream formats, buffer lists, object ids, property addresses and
 * status codes. C-compatible, so the real-time core, the driver plug-in and the emulated server share
 * them across the plug-in boundary. */
#ifndef PLATFORM_AUDIOSERVER_COREAUDIOTYPES_H
#define PLATFORM_AUDIOSERVER_COREAUDIOTYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A four-character code, first character in the most significant byte ('lpcm' reads "lpcm"). */
#define TD_FOURCC(a, b, c, d)                                                                                \
    ((uint32_t)(uint8_t)(a) << 24 | (uint32_t)(uint8_t)(b) << 16 | (uint32_t)(uint8_t)(c) << 8 |             \
     (uint32_t)(uint8_t)(d))

typedef int32_t OSStatus;
typedef uint32_t AudioObjectID;
typedef uint32_t AudioFormatID;
typedef uint32_t AudioFormatFlags;

enum { kAudioObjectUnknown = 0, kAudioObjectSystemObject = 1 };

enum { kAudioFormatLinearPCM = TD_FOURCC('l', 'p', 'c', 'm') };

enum {
    kAudioFormatFlagIsFloat = 1u << 0,
    kAudioFormatFlagIsBigEndian = 1u << 1,
    kAudioFormatFlagIsSignedInteger = 1u << 2,
    kAudioFormatFlagIsPacked = 1u << 3,
    kAudioFormatFlagIsNonInterleaved = 1u << 5,
};

/* One stream format, 40 bytes. */
typedef struct AudioStreamBasicDescription {
    double mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
} AudioStreamBasicDescription;

/* One buffer of a buffer list: its channels are interleaved within it. */
typedef struct AudioBuffer {
    uint32_t mNumberChannels;
    uint32_t mDataByteSize;
    void* mData;
} AudioBuffer;

/* A variable-length list: mNumberBuffers entries follow, the first declared inline. Allocate lists of
 * more than one buffer with TD_AUDIO_BUFFER_LIST_SIZE. */
typedef struct AudioBufferList {
    uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

#define TD_AUDIO_BUFFER_LIST_SIZE(n)                                                                         \
    (sizeof(AudioBufferList) - sizeof(AudioBuffer) + (size_t)(n) * sizeof(AudioBuffer))

/* ---- Objects, property addresses and the records property data carry ---- */

typedef uint32_t AudioObjectPropertySelector;
typedef uint32_t AudioObjectPropertyScope;
typedef uint32_t AudioObjectPropertyElement;

enum {
    kAudioObjectPropertyScopeGlobal = TD_FOURCC('g', 'l', 'o', 'b'),
    kAudioObjectPropertyScopeInput = TD_FOURCC('i', 'n', 'p', 't'),
    kAudioObjectPropertyScopeOutput = TD_FOURCC('o', 'u', 't', 'p'),
    kAudioObjectPropertyElementMain = 0,
};

/* 12 bytes. */
typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

/* 16 bytes. */
typedef struct AudioValueRange {
    double mMinimum;
    double mMaximum;
} AudioValueRange;

enum {
    kAudioTimeStampSampleTimeValid = 1u << 0,
    kAudioTimeStampHostTimeValid = 1u << 1,
    kAudioTimeStampRateScalarValid = 1u << 2,
};

/* A point on a device's timeline: sample time in frames, host time in host clock ticks. */
typedef struct AudioTimeStamp {
    double mSampleTime;
    uint64_t mHostTime;
    double mRateScalar;
    uint64_t mWordClockTime;
    uint32_t mFlags;
    uint32_t mReserved;
} AudioTimeStamp;

/* Status codes: four-character codes, except the generic parameter and memory errors. */
enum {
    kAudioHardwareNoError = 0,
    kAudioHardwareUnspecifiedError = TD_FOURCC('w', 'h', 'a', 't'),
    kAudioHardwareUnknownPropertyError = TD_FOURCC('w', 'h', 'o', '?'),
    kAudioHardwareBadPropertySizeError = TD_FOURCC('!', 's', 'i', 'z'),
    kAudioHardwareIllegalOperationError = TD_FOURCC('n', 'o', 'p', 'e'),
    kAudioHardwareBadObjectError = TD_FOURCC('!', 'o', 'b', 'j'),
    kAudioHardwareUnsupportedOperationError = TD_FOURCC('u', 'n', 'o', 'p'),
    kAudioDeviceUnsupportedFormatError = TD_FOURCC('!', 'd', 'a', 't'),
    kAudioHardwareNotRunningError = TD_FOURCC('s', 't', 'o', 'p'),
    kAudioHardwareBadDeviceError = TD_FOURCC('!', 'd', 'e', 'v'),
    kAudioHardwareBadStreamError = TD_FOURCC('!', 's', 't', 'r'),
    kAudioDevicePermissionsError = TD_FOURCC('!', 'h', 'o', 'g'),
    kAudio_ParamError = -50,
    kAudio_MemFullError = -108,
};

typedef uint32_t AudioClassID;

/* Wildcards match any selector, scope or element in listener registrations. */
enum {
    kAudioObjectPropertySelectorWildcard = TD_FOURCC('*', '*', '*', '*'),
    kAudioObjectPropertyScopeWildcard = TD_FOURCC('*', '*', '*', '*'),
};
#define kAudioObjectPropertyElementWildcard ((uint32_t)0xFFFFFFFFu)

/* ---- Object classes ---- */

enum {
    kAudioObjectClassID = TD_FOURCC('a', 'o', 'b', 'j'),
    kAudioSystemObjectClassID = TD_FOURCC('a', 's', 'y', 's'),
    kAudioPlugInClassID = TD_FOURCC('a', 'p', 'l', 'g'),
    kAudioDeviceClassID = TD_FOURCC('a', 'd', 'e', 'v'),
    kAudioAggregateDeviceClassID = TD_FOURCC('a', 'a', 'g', 'g'),
    kAudioStreamClassID = TD_FOURCC('a', 's', 't', 'r'),
    kAudioProcessClassID = TD_FOURCC('c', 'l', 'n', 't'),
    kAudioTapClassID = TD_FOURCC('t', 'c', 'a', 'p'),
};

/* ---- Property selectors clients use ---- */

enum {
    /* Every object. */
    kAudioObjectPropertyClass = TD_FOURCC('c', 'l', 'a', 's'),
    kAudioObjectPropertyBaseClass = TD_FOURCC('b', 'c', 'l', 's'),
    kAudioObjectPropertyOwner = TD_FOURCC('s', 't', 'd', 'v'),
    kAudioObjectPropertyOwnedObjects = TD_FOURCC('o', 'w', 'n', 'd'),
    kAudioObjectPropertyName = TD_FOURCC('l', 'n', 'a', 'm'),
    kAudioObjectPropertyManufacturer = TD_FOURCC('l', 'm', 'a', 'k'),
    /* The system object. */
    kAudioHardwarePropertyDevices = TD_FOURCC('d', 'e', 'v', '#'),
    kAudioHardwarePropertyProcessObjectList = TD_FOURCC('p', 'r', 's', '#'),
    kAudioHardwarePropertyDefaultInputDevice = TD_FOURCC('d', 'I', 'n', ' '),
    kAudioHardwarePropertyDefaultOutputDevice = TD_FOURCC('d', 'O', 'u', 't'),
    kAudioHardwarePropertyDefaultSystemOutputDevice = TD_FOURCC('s', 'O', 'u', 't'),
    kAudioHardwarePropertyTranslatePIDToProcessObject = TD_FOURCC('i', 'd', '2', 'p'),
    kAudioHardwarePropertyTranslateBundleIDToPlugIn = TD_FOURCC('b', 'i', 'd', 'p'),
    kAudioHardwarePropertyTranslateUIDToDevice = TD_FOURCC('u', 'i', 'd', 'd'),
    kAudioHardwarePropertyPlugInList = TD_FOURCC('p', 'l', 'g', '#'),
    /* Devices. */
    kAudioDevicePropertyDeviceUID = TD_FOURCC('u', 'i', 'd', ' '),
    kAudioDevicePropertyDeviceIsAlive = TD_FOURCC('l', 'i', 'v', 'n'),
    kAudioDevicePropertyNominalSampleRate = TD_FOURCC('n', 's', 'r', 't'),
    kAudioDevicePropertyAvailableNominalSampleRates = TD_FOURCC('n', 's', 'r', '#'),
    kAudioDevicePropertyStreams = TD_FOURCC('s', 't', 'm', '#'),
    kAudioDevicePropertyStreamConfiguration = TD_FOURCC('s', 'l', 'a', 'y'),
    kAudioDevicePropertyBufferFrameSize = TD_FOURCC('f', 's', 'i', 'z'),
    kAudioDevicePropertyBufferFrameSizeRange = TD_FOURCC('f', 's', 'z', '#'),
    kAudioDevicePropertyVolumeScalar = TD_FOURCC('v', 'o', 'l', 'm'),
    kAudioDevicePropertyMute = TD_FOURCC('m', 'u', 't', 'e'),
    /* Streams. */
    kAudioStreamPropertyDirection = TD_FOURCC('s', 'd', 'i', 'r'),
    kAudioStreamPropertyVirtualFormat = TD_FOURCC('s', 'f', 'm', 't'),
    kAudioStreamPropertyPhysicalFormat = TD_FOURCC('p', 'f', 't', ' '),
    /* Processes. */
    kAudioProcessPropertyPID = TD_FOURCC('p', 'p', 'i', 'd'),
    kAudioProcessPropertyBundleID = TD_FOURCC('p', 'b', 'i', 'd'),
    kAudioProcessPropertyIsRunningOutput = TD_FOURCC('p', 'i', 'r', 'o'),
    /* Process taps, and the system object's list of them. */
    kAudioHardwarePropertyTapList = TD_FOURCC('t', 'p', 's', '#'),
    kAudioTapPropertyUID = TD_FOURCC('t', 'u', 'i', 'd'),
    kAudioTapPropertyDescription = TD_FOURCC('t', 'd', 's', 'c'),
    kAudioTapPropertyFormat = TD_FOURCC('t', 'f', 'm', 't'),
};

#ifdef __cplusplus
}
#endif

#endif
