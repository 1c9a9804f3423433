#include "TandrelApp/Diagnostics/RoutingTestRunner.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "TandrelApp/Diagnostics/SelfTestDevices.h"
#include "TandrelApp/Diagnostics/SelfTestHarness.h"
#include "TandrelApp/Diagnostics/ToneSource.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/InputDeviceSource.h"

namespace {

using Report = SelfTestReport::Report;
using Measurements = RoutingTestRunner::Measurements;
using Slot = RoutingTestRunner::Slot;
using HardwareVolume = RoutingController::HardwareVolume;

constexpr float kToneAmplitude = 0.2f;

// Each used line's input, analysed afresh for every measurement.
class LineInputListener final : public RoutingTestRunner::Listener {
public:
    QCoro::Task<> open(std::vector<AudioDeviceInfo> lines) override {
        for (const auto& line : lines) {
            auto input = std::make_shared<InputDeviceSource>(line);
            auto starting = input->start(std::nullopt);
            co_await std::move(starting);
            inputs_.emplace(line.uid, std::move(input));
        }
    }

    QCoro::Task<Measurements> measure(RoutingConfig) override {
        co_await SelfTestHarness::waitSeconds(1.5);
        std::map<std::string, std::shared_ptr<CaptureAnalyzer>> analyzers;
        for (const auto& [uid, input] : inputs_) {
            auto analyzer = std::make_shared<CaptureAnalyzer>(input, RoutingTestRunner::probeFrequencies);
            analyzer->start();
            analyzers.emplace(uid, std::move(analyzer));
        }
        co_await SelfTestHarness::waitSeconds(3);
        Measurements measured;
        for (const auto& [uid, analyzer] : analyzers) {
            analyzer->stop();
            measured[uid] = {analyzer->probeAmplitudesPerChannel(), analyzer->levels()};
        }
        co_return measured;
    }

    QCoro::Task<> close() override {
        for (const auto& [uid, input] : inputs_) {
            auto stopping = input->stop();
            co_await std::move(stopping);
        }
        inputs_.clear();
    }

private:
    std::map<std::string, std::shared_ptr<InputDeviceSource>> inputs_;
};

SourceConfig testSource(SourceKind kind, std::string name) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = std::move(kind);
    source.name = std::move(name);
    return source;
}

// Width 2 from source channel 0 with mono mix on, no route mask, 0 dB, not muted.
Connection connectionTo(const UUID& source, const Slot& slot, MappingMode mode) {
    Connection connection;
    connection.id = UUID::random();
    connection.from = Endpoint::source(source);
    connection.toDeviceUID = slot.line.uid;
    connection.pair = slot.pair;
    connection.width = 2;
    connection.mode = mode;
    connection.sourceChannel = 0;
    connection.monoMix = true;
    return connection;
}

// The configuration the controller starts from, and the identities the stages edit.
struct TestSetup {
    RoutingConfig config;
    UUID sourceA, sourceB, connectionA, connectionB;
    std::optional<UUID> firstCaptureConnection;
    std::vector<std::string> extraCaptures;

    TestSetup(const RoutingTestRunner::Assignment& assigned, const std::vector<std::string>& captures,
              const std::optional<AudioDeviceInfo>& microphone) {
        auto a = testSource(SourceKind::inputDevice("test.toneA"), "Tone A");
        auto b = testSource(SourceKind::inputDevice("test.toneB"), "Tone B");
        sourceA = a.id;
        sourceB = b.id;
        config.sources = {a, b};
        config.connections = {connectionTo(a.id, assigned.a, MappingMode::automatic),
                              connectionTo(b.id, assigned.b, MappingMode::stereo)};
        connectionA = config.connections[0].id;
        connectionB = config.connections[1].id;
        for (size_t i = 0; i < captures.size(); ++i) {
            auto capture = testSource(SourceKind::application(captures[i]), captures[i]);
            const Slot& slot = i == 0 ? *assigned.c : assigned.further[i - 1];
            config.sources.push_back(capture);
            config.connections.push_back(connectionTo(capture.id, slot, MappingMode::automatic));
            if (i == 0) {
                firstCaptureConnection = config.connections.back().id;
            } else {
                extraCaptures.push_back(captures[i] + " → " + slot.label());
            }
        }
        if (microphone && assigned.d) {
            auto mic = testSource(SourceKind::inputDevice(microphone->uid), microphone->name);
            config.sources.push_back(mic);
            config.connections.push_back(connectionTo(mic.id, *assigned.d, MappingMode::automatic));
        }
    }
};

