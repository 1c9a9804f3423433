#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/System/HostClock.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Polling.h"

namespace {

using namespace std::chrono_literals;

// Small buffers keep the cycles short, so each case runs many of them in little time.
constexpr const char* profileJSON = R"({
  "devices": [
    { "uid": "out", "sampleRate": 48000, "sampleRates": [48000, 96000], "bufferFrameSize": 128,
      "bufferFrameSizeRange": [16, 1024], "outputStreams": [2] },
    { "uid": "multi", "sampleRate": 48000, "bufferFrameSize": 96, "inputStreams": [2, 1],
      "outputStreams": [1, 2], "inputSignal": {"sine": [{"frequency": 1000, "amplitude": 0.5},
                                                        {"frequency": 3000, "level": -6}]} },
    { "uid": "loop", "sampleRate": 48000, "bufferFrameSize": 64, "inputStreams": [2],
      "outputStreams": [2], "inputSignal": "loopback" },
    { "uid": "slow", "sampleRate": 8000, "sampleRates": [8000], "bufferFrameSize": 16384,
      "bufferFrameSizeRange": [16, 16384], "outputStreams": [2] },
    { "uid": "wide", "sampleRate": 48000, "bufferFrameSize": 4096, "bufferFrameSizeRange": [16, 16384],
      "outputStreams": [64] }
  ]
})";

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    return Polling::waitFor(condition, limit, 1ms);
}

// Rising zero crossings per second of one channel of interleaved samples.
double frequencyOf(const std::vector<float>& samples, uint32_t channels, uint32_t channel, double rate) {
    int crossings = 0;
    size_t frames = samples.size() / channels;
    for (size_t f = 1; f < frames; ++f) {
        if (samples[(f - 1) * channels + channel] < 0 && samples[f * channels + channel] >= 0) {
            ++crossings;
        }
    }
    return crossings * rate / double(frames);
}

float peakOf(const std::vector<float>& samples, uint32_t channels, uint32_t channel) {
    float peak = 0;
    for (size_t i = channel; i < samples.size(); i += channels) {
        peak = std::max(peak, std::abs(samples[i]));
    }
    return peak;
}

class DeviceIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() /
               ("tandrel-io-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        server = AudioServer::start({.profile = nlohmann::json::parse(profileJSON), .home = home});
    }
    void TearDown() override {
        AudioServer::stop();
        EXPECT_EQ(AudioServer::runningIOCount(), 0u); // stopping the server stops every thread
        std::filesystem::remove_all(home);
    }

    AudioDeviceIOProcID install(const std::string& uid, AudioDeviceIOBlock block,
                                std::shared_ptr<DispatchQueue> queue = nullptr) {
        AudioDeviceIOProcID id = nullptr;
        EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, server->deviceID(uid), std::move(queue),
                                                     std::move(block)),
                  0);
        EXPECT_NE(id, nullptr);
        return id;
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(DeviceIOTest, ProcsRunPeriodicallyWithTheDeviceBufferSizeAndContinuousTimeStamps) {
    AudioObjectID out = server->deviceID("out");
    std::atomic<int> calls{0};
    std::atomic<bool> shapeRight{true};
    std::atomic<double> lastSampleTime{-1};
    std::atomic<int64_t> worstLag{0};
    auto id = install("out", [&](const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp*,
                                 AudioBufferList* output, const AudioTimeStamp*) {
        // Whole buffers apart: one, or more when a late thread skipped cycles.
        const double step = now->mSampleTime - lastSampleTime.load();
        bool right =
            in->mNumberBuffers == 0 && output->mNumberBuffers == 1 &&
            output->mBuffers[0].mNumberChannels == 2 && output->mBuffers[0].mDataByteSize == 128 * 2 * 4 &&
            (lastSampleTime.load() < 0 ? now->mSampleTime == 0 : step >= 128 && std::fmod(step, 128) == 0);
        if (!right) {
            shapeRight = false;
        }
        lastSampleTime = now->mSampleTime;
        int64_t lag = int64_t(HostClockNow()) - int64_t(now->mHostTime);
        worstLag = std::max(worstLag.load(), std::abs(lag));
        calls.fetch_add(1);
    });
    auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(AudioDeviceStart(out, id), 0);
    EXPECT_EQ(AudioServer::runningIOCount(), 1u);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(AudioDeviceStop(out, id), 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    double expected = seconds * 48000 / 128; // 2.67 ms per cycle
    EXPECT_LT(calls.load(), expected * 1.5 + 5);
    // The device's clock covers the time it ran, whether or not a busy machine made it skip cycles.
    EXPECT_GT(lastSampleTime.load() + 128, (seconds - 0.25) * 48000);
    EXPECT_TRUE(shapeRight.load());
    EXPECT_LT(worstLag.load(), int64_t(250'000'000)); // host times are the real clock's, not invented
    EXPECT_TRUE(waitFor([] { return AudioServer::runningIOCount() == 0; }));
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, id), 0);
}

