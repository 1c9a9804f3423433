#include "TandrelApp/Diagnostics/EngineTestRunner.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/ClickDetector.h"
#include "TandrelApp/Diagnostics/ClickSource.h"
#include "TandrelApp/Diagnostics/MeasuredValues.h"
#include "TandrelApp/Diagnostics/NumberText.h"
#include "TandrelApp/Diagnostics/SelfTestDevices.h"
#include "TandrelApp/Diagnostics/SelfTestHarness.h"
#include "TandrelApp/Diagnostics/ToneSource.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Engine/RoutingEngine.h"

namespace {

using Report = SelfTestReport::Report;
using RoutePointer = std::shared_ptr<RoutingEngine::Route>;

constexpr double kToneLevel = 0.2f;
constexpr double kToneTolerance = 0.02f;
constexpr double kSameLevel = 0.002;
constexpr double kSilent = 0.002;
constexpr double kHeard = 0.01;
const std::vector<double> kProbes{440, 1000};
constexpr size_t k440 = 0, k1000 = 1;

const char* const kLine1DualMono = "line1 dual mono: ch1/ch2 に 440Hz が同レベル";
const char* const kLine2LastPair = "line2 ch63-64 に 440Hz（デュアルモノ）";
const char* const kLine2FirstPairSilent = "line2 ch1-2 は無音";
const char* const kLine2NoToneInCapturePair = "line2 ch3-4 に tone が混入しない";
const char* const kCaptureInLine1 = "line1 ch1-2 に capture(1000Hz) が入る";
const char* const kCaptureInLine2 = "line2 ch3-4 に capture(1000Hz) が入る";
const char* const kNoCaptureInLastPair = "line2 ch63-64 に capture が混入しない";
const char* const kNoUnderruns = "測定中のアンダーラン 0";
const char* const kMicDualMono = "mic デュアルモノ: Line2 ch5 と ch6 が同一で無音でない";
const char* const kMonitorsRender = "モニター出力が動作";

struct EngineOptions {
    double seconds = 6;
    std::optional<std::string> capture;
    std::vector<std::string> monitors;
    float monitorGain = 0.2f;
    std::optional<uint32_t> buffer;
    double safetyMs = 5;
    bool microphone = false;

    static EngineOptions parse(const SelfTestArguments& arguments) {
        EngineOptions options;
        options.seconds = arguments.doubleValue("--seconds").value_or(6);
        options.capture = arguments.value("--capture");
        options.monitors = arguments.listValue("--monitor");
        options.monitorGain = arguments.floatValue("--monitor-gain").value_or(0.2f);
        options.buffer = arguments.uint32Value("--buffer");
        options.safetyMs = arguments.doubleValue("--safety-ms").value_or(5);
        options.microphone = arguments.contains("--mic");
        return options;
    }
};

struct LatencyOptions {
    uint32_t buffer = 512;
    double safetyMs = 5;
    double seconds = 5;