// The distinct lines of the used slots, in the order first used.
std::vector<AudioDeviceInfo> usedLines(const RoutingTestRunner::Assignment& assigned) {
    std::vector<const Slot*> used{&assigned.a, &assigned.b};
    if (assigned.c) {
        used.push_back(&*assigned.c);
    }
    for (const auto& slot : assigned.further) {
        used.push_back(&slot);
    }
    if (assigned.d) {
        used.push_back(&*assigned.d);
    }
    std::vector<AudioDeviceInfo> lines;
    for (const Slot* slot : used) {
        if (std::none_of(lines.begin(), lines.end(),
                         [&](const auto& l) { return l.uid == slot->line.uid; })) {
            lines.push_back(slot->line);
        }
    }
    return lines;
}

Report slotsReport(const RoutingTestRunner::Assignment& assigned) {
    auto label = [](const std::optional<Slot>& slot) {
        return slot ? slot->label() : std::string("-");
    };
    return {{"A", assigned.a.label()},
            {"B", assigned.b.label()},
            {"C", label(assigned.c)},
            {"D", label(assigned.d)}};
}

using SavedVolumes = std::vector<std::pair<AudioObjectID, HardwareVolume>>;

// Remembers each line's own output volume and mute, then plays it at full volume, unmuted.
QCoro::Task<SavedVolumes> raiseLineVolumes(std::vector<AudioDeviceInfo> lines) {
    auto raising = CoreAudioCall::run("ラインの音量の保存", SelfTestDevices::callTimeout, [lines] {
        SavedVolumes saved;
        for (const auto& line : lines) {
            saved.emplace_back(line.id, HardwareVolume::read(line.id));
            HardwareVolume::write(line.id, 1.0f, false);
        }
        return saved;
    });
    co_return co_await std::move(raising);
}

// Puts the remembered volumes back; a failure here cannot be reported any more and is dropped.
QCoro::Task<> restoreLineVolumes(SavedVolumes saved) {
    auto restoring = CoreAudioCall::run("ラインの音量の復元", SelfTestDevices::callTimeout, [saved] {
        for (const auto& [line, volume] : saved) {
            HardwareVolume::write(line, volume.scalar, volume.muted);
        }
    });
    try {
        co_await std::move(restoring);
    } catch (const std::exception&) {
    }
}

// One run of the stages against a live controller.
class RoutingRun {
public:
    RoutingRun(TestSetup setup, RoutingTestRunner::Assignment assigned,
               std::shared_ptr<RoutingTestRunner::Listener> listener, std::shared_ptr<Report> report)
        : setup_(std::move(setup))
        , slots_(assigned)
        , checks_(std::move(assigned))
        , listener_(std::move(listener))
        , report_(std::move(report)) {}

    // The controller with the test tones injected, its first pass done, and the lines opened.
    QCoro::Task<> start() {
        controller_ = RoutingController::create(setup_.config, false, false);
        toneA_ = std::make_shared<ToneSource>(std::vector<double>{440}, kToneAmplitude, 44100, 441);
        toneB_ = std::make_shared<ToneSource>(std::vector<double>{600, 900}, kToneAmplitude, 48000, 480);
        toneA_->start();
        toneB_->start();
        controller_->injectSource(toneA_, setup_.sourceA);
        controller_->injectSource(toneB_, setup_.sourceB);
        auto reconciling = controller_->waitForReconcile();
        co_await std::move(reconciling);
        (*report_)["audioSystemResponsive"] = controller_->audioSystemResponsive();
        (*report_)["sourceStatus"] = statusReport();
        auto opening = listener_->open(usedLines(slots_));
        co_await std::move(opening);
    }