// A thread held up for many periods runs the cycle that is due next, not the missed ones back to back,
// and its time stamps still follow the device's clock.
TEST_F(DeviceIOTest, AThreadThatWakesLateSkipsTheCyclesWhoseTimeHasPassed) {
    AudioObjectID out = server->deviceID("out");
    constexpr double kPeriodNs = 128 / 48000.0 * 1e9;
    constexpr auto kHeldUp = 40ms; // 15 periods
    std::mutex mutex;
    std::vector<std::pair<double, uint64_t>> stamps;
    auto id = install("out", [&](const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*,
                                 AudioBufferList*, const AudioTimeStamp*) {
        size_t calls = 0;
        {
            std::lock_guard lock(mutex);
            stamps.emplace_back(now->mSampleTime, now->mHostTime);
            calls = stamps.size();
        }
        if (calls == 10) {
            std::this_thread::sleep_for(kHeldUp);
        }
    });
    ASSERT_EQ(AudioDeviceStart(out, id), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return stamps.size() >= 12;
    }));
    ASSERT_EQ(AudioDeviceStop(out, id), 0);
    std::lock_guard lock(mutex);
    const auto [heldSample, heldHost] = stamps[9];
    const auto [nextSample, nextHost] = stamps[10];
    // The cycle after the held one was due one period later; the thread woke at least 40 ms after the held
    // cycle's deadline, so at least 13 whole periods had gone by.
    EXPECT_GE(nextSample - heldSample, 14 * 128.0);
    EXPECT_NEAR(double(nextHost - heldHost), (nextSample - heldSample) / 128 * kPeriodNs, 1000);
    EXPECT_GE(*server->skippedCycles("out"), uint64_t((nextSample - heldSample) / 128) - 1);
}

// Devices that tick together cost one wake-up between them, not one each: started at different times, a
// device with 128-frame buffers and one with 4096-frame buffers at the same rate run their cycles on the
// same thread at the same instants.
TEST_F(DeviceIOTest, DevicesThatTickTogetherRunTheirCyclesAtTheSameInstantsOnOneThread) {
    std::mutex mutex;
    std::map<std::string, std::vector<uint64_t>> hostTimes;
    std::set<pthread_t> threads;
    auto recorder = [&](std::string uid) {
        return [&, uid](const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*,
                        AudioBufferList*, const AudioTimeStamp*) {
            std::lock_guard lock(mutex);
            hostTimes[uid].push_back(now->mHostTime);
            threads.insert(pthread_self());
        };
    };
    auto small = install("out", recorder("out"));
    auto large = install("wide", recorder("wide"));
    ASSERT_EQ(AudioDeviceStart(server->deviceID("out"), small), 0);
    std::this_thread::sleep_for(7ms); // not a whole number of the small device's cycles
    ASSERT_EQ(AudioDeviceStart(server->deviceID("wide"), large), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return hostTimes["wide"].size() >= 3;
    }));
    ASSERT_EQ(AudioDeviceDestroyIOProcID(server->deviceID("wide"), large), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(server->deviceID("out"), small), 0);

    // On the small device's cycle grid, whether or not a busy machine made either skip cycles.
    std::lock_guard lock(mutex);
    EXPECT_EQ(threads.size(), 1u);
    constexpr double kSmallPeriodNs = 128 / 48000.0 * 1e9;
    const uint64_t first = hostTimes["out"].front();
    for (uint64_t t : hostTimes["wide"]) {
        EXPECT_LT(std::abs(std::remainder(double(t) - double(first), kSmallPeriodNs)), 1000)
            << "a cycle of its own at " << t;
    }
}

// A stop wakes the IO thread at once instead of waiting for the next cycle's time: even with the longest
// cycle the hardware limits allow (16384 frames at 8 kHz, about two seconds) it returns within the cycle
// that runs. The bound leaves a busy machine a second; the cycle the old wait slept out lasts two.
TEST_F(DeviceIOTest, AStopReturnsAtOnceEvenWithTheLongestCycle) {
    AudioObjectID slow = server->deviceID("slow");
    std::atomic<int> calls{0};
    auto id = install("slow", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                  AudioBufferList*, const AudioTimeStamp*) { calls.fetch_add(1); });
    ASSERT_EQ(AudioDeviceStart(slow, id), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() >= 1; }, 5s)); // the first cycle runs at the start
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(AudioDeviceStop(slow, id), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_EQ(AudioServer::runningIOCount(), 0u);
    EXPECT_EQ(calls.load(), 1);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(slow, id), 0);
}

