/* The real-time audio core: single-producer rings, fan-outs to up to 32 consumers, resampling routes
 * with drift control and mixing destinations. Plain functions over opaque handles, called by the
 * engine on the main thread and by producers and renderers on their audio threads.
 *
 * Create functions return NULL on bad arguments or exhausted memory; destroy functions accept NULL.
 * Functions marked "real-time" take no lock, allocate nothing and make no system call. */
#ifndef TANDRELCORE_TANDRELCORE_H
#define TANDRELCORE_TANDRELCORE_H

#include <stdbool.h>
#include <stdint.h>

#include "Platform/AudioServer/CoreAudioTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TDRingBuffer TDRingBuffer;
typedef struct TDFanout TDFanout;
typedef struct TDRoute TDRoute;
typedef struct TDDestination TDDestination;
typedef struct TDRoutePlan TDRoutePlan;

/* One channel-matrix entry: route source channel into destination channel with a linear gain. */
typedef struct TDMatrixEntry {
    uint16_t srcChannel;
    uint16_t dstChannel;
    float gain;
} TDMatrixEntry;

/* A route's statistics as of its last pull; fields may come from different chunks. */
typedef struct TDRouteStats {
    bool primed;
    uint32_t fill;
    uint32_t target;
    double ratio;
    double nominalRatio;
    uint64_t underruns;
    uint64_t overruns;
} TDRouteStats;

/* ---- Host clock ---- */

/* Host clock ticks per second, computed from the host timebase on the first call. */
double TDHostTicksPerSecond(void);

/* ---- Ring buffer: one producer thread, one consumer thread ---- */

/* A zero-filled ring of the smallest power of two >= min(frames, 2^30) frames. */
TDRingBuffer* TDRingBufferCreate(uint32_t channels, uint32_t frames);
void TDRingBufferDestroy(TDRingBuffer* ring);
uint32_t TDRingBufferChannels(const TDRingBuffer* ring);
uint32_t TDRingBufferCapacity(const TDRingBuffer* ring);
/* Frames written and not yet consumed. Either side. */
uint32_t TDRingBufferAvailableToRead(const TDRingBuffer* ring);
uint64_t TDRingBufferDroppedFrames(const TDRingBuffer* ring);
/* The largest frame count ever offered in one write. */
uint32_t TDRingBufferMaxWriteFrames(const TDRingBuffer* ring);
/* Producer side, real-time: writes what fits (the rest of the block is counted as dropped). Ring
 * channels beyond the source's repeat its last channel; extra source channels are ignored. */
uint32_t TDRingBufferWritePlanar(TDRingBuffer* ring, const float* const* channels, uint32_t sourceChannels,
                                 uint32_t frames);
uint32_t TDRingBufferWriteInterleaved(TDRingBuffer* ring, const float* samples, uint32_t sourceChannels,
                                      uint32_t frames);
/* Consumer side, real-time: copies up to frames interleaved frames out; returns how many. */
uint32_t TDRingBufferRead(TDRingBuffer* ring, float* destination, uint32_t frames);
/* Consumer side, real-time: discards up to frames frames; returns how many. */
uint32_t TDRingBufferSkip(TDRingBuffer* ring, uint32_t frames);
void TDRingBufferSetLastWriteTime(TDRingBuffer* ring, uint64_t hostTime);
uint64_t TDRingBufferLastWriteTime(const TDRingBuffer* ring);

/* ---- Fan-out: one writer, up to 32 attached rings, held peaks ---- */

TDFanout* TDFanoutCreate(uint32_t channels);
/* Attached rings are not touched; their owners detach them first. */
void TDFanoutDestroy(TDFanout* fanout);
uint32_t TDFanoutChannels(const TDFanout* fanout);
/* Attaches a ring in the lowest free slot; false when all 32 are taken. Not real-time. */
bool TDFanoutAdd(TDFanout* fanout, TDRingBuffer* ring);
/* Detaches every slot holding ring. A writer may still write it once: destroy it only after the
 * reclaim delay. Not real-time. */
void TDFanoutRemove(TDFanout* fanout, TDRingBuffer* ring);
/* Real-time: copies the block into every attached ring, stamps them, raises the held peaks. */
void TDFanoutWritePlanar(TDFanout* fanout, const float* const* channels, uint32_t channelCount,
                         uint32_t frames, uint64_t hostTime);
void TDFanoutWriteInterleaved(TDFanout* fanout, const float* samples, uint32_t channelCount, uint32_t frames,
                              uint64_t hostTime);
/* The held peak of a channel since the last take, replaced by 0. */
float TDFanoutTakePeak(TDFanout* fanout, uint32_t channel);
uint64_t TDFanoutWriteCount(const TDFanout* fanout);
uint64_t TDFanoutFramesWritten(const TDFanout* fanout);
uint32_t TDFanoutLastWriteFrames(const TDFanout* fanout);

/* ---- Route: ring, resampler, drift control, channel matrix ---- */

/* channels 1...64, maxFrames > 0, both rates > 0; the entries are copied (count 0 mixes nothing). */
TDRoute* TDRouteCreate(uint32_t channels, uint32_t maxFrames, const TDMatrixEntry* entries,
                       uint32_t entryCount, double sourceRate, double destinationRate);
/* Only after the route has been out of every fan-out and plan for the reclaim delay. */
void TDRouteDestroy(TDRoute* route);
/* The route's own ring, to attach to the producer's fan-out. */
TDRingBuffer* TDRouteRing(TDRoute* route);
/* Any thread; the render thread picks these up from its next chunk. */
void TDRouteSetGain(TDRoute* route, float gain);
void TDRouteSetSourceChannelGain(TDRoute* route, uint32_t channel, float gain);
void TDRouteSetMuted(TDRoute* route, bool muted);
void TDRouteSetSafetyFrames(TDRoute* route, uint32_t frames);
TDRouteStats TDRouteGetStats(const TDRoute* route);

/* ---- Destination: a plan of routes mixed into one output device ---- */

/* channels 1...64, maxFrames > 0; withFanout publishes every rendered chunk to an own fan-out. */
TDDestination* TDDestinationCreate(uint32_t channels, uint32_t maxFrames, bool withFanout);
/* Only after the device callback that renders it has stopped. Frees the current plan too. */
void TDDestinationDestroy(TDDestination* destination);
uint32_t TDDestinationChannels(const TDDestination* destination);
TDFanout* TDDestinationFanout(TDDestination* destination);
/* Publishes a new plan holding a copy of routes and returns the previous one, which the caller frees
 * with TDPlanFree after the reclaim delay. NULL when there was none, or when the new plan could not be
 * allocated (the current plan then stays). */
TDRoutePlan* TDDestinationSetRoutes(TDDestination* destination, TDRoute* const* routes, uint32_t count);
void TDPlanFree(TDRoutePlan* plan);
void TDDestinationSetChannelGain(TDDestination* destination, uint32_t channel, float gain);
/* The channel's peak over the last render call. */
float TDDestinationPeak(const TDDestination* destination, uint32_t channel);
uint64_t TDDestinationRenderCount(const TDDestination* destination);
/* Real-time: renders frames into the device's buffers (chunks of at most maxFrames). */
void TDDestinationRender(TDDestination* destination, AudioBufferList* output, uint32_t frames,
                         uint64_t hostTime);

#ifdef __cplusplus
}
#endif

#endif