    static LatencyOptions parse(const SelfTestArguments& arguments) {
        return {arguments.uint32Value("--buffer").value_or(512),
                arguments.doubleValue("--safety-ms").value_or(5),
                arguments.doubleValue("--seconds").value_or(5)};
    }
};

using MeasuredValues::above;
using MeasuredValues::amplitude;
using MeasuredValues::below;
using MeasuredValues::near;

// ChannelMapping entries of (source, destination) pairs at unity gain.
ChannelMapping mapping(std::initializer_list<std::pair<int64_t, int64_t>> pairs) {
    ChannelMapping result;
    for (auto [source, destination] : pairs) {
        result.entries.push_back({source, destination, 1.0f});
    }
    return result;
}

// Runs a blocking audio-server call on the call queue, with the self-tests' time-out.
template <typename F>
QCoro::Task<std::invoke_result_t<F>> onCallQueue(std::string label, F body) {
    auto call = CoreAudioCall::run(std::move(label), SelfTestDevices::callTimeout, std::move(body));
    co_return co_await std::move(call);
}

QCoro::Task<std::shared_ptr<OutputDestination>> startDestination(AudioDeviceInfo device,
                                                                 std::optional<uint32_t> buffer) {
    auto destination = std::make_shared<OutputDestination>(std::move(device));
    auto starting = onCallQueue("出力の開始", [destination, buffer] { destination->start(buffer); });
    co_await std::move(starting);
    co_return destination;
}

QCoro::Task<std::shared_ptr<InputDeviceSource>> startInput(AudioDeviceInfo device,
                                                           std::optional<uint32_t> buffer) {
    auto input = std::make_shared<InputDeviceSource>(std::move(device));
    auto starting = input->start(buffer);
    co_await std::move(starting);
    co_return input;
}

Report routeReport(const std::string& label, const RoutingEngine::Route& route, uint64_t baseline) {
    const TDRouteStats stats = TDRouteGetStats(route.raw());
    return {{"route", label},
            {"primed", stats.primed},
            {"fill", stats.fill},
            {"target", stats.target},
            {"latencyMs", double(stats.target) / route.producer()->sampleRate() * 1000},
            {"driftPpm", (stats.ratio / stats.nominalRatio - 1) * 1e6},
            {"nominalRatio", stats.nominalRatio},
            {"underrunsDuringTest", stats.underruns - std::min(stats.underruns, baseline)},
            {"overruns", stats.overruns}};
}

uint64_t underruns(const RoutingEngine::Route& route) {
    return TDRouteGetStats(route.raw()).underruns;
}

// Everything one engine-test run builds, in creation order; released in reverse, the engine first, so
// a run that fails half-way leaves nothing playing.
class EngineRun {
public:
    EngineRun(EngineOptions options, AudioDeviceInfo line1, AudioDeviceInfo line2,
              std::shared_ptr<Report> report)
        : options_(std::move(options))
        , line1_(std::move(line1))
        , line2_(std::move(line2))
        , report_(std::move(report)) {}

    // The lines' destinations, the tone, the capture, the routes, the microphone, the monitors and last
    // the line inputs, in that order; throws what fails to start.
    QCoro::Task<> setUp() {
        auto line1 = startDestination(line1_, options_.buffer);
        line1Destination_ = co_await std::move(line1);
        auto line2 = startDestination(line2_, options_.buffer);
        line2Destination_ = co_await std::move(line2);
        tone_ = std::make_shared<ToneSource>(std::vector<double>{440}, float(kToneLevel), 44100, 441);
        tone_->start();
        if (options_.capture) {
            auto capturing = startCapture(*options_.capture);
            co_await std::move(capturing);
        }
        const uint32_t n = line2Destination_->channelCount();
        connect("tone → Line1 ch1-2 (dual mono)", tone_, line1Destination_, mapping({{0, 0}, {0, 1}}), 1.0f);
        connect(EngineTestRunner::toneIntoLine2Label(n), tone_, line2Destination_,
                mapping({{0, int64_t(n) - 2}, {0, int64_t(n) - 1}}), 1.0f);
        if (capture_) {
            connect("capture → Line1 ch1-2", capture_, line1Destination_, mapping({{0, 0}, {1, 1}}), 1.0f);
            connect("capture → Line2 ch3-4", capture_, line2Destination_, mapping({{0, 2}, {1, 3}}), 1.0f);
        }
        if (options_.microphone) {
            co_await startMicrophone();
        }
        co_await startMonitors();
        for (const auto& route : routes_) {
            route.second->setSafetyMilliseconds(options_.safetyMs);
        }
        auto input1 = startInput(line1_, options_.buffer);
        line1Input_ = co_await std::move(input1);
        auto input2 = startInput(line2_, options_.buffer);
        line2Input_ = co_await std::move(input2);
    }

