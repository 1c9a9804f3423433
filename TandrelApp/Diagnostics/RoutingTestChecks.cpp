// The routing self-test's pure parts: slots and their assignment, the expected levels, the report's texts
// and the stages' checks.
#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "TandrelApp/Diagnostics/MeasuredValues.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/Volume.h"

namespace {

using MeasuredValues::above;
using MeasuredValues::near;

using Report = SelfTestReport::Report;

constexpr size_t k440 = 0, k600 = 1, k900 = 2, k1000 = 3;
// A probe amplitude below this is silence.
constexpr double kSilent = 0.003;
constexpr double kToneLevel = 0.2;
constexpr double kHalfToneLevel = 0.1002;
constexpr double kHeard = 0.01;
// -6 dB as a linear factor, rounded as the checks state it.
constexpr double kMinus6dB = 0.501;

// a ≈ x: within a tenth of x.
bool approx(std::optional<double> a, std::optional<double> x) {
    return a && x && std::abs(*a - *x) <= 0.1 * *x;
}
bool silent(std::optional<double> a) {
    return a && *a < kSilent;
}
std::optional<double> scaled(std::optional<double> x, double factor) {
    return x ? std::optional(*x * factor) : std::nullopt;
}
std::optional<double> sum(std::optional<double> a, std::optional<double> b) {
    return a && b ? std::optional(*a + *b) : std::nullopt;
}
Report figure(std::optional<double> value) {
    return value ? Report(*value) : Report();
}

// Swift's description of a Float: the shortest text that reads back, with at least one decimal.
std::string floatText(float value) {
    std::string text = fmt::format("{}", value);
    if (text.find_first_of(".ein") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace

RoutingTestRunner::Options RoutingTestRunner::Options::parse(const SelfTestArguments& arguments) {
    return {arguments.listValue("--capture"), arguments.contains("--mic")};
}

std::string RoutingTestRunner::Slot::label() const {
    return fmt::format("{} ch{}-{}", line.name, pair + 1, pair + 2);
}

std::vector<RoutingTestRunner::Slot> RoutingTestRunner::slotsOf(const std::vector<AudioDeviceInfo>& lines) {
    std::vector<Slot> result;
    for (const auto& line : lines) {
        for (int64_t pair = 0; pair + 1 < int64_t(line.outputChannels); pair += 2) {
            result.push_back({line, pair});
        }
    }
    return result;
}

RoutingTestRunner::Assignment RoutingTestRunner::assign(const std::vector<Slot>& available, size_t captures,
                                                        bool microphone) {
    const size_t needed = captures + 2 + (microphone ? 1 : 0);
    if (available.size() < needed) {
        throw CoreAudioError::osStatus(
            fmt::format("検証に必要なステレオペア（{} 組）がラインにありません", needed), -1);
    }
    Assignment assignment{available[0], available[1], std::nullopt, {}, std::nullopt};
    if (captures > 0) {
        assignment.c = available[2];
        for (size_t k = 0; k + 1 < captures; ++k) {
            assignment.further.push_back(available[k + 3]);
        }
    }
    if (microphone) {
        assignment.d = available[needed - 1];
    }
    return assignment;
}

std::optional<double> RoutingTestRunner::expected(const RoutingConfig& config, const UUID& sourceID,
                                                  const UUID& connectionID, const Slot& slot, int offset) {
    const auto connection = std::find_if(config.connections.begin(), config.connections.end(),
                                         [&](const Connection& c) { return c.id == connectionID; });
    const auto source = std::find_if(config.sources.begin(), config.sources.end(),
                                     [&](const SourceConfig& s) { return s.id == sourceID; });
    if (connection == config.connections.end() || source == config.sources.end()) {
        return std::nullopt;
    }
    const float connectionGain = Volume::linearGain(connection->gainDB);
    const float sourceGain = source->isMuted ? 0.0f : Volume::linearGain(source->volumeDB);
    const float deviceGain = config.volume(slot.line.uid).gain(slot.pair + offset);
    return kToneLevel * double(connectionGain * sourceGain * deviceGain);
}

std::string RoutingTestRunner::statusText(const RoutingController::SourceStatus& status) {
    using Status = RoutingController::SourceStatus;
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Status::Running>) {
                return fmt::format("running(detail: \"{}\")", value.detail);
            } else if constexpr (std::is_same_v<T, Status::Waiting>) {
                return fmt::format("waiting(\"{}\")", value.text);
            } else if constexpr (std::is_same_v<T, Status::Failed>) {
                return fmt::format("failed(\"{}\")", value.text);
            } else if constexpr (std::is_same_v<T, Status::Idle>) {
                return "idle";
            } else if constexpr (std::is_same_v<T, Status::Starting>) {
                return "starting";
            } else {
                return "standby";
            }
        },
        status.value);
}

