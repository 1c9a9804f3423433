// The routing self-test's eleven stages run against a real controller on emulated lines, heard by a model
// of the lines instead of their inputs: what each line would play under the configuration in force,
// computed from the connections' channel mappings and the source, route and device levels. With a
// faithful model every check passes, so the stages' edits and checks agree with each other; a model with
// a wrong gain law or a swapped channel (a broken build, as the lines would then play it) fails the
// checks that should catch it. The lines' own volumes are raised for the run and restored after it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include <qcoro/qcorotask.h>

#include "Support/EmulatedServerRun.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/Volume.h"

namespace {

using Report = SelfTestReport::Report;
using Runner = RoutingTestRunner;
using HardwareVolume = RoutingController::HardwareVolume;

constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";

// Two lines that play back what they are given, as the driver's do: one pair and four pairs.
constexpr const char* kProfile = R"({
  "devices": [
    { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2],
      "inputSignal": "loopback" },
    { "uid": "qorvix.tandrel.device.line2", "name": "Line 2", "inputStreams": [8], "outputStreams": [8],
      "inputSignal": "loopback" },
    { "uid": "speakers", "name": "Speakers", "outputStreams": [2] }
  ]
})";

constexpr const char* kOneLine = R"({
  "devices": [
    { "uid": "qorvix.tandrel.device.line1", "name": "Line 1", "inputStreams": [2], "outputStreams": [2],
      "inputSignal": "loopback" }
  ]
})";

// What the lines play under a configuration, by the rules of the audio path: each connection's
// mapping of its tone channels, times the connection's and the source's level, the source channel's
// level and the output channel's. `law` turns decibels into gains; `swapped` exchanges the two channels
// of every pair the routes play into.
class ModelListener final : public Runner::Listener {
public:
    using Law = std::function<float(float)>;

    explicit ModelListener(Law law = Volume::linearGain, bool swapped = false)
        : law_(std::move(law))
        , swapped_(swapped) {}

    QCoro::Task<> open(std::vector<AudioDeviceInfo> lines) override {
        lines_ = std::move(lines);
        for (const auto& line : lines_) {
            volumesWhileOpen[line.uid] =
                CoreAudioCall::sync([id = line.id] { return HardwareVolume::read(id); });
        }
        co_return;
    }

    QCoro::Task<Runner::Measurements> measure(RoutingConfig config) override {
        ++measurements;
        Runner::Measurements measured;
        for (const auto& line : lines_) {
            measured[line.uid] = play(config, line);
        }
        co_return measured;
    }

    QCoro::Task<> close() override {
        closed = true;
        co_return;
    }

    std::map<std::string, HardwareVolume> volumesWhileOpen;
    int measurements = 0;
    bool closed = false;

private:
    static std::vector<double> toneOf(const SourceConfig& source) {
        const auto* device = std::get_if<SourceKind::InputDevice>(&source.kind.value);
        if (device == nullptr) {
            return {};
        }
        if (device->uid == "test.toneA") {
            return {440};
        }
        return device->uid == "test.toneB" ? std::vector<double>{600, 900} : std::vector<double>{};
    }

    float gainOf(const std::map<int64_t, float>& levels, int64_t key) const {
        const auto found = levels.find(key);
        return law_(found != levels.end() ? found->second : 0.0f);
    }

    float outputGain(const DeviceVolume& volume, int64_t channel) const {
        if (volume.isMuted || volume.mutedChannels.contains(channel)) {
            return 0;
        }
        return law_(volume.masterDB) * gainOf(volume.pairDB, channel & ~int64_t(1)) *
               gainOf(volume.channelDB, channel);
    }

