// The frame every headless self-test runs in: a QCoreApplication (no display, no windows, no tray), the
// emulated audio server, the test body as a task on the main thread, and the end of the process with the
// report's exit status. The runners' run() functions hand their bodies here.
#pragma once

#include <vector>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Diagnostics/SelfTestArguments.h"
#include "TandrelApp/Diagnostics/SelfTestReport.h"

namespace SelfTestHarness {

// A test body: runs the test, writes its report and returns the exit status.
using Body = QCoro::Task<int> (*)();

// Records the command line and checks it against the test's `options` (warnings on standard error),
// makes the application object, starts the audio server and runs `body` in the event loop; ends the
// process with the status the body returns (1 when it throws, 0 should the loop ever return). When the
// command line holds an unusable value or the audio server cannot start, the report in its error form
// goes where `fallback` says and the process ends with 1.
[[noreturn]] void run(int& argc, char** argv, SelfTestReport::Fallback fallback,
                      const std::vector<SelfTestOption>& options, Body body);

// Starts the emulated audio server from its state home (TANDREL_AUDIO_SERVER_HOME): the home's
// profile.json or the built-in hardware, and the driver bundles in the home's PlugIns folder. Throws
// AppError with the reason when the profile is unusable.
void startAudioServer();

// Sleeps `seconds` on the calling thread's event loop, in steps a timer can hold, so any duration (an
// infinite one too) is waited out; NaN and negative durations wait nothing.
QCoro::Task<> waitSeconds(double seconds);

// Flushes what the process has written and ends it at once with `status`: no static destructors, so
// nothing races the audio threads that are still running.
[[noreturn]] void exitProcess(int status);

} // namespace SelfTestHarness
