/* The host clock: one monotonic tick count shared by every thread, the emulated devices and the
 * audio core. Ticks are nanoseconds here; callers convert through the timebase, never assume it. */
#ifndef PLATFORM_SYSTEM_HOSTCLOCK_H
#define PLATFORM_SYSTEM_HOSTCLOCK_H

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ticks × numer / denom = nanoseconds. */
typedef struct HostTimebaseInfo {
    uint32_t numer;
    uint32_t denom;
} HostTimebaseInfo;

static inline void HostClockTimebase(HostTimebaseInfo* info) {
    info->numer = 1;
    info->denom = 1;
}

/* Real-time safe: served from the vDSO, no kernel entry. */
static inline uint64_t HostClockNow(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

#ifdef __cplusplus
}
#endif

#endif
