#include "TandrelApp/Diagnostics/SelfTestHarness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include <QCoreApplication>
#include <qcoro/qcorotimer.h>

#include "Platform/AudioServer/AudioServer.h"
#include "TandrelApp/Support/AppError.h"
#include "TandrelApp/Support/AudioServerStart.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

QCoro::Task<> runBody(SelfTestHarness::Body body) {
    int status = 1;
    try {
        status = co_await body();
    } catch (const std::exception& e) {
        Log::app("SelfTest")->error("Self-test failed: {}", e.what());
    } catch (...) {
        Log::app("SelfTest")->error("Self-test failed with an unknown exception");
    }
    SelfTestHarness::exitProcess(status);
}

// The error form before the test could start.
[[noreturn]] void failBeforeStart(SelfTestReport::Fallback fallback, const std::string& description) {
    SelfTestReport::Report report = nlohmann::json::object();
    SelfTestReport::recordFailure(report, description);
    SelfTestReport::finish(report, SelfTestArguments::process(), fallback);
    SelfTestHarness::exitProcess(1);
}

} // namespace

namespace SelfTestHarness {

void run(int& argc, char** argv, SelfTestReport::Fallback fallback,
         const std::vector<SelfTestOption>& options, Body body) {
    SelfTestArguments::setProcess(SelfTestArguments::fromCommandLine(argc, argv));
    const SelfTestArguments::Check check = SelfTestArguments::process().check(options);
    for (const std::string& warning : check.warnings) {
        Log::console(warning);
    }
    if (check.refusal) {
        failBeforeStart(fallback, *check.refusal);
    }
    std::unique_ptr<QCoreApplication> owned;
    if (QCoreApplication::instance() == nullptr) {
        owned = std::make_unique<QCoreApplication>(argc, argv);
    }
    registerMainQueue();
    try {
        startAudioServer();
    } catch (const std::exception& e) {
        // On standard error too: the report may go to a file nobody reads when nothing ran.
        Log::app("SelfTest")->error("Self-test failed: {}", e.what());
        failBeforeStart(fallback, e.what());
    }
    spawnOnMain([body] { return runBody(body); });
    QCoreApplication::exec();
    exitProcess(0);
}

void startAudioServer() {
    try {
        AudioServerStart::start();
    } catch (const HardwareProfileError& e) {
        throw AppError(std::string("オーディオサーバーを起動できません: ") + e.what());
    }
}

QCoro::Task<> waitSeconds(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (double remaining = seconds; remaining > 0;
         remaining = seconds - std::chrono::duration<double>(Clock::now() - start).count()) {
        const auto step = std::chrono::duration<double>(std::min(remaining, 3600.0));
        co_await QCoro::sleepFor(std::chrono::ceil<std::chrono::milliseconds>(step));
    }
}

void exitProcess(int status) {
    // The loggers write to standard error as they log; flushing the C streams is all that is left.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace SelfTestHarness