// Buffers that cannot be allocated fail the start with an error, never end the process; the device stays
// stopped and starts once memory allows.
TEST_F(DeviceIOTest, AStartWhoseBuffersCannotBeAllocatedFailsAndTheDeviceStaysStopped) {
    struct RestoreLimit {
        ~RestoreLimit() { DeviceIO::setMemoryLimit(DeviceIO::kDefaultMemoryLimit); }
    } restore;
    AudioObjectID wide = server->deviceID("wide"); // 64 channels of 4096 frames: 2 MiB of buffers
    std::atomic<int> calls{0};
    auto id = install("wide", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                  AudioBufferList*, const AudioTimeStamp*) { calls.fetch_add(1); });
    DeviceIO::setMemoryLimit(1 << 20);
    EXPECT_EQ(AudioDeviceStart(wide, id), kAudio_MemFullError);
    EXPECT_EQ(AudioServer::runningIOCount(), 0u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), 0);

    DeviceIO::setMemoryLimit(DeviceIO::kDefaultMemoryLimit);
    ASSERT_EQ(AudioDeviceStart(wide, id), 0);
    EXPECT_TRUE(waitFor([&] { return calls.load() >= 1; }));
    ASSERT_EQ(AudioDeviceDestroyIOProcID(wide, id), 0);
}

TEST_F(DeviceIOTest, EachProcGetsAZeroedOutputAndTheDeviceRecordsTheirSum) {
    AudioObjectID multi = server->deviceID("multi");
    auto adder = [](float value) {
        return [value](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                       AudioBufferList* out, const AudioTimeStamp*) {
            for (uint32_t b = 0; b < out->mNumberBuffers; ++b) {
                auto* data = static_cast<float*>(out->mBuffers[b].mData);
                for (uint32_t i = 0; i < out->mBuffers[b].mDataByteSize / 4; ++i) {
                    data[i] += value; // accumulates if the buffer was not zeroed
                }
            }
        };
    };
    auto a = install("multi", adder(0.25f));
    auto b = install("multi", adder(0.5f));
    auto never = install("multi", adder(100.0f)); // installed, never started
    ASSERT_EQ(AudioDeviceStart(multi, a), 0);
    // Nothing is recorded unless asked for: a device's output costs no memory by default.
    ASSERT_TRUE(waitFor([&] { return server->recordedOutput("multi", 96)->channels == 3; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(server->recordedOutput("multi", 960)->frames(), 0u);
    ASSERT_TRUE(server->recordOutput("multi", 960));
    ASSERT_EQ(AudioDeviceStart(multi, b), 0);
    // The first cycles after a's start may have run before b started; wait until the last 960 frames
    // all come from cycles in which both ran.
    ASSERT_TRUE(waitFor([&] {
        auto recent = server->recordedOutput("multi", 960);
        return recent->frames() == 960 && recent->samples.front() != 0.25f;
    }));
    auto record = *server->recordedOutput("multi", 960);
    EXPECT_EQ(record.channels, 3u); // streams of 1 and 2
    EXPECT_GE(record.firstSampleTime, 0);
    for (float s : record.samples) {
        ASSERT_FLOAT_EQ(s, 0.75f);
    }
    EXPECT_EQ(AudioDeviceStop(multi, a), 0);
    EXPECT_EQ(AudioDeviceStop(multi, b), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(multi, never), 0);
    EXPECT_FALSE(server->recordedOutput("nobody", 10).has_value());
    EXPECT_FALSE(server->recordOutput("nobody", 10));
}

TEST_F(DeviceIOTest, InputsArriveOneBufferPerStreamAndPlayTheConfiguredSignal) {
    AudioObjectID multi = server->deviceID("multi");
    std::mutex mutex;
    std::vector<float> captured; // channel 0 and 2 (the second stream's only channel)
    std::atomic<bool> layoutRight{true};
    auto id = install("multi", [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                                   AudioBufferList*, const AudioTimeStamp*) {
        if (in->mNumberBuffers != 2 || in->mBuffers[0].mNumberChannels != 2 ||
            in->mBuffers[1].mNumberChannels != 1 || in->mBuffers[0].mDataByteSize != 96 * 2 * 4 ||
            in->mBuffers[1].mDataByteSize != 96 * 4) {
            layoutRight = false;
            return;
        }
        auto* first = static_cast<const float*>(in->mBuffers[0].mData);
        auto* second = static_cast<const float*>(in->mBuffers[1].mData);
        std::lock_guard lock(mutex);
        for (uint32_t f = 0; f < 96; ++f) {
            captured.push_back(first[f * 2]);     // channel 0: 1000 Hz
            captured.push_back(first[f * 2 + 1]); // channel 1: 3000 Hz
            captured.push_back(second[f]);        // channel 2: past the tone list, silent
        }
    });
    ASSERT_EQ(AudioDeviceStart(multi, id), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return captured.size() >= 4800 * 3;
    }));
    ASSERT_EQ(AudioDeviceStop(multi, id), 0);
    EXPECT_TRUE(layoutRight.load());
    std::lock_guard lock(mutex);
    EXPECT_NEAR(frequencyOf(captured, 3, 0, 48000), 1000, 30);
    EXPECT_NEAR(frequencyOf(captured, 3, 1, 48000), 3000, 30);
    EXPECT_NEAR(peakOf(captured, 3, 0), 0.5, 0.01);
    EXPECT_NEAR(peakOf(captured, 3, 1), 0.5, 0.01); // -6 dBFS
    EXPECT_EQ(peakOf(captured, 3, 2), 0.0f);
}

// The input handed over at a cycle was captured during the buffer before it: its time stamp is that of
// its first frame, so a click heard in it is dated when it was captured, not when the cycle ran.
TEST_F(DeviceIOTest, TheInputTimeStampIsThatOfTheFirstInputFrameOneBufferEarlier) {
    AudioObjectID multi = server->deviceID("multi");
    std::atomic<int> calls{0};
    std::atomic<bool> consistent{true};
    auto id = install("multi", [&](const AudioTimeStamp* now, const AudioBufferList*,
                                   const AudioTimeStamp* input, AudioBufferList*,
                                   const AudioTimeStamp* output) {
        const double framesBack = now->mSampleTime - input->mSampleTime;
        const int64_t ticksBack = int64_t(now->mHostTime) - int64_t(input->mHostTime);
        // 96 frames at 48 kHz: 2 ms, to the nanosecond's rounding.
        if (framesBack != 96 || std::abs(ticksBack - 2'000'000) > 1 || output->mHostTime != now->mHostTime) {
            consistent = false;
        }
        calls.fetch_add(1);
    });
    ASSERT_EQ(AudioDeviceStart(multi, id), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() >= 20; }));
    ASSERT_EQ(AudioDeviceStop(multi, id), 0);
    EXPECT_TRUE(consistent.load());
}

