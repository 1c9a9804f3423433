// What the driver needs of its surroundings besides the host table: the serial configuration queue,
// the global queues, delayed work and the host clock. The plug-in runs on the dispatch-backed runtime;
// tests hand in one with virtual time so that delayed saves and reclaims need no sleeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace tandrel::driver {

enum class QualityOfService { UserInitiated, Default, Utility };

class DriverRuntime {
public:
    using Task = std::function<void()>;
    using Delay = std::chrono::milliseconds;

    virtual ~DriverRuntime() = default;

    // The serial queue "qorvix.tandrel.driver.config": blocks run one at a time, in order of submission
    // (delayed blocks in order of their due time).
    virtual void config(Task task) = 0;
    virtual void configAfter(Delay delay, Task task) = 0;
    // The global concurrent queue of that quality of service.
    virtual void global(QualityOfService qos, Task task) = 0;
    virtual void globalAfter(QualityOfService qos, Delay delay, Task task) = 0;

    // Host clock ticks; see HostClockTimebase for their length.
    virtual uint64_t hostNow() = 0;
};

// The production runtime over PlatformDispatch and the host clock. Its configuration queue is created on
// first use.
std::shared_ptr<DriverRuntime> makeDispatchRuntime();

} // namespace tandrel::driver

#include <atomic>

#include "Platform/AudioServer/AudioServerPlugIn.h"

namespace tandrel::driver {

// What the plug-in object and its line devices share: the runtime and the host that Initialize was
// given. Blocks queued by the driver hold it, so it outlives them.
struct DriverContext {
    explicit DriverContext(std::shared_ptr<DriverRuntime> r)
        : runtime(std::move(r)) {}

    AudioServerPlugInHostRef currentHost() const { return host.load(std::memory_order_acquire); }

    const std::shared_ptr<DriverRuntime> runtime;
    std::atomic<AudioServerPlugInHostRef> host{nullptr};
};

} // namespace tandrel::driver
