// The responsiveness self-test ("--responsiveness-test"): every audio-server call hangs for 30 s while a
// real routing controller runs; the test measures that the main thread keeps running, that the controller
// declares the audio system unresponsive within the expected window, and that it recovers and loads the
// device list once the calls answer again. Called by the entry point on the main thread; never returns.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Diagnostics/SelfTestReport.h"

struct ResponsivenessTestRunner {
    // What one run measured.
    struct Measurements {
        // The longest stall of the main thread while the calls hung, in seconds.
        double hangGapSeconds = 0;
        // Seconds from the hang's start to the first poll that saw the controller unresponsive.
        std::optional<double> detectedAfterSeconds;
        // Seconds from the release of the calls to the first poll that saw the controller responsive with
        // its devices loaded (none when that took longer than the limit).
        std::optional<double> recoveredAfterSeconds;
        std::vector<std::string> linesAfterRecovery;
    };

    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    // The report is written only to a "--report" path.
    [[noreturn]] static void run(int& argc, char** argv);

    // The test itself on the calling (main) thread: fills `report` with the measurements, the checks and
    // "ok". Never fails; a measurement that does not happen shows as -1 and a false check. Needs a running
    // audio server.
    static QCoro::Task<> scenario(std::shared_ptr<SelfTestReport::Report> report);

    // The three checks, by their texts, over what was measured.
    static std::map<std::string, bool> checks(const Measurements& measured);
    // The report's keys for what was measured: the figures, "checks" and "ok".
    static void fillReport(SelfTestReport::Report& report, const Measurements& measured);
};