    // Lets the routes settle, takes their underrun baseline and analyses both lines for the measurement
    // time.
    QCoro::Task<EngineTestRunner::EngineMeasurements> measure() {
        co_await SelfTestHarness::waitSeconds(1.5);
        for (const auto& route : routes_) {
            baseline_.push_back(underruns(*route.second));
        }
        auto line1Analyzer = std::make_shared<CaptureAnalyzer>(line1Input_, kProbes);
        auto line2Analyzer = std::make_shared<CaptureAnalyzer>(line2Input_, kProbes);
        line1Analyzer->start();
        line2Analyzer->start();
        co_await SelfTestHarness::waitSeconds(options_.seconds);
        line1Analyzer->stop();
        line2Analyzer->stop();

        EngineTestRunner::EngineMeasurements measured;
        measured.line1 = line1Analyzer->probeAmplitudesPerChannel();
        measured.line2 = line2Analyzer->probeAmplitudesPerChannel();
        measured.line2Levels = line2Analyzer->levels();
        measured.line2Channels = line2Destination_->channelCount();
        measured.capture = capture_ != nullptr;
        measured.microphone = microphone_ != nullptr;
        for (const auto& monitor : monitors_) {
            measured.monitorRenders.push_back(TDDestinationRenderCount(monitor->raw()));
        }
        for (size_t i = 0; i < routes_.size(); ++i) {
            const uint64_t now = underruns(*routes_[i].second);
            measured.underrunsDuringTest.push_back(now - std::min(now, baseline_[i]));
        }
        co_return measured;
    }

    // The measurements, the routes' and monitors' figures, the checks and "ok".
    void writeReport(const EngineTestRunner::EngineMeasurements& measured) {
        Report& report = *report_;
        report["line1"] = channelReport(measured.line1, {1, 2});
        const int64_t n = measured.line2Channels;
        report["line2"] = channelReport(measured.line2, {1, 2, 3, 4, n - 1, n});
        Report routes = Report::array();
        for (size_t i = 0; i < routes_.size(); ++i) {
            routes.push_back(routeReport(routes_[i].first, *routes_[i].second, baseline_[i]));
        }
        report["routes"] = std::move(routes);
        Report monitors = Report::array();
        for (const auto& monitor : monitors_) {
            monitors.push_back({{"device", monitor->device().name},
                                {"renders", TDDestinationRenderCount(monitor->raw())},
                                {"peakL", TDDestinationPeak(monitor->raw(), 0)},
                                {"peakR", TDDestinationPeak(monitor->raw(), 1)}});
        }
        report["monitors"] = std::move(monitors);
        if (microphone_) {
            report["mic"] = microphoneReport(measured.line2Levels);
        }
        const auto checks = EngineTestRunner::checks(measured);
        report["checks"] = checks;
        report["ok"] =
            std::all_of(checks.begin(), checks.end(), [](const auto& check) { return check.second; });
    }

    // Inputs stopped, routes disconnected, producers and destinations stopped, and a moment for the
    // audio to drain.
    QCoro::Task<> tearDown() {
        for (auto* input : {&line1Input_, &line2Input_, &microphone_}) {
            if (*input) {
                auto stopping = (*input)->stop();
                co_await std::move(stopping);
            }
        }
        for (const auto& route : routes_) {
            engine_.disconnect(route.second);
        }
        tone_->stop();
        if (capture_) {
            auto stopping = capture_->stop();
            co_await std::move(stopping);
        }
        line1Destination_.reset();
        line2Destination_.reset();
        monitors_.clear();
        try {
            co_await SelfTestHarness::waitSeconds(1.2);
        } catch (const std::exception&) {
            // The run is over either way.
        }
    }

private:
    void connect(std::string label, std::shared_ptr<AudioProducer> producer,
                 std::shared_ptr<OutputDestination> destination, const ChannelMapping& map, float gain) {
        routes_.emplace_back(std::move(label),
                             engine_.connect(std::move(producer), std::move(destination), map, gain));
    }

    QCoro::Task<> startCapture(std::string bundleID) {
        const auto target = CaptureTarget::application(bundleID, bundleID);
        auto source =
            CaptureTestRunner::makeSource(backend(CaptureMode::automatic, target), target, options_.buffer);
        auto starting = source->start();
        co_await std::move(starting);
        capture_ = std::move(source);
        (*report_)["captureBackend"] = std::string(rawValue(capture_->backend()));
    }

