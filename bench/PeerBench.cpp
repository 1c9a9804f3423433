// The route beside peer resamplers, on one signal and in one process: a stereo 1 kHz sine at 0.5,
// 44.1 → 48 kHz, 512 output frames per callback. Each benchmark is one resampler; by default they run
// six times in randomly interleaved rounds and report medians, then a table of ns per output frame,
// each one's time as a ratio of the route's, and each one's SNR against a fitted sine.
//
// Run: build/bench/peer_bench
// The route is timed for its render call only (the producer's write into its ring happens between the
// timed calls, as it would on the producer's own thread); a peer is timed for its process call, its
// input handed to it ready. "route (scalar)" forces the portable kernel; "route muted" and "route
// denormal" are the route silenced and the route fed a signal scaled into the denormal range.
#include <benchmark/benchmark.h>

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Support/ToneLevel.h"
#include "TandrelCore/CoreInternal.h"
#include "TandrelCore/TandrelCore.h"

namespace {

constexpr double kSourceRate = 44100.0;
constexpr double kDestinationRate = 48000.0;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kChunk = 512;
constexpr double kFrequency = 1000.0;
constexpr float kAmplitude = 0.5f;
constexpr uint32_t kPeriod = 441; // frames in which the 1 kHz sine at 44.1 kHz repeats exactly

// The source signal, from an exact one-period table, handed out in consecutive blocks.
class Signal {
public:
    explicit Signal(float scale)
        : table_(kPeriod * kChannels) {
        for (uint32_t n = 0; n < kPeriod; ++n) {
            const float s =
                scale * static_cast<float>(std::sin(2.0 * std::numbers::pi * kFrequency * n / kSourceRate));
            for (uint32_t c = 0; c < kChannels; ++c) {
                table_[n * kChannels + c] = s;
            }
        }
    }
    // The next frames, interleaved, into block.
    void next(std::vector<float>& block, uint32_t frames) {
        block.resize(static_cast<size_t>(frames) * kChannels);
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                block[static_cast<size_t>(i) * kChannels + c] = table_[next_ * kChannels + c];
            }
            next_ = next_ + 1 == kPeriod ? 0 : next_ + 1;
        }
    }

private:
    std::vector<float> table_;
    uint32_t next_ = 0;
};

// One resampler fed the source rate's share of each callback; step() runs one timed call.
class Resampler {
public:
    virtual ~Resampler() = default;
    // Source frames for the next callback, as a producer at 44.1 kHz delivers them.
    uint32_t due() {
        owed_ += kChunk * kSourceRate / kDestinationRate;
        const auto frames = static_cast<uint32_t>(owed_);
        owed_ -= frames;
        return frames;
    }
    // Takes the new input (untimed), runs one callback and returns its output frames and its time.
    virtual uint32_t step(const float* input, uint32_t frames, double& seconds) = 0;
    const std::vector<float>& output() const { return output_; }

protected:
    std::vector<float> output_ = std::vector<float>(8192 * kChannels);

private:
    double owed_ = 0;
};

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class RouteResampler : public Resampler {
public:
    enum class Mode { Audible, Scalar, Muted };
    explicit RouteResampler(Mode mode) {
        const TDMatrixEntry entries[] = {{0, 0, 1.0f}, {1, 1, 1.0f}};
        producer_ = TDFanoutCreate(kChannels);
        route_ = TDRouteCreate(kChannels, 4096, entries, 2, kSourceRate, kDestinationRate);
        destination_ = TDDestinationCreate(kChannels, 4096, false);
        TDFanoutAdd(producer_, TDRouteRing(route_));
        TDPlanFree(TDDestinationSetRoutes(destination_, &route_, 1));
        if (mode == Mode::Scalar) {
            tdcore::routeUseKernel(route_, tdcore::ResampleIsa::Scalar);
        }
        TDRouteSetMuted(route_, mode == Mode::Muted);
        list_.mNumberBuffers = 1;
        list_.mBuffers[0] = {kChannels, kChunk * kChannels * sizeof(float), output_.data()};
    }
    ~RouteResampler() override {
        TDDestinationDestroy(destination_);
        TDFanoutRemove(producer_, TDRouteRing(route_));
        TDRouteDestroy(route_);
        TDFanoutDestroy(producer_);
    }
    uint32_t step(const float* input, uint32_t frames, double& seconds) override {
        // The producer's block lands half a callback before the render, as on average it does when the
        // two run on their own threads.
        TDFanoutWriteInterleaved(producer_, input, kChannels, frames, now_ - kPeriodTicks / 2);
        now_ += kPeriodTicks;
        const auto start = Clock::now();
        TDDestinationRender(destination_, &list_, kChunk, now_);
        seconds = since(start);
        return kChunk;
    }

private:
    TDFanout* producer_;
    TDRoute* route_;
    TDDestination* destination_;
    AudioBufferList list_;
    static constexpr auto kPeriodTicks = static_cast<uint64_t>(kChunk / kDestinationRate * 1e9);
    uint64_t now_ = 1'000'000'000ull;
};