// Like the platform's, IO threads are real-time threads where the system lets a process have them, so
// a busy machine does not starve the audio.
TEST_F(DeviceIOTest, IOThreadsRunWithRealTimePriorityWhereTheSystemAllows) {
    bool allowed = false;
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = 1;
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    });
    probe.join();
    std::atomic<int> policy{-1};
    auto id = install("out", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                 AudioBufferList*, const AudioTimeStamp*) {
        int current = 0;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &current, &param);
        policy = current;
    });
    ASSERT_EQ(AudioDeviceStart(server->deviceID("out"), id), 0);
    ASSERT_TRUE(waitFor([&] { return policy.load() != -1; }));
    ASSERT_EQ(AudioDeviceStop(server->deviceID("out"), id), 0);
    EXPECT_EQ(policy.load(), allowed ? SCHED_FIFO : SCHED_OTHER);
}

TEST_F(DeviceIOTest, TheBuiltInMicrophonePlaysAQuiet330HzSineAndSignalsCanBeChanged) {
    server = AudioServer::start({.profile = std::nullopt, .home = home});
    AudioObjectID mic = server->deviceID("tandrel.sim.microphone");
    std::mutex mutex;
    std::vector<float> captured;
    auto id = install("tandrel.sim.microphone",
                      [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                          AudioBufferList*, const AudioTimeStamp*) {
                          auto* data = static_cast<const float*>(in->mBuffers[0].mData);
                          std::lock_guard lock(mutex);
                          captured.insert(captured.end(), data, data + in->mBuffers[0].mDataByteSize / 4);
                      });
    ASSERT_EQ(AudioDeviceStart(mic, id), 0);
    auto collect = [&](size_t n) {
        {
            std::lock_guard lock(mutex);
            captured.clear();
        }
        EXPECT_TRUE(waitFor([&] {
            std::lock_guard lock(mutex);
            return captured.size() >= n;
        }));
        std::lock_guard lock(mutex);
        return captured;
    };
    auto sine = collect(9600);
    EXPECT_NEAR(frequencyOf(sine, 1, 0, 48000), 330, 15);
    EXPECT_NEAR(peakOf(sine, 1, 0), 0.0316, 0.002); // -30 dBFS

    ASSERT_TRUE(server->setInputSignal("tandrel.sim.microphone", InputSignal::silence()));
    collect(1024); // past the cycle that was running
    EXPECT_EQ(peakOf(collect(4800), 1, 0), 0.0f);
    EXPECT_FALSE(server->setInputSignal("tandrel.sim.microphone", InputSignal::sine(-5, 0)));
    EXPECT_FALSE(server->setInputSignal("nobody", InputSignal::silence()));
    ASSERT_EQ(AudioDeviceStop(mic, id), 0);
}