    QCoro::Task<> stages() {
        const Slot& a = slots_.a;
        const Slot& b = slots_.b;
        Measurements heard = co_await measure();
        checks_.stage1(heard);

        rewrite(setup_.connectionA, [](Connection& c) { c.gainDB = -6; });
        rewrite(setup_.connectionB, [](Connection& c) { c.mode = MappingMode::swapped; });
        if (setup_.firstCaptureConnection) {
            RoutingConfig config = controller_->config();
            std::erase_if(config.connections,
                          [&](const Connection& c) { return c.id == *setup_.firstCaptureConnection; });
            controller_->setConfig(std::move(config));
        }
        heard = co_await measure();
        checks_.stage2(heard);

        controller_->setSourceVolume(setup_.sourceA, -6);
        controller_->setPairVolume(b.line.uid, b.pair, -6);
        controller_->setDeviceVolume(b.line.uid, -6);
        const auto expectedA =
            RoutingTestRunner::expected(controller_->config(), setup_.sourceA, setup_.connectionA, a, 0);
        const auto expectedB =
            RoutingTestRunner::expected(controller_->config(), setup_.sourceB, setup_.connectionB, b, 0);
        heard = co_await measure();
        checks_.stage3(heard, expectedA, expectedB);

        controller_->setDeviceMuted(a.line.uid, true);
        heard = co_await measure();
        checks_.stage4(heard);

        controller_->setSplit(true, b.line.uid, b.pair);
        heard = co_await measure();
        checks_.stage5(heard, connectionsFromB());

        const auto singles = connectionsFromB();
        const auto left = std::find_if(singles.begin(), singles.end(),
                                       [&](const Connection& c) { return c.width == 1 && c.pair == b.pair; });
        if (left != singles.end()) {
            rewrite(left->id, [](Connection& c) {
                c.sourceChannel = 0;
                c.monoMix = true;
            });
        }
        heard = co_await measure();
        checks_.stage6(heard);

        controller_->setSplit(false, b.line.uid, b.pair);
        heard = co_await measure();
        checks_.stage7(heard, connectionsFromB());

        controller_->setSourceChannelVolume(setup_.sourceB, 0, -6);
        controller_->setChannelMuted(b.line.uid, b.pair + 1, true);
        heard = co_await measure();
        checks_.stage8(heard);

        controller_->setChannelVolume(b.line.uid, b.pair, -6);
        heard = co_await measure();
        checks_.stage9(heard);

        if (const auto fromB = connectionsFromB(); !fromB.empty()) {
            rewrite(fromB.front().id, [](Connection& c) {
                c.routeMask.reset();
                c.mode = MappingMode::stereo;
                c.sourceChannel = 0;
            });
        }
        controller_->setSourceChannelVolume(setup_.sourceB, 0, 0);
        controller_->setChannelMuted(b.line.uid, b.pair + 1, false);
        controller_->setChannelVolume(b.line.uid, b.pair, 0);
        controller_->toggleRoute(Endpoint::source(setup_.sourceB), b.line.uid, b.pair, 2, 2);
        controller_->toggleRoute(Endpoint::source(setup_.sourceB), b.line.uid, b.pair, 2, 8);
        heard = co_await measure();
        checks_.stage10(heard);

        controller_->toggleRoute(Endpoint::source(setup_.sourceB), b.line.uid, b.pair, 2, 4);
        heard = co_await measure();
        checks_.stage11(heard);
    }

    void writeReport() {
        Report& report = *report_;
        report["connectionsB"] = RoutingTestRunner::connectionsText(controller_->config(), setup_.sourceB);
        checks_.writeFigures(report);
        report["checks"] = checks_.results();
        report["ok"] = checks_.allPassed();
    }

    // Lines closed, routes gone, tones stopped, and a moment for the audio to drain.
    QCoro::Task<> tearDown() {
        auto closing = listener_->close();
        co_await std::move(closing);
        RoutingConfig config = controller_->config();
        config.connections.clear();
        controller_->setConfig(std::move(config));
        auto reconciling = controller_->waitForReconcile();
        co_await std::move(reconciling);
        toneA_->stop();
        toneB_->stop();
        try {
            co_await SelfTestHarness::waitSeconds(1.2);
        } catch (const std::exception&) {
        }
    }

private:
    // Waits for the stage's edits to be reconciled, then listens to the lines.
    QCoro::Task<Measurements> measure() {
        auto reconciling = controller_->waitForReconcile();
        co_await std::move(reconciling);
        auto measuring = listener_->measure(controller_->config());
        co_return co_await std::move(measuring);
    }

