// The engine and latency self-tests ("--engine-test", "--latency-test"): a tone (and optionally a capture,
// the microphone and monitors) routed by a private routing engine into the driver's lines and measured on
// the lines' inputs, or clicks routed into Line 1 and timed from generation to arrival. Called by the
// entry point; never returns. The judging of what was measured is kept in pure functions below.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/SelfTestArguments.h"
#include "TandrelApp/Diagnostics/SelfTestReport.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"

struct EngineTestRunner {
    // Runs the engine or the latency scenario, as the arguments say, and ends the process with the
    // report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);

    // The test the arguments ask for: fills a report (the error form when the scenario fails), writes it
    // ("--report" or standard output) and returns the exit status. Needs a running audio server and an
    // event loop on the calling thread.
    static QCoro::Task<int> execute(SelfTestArguments arguments);

    // The two scenarios; they fill `report` in place, so keys written before a failure stay. Both throw
    // what ends them early.
    static QCoro::Task<> scenario(std::shared_ptr<SelfTestReport::Report> report,
                                  SelfTestArguments arguments);
    static QCoro::Task<> latencyScenario(std::shared_ptr<SelfTestReport::Report> report,
                                         SelfTestArguments arguments);

    // What the engine test heard, as its checks read it.
    struct EngineMeasurements {
        // Per input channel of each line, the probe amplitudes in the order 440, 1000 Hz.
        std::vector<std::vector<double>> line1;
        std::vector<std::vector<double>> line2;
        // Line 2's levels in the last analysed block.
        CaptureAnalyzer::Levels line2Levels;
        // Output channels of Line 2's destination: the tone plays on its last two.
        uint32_t line2Channels = 0;
        bool capture = false;
        bool microphone = false;
        // Completed render calls of each monitor destination.
        std::vector<uint64_t> monitorRenders;
        // Underruns of each route since the baseline.
        std::vector<uint64_t> underrunsDuringTest;
    };

    // The checks by their texts. A channel the analyzer does not have counts as a failed check.
    static std::map<std::string, bool> checks(const EngineMeasurements& measured);

    // The latency figures: the first four values dropped (they may come from before the route settled),
    // the rest sorted; the median is the upper middle value.
    struct LatencySummary {
        std::vector<double> values;
        std::optional<double> median, minimum, maximum;
    };
    static LatencySummary summarize(std::vector<double> latencies);

    // "Line 1: 2ch @ 48000Hz".
    static std::string lineText(const AudioDeviceInfo& line);
    // "tone → Line2 ch63-64 (dual mono)" for a Line 2 of 64 channels.
    static std::string toneIntoLine2Label(uint32_t line2Channels);
};