TEST_F(DeviceIOTest, ALoopbackDeviceReturnsItsOutputOneBufferLater) {
    AudioObjectID loop = server->deviceID("loop");
    std::atomic<int> cycles{0};
    std::atomic<int> mismatches{0};
    auto id = install("loop", [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                                  AudioBufferList* out, const AudioTimeStamp*) {
        int n = cycles.fetch_add(1);
        auto* input = static_cast<const float*>(in->mBuffers[0].mData);
        auto* output = static_cast<float*>(out->mBuffers[0].mData);
        for (uint32_t f = 0; f < 64; ++f) {
            // Each cycle writes a ramp that names it; the input must carry the previous one.
            float expectedLeft = n == 0 ? 0.0f : float(n - 1) + f / 1000.0f;
            if (input[f * 2] != expectedLeft || input[f * 2 + 1] != -expectedLeft) {
                mismatches.fetch_add(1);
            }
            output[f * 2] = float(n) + f / 1000.0f;
            output[f * 2 + 1] = -(float(n) + f / 1000.0f);
        }
    });
    ASSERT_EQ(AudioDeviceStart(loop, id), 0);
    ASSERT_TRUE(waitFor([&] { return cycles.load() >= 50; }));
    ASSERT_EQ(AudioDeviceStop(loop, id), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

// ---- Stop and destroy ----

// Counts calls and whether one is running; stop or destroy must leave both frozen.
struct Watched {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    AudioDeviceIOBlock block(std::chrono::microseconds work = 300us) {
        return [this, work](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                            AudioBufferList*, const AudioTimeStamp*) {
            inside = true;
            calls.fetch_add(1);
            auto until = std::chrono::steady_clock::now() + work;
            while (std::chrono::steady_clock::now() < until) {
            }
            inside = false;
        };
    }
};

TEST_F(DeviceIOTest, AfterStopOrDestroyReturnsTheBlockIsNotRunningAndNeverRunsAgain) {
    AudioObjectID out = server->deviceID("out");
    Watched other;
    auto keepsRunning = install("out", other.block(0us));
    ASSERT_EQ(AudioDeviceStart(out, keepsRunning), 0);
    for (int round = 0; round < 10; ++round) {
        Watched w;
        auto id = install("out", w.block());
        ASSERT_EQ(AudioDeviceStart(out, id), 0);
        ASSERT_TRUE(waitFor([&] { return w.calls.load() >= 2; }));
        bool destroy = round % 2 != 0;
        ASSERT_EQ(destroy ? AudioDeviceDestroyIOProcID(out, id) : AudioDeviceStop(out, id), 0);
        EXPECT_FALSE(w.inside.load());
        int calls = w.calls.load();
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(w.calls.load(), calls);
        if (!destroy) {
            // Restartable after a stop; gone after a destroy.
            ASSERT_EQ(AudioDeviceStart(out, id), 0);
            EXPECT_TRUE(waitFor([&] { return w.calls.load() > calls; }));
            ASSERT_EQ(AudioDeviceDestroyIOProcID(out, id), 0);
        }
        EXPECT_EQ(AudioDeviceStart(out, id), kAudioHardwareIllegalOperationError);
        EXPECT_EQ(AudioDeviceStop(out, id), kAudioHardwareIllegalOperationError);
    }
    EXPECT_GT(other.calls.load(), 0); // the other proc ran throughout
    ASSERT_EQ(AudioDeviceStop(out, keepsRunning), 0);
    EXPECT_EQ(AudioServer::runningIOCount(), 0u); // the last stop ends the thread
}

TEST_F(DeviceIOTest, ABlockMayStopOrDestroyItselfAndTheIdleThreadThenEnds) {
    AudioObjectID out = server->deviceID("out");
    for (bool destroy : {false, true}) {
        std::atomic<int> calls{0};
        std::atomic<OSStatus> status{1};
        AudioDeviceIOProcID id = nullptr;
        std::atomic<AudioDeviceIOProcID> self{nullptr};
        id = install("out", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                AudioBufferList*, const AudioTimeStamp*) {
            if (calls.fetch_add(1) == 2) {
                status = destroy ? AudioDeviceDestroyIOProcID(out, self.load())
                                 : AudioDeviceStop(out, self.load());
            }
        });
        self = id;
        ASSERT_EQ(AudioDeviceStart(out, id), 0);
        ASSERT_TRUE(waitFor([&] { return status.load() != 1; }));
        EXPECT_EQ(status.load(), 0);
        EXPECT_TRUE(waitFor([] { return AudioServer::runningIOCount() == 0; }));
        EXPECT_EQ(calls.load(), 3);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(out, id), destroy ? kAudioHardwareIllegalOperationError : 0);
    }
}

