// The routing self-test ("--routing-test"): drives a real routing controller through eleven stages of the
// user's edits with two injected test tones (and optionally captured applications and the microphone), and
// after each stage listens to the lines themselves and compares the tones' amplitudes with what the
// configuration should give. Called by the entry point on the main thread; never returns. Slot
// assignment, the expected levels, the report's texts and the checks are pure functions below.
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
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Routing/RoutingController.h"

struct RoutingTestRunner {
    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    // The report is written only to a "--report" path.
    [[noreturn]] static void run(int& argc, char** argv);

    struct Options {
        // The "--capture" bundle identifiers, empty items dropped.
        std::vector<std::string> captures;
        bool microphone = false;
        static Options parse(const SelfTestArguments& arguments);
    };

    // One stereo pair of a line: its first channel, counted from 0.
    struct Slot {
        AudioDeviceInfo line;
        int64_t pair = 0;
        // "Line 1 ch1-2".
        std::string label() const;
        bool operator==(const Slot&) const = default;
    };

    // What a line played back during one measurement, per input channel of the line.
    struct Measurement {
        // Probe amplitudes in the order of probeFrequencies.
        std::vector<std::vector<double>> amps;
        CaptureAnalyzer::Levels levels;
    };
    // By line UID.
    using Measurements = std::map<std::string, Measurement>;
    static inline const std::vector<double> probeFrequencies{440, 600, 900, 1000};

    // How the scenario hears the lines. The product opens each used line's input and analyses it; tests
    // may compute what the lines would play instead.
    class Listener {
    public:
        virtual ~Listener() = default;
        // Before the first stage: opens the used lines. Throws what prevents it.
        virtual QCoro::Task<> open(std::vector<AudioDeviceInfo> lines) = 0;
        // After a stage's edits have been reconciled; `config` is the configuration then in force.
        virtual QCoro::Task<Measurements> measure(RoutingConfig config) = 0;
        virtual QCoro::Task<> close() = 0;
    };
    // Line inputs with capture analyzers: 1.5 s for the last edit to reach the lines, then 3 s analysed.
    static std::shared_ptr<Listener> lineInputListener();

    // The test itself on the main thread: fills `report` in place (keys written before a failure stay)
    // and throws what ends it early. The line volumes it changes are restored however it ends. Needs a
    // running audio server.
    static QCoro::Task<> scenario(std::shared_ptr<SelfTestReport::Report> report, Options options,
                                  std::shared_ptr<Listener> listener);

    // ---- Pure parts

    // Every stereo pair of every line, lines in the given order; an odd last channel forms none.
    static std::vector<Slot> slotsOf(const std::vector<AudioDeviceInfo>& lines);

    // Which pair each signal plays into: the two tones, the first capture (C), the further captures and
    // the microphone (D).
    struct Assignment {
        Slot a, b;
        std::optional<Slot> c;
        std::vector<Slot> further;
        std::optional<Slot> d;
    };
    // Throws CoreAudioError when the lines have fewer pairs than the test needs.
    static Assignment assign(const std::vector<Slot>& available, size_t captures, bool microphone);

    // The amplitude a tone of 0.2 should have on channel `pair + offset` of the slot's line under
    // `config`: connection gain × source volume × device channel gain. Nothing when the connection is
    // gone.
    static std::optional<double> expected(const RoutingConfig& config, const UUID& sourceID,
                                          const UUID& connectionID, const Slot& slot, int offset);

    // `running(detail: "injected")`, `failed("…")`, `idle`, ...
    static std::string statusText(const RoutingController::SourceStatus& status);
    // One text per connection from the source, in configuration order:
    // `pair 0 w2 mode stereo sc 0 mask Optional(3) map ["0->0x1.0", "0->1x1.0"]`.
    static std::vector<std::string> connectionsText(const RoutingConfig& config, const UUID& sourceID);

    // The stages' checks over what was measured, in stage order, and the figures the report shows
    // beside them. A measurement or channel that is missing fails the check that needs it.
    class Checks {
    public:
        explicit Checks(Assignment assignment);

        void stage1(const Measurements& m);
        void stage2(const Measurements& m);
        void stage3(const Measurements& m, std::optional<double> expectedA, std::optional<double> expectedB);
        void stage4(const Measurements& m);
        // `fromB`: the connections from source B after the stage's edits, in configuration order.
        void stage5(const Measurements& m, const std::vector<Connection>& fromB);
        void stage6(const Measurements& m);
        void stage7(const Measurements& m, const std::vector<Connection>& fromB);
        void stage8(const Measurements& m);
        void stage9(const Measurements& m);
        void stage10(const Measurements& m);
        void stage11(const Measurements& m);

        const std::map<std::string, bool>& results() const { return results_; }
        bool allPassed() const;
        // "stage3Expected", "stage3Measured", "stage8" and "stage10"; missing values are null.
        void writeFigures(SelfTestReport::Report& report) const;

    private:
        std::optional<double> amp(const Measurements& m, const Slot& slot, int offset, size_t probe) const;
        std::optional<float> peak(const Measurements& m, const Slot& slot, int offset) const;

        const Assignment slots_;
        std::map<std::string, bool> results_;
        std::optional<double> expectedA_, expectedB_;
        std::optional<double> measuredA_, measuredBL900_, measuredBR600_;
        std::optional<double> left7_, left8_, left9_;
        std::optional<double> left10_, right10_, left11_, left900at11_;
    };
};