    Runner::Measurement play(const RoutingConfig& config, const AudioDeviceInfo& line) const {
        Runner::Measurement m;
        m.amps.assign(line.inputChannels, std::vector<double>(Runner::probeFrequencies.size(), 0.0));
        const DeviceVolume volume = config.volume(line.uid);
        for (const auto& connection : config.connections) {
            const auto* from = std::get_if<Endpoint::Source>(&connection.from.value);
            if (from == nullptr || connection.toDeviceUID != line.uid || connection.isMuted) {
                continue;
            }
            const auto source = std::find_if(config.sources.begin(), config.sources.end(),
                                             [&](const SourceConfig& s) { return s.id == from->id; });
            const auto tone = source != config.sources.end() ? toneOf(*source) : std::vector<double>{};
            if (tone.empty() || source->isMuted) {
                continue;
            }
            const float routeGain = law_(connection.gainDB) * law_(source->volumeDB);
            for (const auto& entry : connection.channelMapping(uint32_t(tone.size())).entries) {
                const int64_t out = swapped_ ? entry.destination ^ 1 : entry.destination;
                if (out < 0 || out >= int64_t(m.amps.size())) {
                    continue;
                }
                const float sourceChannel = source->mutedChannels.contains(entry.source)
                                                ? 0.0f
                                                : gainOf(source->channelDB, entry.source);
                const auto probe = std::find(Runner::probeFrequencies.begin(), Runner::probeFrequencies.end(),
                                             tone[size_t(entry.source)]) -
                                   Runner::probeFrequencies.begin();
                m.amps[size_t(out)][size_t(probe)] +=
                    0.2 * double(entry.gain * routeGain * sourceChannel * outputGain(volume, out));
            }
        }
        for (const auto& channel : m.amps) {
            double sum = 0;
            for (double amp : channel) {
                sum += amp;
            }
            m.levels.peak.push_back(float(sum));
            m.levels.rms.push_back(float(sum / std::sqrt(2.0)));
        }
        return m;
    }

    const Law law_;
    const bool swapped_;
    std::vector<AudioDeviceInfo> lines_;
};

// The scenario's error text, or nothing when it finished.
QCoro::Task<std::optional<std::string>> runScenario(std::shared_ptr<Report> report,
                                                    std::shared_ptr<Runner::Listener> listener) {
    try {
        auto running = Runner::scenario(report, {}, std::move(listener));
        co_await std::move(running);
    } catch (const std::exception& e) {
        co_return std::string(e.what());
    }
    co_return std::nullopt;
}

class RoutingScenarioTest : public ::testing::Test {
protected:
    void start(const char* profile) {
        emulated = std::make_unique<EmulatedServerRun>("routing-scenario-test", profile);
        server = emulated->server.get();
    }
    void TearDown() override { emulated.reset(); }

    // Runs the scenario with this listener; the report and the error text, if any.
    std::pair<Report, std::optional<std::string>> run(std::shared_ptr<Runner::Listener> listener) {
        auto report = std::make_shared<Report>(Report::object());
        auto error = QCoro::waitFor(runScenario(report, std::move(listener)));
        return {*report, error};
    }

    HardwareVolume volume(const char* uid) const {
        return CoreAudioCall::sync([id = server->deviceID(uid)] { return HardwareVolume::read(id); });
    }
    void setVolume(const char* uid, HardwareVolume value) const {
        CoreAudioCall::sync([&] { HardwareVolume::write(server->deviceID(uid), value.scalar, value.muted); });
    }

    std::unique_ptr<EmulatedServerRun> emulated;
    AudioServer* server = nullptr;
};

std::vector<std::string> failedChecks(const Report& report) {
    std::vector<std::string> failed;
    for (const auto& [name, passed] : report["checks"].items()) {
        if (!passed.get<bool>()) {
            failed.push_back(name);
        }
    }
    return failed;
}