TEST_F(DeviceIOTest, AQueuedCycleDoesNotReachTheBlockAfterStopReturned) {
    AudioObjectID loop = server->deviceID("loop");
    auto queue = DispatchQueue::serial("test.io");
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> lateCalls{0};
    std::atomic<bool> inputCopied{true};
    auto id = install(
        "loop",
        [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*, AudioBufferList* out,
            const AudioTimeStamp*) {
            if (stopped.load()) {
                lateCalls.fetch_add(1);
            }
            if (!queue->isCurrent() || in->mNumberBuffers != 1 || out->mNumberBuffers != 1 ||
                in->mBuffers[0].mDataByteSize != 64 * 2 * 4) {
                inputCopied = false;
            }
            calls.fetch_add(1);
        },
        queue);
    ASSERT_EQ(AudioDeviceStart(loop, id), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() >= 3; }));
    // Hold the queue so that cycles pile up in it, then stop while they wait.
    std::promise<void> release;
    queue->async([f = release.get_future().share()] { f.wait(); });
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(AudioDeviceStop(loop, id), 0);
    stopped = true;
    release.set_value();
    queue->sync([] {});
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_TRUE(inputCopied.load());

    ASSERT_EQ(AudioDeviceDestroyIOProcID(loop, id), 0);

    // A queued block that stops itself returns, and nothing queued behind it runs.
    std::atomic<int> selfCalls{0};
    std::atomic<AudioDeviceIOProcID> self{nullptr};
    std::atomic<OSStatus> selfStatus{1};
    auto selfStopping = install(
        "loop",
        [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
            const AudioTimeStamp*) {
            if (selfCalls.fetch_add(1) == 0) {
                std::this_thread::sleep_for(10ms); // let more cycles queue up behind this one
                selfStatus = AudioDeviceStop(loop, self.load());
            }
        },
        queue);
    self = selfStopping;
    ASSERT_EQ(AudioDeviceStart(loop, selfStopping), 0);
    ASSERT_TRUE(waitFor([&] { return selfStatus.load() != 1; }));
    queue->sync([] {});
    EXPECT_EQ(selfStatus.load(), 0);
    EXPECT_EQ(selfCalls.load(), 1);
    EXPECT_EQ(AudioServer::runningIOCount(), 0u);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(loop, selfStopping), 0);
}

TEST_F(DeviceIOTest, IOCallsAnswerTheServerStatuses) {
    AudioObjectID out = server->deviceID("out");
    auto noop = [](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                   const AudioTimeStamp*) {
    };
    AudioDeviceIOProcID id = nullptr;
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, 9999, nullptr, noop), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, kAudioObjectSystemObject, nullptr, noop),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, out, nullptr, nullptr), kAudio_ParamError);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(AudioDeviceStart(out, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceStop(9999, nullptr), kAudioHardwareBadObjectError);

    // A proc id belongs to its device.
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, out, nullptr, noop), 0);
    EXPECT_EQ(AudioDeviceStart(server->deviceID("loop"), id), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, id), kAudioHardwareIllegalOperationError);

    AudioServer::stop();
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, out, nullptr, noop), kAudioHardwareNotRunningError);
}

TEST_F(DeviceIOTest, RemovingARunningDeviceStopsItsThreadAndItsProcs) {
    AudioObjectID out = server->deviceID("out");
    Watched w;
    auto id = install("out", w.block());
    ASSERT_EQ(AudioDeviceStart(out, id), 0);
    ASSERT_TRUE(waitFor([&] { return w.calls.load() >= 2; }));
    ASSERT_TRUE(server->removeDevice("out"));
    EXPECT_EQ(AudioServer::runningIOCount(), 0u);
    EXPECT_FALSE(w.inside.load());
    int calls = w.calls.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(w.calls.load(), calls);
    EXPECT_EQ(AudioDeviceStart(out, id), kAudioHardwareBadObjectError);
    AudioDeviceIOProcID another = nullptr;
    EXPECT_NE(AudioDeviceCreateIOProcIDWithBlock(&another, out, nullptr, w.block()), 0);

    // A block may remove its own device.
    std::atomic<int> loopCalls{0};
    auto remover = install("loop", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                       AudioBufferList*, const AudioTimeStamp*) {
        if (loopCalls.fetch_add(1) == 1) {
            server->removeDevice("loop");
        }
    });
    ASSERT_EQ(AudioDeviceStart(server->deviceID("loop"), remover), 0);
    EXPECT_TRUE(waitFor([] { return AudioServer::runningIOCount() == 0; }));
    EXPECT_EQ(loopCalls.load(), 2);

    // Stopping the server ends the threads of the devices still running.
    DeviceSpec again;
    again.uid = "loop";
    again.inputStreams = {2};
    again.outputStreams = {2};
    server->addDevice(again);
    auto loop = install("loop", w.block(0us));
    ASSERT_EQ(AudioDeviceStart(server->deviceID("loop"), loop), 0);
    EXPECT_EQ(AudioServer::runningIOCount(), 1u);
    AudioServer::stop();
    EXPECT_EQ(AudioServer::runningIOCount(), 0u);
}