std::vector<std::string> RoutingTestRunner::connectionsText(const RoutingConfig& config,
                                                            const UUID& sourceID) {
    std::vector<std::string> texts;
    for (const auto& connection : config.connections) {
        if (connection.from != Endpoint::source(sourceID)) {
            continue;
        }
        std::vector<std::string> entries;
        for (const auto& entry : connection.channelMapping(2).entries) {
            entries.push_back(
                fmt::format("\"{}->{}x{}\"", entry.source, entry.destination, floatText(entry.gain)));
        }
        const std::string mask =
            connection.routeMask ? fmt::format("Optional({})", *connection.routeMask) : std::string("nil");
        texts.push_back(fmt::format("pair {} w{} mode {} sc {} mask {} map [{}]", connection.pair,
                                    connection.width, rawValue(connection.mode), connection.sourceChannel,
                                    mask, fmt::join(entries, ", ")));
    }
    return texts;
}

// ---- Checks

RoutingTestRunner::Checks::Checks(Assignment assignment)
    : slots_(std::move(assignment)) {}

std::optional<double> RoutingTestRunner::Checks::amp(const Measurements& m, const Slot& slot, int offset,
                                                     size_t probe) const {
    const auto found = m.find(slot.line.uid);
    if (found == m.end()) {
        return std::nullopt;
    }
    return MeasuredValues::amplitude(found->second.amps, slot.pair + offset, probe);
}

std::optional<float> RoutingTestRunner::Checks::peak(const Measurements& m, const Slot& slot,
                                                     int offset) const {
    const auto found = m.find(slot.line.uid);
    const int64_t channel = slot.pair + offset;
    if (found == m.end() || channel < 0 || size_t(channel) >= found->second.levels.peak.size()) {
        return std::nullopt;
    }
    return found->second.levels.peak[size_t(channel)];
}

void RoutingTestRunner::Checks::stage1(const Measurements& m) {
    const Slot& a = slots_.a;
    const Slot& b = slots_.b;
    const double tolerance = kToneLevel * 0.1;
    results_["1: Tone A（モノラル）が " + a.label() + " に自動でデュアルモノ"] =
        near(amp(m, a, 0, k440), kToneLevel, tolerance) && near(amp(m, a, 1, k440), kToneLevel, tolerance);
    results_["1: Tone B ステレオ: " + b.label() + " の L=600Hz, R=900Hz"] =
        near(amp(m, b, 0, k600), kToneLevel, tolerance) && silent(amp(m, b, 0, k900)) &&
        near(amp(m, b, 1, k900), kToneLevel, tolerance) && silent(amp(m, b, 1, k600));
    if (slots_.c) {
        results_["1: キャプチャが " + slots_.c->label() + " に入る"] =
            above(amp(m, *slots_.c, 0, k1000), kHeard) && above(amp(m, *slots_.c, 1, k1000), kHeard);
    }
    if (slots_.d) {
        const auto left = peak(m, *slots_.d, 0);
        const auto right = peak(m, *slots_.d, 1);
        results_["1: マイクが " + slots_.d->label() + " に同一波形（デュアルモノ）"] =
            left && right && *left > 0 && *left == *right;
    }
}

void RoutingTestRunner::Checks::stage2(const Measurements& m) {
    const Slot& a = slots_.a;
    const Slot& b = slots_.b;
    const double tolerance = kHalfToneLevel * 0.1;
    results_["2: ゲイン -6dB が反映（440Hz が約半分）"] =
        near(amp(m, a, 0, k440), kHalfToneLevel, tolerance) &&
        near(amp(m, a, 1, k440), kHalfToneLevel, tolerance);
    results_["2: 左右反転が反映（L=900Hz, R=600Hz）"] =
        near(amp(m, b, 0, k900), kToneLevel, kToneLevel * 0.1) && silent(amp(m, b, 0, k600)) &&
        near(amp(m, b, 1, k600), kToneLevel, kToneLevel * 0.1) && silent(amp(m, b, 1, k900));
    if (slots_.c) {
        results_["2: 接続の削除が反映（" + slots_.c->label() + " が無音）"] =
            silent(amp(m, *slots_.c, 0, k1000)) && silent(amp(m, *slots_.c, 1, k1000));
    }
}

void RoutingTestRunner::Checks::stage3(const Measurements& m, std::optional<double> expectedA,
                                       std::optional<double> expectedB) {
    const Slot& a = slots_.a;
    const Slot& b = slots_.b;
    expectedA_ = expectedA;
    expectedB_ = expectedB;
    measuredA_ = amp(m, a, 0, k440);
    measuredBL900_ = amp(m, b, 0, k900);
    measuredBR600_ = amp(m, b, 1, k600);
    results_["3: 音源の音量 -6dB が反映（A）"] =
        approx(amp(m, a, 0, k440), expectedA) && approx(amp(m, a, 1, k440), expectedA);
    results_["3: ペア -6dB とライン全体 -6dB が反映（B）"] =
        approx(measuredBL900_, expectedB) && approx(measuredBR600_, expectedB);
}

