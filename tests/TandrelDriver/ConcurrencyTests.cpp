// The driver under concurrent callers, as the audio server runs it: IO on one thread while others set
// gains and volumes, read properties and apply line lists; and the production dispatch runtime.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"
#include "TandrelDriver/TandrelDriverTesting.h"

namespace tandrel::driver::test {
namespace {

using namespace std::chrono_literals;

class DriverConcurrency : public DriverFixture {};

TEST_F(DriverConcurrency, IOPropertiesAndLineListsRunTogether) {
    startDriver();
    const AudioObjectID line1 = deviceOfLine(1);
    ASSERT_EQ(table().StartIO(driver(), line1, 0), kAudioHardwareNoError);
    std::atomic<bool> done{false};
    std::atomic<int> controlTurns{0};
    std::atomic<bool> controlEnded{false};

    std::thread io([&] {
        std::vector<float> frames(2 * 256, 0.25f);
        for (int64_t t = 0; t < 3000 * 256; t += 256) {
            writeMix(line1, t, frames, 256);
            const auto back = readInput(line1, t, 256, 2);
            EXPECT_LE(back[2 * 255], 0.25f * 16);
            double sample;
            uint64_t hostTime, seed;
            table().GetZeroTimeStamp(driver(), line1, 0, &sample, &hostTime, &seed);
        }
        done = true;
    });
    std::thread control([&] {
        for (int i = 0; !done; ++i) {
            setRef(line1, code("lcgn"), array({real(i % 2 ? 0.5 : 2.0), real(1.0)}));
            setValue(line1 + 3, code("lcsv"), i % 2 ? 0.3f : 0.6f);
            setValue(line1 + 4, code("bcvl"), uint32_t(i % 2));
            getRef(line1, code("lnam"));
            getRef(1, code("lnes"));
            devices();
            getValue<AudioStreamBasicDescription>(line1 + 1, code("sfmt"));
            controlTurns.fetch_add(1);
        }
        controlEnded = true;
    });
    std::thread lines([&] {
        for (int i = 0; !done; ++i) {
            writeLines(i % 2 ? array({line(1, 2), line(3, 2, "Extra")})
                             : array({line(1, 2, "Main"), line(2, 4)}));
            runtime_->advance(400ms);
            // Every 20th turn the clock passes a reclaim, so the retired list never fills up (a full one
            // leaks what no longer fits, by design).
            if (i % 20 == 19) {
                // A reader that found a device just before it was retired may use it until it is freed,
                // half a minute later. The virtual clock gets there at once, so the reading thread first
                // ends the turns it had begun, as half a minute would have let it.
                const int seen = controlTurns.load();
                while (!controlEnded && controlTurns.load() < seen + 2) {
                    std::this_thread::yield();
                }
                runtime_->advance(36s);
            }
            // Lines other than line 1 come and go; their old devices must stay usable until reclaimed.
            for (AudioObjectID id : devices()) {
                getRef(id, code("lnam"));
            }
        }
    });
    io.join();
    control.join();
    lines.join();
    EXPECT_EQ(table().StopIO(driver(), line1, 0), kAudioHardwareNoError);
}

TEST_F(DriverConcurrency, DispatchRuntimeAppliesAndSavesOnItsQueues) {
    resetDriverForTesting(makeDispatchRuntime());
    const AudioServerPlugInUUID type = kAudioServerPlugInTypeUUID_INIT;
    driver_ = static_cast<AudioServerPlugInDriverRef>(TandrelDriver_Create(nullptr, &type));
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(table().Initialize(driver_, host_->ref()), kAudioHardwareNoError);

    ASSERT_EQ(writeLines(array({line(1, 2), line(2, 64), line(3, 2)})), kAudioHardwareNoError);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (host_->writeCount("lines") == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(host_->writeCount("lines"), 1u);
    ASSERT_FALSE(host_->notifications().empty());
    EXPECT_EQ(host_->notifications()[0].objectID, 1u);
    EXPECT_EQ(devices().size(), 3u);
}

} // namespace
} // namespace tandrel::driver::test
