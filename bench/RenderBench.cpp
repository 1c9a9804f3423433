// Cost of one render callback of a stereo destination fed by N routes, beside a plain copy of the
// same audio. Run: build/bench/render_bench
//
// Counters: per_frame_route is the time per output frame per route; budget is the share of the
// callback's real-time budget (frames / 48 kHz) that one render takes.
#include <benchmark/benchmark.h>

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

// args: routes, callback frames, source rate
void BM_DestinationRender(benchmark::State& state) {
    const auto routeCount = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    const auto sourceRate = static_cast<double>(state.range(2));
    const double ratio = sourceRate / kDestinationRate;

    TDMatrixEntry entries[] = {{0, 0, 0.5f}, {1, 1, 0.5f}};
    std::vector<TDFanout*> producers;
    std::vector<TDRoute*> routes;
    for (uint32_t r = 0; r < routeCount; ++r) {
        producers.push_back(TDFanoutCreate(kChannels));
        routes.push_back(TDRouteCreate(kChannels, 4096, entries, 2, sourceRate, kDestinationRate));
        TDFanoutAdd(producers.back(), TDRouteRing(routes.back()));
    }
    TDDestination* destination = TDDestinationCreate(kChannels, 4096, true);
    TDPlanFree(TDDestinationSetRoutes(destination, routes.data(), routeCount));

    std::vector<float> device(static_cast<size_t>(frames) * kChannels);
    AudioBufferList output;
    output.mNumberBuffers = 1;
    output.mBuffers[0] = {kChannels, static_cast<uint32_t>(device.size() * sizeof(float)), device.data()};

    std::vector<float> block(4096 * kChannels);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = 0.25f * static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    }
    uint64_t now = kTicksPerSecond;
    double owed = 0;
    const auto feed = [&] {
        // The producers deliver what the renders consume, on the same clock.
        owed += frames * ratio;
        const auto due = static_cast<uint32_t>(owed);
        owed -= due;
        for (TDFanout* producer : producers) {
            TDFanoutWriteInterleaved(producer, block.data(), kChannels, due, now);
        }
        now += static_cast<uint64_t>(frames / kDestinationRate * kTicksPerSecond);
    };
    for (int i = 0; i < 64; ++i) { // prime every route
        feed();
        feed();
        TDDestinationRender(destination, &output, frames, now);
    }

    for (auto _ : state) {
        state.PauseTiming();
        feed();
        state.ResumeTiming();
        TDDestinationRender(destination, &output, frames, now);
        benchmark::DoNotOptimize(device.data());
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
                b->Args({routes, frames, rate});
            }
        }
    }
    b->ArgNames({"routes", "frames", "rate"});
}

void copyArgs(benchmark::internal::Benchmark* b) {
    for (int64_t frames : {64, 512}) {
        for (int64_t routes : {1, 8, 32}) {
            b->Args({routes, frames});
        }
    }
    b->ArgNames({"routes", "frames"});
}

} // namespace

BENCHMARK(BM_DestinationRender)->Apply(renderArgs);
BENCHMARK(BM_MemcpyBaseline)->Apply(copyArgs);

BENCHMARK_MAIN();
