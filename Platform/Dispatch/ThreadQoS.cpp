#include "Platform/Dispatch/ThreadQoS.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace DispatchInternal {

int niceValue(DispatchQoS qos) {
    switch (qos) {
    case DispatchQoS::background:
        return 10;
    case DispatchQoS::utility:
        return 5;
    case DispatchQoS::standard:
        return 0;
    case DispatchQoS::userInitiated:
    case DispatchQoS::userInteractive:
        return -5;
    }
    return 0;
}

void applyQoS(DispatchQoS qos) {
    // On Linux the nice value belongs to the thread named by its id.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceValue(qos));
    if (qos == DispatchQoS::userInteractive) {
        sched_param param{};
        param.sched_priority = userInteractivePriority;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
}

} // namespace DispatchInternal