    // Changes one connection of the configuration and assigns it back; nothing when it is gone.
    void rewrite(const UUID& connection, const std::function<void(Connection&)>& change) {
        RoutingConfig config = controller_->config();
        auto found = std::find_if(config.connections.begin(), config.connections.end(),
                                  [&](const Connection& c) { return c.id == connection; });
        if (found == config.connections.end()) {
            return;
        }
        change(*found);
        controller_->setConfig(std::move(config));
    }

    std::vector<Connection> connectionsFromB() const {
        std::vector<Connection> fromB;
        for (const auto& connection : controller_->config().connections) {
            if (connection.from == Endpoint::source(setup_.sourceB)) {
                fromB.push_back(connection);
            }
        }
        return fromB;
    }

    Report statusReport() const {
        Report statuses = Report::array();
        for (const auto& [id, status] : controller_->sourceStatus()) {
            const auto source = controller_->source(id);
            statuses.push_back({{"source", source ? source->name : std::string("?")},
                                {"status", RoutingTestRunner::statusText(status)}});
        }
        return statuses;
    }

    const TestSetup setup_;
    const RoutingTestRunner::Assignment slots_;
    RoutingTestRunner::Checks checks_;
    const std::shared_ptr<RoutingTestRunner::Listener> listener_;
    const std::shared_ptr<Report> report_;
    std::shared_ptr<RoutingController> controller_;
    std::shared_ptr<ToneSource> toneA_, toneB_;
};

QCoro::Task<> runStages(std::shared_ptr<RoutingRun> run) {
    co_await run->start();
    co_await run->stages();
    run->writeReport();
    co_await run->tearDown();
}

QCoro::Task<int> runRouting() {
    auto report = std::make_shared<Report>(Report::object());
    std::optional<std::string> failure;
    try {
        auto running = RoutingTestRunner::scenario(
            report, RoutingTestRunner::Options::parse(SelfTestArguments::process()),
            RoutingTestRunner::lineInputListener());
        co_await std::move(running);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) {
        SelfTestReport::recordFailure(*report, *failure);
    }
    co_return SelfTestReport::finish(*report, SelfTestArguments::process(),
                                     SelfTestReport::Fallback::nowhere);
}

} // namespace

void RoutingTestRunner::run(int& argc, char** argv) {
    const std::vector<SelfTestOption> options{{.name = "--capture"},
                                              {.name = "--mic", .kind = SelfTestOption::Kind::flag},
                                              SelfTestOptions::report};
    SelfTestHarness::run(argc, argv, SelfTestReport::Fallback::nowhere, options, runRouting);
}

std::shared_ptr<RoutingTestRunner::Listener> RoutingTestRunner::lineInputListener() {
    return std::make_shared<LineInputListener>();
}

QCoro::Task<> RoutingTestRunner::scenario(std::shared_ptr<Report> report, Options options,
                                          std::shared_ptr<Listener> listener) {
    auto listing = CoreAudioCall::run("ラインの検出", SelfTestDevices::callTimeout,
                                      [] { return AudioDeviceCatalog::tandrelLines(); });
    const auto lines = co_await std::move(listing);
    std::optional<AudioDeviceInfo> microphone;
    if (options.microphone) {
        auto reading = CoreAudioCall::run("マイクの検出", SelfTestDevices::callTimeout,
                                          [] { return SelfTestDevices::defaultInput(); });
        microphone = co_await std::move(reading);
    }
    const Assignment assignment = assign(slotsOf(lines), options.captures.size(), microphone.has_value());
    (*report)["slots"] = slotsReport(assignment);
    TestSetup setup(assignment, options.captures, microphone);
    (*report)["extraCaptures"] = setup.extraCaptures;

    auto raising = raiseLineVolumes(usedLines(assignment));
    const SavedVolumes saved = co_await std::move(raising);
    std::exception_ptr failure;
    try {
        auto running =
            runStages(std::make_shared<RoutingRun>(std::move(setup), assignment, listener, report));
        co_await std::move(running);
    } catch (...) {
        failure = std::current_exception();
    }
    auto restoring = restoreLineVolumes(saved);
    co_await std::move(restoring);
    if (failure) {
        std::rethrow_exception(failure);
    }
}