TEST_F(RoutingScenarioTest, EveryCheckPassesWhenTheLinesPlayWhatTheConfigurationSays) {
    start(kProfile);
    setVolume(kLine1, {0.5f, true});
    setVolume(kLine2, {0.25f, false});
    auto listener = std::make_shared<ModelListener>();
    const auto [report, error] = run(listener);

    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(report["checks"].size(), 16u);
    EXPECT_EQ(failedChecks(report), std::vector<std::string>{});
    EXPECT_EQ(report["ok"], true);
    EXPECT_EQ(report["slots"],
              (Report{{"A", "Line 1 ch1-2"}, {"B", "Line 2 ch1-2"}, {"C", "-"}, {"D", "-"}}));
    EXPECT_EQ(report["extraCaptures"], Report::array());
    EXPECT_EQ(report["audioSystemResponsive"], true);
    ASSERT_EQ(report["sourceStatus"].size(), 2u);
    for (const auto& status : report["sourceStatus"]) {
        EXPECT_EQ(status["status"], "running(detail: \"injected\")");
    }
    // After the last stage B's one stereo connection carries buttons 1, 2 and 4: the left output takes
    // both source channels at half gain each.
    EXPECT_EQ(
        report["connectionsB"],
        (Report{R"(pair 0 w2 mode stereo sc 0 mask Optional(7) map ["0->0x0.5", "0->1x1.0", "1->0x0.5"])"}));
    const double minus6 = std::pow(10.0, -6.0 / 20);
    EXPECT_NEAR(report["stage3Expected"]["B"].get<double>(), 0.2 * minus6 * minus6, 1e-6);
    EXPECT_EQ(listener->measurements, 11);
    EXPECT_TRUE(listener->closed);

    // Full volume while the lines were heard; the user's volumes back afterwards.
    EXPECT_EQ(listener->volumesWhileOpen.at(kLine1), (HardwareVolume{1.0f, false}));
    EXPECT_EQ(listener->volumesWhileOpen.at(kLine2), (HardwareVolume{1.0f, false}));
    EXPECT_EQ(volume(kLine1), (HardwareVolume{0.5f, true}));
    EXPECT_EQ(volume(kLine2), (HardwareVolume{0.25f, false}));
}

// What a build with a broken gain law or a swapped channel would play makes the test fail, at the
// stages that should notice it.
TEST_F(RoutingScenarioTest, AWrongGainLawOrASwappedChannelFailsTheChecksThatShouldCatchIt) {
    start(kProfile);
    const auto powerLaw = [](float dB) {
        return dB <= -60 ? 0.0f : std::pow(10.0f, dB / 10);
    };
    const auto [wrongLaw, lawError] = run(std::make_shared<ModelListener>(powerLaw));
    ASSERT_FALSE(lawError.has_value()) << *lawError;
    EXPECT_EQ(wrongLaw["ok"], false);
    const auto lawFailures = failedChecks(wrongLaw);
    for (const char* check :
         {"2: ゲイン -6dB が反映（440Hz が約半分）", "3: 音源の音量 -6dB が反映（A）",
          "3: ペア -6dB とライン全体 -6dB が反映（B）", "9: 出力チャンネルの音量 -6dB（L がさらに約半分）"}) {
        EXPECT_NE(std::find(lawFailures.begin(), lawFailures.end(), check), lawFailures.end()) << check;
    }
    EXPECT_TRUE(wrongLaw["checks"]["1: Tone B ステレオ: Line 2 ch1-2 の L=600Hz, R=900Hz"].get<bool>())
        << "full-scale tones do not depend on the law";

    const auto [swapped, swapError] = run(std::make_shared<ModelListener>(Volume::linearGain, true));
    ASSERT_FALSE(swapError.has_value()) << *swapError;
    EXPECT_EQ(swapped["ok"], false);
    const auto swapFailures = failedChecks(swapped);

    for (const char* check :
         {"1: Tone B ステレオ: Line 2 ch1-2 の L=600Hz, R=900Hz", "2: 左右反転が反映（L=900Hz, R=600Hz）",
          "5: 分割後も同じ音（L=900Hz, R=600Hz）"}) {
        EXPECT_NE(std::find(swapFailures.begin(), swapFailures.end(), check), swapFailures.end()) << check;
    }
    EXPECT_TRUE(swapped["checks"]["1: Tone A（モノラル）が Line 1 ch1-2 に自動でデュアルモノ"].get<bool>())
        << "a tone on both channels sounds the same swapped";
}

TEST_F(RoutingScenarioTest, TooFewPairsFailBeforeAnyVolumeIsTouched) {
    start(kOneLine);
    setVolume(kLine1, {0.5f, true});
    auto listener = std::make_shared<ModelListener>();
    const auto [report, error] = run(listener);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, "検証に必要なステレオペア（2 組）がラインにありません に失敗しました (OSStatus -1)");
    EXPECT_EQ(report, Report::object()) << "nothing was measured";
    EXPECT_EQ(listener->measurements, 0);
    EXPECT_EQ(volume(kLine1), (HardwareVolume{0.5f, true}));
}

} // namespace