    QCoro::Task<> startMicrophone() {
        auto reading = onCallQueue("マイクの検出", [] { return SelfTestDevices::defaultInput(); });
        const auto device = co_await std::move(reading);
        if (!device) {
            co_return;
        }
        auto starting = startInput(*device, options_.buffer);
        microphone_ = co_await std::move(starting);
        microphoneName_ = device->name;
        connect(fmt::format("mic({}, {}ch) → Line2 ch5-6 (dual mono)", device->name, device->inputChannels),
                microphone_, line2Destination_, mapping({{0, 4}, {0, 5}}), 1.0f);
    }

    QCoro::Task<> startMonitors() {
        for (const auto& uid : options_.monitors) {
            auto lookup = onCallQueue("モニターの検出", [uid] { return AudioDeviceCatalog::device(uid); });
            const auto device = co_await std::move(lookup);
            if (!device) {
                continue;
            }
            auto starting = startDestination(*device, options_.buffer);
            auto monitor = co_await std::move(starting);
            monitors_.push_back(monitor);
            connect("Line1 mix → " + device->name, line1Destination_, monitor, mapping({{0, 0}, {1, 1}}),
                    options_.monitorGain);
        }
    }

    // "ch<k>" → {"440": ..., "1000": ...} for the listed 1-based channels the analyzer has.
    static Report channelReport(const std::vector<std::vector<double>>& amps, std::vector<int64_t> channels) {
        Report result = Report::object();
        for (int64_t channel : channels) {
            auto a440 = amplitude(amps, channel - 1, k440);
            auto a1000 = amplitude(amps, channel - 1, k1000);
            if (a440 && a1000) {
                result["ch" + std::to_string(channel)] = {{"440", *a440}, {"1000", *a1000}};
            }
        }
        return result;
    }

    Report microphoneReport(const CaptureAnalyzer::Levels& levels) const {
        auto level = [](const std::vector<float>& values, size_t channel) -> Report {
            return channel < values.size() ? Report(values[channel]) : Report();
        };
        return {{"device", microphoneName_},
                {"peakCh5", level(levels.peak, 4)},
                {"peakCh6", level(levels.peak, 5)},
                {"rmsCh5", level(levels.rms, 4)},
                {"rmsCh6", level(levels.rms, 5)}};
    }

    const EngineOptions options_;
    const AudioDeviceInfo line1_, line2_;
    const std::shared_ptr<Report> report_;

    std::shared_ptr<OutputDestination> line1Destination_, line2Destination_;
    std::vector<std::shared_ptr<OutputDestination>> monitors_;
    std::shared_ptr<ToneSource> tone_;
    std::shared_ptr<AudioCaptureSource> capture_;
    std::shared_ptr<InputDeviceSource> microphone_, line1Input_, line2Input_;
    std::string microphoneName_;
    std::vector<uint64_t> baseline_;
    // Declared last, so it goes first: its routes leave the destinations before they stop.
    RoutingEngine engine_;
    std::vector<std::pair<std::string, RoutePointer>> routes_;
};

QCoro::Task<std::vector<AudioDeviceInfo>> listLines() {
    auto listing = onCallQueue("ラインの検出", [] { return AudioDeviceCatalog::tandrelLines(); });
    co_return co_await std::move(listing);
}

QCoro::Task<int> runEngine() {
    co_return co_await EngineTestRunner::execute(SelfTestArguments::process());
}

} // namespace

void EngineTestRunner::run(int& argc, char** argv) {
    const std::vector<SelfTestOption> engineOptions{
        SelfTestOptions::seconds,
        {.name = "--capture"},
        {.name = "--monitor"},
        // A linear gain, at most the mixer's +12 dB.
        {.name = "--monitor-gain", .kind = SelfTestOption::Kind::number, .minimum = 0, .maximum = 4},
        SelfTestOptions::buffer,
        SelfTestOptions::safetyMs,
        {.name = "--mic", .kind = SelfTestOption::Kind::flag},
        SelfTestOptions::report,
    };
    const std::vector<SelfTestOption> latencyOptions{SelfTestOptions::buffer, SelfTestOptions::safetyMs,
                                                     SelfTestOptions::seconds, SelfTestOptions::report};
    const bool latency = std::find(argv, argv + argc, std::string_view("--latency-test")) != argv + argc;
    SelfTestHarness::run(argc, argv, SelfTestReport::Fallback::standardOutput,
                         latency ? latencyOptions : engineOptions, runEngine);
}

