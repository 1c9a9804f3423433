#include <atomic>

#include "Platform/System/HostClock.h"
#include "TandrelCore/TandrelCore.h"

namespace {
// 0 until the first call; racing first calls store the same value.
std::atomic<double> ticksPerSecond{0.0};
} // namespace

extern "C" double TDHostTicksPerSecond(void) {
    double cached = ticksPerSecond.load(std::memory_order_relaxed);
    if (cached != 0.0) {
        return cached;
    }
    HostTimebaseInfo info;
    HostClockTimebase(&info);
    double value = static_cast<double>(info.denom) * 1e9 / static_cast<double>(info.numer);
    ticksPerSecond.store(value, std::memory_order_relaxed);
    return value;
}
