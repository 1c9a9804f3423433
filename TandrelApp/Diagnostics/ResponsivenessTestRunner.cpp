#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"

#include <algorithm>
#include <chrono>

#include <QObject>
#include <QTimer>
#include <qcoro/qcorotimer.h>

#include "TandrelApp/Diagnostics/SelfTestHarness.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Report = SelfTestReport::Report;

constexpr auto kHeartbeat = 50ms;
constexpr double kSimulatedDelaySeconds = 30;
constexpr auto kHangPhase = 8s;
constexpr auto kRecoveryLimit = 12s;
constexpr auto kPoll = 100ms;
constexpr double kGapLimitSeconds = 0.25;
constexpr double kDetectionEarliest = 4.9;
constexpr double kDetectionLatest = 7.0;

const char* const kGapCheck = "応答待ちの間もメインスレッドが止まらない（最大間隔 < 250ms）";
const char* const kDetectionCheck = "5〜7 秒で「応答なし」を検出";
const char* const kRecoveryCheck = "応答が戻ると自動で復旧し、デバイス一覧を読み込む";

// A main-thread timer beating every 50 ms: a blocked main thread delays it, so the largest gap between
// two beats is the longest stall.
class Heartbeat {
public:
    Heartbeat() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            largestGap_ = std::max(largestGap_, std::chrono::duration<double>(now - lastBeat_).count());
            lastBeat_ = now;
        });
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.start(kHeartbeat);
    }
    double largestGap() const { return largestGap_; }
    void resetLargestGap() { largestGap_ = 0; }
    void stop() { timer_.stop(); }

private:
    QTimer timer_;
    Clock::time_point lastBeat_ = Clock::now();
    double largestGap_ = 0;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QCoro::Task<int> runResponsiveness() {
    auto report = std::make_shared<Report>(Report::object());
    co_await ResponsivenessTestRunner::scenario(report);
    co_return SelfTestReport::finish(*report, SelfTestArguments::process(),
                                     SelfTestReport::Fallback::nowhere);
}

} // namespace

void ResponsivenessTestRunner::run(int& argc, char** argv) {
    SelfTestHarness::run(argc, argv, SelfTestReport::Fallback::nowhere, {SelfTestOptions::report},
                         runResponsiveness);
}

QCoro::Task<> ResponsivenessTestRunner::scenario(std::shared_ptr<Report> report) {
    Measurements measured;
    auto heartbeat = std::make_unique<Heartbeat>();
    CoreAudioCall::simulatedDelay.store(kSimulatedDelaySeconds);
    // Its first pass lists the devices through the call queue, which now hangs: the pass times out.
    auto controller = RoutingController::create(RoutingConfig(), false, false);

    const auto hangStart = Clock::now();
    while (Clock::now() - hangStart < kHangPhase) {
        co_await QCoro::sleepFor(kPoll);
        if (!measured.detectedAfterSeconds && !controller->audioSystemResponsive()) {
            measured.detectedAfterSeconds = secondsSince(hangStart);
        }
    }
    measured.hangGapSeconds = heartbeat->largestGap();

    CoreAudioCall::simulatedDelay.store(0);
    heartbeat->resetLargestGap();
    const auto recoveryStart = Clock::now();
    while (Clock::now() - recoveryStart < kRecoveryLimit) {
        co_await QCoro::sleepFor(kPoll);
        if (controller->audioSystemResponsive() && controller->devicesLoaded()) {
            measured.recoveredAfterSeconds = secondsSince(recoveryStart);
            break;
        }
    }
    heartbeat->stop();
    for (const auto& line : controller->lines()) {
        measured.linesAfterRecovery.push_back(line.name);
    }
    fillReport(*report, measured);
}

std::map<std::string, bool> ResponsivenessTestRunner::checks(const Measurements& measured) {
    const auto& detected = measured.detectedAfterSeconds;
    return {
        {kGapCheck, measured.hangGapSeconds < kGapLimitSeconds},
        {kDetectionCheck,
         detected.has_value() && *detected >= kDetectionEarliest && *detected <= kDetectionLatest},
        {kRecoveryCheck, measured.recoveredAfterSeconds.has_value() && !measured.linesAfterRecovery.empty()},
    };
}

void ResponsivenessTestRunner::fillReport(Report& report, const Measurements& measured) {
    report["maxMainThreadGapWhileHungMs"] = measured.hangGapSeconds * 1000;
    report["unresponsiveDetectedAfterSec"] = measured.detectedAfterSeconds.value_or(-1);
    report["recoveredAfterSec"] = measured.recoveredAfterSeconds.value_or(-1);
    report["linesAfterRecovery"] = measured.linesAfterRecovery;
    const auto results = checks(measured);
    report["checks"] = results;
    report["ok"] =
        std::all_of(results.begin(), results.end(), [](const auto& check) { return check.second; });
}