// A client frees what its block uses as soon as its stop returns, whatever the status: a device or a
// server that is going away meanwhile must not call the block after that.
TEST_F(DeviceIOTest, AStopThatRacesTheDevicesEndReturnsOnlyOnceTheBlockIsDone) {
    for (int round = 0; round < 6; ++round) {
        const bool wholeServer = round % 2 != 0;
        if (round > 0) {
            AudioServer::stop();
            server = AudioServer::start({.profile = nlohmann::json::parse(profileJSON), .home = home});
        }
        const AudioObjectID out = server->deviceID("out");
        std::atomic<bool> freed{false};
        std::atomic<bool> calledAfterFree{false};
        std::atomic<int> calls{0};
        auto id = install("out", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                     AudioBufferList*, const AudioTimeStamp*) {
            calls.fetch_add(1);
            // Long enough that the device's end finds the block running.
            for (int step = 0; step < 20; ++step) {
                if (freed.load()) {
                    calledAfterFree = true;
                }
                std::this_thread::sleep_for(100us);
            }
        });
        ASSERT_EQ(AudioDeviceStart(out, id), 0);
        ASSERT_TRUE(waitFor([&] { return calls.load() >= 2; }));

        // The client stops as soon as the device no longer answers, as a listener would.
        std::thread client([&] {
            const AudioObjectPropertyAddress alive{kAudioDevicePropertyDeviceIsAlive,
                                                   kAudioObjectPropertyScopeGlobal,
                                                   kAudioObjectPropertyElementMain};
            uint32_t value = 0;
            uint32_t size = sizeof value;
            while (AudioObjectGetPropertyData(out, &alive, 0, nullptr, &size, &value) == 0) {
                std::this_thread::yield();
            }
            AudioDeviceStop(out, id);
            AudioDeviceDestroyIOProcID(out, id);
            freed = true;
        });
        if (wholeServer) {
            AudioServer::stop();
        } else {
            ASSERT_TRUE(server->removeDevice("out"));
        }
        client.join();
        std::this_thread::sleep_for(5ms);
        EXPECT_FALSE(calledAfterFree.load()) << (wholeServer ? "server stop" : "device removal");
    }
}

// ---- Format changes ----

TEST_F(DeviceIOTest, BufferSizeAndRateChangesTakeEffectAtTheNextCycleAndNotify) {
    AudioObjectID out = server->deviceID("out");
    auto queue = DispatchQueue::serial("test.format");
    std::atomic<int> rateNotices{0}, sizeNotices{0};
    AudioObjectPropertyListenerToken t1 = 0, t2 = 0;
    AudioObjectPropertyAddress nsrt{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                    0};
    AudioObjectPropertyAddress fsiz{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
    ASSERT_EQ(
        AudioObjectAddPropertyListener(
            out, &nsrt, queue, [&](uint32_t, const AudioObjectPropertyAddress*) { rateNotices++; }, &t1),
        0);
    ASSERT_EQ(
        AudioObjectAddPropertyListener(
            out, &fsiz, queue, [&](uint32_t, const AudioObjectPropertyAddress*) { sizeNotices++; }, &t2),
        0);
    std::atomic<uint32_t> frames{0};
    std::atomic<int> calls{0};
    auto id = install("out", [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                 AudioBufferList* output, const AudioTimeStamp*) {
        frames = output->mBuffers[0].mDataByteSize / 8;
        calls.fetch_add(1);
    });
    ASSERT_EQ(AudioDeviceStart(out, id), 0);
    ASSERT_TRUE(waitFor([&] { return frames.load() == 128; }));

    uint32_t size = 32;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &fsiz, 0, nullptr, sizeof size, &size), 0);
    int at = calls.load();
    ASSERT_TRUE(waitFor([&] { return calls.load() >= at + 2; }));
    EXPECT_EQ(frames.load(), 32u);

    std::atomic<uint32_t> buffers{0};
    auto layoutWatcher = install("out", [&](const AudioTimeStamp*, const AudioBufferList*,
                                            const AudioTimeStamp*, AudioBufferList* output,
                                            const AudioTimeStamp*) {
        buffers = output->mNumberBuffers * 100 + output->mBuffers[output->mNumberBuffers - 1].mNumberChannels;
    });
    ASSERT_EQ(AudioDeviceStart(out, layoutWatcher), 0);
    ASSERT_TRUE(server->setStreamLayout("out", kAudioObjectPropertyScopeOutput, {2, 4}));
    EXPECT_TRUE(waitFor([&] { return buffers.load() == 204; }));
    ASSERT_EQ(AudioDeviceDestroyIOProcID(out, layoutWatcher), 0);

    // At 96 kHz with 32 frames a cycle lasts a third of a millisecond: count them loosely.
    double rate = 96000;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &nsrt, 0, nullptr, sizeof rate, &rate), 0);
    std::this_thread::sleep_for(20ms);
    int before = calls.load();
    auto began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(200ms);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    double expected = seconds * 96000 / 32;
    EXPECT_GT(calls.load() - before, expected * 0.5);
    EXPECT_LT(calls.load() - before, expected * 1.5 + 5);
    ASSERT_EQ(AudioDeviceStop(out, id), 0);

    queue->sync([] {});
    EXPECT_EQ(rateNotices.load(), 1);
    EXPECT_EQ(sizeNotices.load(), 1);
    EXPECT_EQ(server->recordedOutput("out", 48000)->channels, 6u);
}

