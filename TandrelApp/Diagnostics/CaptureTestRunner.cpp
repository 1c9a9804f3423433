#include "TandrelApp/Diagnostics/CaptureTestRunner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/System/ScreenCapturePermission.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/NumberText.h"
#include "TandrelApp/Diagnostics/SelfTestHarness.h"
#include "TandrelApp/Diagnostics/SelfTestReport.h"
#include "TandrelApp/Engine/CaptureError.h"
#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Engine/ProcessTapSource.h"
#include "TandrelApp/Engine/SCKAudioSource.h"

namespace {

using Report = SelfTestReport::Report;
using Clock = std::chrono::steady_clock;

struct CaptureOptions {
    std::string target = "system";
    double seconds = 5;
    std::vector<double> frequencies;
    CaptureMode mode = CaptureMode::automatic;
    std::optional<std::string> out;

    static CaptureOptions parse(const SelfTestArguments& arguments) {
        CaptureOptions options;
        options.target = arguments.value("--target").value_or("system");
        // NaN and negative durations wait nothing; an infinite one waits until the process is ended.
        const double seconds = arguments.doubleValue("--seconds").value_or(5);
        options.seconds = seconds > 0 ? seconds : 0;
        if (auto freqs = arguments.value("--freqs")) {
            options.frequencies = SelfTestNumbers::parseList(*freqs);
        }
        if (auto backend = arguments.value("--backend")) {
            options.mode = captureModeFromRawValue(*backend).value_or(CaptureMode::automatic);
        }
        options.out = arguments.value("--out");
        return options;
    }
};

// The stop text of a source that ended by itself; its handler may run on any thread.
class StopText {
public:
    void record(std::exception_ptr error) {
        std::string text = "stopped";
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                text = e.what();
            } catch (...) {
                text = "unknown error";
            }
        }
        std::lock_guard lock(mutex_);
        text_ = std::move(text);
    }
    std::optional<std::string> text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> text_;
};

CaptureTarget targetOf(const std::string& text) {
    return text == "system" ? CaptureTarget::systemAudio() : CaptureTarget::application(text, text);
}

// An application target of which no process runs, neither the application nor a helper of it. A
// process tap would start on no process at all and deliver silence, as if all were well.
bool isNotRunning(const CaptureTarget& target) {
    const CaptureTarget::Application* app = target.app();
    return app != nullptr && !applicationRuns(app->bundleID);
}

// The statistics of the stopped source and what the analyzer measured.
void reportMeasurements(Report& report, const AudioCaptureSource& source, const CaptureAnalyzer& analyzer,
                        const std::optional<std::string>& stopText, double elapsedSeconds) {
    report["ok"] = !stopText.has_value();
    if (stopText) {
        report["stopError"] = *stopText;
    }
    const CaptureStatistics statistics = source.statistics();
    report["format"] = statistics.sourceFormat;
    report["callbacks"] = statistics.callbacks;
    report["framesReceived"] = statistics.framesReceived;
    report["sampleRate"] = source.sampleRate();
    if (statistics.tappedProcesses) {
        report["tappedProcesses"] = *statistics.tappedProcesses;
    }
    report["framesPerCallback"] = statistics.lastCallbackFrames;
    report["framesConsumed"] = analyzer.totalFramesConsumed();
    report["droppedFrames"] = analyzer.droppedFrames();
    report["receivedSeconds"] = double(statistics.framesReceived) / source.sampleRate();
    report["elapsedSeconds"] = elapsedSeconds;
    report["lastPeak"] = analyzer.levels().peak;

    Report probe = Report::object();
    const auto amplitudes = analyzer.probeAmplitudes();
    const auto& frequencies = analyzer.probeFrequencies();
    for (size_t i = 0; i < std::min(frequencies.size(), amplitudes.size()); ++i) {
        // Two probes with one integer part (440 and 440.5) share a key: the first one listed keeps it.
        const std::string key = integerPartText(frequencies[i]);
        if (!probe.contains(key)) {
            probe[key] = amplitudes[i];
        }
    }
    report["probe"] = std::move(probe);
}

int finish(const Report& report, const SelfTestArguments& arguments) {
    return SelfTestReport::finish(report, arguments, SelfTestReport::Fallback::standardOutput);
}

int fail(Report& report, const SelfTestArguments& arguments, const std::string& description) {
    SelfTestReport::recordFailure(report, description);
    return finish(report, arguments);
}

QCoro::Task<int> runCapture() {
    co_return co_await CaptureTestRunner::execute(SelfTestArguments::process());
}

} // namespace

void CaptureTestRunner::run(int& argc, char** argv) {
    const std::vector<SelfTestOption> options{
        {.name = "--target"},
        SelfTestOptions::seconds,
        {.name = "--freqs", .kind = SelfTestOption::Kind::numbers},
        {.name = "--backend",
         .kind = SelfTestOption::Kind::choice,
         .choices = {"automatic", "processTap", "screenCaptureKit"}},
        {.name = "--out"},
        SelfTestOptions::report,
    };
    SelfTestHarness::run(argc, argv, SelfTestReport::Fallback::standardOutput, options, runCapture);
}

std::shared_ptr<AudioCaptureSource> CaptureTestRunner::makeSource(CaptureBackend backend,
                                                                  const CaptureTarget& target,
                                                                  std::optional<uint32_t> bufferFrames) {
    if (backend == CaptureBackend::processTap) {
        auto tap = std::make_shared<ProcessTapSource>(target);
        tap->setBufferFrames(bufferFrames);
        return tap;
    }
    return std::make_shared<SCKAudioSource>(target, 48000);
}

QCoro::Task<int> CaptureTestRunner::execute(SelfTestArguments arguments, SourceMaker sourceMaker) {
    Report report = Report::object();
    const CaptureOptions options = CaptureOptions::parse(arguments);
    const CaptureTarget target = targetOf(options.target);
    const CaptureBackend chosen = backend(options.mode, target);
    report["target"] = options.target;
    report["seconds"] = options.seconds;
    report["backend"] = std::string(rawValue(chosen));
    report["screenCapturePermission"] = ScreenCapturePermission::preflight();

    if (isNotRunning(target)) {
        co_return fail(report, arguments, CaptureError::applicationNotFound(target.app()->bundleID).what());
    }
    std::shared_ptr<AudioCaptureSource> source =
        sourceMaker ? sourceMaker(chosen, target) : makeSource(chosen, target);
    auto stopText = std::make_shared<StopText>();
    source->setOnStop([stopText](std::exception_ptr error) { stopText->record(std::move(error)); });
    try {
        auto starting = source->start();
        co_await std::move(starting);
    } catch (const std::exception& e) {
        co_return fail(report, arguments, e.what());
    }

    std::shared_ptr<CaptureAnalyzer> analyzer;
    try {
        analyzer = std::make_shared<CaptureAnalyzer>(source, options.frequencies);
        analyzer->start();
        if (options.out) {
            analyzer->startRecording(*options.out);
        }
    } catch (const std::exception& e) {
        // The capture is left running: the process ends right after the report.
        co_return fail(report, arguments, e.what());
    }

    const auto waitStart = Clock::now();
    co_await SelfTestHarness::waitSeconds(options.seconds);
    analyzer->stop();
    auto stopping = source->stop();
    co_await std::move(stopping);
    const double elapsed = std::chrono::duration<double>(Clock::now() - waitStart).count();

    reportMeasurements(report, *source, *analyzer, stopText->text(), elapsed);
    co_return finish(report, arguments);
}