class SoxrResampler : public Resampler {
public:
    SoxrResampler(unsigned long recipe, bool variable) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, variable ? SOXR_VR : 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        if (variable) {
            // Variable rate: created for the largest input/output ratio, then told the current one.
            soxr_ = soxr_create(1.1, 1.0, kChannels, &error, &io, &quality, &runtime);
            if (error == nullptr) {
                error = soxr_set_io_ratio(soxr_, kSourceRate / kDestinationRate, 0);
            }
        } else {
            soxr_ = soxr_create(kSourceRate, kDestinationRate, kChannels, &error, &io, &quality, &runtime);
        }
        if (error != nullptr) {
            std::fprintf(stderr, "soxr: %s\n", error);
            std::abort();
        }
    }
    ~SoxrResampler() override { soxr_delete(soxr_); }
    uint32_t step(const float* input, uint32_t frames, double& seconds) override {
        size_t used = 0, made = 0;
        const auto start = Clock::now();
        soxr_process(soxr_, input, frames, &used, output_.data(), output_.size() / kChannels, &made);
        seconds = since(start);
        return static_cast<uint32_t>(made);
    }

private:
    soxr_t soxr_ = nullptr;
};

class SrcResampler : public Resampler {
public:
    SrcResampler() {
        int error = 0;
        src_ = src_new(SRC_SINC_FASTEST, kChannels, &error);
        if (src_ == nullptr) {
            std::fprintf(stderr, "libsamplerate: %s\n", src_strerror(error));
            std::abort();
        }
    }
    ~SrcResampler() override { src_delete(src_); }
    uint32_t step(const float* input, uint32_t frames, double& seconds) override {
        pending_.insert(pending_.end(), input, input + static_cast<size_t>(frames) * kChannels);
        SRC_DATA data{};
        data.data_in = pending_.data();
        data.input_frames = static_cast<long>(pending_.size() / kChannels);
        data.data_out = output_.data();
        data.output_frames = static_cast<long>(output_.size() / kChannels);
        data.src_ratio = kDestinationRate / kSourceRate;
        const auto start = Clock::now();
        src_process(src_, &data);
        seconds = since(start);
        pending_.erase(pending_.begin(), pending_.begin() + data.input_frames_used * kChannels);
        return static_cast<uint32_t>(data.output_frames_gen);
    }

private:
    SRC_STATE* src_ = nullptr;
    std::vector<float> pending_;
};

class SpeexResampler : public Resampler {
public:
    SpeexResampler() {
        int error = 0;
        speex_ = speex_resampler_init(kChannels, static_cast<spx_uint32_t>(kSourceRate),
                                      static_cast<spx_uint32_t>(kDestinationRate), 3, &error);
        if (speex_ == nullptr) {
            std::fprintf(stderr, "speexdsp: %s\n", speex_resampler_strerror(error));
            std::abort();
        }
    }
    ~SpeexResampler() override { speex_resampler_destroy(speex_); }
    uint32_t step(const float* input, uint32_t frames, double& seconds) override {
        pending_.insert(pending_.end(), input, input + static_cast<size_t>(frames) * kChannels);
        auto used = static_cast<spx_uint32_t>(pending_.size() / kChannels);
        auto made = static_cast<spx_uint32_t>(output_.size() / kChannels);
        const auto start = Clock::now();
        speex_resampler_process_interleaved_float(speex_, pending_.data(), &used, output_.data(), &made);
        seconds = since(start);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<size_t>(used) * kChannels);
        return made;
    }

private:
    SpeexResamplerState* speex_ = nullptr;
    std::vector<float> pending_;
};

// A plain copy of each callback's worth of source audio: the floor.
class CopyResampler : public Resampler {
public:
    uint32_t step(const float* input, uint32_t frames, double& seconds) override {
        const auto start = Clock::now();
        std::memcpy(output_.data(), input, static_cast<size_t>(frames) * kChannels * sizeof(float));
        benchmark::ClobberMemory();
        seconds = since(start);
        return frames;
    }
};

struct Contender {
    const char* name;
    float scale; // of the source signal
    std::unique_ptr<Resampler> (*make)();
    bool heard = true; // false where there is no sine to fit: silenced, denormal, not resampled
};

const Contender kContenders[] = {
    {"route", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new RouteResampler(RouteResampler::Mode::Audible));
     }},
    {"route (scalar)", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new RouteResampler(RouteResampler::Mode::Scalar));
     }},
    {"route muted", kAmplitude,
     [] { return std::unique_ptr<Resampler>(new RouteResampler(RouteResampler::Mode::Muted)); }, false},
    {"route denormal", 1e-39f,
     [] { return std::unique_ptr<Resampler>(new RouteResampler(RouteResampler::Mode::Audible)); }, false},
    {"soxr quick", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SoxrResampler(SOXR_QQ, false));
     }},
    {"soxr medium", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SoxrResampler(SOXR_MQ, false));
     }},
    {"soxr high", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SoxrResampler(SOXR_HQ, false));
     }},
    {"soxr variable-rate", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SoxrResampler(SOXR_HQ, true));
     }},
    {"libsamplerate sinc fastest", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SrcResampler);
     }},
    {"speexdsp quality 3", kAmplitude,
     [] {
         return std::unique_ptr<Resampler>(new SpeexResampler);
     }},
    {"copy", kAmplitude, [] { return std::unique_ptr<Resampler>(new CopyResampler); }, false},
};

