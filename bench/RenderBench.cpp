// Cost of one render callback of a stereo destination fed by N routes, beside a plain copy of the
// same audio, and of a capture callback's fan-out write. Run: build/bench/render_bench
// For medians of interleaved rounds: --benchmark_repetitions=6 --benchmark_report_aggregates_only=true
// --benchmark_enable_random_interleaving=true
//
// Only the render call is timed; the producers' writes happen between renders, as on their own
// threads. Counters: per_frame_route is the time per output frame per route; budget is the share of
// the callback's real-time budget (frames / 48 kHz) that one render takes. The input argument selects
// audible routes (0), muted routes (1) or routes fed a signal in the denormal range (2).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "TandrelCore/TandrelCore.h"

namespace {

constexpr uint32_t kChannels = 2;
constexpr double kDestinationRate = 48000.0;
constexpr uint64_t kTicksPerSecond = 1'000'000'000ull;

void setCounters(benchmark::State& state, uint32_t routes, uint32_t frames) {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["per_frame_route"] = benchmark::Counter(
        iterations * frames * routes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["budget"] = benchmark::Counter(iterations * frames / kDestinationRate,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// args: routes, callback frames, source rate, input
void BM_DestinationRender(benchmark::State& state) {
    const auto routeCount = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    const auto sourceRate = static_cast<double>(state.range(2));
    const int64_t input = state.range(3);
    const double ratio = sourceRate / kDestinationRate;

    TDMatrixEntry entries[] = {{0, 0, 0.5f}, {1, 1, 0.5f}};
    std::vector<TDFanout*> producers;
    std::vector<TDRoute*> routes;
    for (uint32_t r = 0; r < routeCount; ++r) {
        producers.push_back(TDFanoutCreate(kChannels));
        routes.push_back(TDRouteCreate(kChannels, 4096, entries, 2, sourceRate, kDestinationRate));
        TDFanoutAdd(producers.back(), TDRouteRing(routes.back()));
        TDRouteSetMuted(routes.back(), input == 1);
    }
    TDDestination* destination = TDDestinationCreate(kChannels, 4096, true);
    TDPlanFree(TDDestinationSetRoutes(destination, routes.data(), routeCount));

    std::vector<float> device(static_cast<size_t>(frames) * kChannels);
    AudioBufferList output;
    output.mNumberBuffers = 1;
    output.mBuffers[0] = {kChannels, static_cast<uint32_t>(device.size() * sizeof(float)), device.data()};

    std::vector<float> block(4096 * kChannels);
    const float level = input == 2 ? 1e-39f : 0.25f;
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = level * static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    }
    uint64_t now = kTicksPerSecond;
    double owed = 0;
    const auto period = static_cast<uint64_t>(frames / kDestinationRate * kTicksPerSecond);
    const auto feed = [&] {
        // The producers deliver what the renders consume, on the same clock, each block landing half
        // a callback before the render that follows it.
        owed += frames * ratio;
        const auto due = static_cast<uint32_t>(owed);
        owed -= due;
        now += period;
        for (TDFanout* producer : producers) {
            TDFanoutWriteInterleaved(producer, block.data(), kChannels, due, now - period / 2);
        }
    };
    // Every route primes once the feed reaches its target, then settles: the producers deliver exactly
    // what the renders consume, so the drift control stays near its centre.
    for (int i = 0; i < 400; ++i) {
        feed();
        TDDestinationRender(destination, &output, frames, now);
    }

    for (auto _ : state) {
        feed();
        const auto start = std::chrono::steady_clock::now();
        TDDestinationRender(destination, &output, frames, now);
        benchmark::DoNotOptimize(device.data());
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    setCounters(state, routeCount, frames);

    TDDestinationDestroy(destination);
    for (uint32_t r = 0; r < routeCount; ++r) {
        TDFanoutRemove(producers[r], TDRouteRing(routes[r]));
        TDRouteDestroy(routes[r]);
        TDFanoutDestroy(producers[r]);
    }
}

// args: routes, callback frames. The same audio moved with one memcpy per route.
void BM_MemcpyBaseline(benchmark::State& state) {
    const auto routeCount = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    const size_t samples = static_cast<size_t>(frames) * kChannels;
    std::vector<float> source(samples * routeCount, 0.25f);
    std::vector<float> destination(samples);
    for (auto _ : state) {
        for (uint32_t r = 0; r < routeCount; ++r) {
            std::memcpy(destination.data(), source.data() + r * samples, samples * sizeof(float));
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(destination.data());
    }
    setCounters(state, routeCount, frames);
}

void renderArgs(benchmark::internal::Benchmark* b) {
    for (int64_t rate : {48000, 44100}) {
        for (int64_t frames : {64, 512}) {
            for (int64_t routes : {1, 8, 32}) {
                b->Args({routes, frames, rate, 0});
            }
        }
    }
    b->Args({32, 512, 44100, 1});
    b->Args({32, 512, 44100, 2});
    b->ArgNames({"routes", "frames", "rate", "input"});
    b->UseManualTime();
}

void copyArgs(benchmark::internal::Benchmark* b) {
    for (int64_t frames : {64, 512}) {
        for (int64_t routes : {1, 8, 32}) {
            b->Args({routes, frames});
        }
    }
    b->ArgNames({"routes", "frames"});
}

// One capture callback's write into a producer's fan-out with no consumer attached, as a line input's
// at rest: only the meters' peaks are worked out. args: channels, frames
void BM_FanoutWriteInterleaved(benchmark::State& state) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    TDFanout* fanout = TDFanoutCreate(channels);
    std::vector<float> block(size_t(frames) * channels);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = 0.25f * std::sin(0.01f * static_cast<float>(i));
    }
    for (auto _ : state) {
        TDFanoutWriteInterleaved(fanout, block.data(), channels, frames, 0);
        benchmark::DoNotOptimize(TDFanoutTakePeak(fanout, 0));
    }
    state.counters["budget"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * frames / kDestinationRate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    TDFanoutDestroy(fanout);
}

} // namespace

BENCHMARK(BM_DestinationRender)->Apply(renderArgs);
BENCHMARK(BM_MemcpyBaseline)->Apply(copyArgs);
BENCHMARK(BM_FanoutWriteInterleaved)->ArgsProduct({{2, 64}, {128, 512}})->ArgNames({"channels", "frames"});

BENCHMARK_MAIN();