void RoutingTestRunner::Checks::stage4(const Measurements& m) {
    results_["4: ライン全体のミュートが反映（A が無音）"] =
        silent(amp(m, slots_.a, 0, k440)) && silent(amp(m, slots_.a, 1, k440));
}

void RoutingTestRunner::Checks::stage5(const Measurements& m, const std::vector<Connection>& fromB) {
    const Slot& b = slots_.b;
    results_["5: 分割で B の接続が 1ch 接続2本に変わる"] =
        std::count_if(fromB.begin(), fromB.end(), [](const Connection& c) { return c.width == 1; }) == 2;
    results_["5: 分割後も同じ音（L=900Hz, R=600Hz）"] =
        approx(amp(m, b, 0, k900), expectedB_) && silent(amp(m, b, 0, k600)) &&
        approx(amp(m, b, 1, k600), expectedB_) && silent(amp(m, b, 1, k900));
}

void RoutingTestRunner::Checks::stage6(const Measurements& m) {
    const Slot& b = slots_.b;
    const auto half = scaled(expectedB_, 0.5);
    results_["6: 1ch 接続の L+R ミックス（L に 600/900Hz が半分ずつ）"] =
        approx(amp(m, b, 0, k600), half) && approx(amp(m, b, 0, k900), half) &&
        approx(amp(m, b, 1, k600), expectedB_) && silent(amp(m, b, 1, k900));
}

void RoutingTestRunner::Checks::stage7(const Measurements& m, const std::vector<Connection>& fromB) {
    const Slot& b = slots_.b;
    const auto half = scaled(expectedB_, 0.5);
    left7_ = amp(m, b, 0, k600);
    const auto left = sum(amp(m, b, 0, k600), amp(m, b, 0, k900));
    const auto right = sum(amp(m, b, 1, k600), amp(m, b, 1, k900));
    results_["7: 戻すと B はステレオ接続1本になり音が出る"] = fromB.size() == 1 && fromB.front().width == 2 &&
                                                              left && right && half && *left > *half &&
                                                              *right > *half;
}

void RoutingTestRunner::Checks::stage8(const Measurements& m) {
    const Slot& b = slots_.b;
    left8_ = amp(m, b, 0, k600);
    results_["8: 音源のチャンネル音量 -6dB（L の 600Hz が約半分）"] =
        approx(left8_, scaled(left7_, kMinus6dB));
    results_["8: 出力チャンネルのミュート（R が無音）"] =
        silent(amp(m, b, 1, k600)) && silent(amp(m, b, 1, k900));
}

void RoutingTestRunner::Checks::stage9(const Measurements& m) {
    left9_ = amp(m, slots_.b, 0, k600);
    results_["9: 出力チャンネルの音量 -6dB（L がさらに約半分）"] =
        approx(left9_, scaled(left7_, kMinus6dB * kMinus6dB));
}

void RoutingTestRunner::Checks::stage10(const Measurements& m) {
    const Slot& b = slots_.b;
    left10_ = amp(m, b, 0, k600);
    right10_ = amp(m, b, 1, k600);
    results_["10: ボタンで L を左右両方へ（L=600Hz, R=600Hz, 900Hz なし）"] =
        approx(left10_, expectedB_) && approx(right10_, expectedB_) && silent(amp(m, b, 0, k900)) &&
        silent(amp(m, b, 1, k900));
}

void RoutingTestRunner::Checks::stage11(const Measurements& m) {
    const Slot& b = slots_.b;
    const auto half = scaled(expectedB_, 0.5);
    left11_ = amp(m, b, 0, k600);
    left900at11_ = amp(m, b, 0, k900);
    results_["11: R → L を足すと出力 L は 600/900Hz が半分ずつ、R は 600Hz のみ"] =
        approx(left11_, half) && approx(left900at11_, half) && approx(amp(m, b, 1, k600), expectedB_) &&
        silent(amp(m, b, 1, k900));
}

bool RoutingTestRunner::Checks::allPassed() const {
    return std::all_of(results_.begin(), results_.end(), [](const auto& check) { return check.second; });
}

void RoutingTestRunner::Checks::writeFigures(Report& report) const {
    report["stage3Expected"] = {{"A", figure(expectedA_)}, {"B", figure(expectedB_)}};
    report["stage3Measured"] = {
        {"A", figure(measuredA_)}, {"B_L900", figure(measuredBL900_)}, {"B_R600", figure(measuredBR600_)}};
    report["stage8"] = {{"L7", figure(left7_)}, {"L8", figure(left8_)}, {"L9", figure(left9_)}};
    report["stage10"] = {{"full", figure(expectedB_)},
                         {"L600", figure(left10_)},
                         {"R600", figure(right10_)},
                         {"L600_11", figure(left11_)},
                         {"L900_11", figure(left900at11_)}};
}