TEST_F(DeviceIOTest, ClockDriftMovesTheCycleRateInItsDirection) {
    AudioObjectID out = server->deviceID("out");
    // Frames per second of the device against the host clock, from the cycles' own time stamps.
    auto measure = [&](double ppm) {
        EXPECT_TRUE(server->setClockDrift("out", ppm));
        std::mutex mutex;
        std::vector<std::pair<double, uint64_t>> stamps;
        auto id = install("out", [&](const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*,
                                     AudioBufferList*, const AudioTimeStamp*) {
            std::lock_guard lock(mutex);
            stamps.emplace_back(now->mSampleTime, now->mHostTime);
        });
        EXPECT_EQ(AudioDeviceStart(out, id), 0);
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(out, id), 0);
        std::lock_guard lock(mutex);
        auto first = stamps.at(1), last = stamps.back();
        return (last.first - first.first) / (double(last.second - first.second) * 1e-9);
    };
    double fast = measure(2000), slow = measure(-2000), exact = measure(0);
    EXPECT_NEAR(exact, 48000, 5);
    EXPECT_NEAR(fast, 48000 * 1.002, 20);
    EXPECT_NEAR(slow, 48000 * 0.998, 20);
    EXPECT_FALSE(server->setClockDrift("out", 1e6));
}

TEST(HardwareProfileIO, SignalsAndDriftAreReadFromTheProfile) {
    auto p = HardwareProfile::fromJSON(nlohmann::json::parse(R"({"devices":[
        {"uid":"a","inputStreams":[2],"inputSignal":{"sine":440,"level":-20},"clockDriftPpm":-12.5},
        {"uid":"b","inputStreams":[2],"inputSignal":{"sine":[{"frequency":100,"amplitude":0.3}]}},
        {"uid":"c","inputStreams":[1],"inputSignal":"loopback"}]})"));
    EXPECT_EQ(p.devices[0].clockDriftPpm, -12.5);
    EXPECT_NEAR(p.devices[0].inputSignal.toneOfChannel(1).amplitude, 0.1, 1e-9);
    EXPECT_EQ(p.devices[1].inputSignal.toneOfChannel(0), (InputSignal::Tone{100, 0.3}));
    EXPECT_EQ(p.devices[1].inputSignal.toneOfChannel(1), InputSignal::Tone{}); // past the list: silent
    EXPECT_EQ(p.devices[2].inputSignal.kind, InputSignal::Kind::loopback);

    for (const char* bad : {R"({"devices":[{"uid":"a","inputSignal":"noise"}]})",
                            R"({"devices":[{"uid":"a","inputSignal":{"sine":-3}}]})",
                            R"({"devices":[{"uid":"a","clockDriftPpm":50000}]})"}) {
        EXPECT_THROW(HardwareProfile::fromJSON(nlohmann::json::parse(bad)), HardwareProfileError) << bad;
    }
}

} // namespace

namespace {

TEST_F(DeviceIOTest, AMixedToneKeepsItsPhaseWhenOtherTonesJoin) {
    // A 700 Hz tone alone, then joined by a quiet 3 kHz one listed first: the 700 Hz tone must run on
    // without a jump, as a tapped application does when another starts playing. (700 Hz, so that a
    // cycle of 96 frames does not end on a whole period.)
    const auto mixOf = [](std::vector<InputSignal::Tone> tones) {
        return InputSignal{InputSignal::Kind::mix, std::move(tones), false};
    };
    ASSERT_TRUE(server->setInputSignal("multi", mixOf({{700, 0.5}})));
    constexpr size_t kCapacity = 48000;
    std::vector<float> heard(kCapacity);
    std::atomic<size_t> count{0};
    auto id = install("multi", [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                                   AudioBufferList*, const AudioTimeStamp*) {
        const auto* samples = static_cast<const float*>(in->mBuffers[0].mData);
        const uint32_t frames = in->mBuffers[0].mDataByteSize / (2 * sizeof(float));
        size_t at = count.load();
        for (uint32_t f = 0; f < frames && at < kCapacity; ++f) {
            heard[at++] = samples[f * 2];
        }
        count.store(at);
    });
    ASSERT_EQ(AudioDeviceStart(server->deviceID("multi"), id), 0);
    ASSERT_TRUE(waitFor([&] { return count.load() > kCapacity / 4; }));
    ASSERT_TRUE(server->setInputSignal("multi", mixOf({{3000, 0.001}, {700, 0.5}})));
    ASSERT_TRUE(waitFor([&] { return count.load() >= kCapacity; }));
    AudioDeviceStop(server->deviceID("multi"), id);
    AudioDeviceDestroyIOProcID(server->deviceID("multi"), id);

    // A 700 Hz sine of amplitude 0.5 moves at most 2π·700/48000·0.5 ≈ 0.046 per sample (plus the quiet
    // tone); a restarted phase jumps by up to 0.5.
    float largestStep = 0;
    for (size_t n = 1; n < kCapacity; ++n) {
        largestStep = std::max(largestStep, std::abs(heard[n] - heard[n - 1]));
    }
    EXPECT_LT(largestStep, 0.06f);
}

} // namespace
