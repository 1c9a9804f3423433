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
#define TD_FOURCC(a, b, c, d)                                                                              \
    ((uint32_t)(uint8_t)(a) << 24 | (uint32_t)(uint8_t)(b) << 16 | (uint32_t)(uint8_t)(c) << 8 |           \
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

#define TD_AUDIO_BUFFER_LIST_SIZE(n)                                                                       \
    (sizeof(AudioBufferList) - sizeof(AudioBuffer) + (size_t)(n) * sizeof(AudioBuffer))

#ifdef __cplusplus
}
#endif

#endif