// Runs callbacks; collects channel 0 of the output when `heard` is given.
struct Runner {
    Signal signal;
    std::unique_ptr<Resampler> resampler;
    std::vector<float> input;

    explicit Runner(const Contender& contender)
        : signal(contender.scale)
        , resampler(contender.make()) {}

    uint32_t step(double& seconds, std::vector<float>* heard = nullptr) {
        const uint32_t frames = resampler->due();
        signal.next(input, frames);
        const uint32_t made = resampler->step(input.data(), frames, seconds);
        if (heard != nullptr) {
            for (uint32_t i = 0; i < made; ++i) {
                heard->push_back(resampler->output()[static_cast<size_t>(i) * kChannels]);
            }
        }
        return made;
    }
    void warmUp(uint32_t callbacks) {
        double ignored;
        for (uint32_t i = 0; i < callbacks; ++i) {
            step(ignored);
        }
    }
};

// SNR in dB of a signal against least-squares sine fits over 100 ms windows, the sine's frequency taken
// from the first and last rising zero crossings.
double snrAgainstFittedSine(const std::vector<float>& out) {
    const double frequency = ToneLevel::crossingFrequency(out, kDestinationRate);
    if (frequency == 0) {
        return 0.0;
    }
    constexpr size_t kWindow = 4800;
    double residual = 0, power = 0;
    for (size_t start = 0; start + kWindow <= out.size(); start += kWindow) {
        const auto fit = ToneLevel::fitSine(out, start, kWindow, frequency, kDestinationRate);
        residual += fit.residual;
        power += fit.power;
    }
    return residual > 0 ? 10.0 * std::log10(power / residual) : 999.0;
}

// 20 s of warm-up (the route's drift control settles within a few of its 2 s time constants), then
// 1 s heard.
double measureSnr(const Contender& contender) {
    Runner runner(contender);
    runner.warmUp(static_cast<uint32_t>(20 * kDestinationRate / kChunk));
    std::vector<float> heard;
    double ignored;
    while (heard.size() < kDestinationRate) {
        runner.step(ignored, &heard);
    }
    heard.resize(static_cast<size_t>(kDestinationRate));
    return snrAgainstFittedSine(heard);
}

std::map<std::string, double> snrs;

void BM_Resampler(benchmark::State& state, const Contender* contender) {
    if (contender->heard && snrs.count(contender->name) == 0) {
        snrs[contender->name] = measureSnr(*contender);
    }
    Runner runner(*contender);
    runner.warmUp(200);
    double total = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        double seconds = 0;
        frames += runner.step(seconds);
        total += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["ns_per_frame"] = frames > 0 ? total * 1e9 / static_cast<double>(frames) : 0.0;
    if (contender->heard) {
        state.counters["snr_db"] = snrs[contender->name];
    }
}

// Keeps the console output and remembers each benchmark's median ns per frame.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const auto counter = run.counters.find("ns_per_frame");
            if ((median || single) && counter != run.counters.end()) {
                perFrame[run.run_name.function_name] = counter->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> perFrame;
};

void printTable(const std::map<std::string, double>& perFrame) {
    const auto route = perFrame.find("route");
    std::printf("\n%-28s %14s %14s %10s\n", "resampler", "ns/out frame", "× route", "SNR dB");
    for (const Contender& contender : kContenders) {
        const auto found = perFrame.find(contender.name);
        if (found == perFrame.end()) {
            continue;
        }
        const double ratio =
            route != perFrame.end() && route->second > 0 ? found->second / route->second : 0.0;
        std::printf("%-28s %14.3f %14.3f", contender.name, found->second, ratio);
        if (contender.heard) {
            std::printf(" %10.1f\n", snrs[contender.name]);
        } else {
            std::printf(" %10s\n", "-");
        }
    }
    std::printf(
        "(kernel: %s; 44.1 → 48 kHz stereo, %u-frame callbacks; medians of the repetitions. The route rows\n"
        "include the destination's own work per callback: zeroing, copying out and peaks. For what one\n"
        "more route costs, muted or not, see render_bench's 32-route rows.)\n",
        tdcore::resampleIsaName(tdcore::bestResampleIsa()), kChunk);
}

bool hasFlag(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Interleaved rounds and medians of six unless the command line says otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=6";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    if (!hasFlag(argc, argv, "--benchmark_repetitions")) {
        args.push_back(repetitions.data());
        if (!hasFlag(argc, argv, "--benchmark_report_aggregates_only")) {
            args.push_back(aggregates.data());
        }
    }
    if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving")) {
        args.push_back(interleaving.data());
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    for (const Contender& contender : kContenders) {
        benchmark::RegisterBenchmark(contender.name, BM_Resampler, &contender)->UseManualTime()->MinTime(0.2);
    }
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter.perFrame);
    benchmark::Shutdown();
    return 0;
}
