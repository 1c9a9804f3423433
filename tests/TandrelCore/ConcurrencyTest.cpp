// Producer, renderer and controller on their own threads at once, as in the running application.
// Its worth is under ThreadSanitizer, which checks every access the three make of shared state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CoreTestSupport.h"

namespace {

TEST(CoreConcurrency, ProducerRendererAndControllerRunTogether) {
    constexpr uint32_t kChannels = 2;
    TDFanout* fanout = TDFanoutCreate(kChannels);
    auto entries = identity(kChannels);
    TDRoute* routes[2] = {
        TDRouteCreate(kChannels, 4096, entries.data(), kChannels, 48000, 48000),
        TDRouteCreate(kChannels, 4096, entries.data(), kChannels, 44100, 48000),
    };
    for (TDRoute* r : routes) {
        ASSERT_TRUE(TDFanoutAdd(fanout, TDRouteRing(r)));
    }
    TDDestination* destination = TDDestinationCreate(kChannels, 4096, true);
    TDRingBuffer* meterRing = TDRingBufferCreate(kChannels, 4096);
    TDFanoutAdd(TDDestinationFanout(destination), meterRing);
    TDPlanFree(TDDestinationSetRoutes(destination, routes, 2));

    std::atomic<bool> running{true};
    std::thread producer([&] {
        std::vector<float> block(256 * kChannels, 0.25f);
        while (running.load(std::memory_order_relaxed)) {
            TDFanoutWriteInterleaved(fanout, block.data(), kChannels, 256, HostClockNow());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread renderer([&] {
        DeviceBuffers out({kChannels}, 512);
        std::vector<float> drain(4096 * kChannels);
        while (running.load(std::memory_order_relaxed)) {
            TDDestinationRender(destination, out.list(), 512, HostClockNow());
            TDRingBufferRead(meterRing, drain.data(), 4096);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    // The controller swaps plans and changes gains; replaced plans are kept until the threads stop,
    // standing in for the reclaim delay.
    std::vector<TDRoutePlan*> replaced;
    for (int i = 0; i < 400; ++i) {
        TDRoute* subset[2] = {routes[i % 2], routes[(i + 1) % 2]};
        TDRoutePlan* old = TDDestinationSetRoutes(destination, subset, 1 + i % 2);
        if (old != nullptr) {
            replaced.push_back(old);
        }
        TDRouteSetGain(routes[i % 2], (i % 10) / 10.0f);
        TDRouteSetMuted(routes[1], i % 3 == 0);
        TDRouteSetSourceChannelGain(routes[0], i % 2, 0.5f);
        TDRouteSetSafetyFrames(routes[1], 200 + i);
        TDDestinationSetChannelGain(destination, i % 2, 0.75f);
        (void)TDRouteGetStats(routes[0]);
        (void)TDDestinationPeak(destination, 0);
        (void)TDFanoutTakePeak(fanout, 0);
        (void)TDFanoutTakePeak(TDDestinationFanout(destination), 1);
        if (i % 50 == 0) {
            TDFanoutRemove(fanout, TDRouteRing(routes[1]));
            TDFanoutAdd(fanout, TDRouteRing(routes[1]));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    running = false;
    producer.join();
    renderer.join();

    EXPECT_GT(TDDestinationRenderCount(destination), 10u);
    EXPECT_GT(TDFanoutWriteCount(fanout), 10u);
    for (TDRoutePlan* plan : replaced) {
        TDPlanFree(plan);
    }
    TDFanoutRemove(TDDestinationFanout(destination), meterRing);
    TDDestinationDestroy(destination);
    TDRingBufferDestroy(meterRing);
    for (TDRoute* r : routes) {
        TDFanoutRemove(fanout, TDRouteRing(r));
        TDRouteDestroy(r);
    }
    TDFanoutDestroy(fanout);
}

} // namespace