QCoro::Task<int> EngineTestRunner::execute(SelfTestArguments arguments) {
    auto report = std::make_shared<Report>(Report::object());
    std::optional<std::string> failure;
    try {
        if (arguments.contains("--latency-test")) {
            auto running = latencyScenario(report, arguments);
            co_await std::move(running);
        } else {
            auto running = scenario(report, arguments);
            co_await std::move(running);
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) {
        SelfTestReport::recordFailure(*report, *failure);
    }
    co_return SelfTestReport::finish(*report, arguments, SelfTestReport::Fallback::standardOutput);
}

QCoro::Task<> EngineTestRunner::scenario(std::shared_ptr<Report> report, SelfTestArguments arguments) {
    const EngineOptions options = EngineOptions::parse(arguments);
    const auto lines = co_await listLines();
    const auto line1 = SelfTestDevices::lineEndingIn(lines, "line1");
    const auto line2 = SelfTestDevices::lineEndingIn(lines, "line2");
    if (!line1 || !line2) {
        throw CoreAudioError::osStatus("Line 1 / Line 2 の検出（ドライバを再インストールしてください）", -1);
    }
    Report texts = Report::array();
    for (const auto& line : lines) {
        texts.push_back(lineText(line));
    }
    (*report)["lines"] = std::move(texts);

    auto run = std::make_shared<EngineRun>(options, *line1, *line2, report);
    co_await run->setUp();
    const auto measured = co_await run->measure();
    run->writeReport(measured);
    co_await run->tearDown();
}

QCoro::Task<> EngineTestRunner::latencyScenario(std::shared_ptr<Report> report, SelfTestArguments arguments) {
    const LatencyOptions options = LatencyOptions::parse(arguments);
    const auto lines = co_await listLines();
    const auto line1 = SelfTestDevices::lineEndingIn(lines, "line1");
    if (!line1) {
        throw CoreAudioError::osStatus("Line 1 の検出", -1);
    }
    auto starting = startDestination(*line1, options.buffer);
    auto destination = co_await std::move(starting);
    auto reading = onCallQueue("バッファサイズの読み取り", [id = line1->id] {
        try {
            return CoreAudioProperty::read<uint32_t>(id, kAudioDevicePropertyBufferFrameSize, 0u);
        } catch (const CoreAudioError&) {
            return 0u;
        }
    });
    const uint32_t actualBuffer = co_await std::move(reading);

    const uint32_t chunk = std::max(1u, std::min(options.buffer, 512u));
    auto clicks = std::make_shared<ClickSource>(48000, chunk, 0.25);
    // Declared after the destination, so its route leaves the destination before that stops.
    RoutingEngine engine;
    auto route = engine.connect(clicks, destination, mapping({{0, 0}, {0, 1}}), 1.0f);
    route->setSafetyMilliseconds(options.safetyMs);
    auto detector = std::make_shared<ClickDetector>(*line1, 0);
    auto listening =
        onCallQueue("クリック検出の開始", [detector, buffer = options.buffer] { detector->start(buffer); });
    co_await std::move(listening);

    clicks->start();
    co_await SelfTestHarness::waitSeconds(1);
    const uint64_t baseline = underruns(*route);
    co_await SelfTestHarness::waitSeconds(options.seconds);
    const TDRouteStats stats = TDRouteGetStats(route->raw());
    clicks->stop();
    auto stopping = onCallQueue("クリック検出の停止", [detector] { detector->stop(); });
    co_await std::move(stopping);
    // A click waits in the route's ring about as long as the ring's fill lasts (the target's reserve may
    // have grown beyond it), then a device buffer or two. Paired around that delay, a delay as long as
    // the clicks' interval is not taken for a short one.
    const double expectedMs = double(stats.fill) / clicks->sampleRate() * 1000;
    const LatencySummary summary = summarize(detector->latencies(clicks->burstTimes(), expectedMs));

    const uint64_t underrunsDuringTest = stats.underruns - std::min(stats.underruns, baseline);
    Report& r = *report;
    r["bufferFramesRequested"] = options.buffer;
    r["bufferFramesActual"] = actualBuffer;
    r["safetyMs"] = options.safetyMs;
    r["routeTargetMs"] = stats.target / 48.0;
    r["underruns"] = underrunsDuringTest;
    r["samples"] = summary.values.size();
    if (summary.median) {
        r["latencyMsMedian"] = *summary.median;
        r["latencyMsMin"] = *summary.minimum;
        r["latencyMsMax"] = *summary.maximum;
    }
    r["ok"] = !summary.values.empty() && underrunsDuringTest == 0;

    engine.disconnect(route);
    destination.reset();
    try {
        co_await SelfTestHarness::waitSeconds(1.2);
    } catch (const std::exception&) {
        // The run is over either way.
    }
}

std::map<std::string, bool> EngineTestRunner::checks(const EngineMeasurements& measured) {
    const auto& l1 = measured.line1;
    const auto& l2 = measured.line2;
    const int64_t n = measured.line2Channels;
    std::map<std::string, bool> results;

    const auto l1c1 = amplitude(l1, 0, k440), l1c2 = amplitude(l1, 1, k440);
    results[kLine1DualMono] = near(l1c1, kToneLevel, kToneTolerance) &&
                              near(l1c2, kToneLevel, kToneTolerance) && std::abs(*l1c1 - *l1c2) < kSameLevel;
    results[kLine2LastPair] = near(amplitude(l2, n - 2, k440), kToneLevel, kToneTolerance) &&
                              near(amplitude(l2, n - 1, k440), kToneLevel, kToneTolerance);
    results[kLine2FirstPairSilent] =
        below(amplitude(l2, 0, k440), kSilent) && below(amplitude(l2, 0, k1000), kSilent) &&
        below(amplitude(l2, 1, k440), kSilent) && below(amplitude(l2, 1, k1000), kSilent);
    results[kLine2NoToneInCapturePair] =
        below(amplitude(l2, 2, k440), kSilent) && below(amplitude(l2, 3, k440), kSilent);
    if (measured.capture) {
        results[kCaptureInLine1] =
            above(amplitude(l1, 0, k1000), kHeard) && above(amplitude(l1, 1, k1000), kHeard);
        results[kCaptureInLine2] =
            above(amplitude(l2, 2, k1000), kHeard) && above(amplitude(l2, 3, k1000), kHeard);
        results[kNoCaptureInLastPair] =
            below(amplitude(l2, n - 2, k1000), kSilent) && below(amplitude(l2, n - 1, k1000), kSilent);
    }
    results[kNoUnderruns] =
        std::all_of(measured.underrunsDuringTest.begin(), measured.underrunsDuringTest.end(),
                    [](uint64_t count) { return count == 0; });
    if (measured.microphone) {
        const auto& levels = measured.line2Levels;
        results[kMicDualMono] = levels.peak.size() > 5 && levels.rms.size() > 5 && levels.peak[4] > 0 &&
                                levels.peak[4] == levels.peak[5] && levels.rms[4] == levels.rms[5];
    }
    if (!measured.monitorRenders.empty()) {
        results[kMonitorsRender] = std::all_of(measured.monitorRenders.begin(), measured.monitorRenders.end(),
                                               [](uint64_t renders) { return renders >= 1; });
    }
    return results;
}

EngineTestRunner::LatencySummary EngineTestRunner::summarize(std::vector<double> latencies) {
    LatencySummary summary;
    latencies.erase(latencies.begin(),
                    latencies.begin() + std::ptrdiff_t(std::min<size_t>(4, latencies.size())));
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        summary.median = latencies[latencies.size() / 2];
        summary.minimum = latencies.front();
        summary.maximum = latencies.back();
    }
    summary.values = std::move(latencies);
    return summary;
}

std::string EngineTestRunner::lineText(const AudioDeviceInfo& line) {
    return fmt::format("{}: {}ch @ {}Hz", line.name, line.outputChannels, integerPartText(line.sampleRate));
}

std::string EngineTestRunner::toneIntoLine2Label(uint32_t line2Channels) {
    return fmt::format("tone → Line2 ch{}-{} (dual mono)", int64_t(line2Channels) - 1, line2Channels);
}
