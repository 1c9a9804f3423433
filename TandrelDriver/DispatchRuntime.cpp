// The driver's production runtime: PlatformDispatch queues and the host clock.
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/HostClock.h"
#include "TandrelDriver/DriverRuntime.h"

namespace tandrel::driver {

namespace {

DispatchQoS toDispatch(QualityOfService qos) {
    switch (qos) {
    case QualityOfService::UserInitiated:
        return DispatchQoS::userInitiated;
    case QualityOfService::Utility:
        return DispatchQoS::utility;
    case QualityOfService::Default:
        break;
    }
    return DispatchQoS::standard;
}

class DispatchRuntime final : public DriverRuntime {
public:
    void config(Task task) override { configQueue().async(std::move(task)); }
    void configAfter(Delay delay, Task task) override { configQueue().asyncAfter(delay, std::move(task)); }
    void global(QualityOfService qos, Task task) override {
        DispatchQueue::global(toDispatch(qos))->async(std::move(task));
    }
    void globalAfter(QualityOfService qos, Delay delay, Task task) override {
        DispatchQueue::global(toDispatch(qos))->asyncAfter(delay, std::move(task));
    }
    uint64_t hostNow() override { return HostClockNow(); }

private:
    DispatchQueue& configQueue() {
        std::call_once(configOnce_,
                       [this] { configQueue_ = DispatchQueue::serial("qorvix.tandrel.driver.config"); });
        return *configQueue_;
    }

    std::once_flag configOnce_;
    std::shared_ptr<DispatchQueue> configQueue_;
};

} // namespace

std::shared_ptr<DriverRuntime> makeDispatchRuntime() {
    return std::make_shared<DispatchRuntime>();
}

} // namespace tandrel::driver
