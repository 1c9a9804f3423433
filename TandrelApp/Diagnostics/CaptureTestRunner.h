// The capture self-test ("--capture-test"): checks that one capture backend delivers audio from one
// application or from the whole system, measures it with the capture analyzer and reports what arrived.
// Called by the entry point; never returns.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Diagnostics/SelfTestArguments.h"
#include "TandrelApp/Engine/CaptureModel.h"

struct CaptureTestRunner {
    // Runs the test headless in its own event loop and ends the process with the report's exit status.
    [[noreturn]] static void run(int& argc, char** argv);

    // Makes the capture source for a backend and target; tests substitute their own.
    using SourceMaker = std::function<std::shared_ptr<AudioCaptureSource>(CaptureBackend backend,
                                                                          const CaptureTarget& target)>;
    // The source the self-tests use: a process tap with that buffer size (none: the device keeps its
    // own), or a screen capture at 48 kHz.
    static std::shared_ptr<AudioCaptureSource>
    makeSource(CaptureBackend backend, const CaptureTarget& target,
               std::optional<uint32_t> bufferFrames = std::nullopt);

    // The test itself, with the options of `arguments`: captures, writes the report ("--report" or
    // standard output) and returns the exit status. Never throws. Needs a running audio server and an
    // event loop on the calling thread.
    static QCoro::Task<int> execute(SelfTestArguments arguments, SourceMaker sourceMaker = {});
};
