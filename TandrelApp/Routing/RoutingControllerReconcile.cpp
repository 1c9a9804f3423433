// The reconcile pass and the life cycle of the configured sources: what turns the configuration into
// running sources, output destinations, line inputs and routes with their levels.
#include <algorithm>
#include <set>
#include <utility>

#include <qcoro/qcorotimer.h>

#include "TandrelApp/Engine/AudioAppMonitor.h"
#include "TandrelApp/Engine/CaptureError.h"
#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Engine/ProcessTapSource.h"
#include "TandrelApp/Engine/SCKAudioSource.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"
#include "TandrelApp/Routing/Volume.h"
#include "TandrelApp/Support/AppError.h"

using namespace RoutingControllerDetail;

namespace {

constexpr double screenCaptureRate = 48000;
constexpr double screenCaptureExtraMilliseconds = 20.0;

// The base safety margin of every route for a latency.
double safetyFor(LatencyPreset latency) {
    switch (latency) {
    case LatencyPreset::low:
        return 1.0;
    case LatencyPreset::normal:
        return 2.0;
    case LatencyPreset::safe:
        return 10.0;
    }
    return 2.0;
}

std::string runningDetail(CaptureBackend backend) {
    return backend == CaptureBackend::processTap ? "Process Tap" : "ScreenCaptureKit";
}

} // namespace

// ---- The loop's pass

QCoro::Task<> RoutingController::reconcile() {
    try {
        auto steps = reconcileSteps();
        co_await std::move(steps);
    } catch (const CoreAudioCall::TimedOut& timedOut) {
        log_->error("{}", timedOut.what());
        audioSystemUnresponsive();
        co_return;
    } catch (const std::exception& error) {
        setMessage(error.what());
        co_return;
    }
    if (!audioSystemResponsive_) {
        audioSystemResponsive_ = true;
        emit audioSystemResponsiveChanged();
        log_->info("Audio system is responsive again");
    }
}

void RoutingController::setMessage(std::string text) {
    message_ = std::move(text);
    emit messageChanged();
}

void RoutingController::clearMessage() {
    assertMainThread();
    message_.reset();
    emit messageChanged();
}

// The controller stays alive for the whole pass (the loop holds it), so `this` is safe across awaits;
// everything else is re-read after each one.
QCoro::Task<> RoutingController::reconcileSteps() {
    if (pendingRebuild_) {
        pendingRebuild_ = false;
        pendingDeviceRefresh_ = true;
        auto tearing = teardownDevices();
        co_await std::move(tearing);
    }
    if (pendingCaptureRestart_) {
        pendingCaptureRestart_ = false;
        stopCaptureSources();
    }
    if (pendingDeviceRefresh_) {
        pendingDeviceRefresh_ = false;
        pendingDeviceCheck_ = false;
        auto fetching = fetchDevices();
        auto devices = co_await std::move(fetching);
        auto applying = applyDevices(std::move(devices));
        co_await std::move(applying);
    } else if (pendingDeviceCheck_) {
        pendingDeviceCheck_ = false;
        auto fetching = fetchDevices();
        auto devices = co_await std::move(fetching);
        if (deviceSetChanged(devices)) {
            log_->info("Audio devices changed; rebuilding");
            auto tearing = teardownDevices();
            co_await std::move(tearing);
            auto applying = applyDevices(std::move(devices));
            co_await std::move(applying);
        } else {
            refreshDeviceNames(devices);
        }
    }

    // Sources that left the configuration.
    std::vector<UUID> gone;
    for (const auto& [id, running] : sources_) {
        if (!source(id)) {
            gone.push_back(id);
        }
    }
    for (const UUID& id : gone) {
        retireSource(id);
        clearSourceStatus(id);
    }

    // Sources to start, or to keep in standby.
    for (const SourceConfig& configured : std::vector(config_.sources)) {
        if (sources_.contains(configured.id)) {
            continue;
        }
        const auto status = sourceStatus_.find(configured.id);
        const bool isStarting = status != sourceStatus_.end() &&
                                std::holds_alternative<SourceStatus::Starting>(status->second.value);
        if (!shouldCapture(configured)) {
            if (!isStarting) {
                setSourceStatus(configured.id, SourceStatus::standby());
            }
            continue;
        }
        const bool isHeld = status != sourceStatus_.end() &&
                            (std::holds_alternative<SourceStatus::Waiting>(status->second.value) ||
                             std::holds_alternative<SourceStatus::Failed>(status->second.value));
        if (isStarting || isHeld) {
            continue;
        }
        setSourceStatus(configured.id, SourceStatus::starting());
        const std::uint64_t attempt = ++startAttempts_[configured.id];
        std::weak_ptr<RoutingController> weak = weak_from_this();
        tasks_->spawn([weak, configured, attempt] { return startSource(weak, configured, attempt); });
    }

    // Connections that can be routed, and the devices they need.
    std::vector<Connection> valid;
    std::set<std::string> used;
    for (const auto& connection : config_.connections) {
        if (isValid(connection)) {
            valid.push_back(connection);
            used.insert(connection.toDeviceUID);
        }
    }
    disconnectRoutes([&valid](const Connection& connection) {
        return std::ranges::find(valid, connection) == valid.end();
    });

    // Destinations no longer needed.
    std::vector<std::string> unused;
    for (const auto& [uid, destination] : destinations_) {
        if (!used.contains(uid)) {
            unused.push_back(uid);
        }
    }
    for (const std::string& uid : unused) {
        auto entry = destinations_.extract(uid);
        if (entry.empty()) {
            continue;
        }
        std::shared_ptr<OutputDestination> destination = std::move(entry.mapped());
        forgetRoutesInvolving(destination.get());
        auto stopping = stopDestination(std::move(destination));
        co_await std::move(stopping);
    }

    // Destinations newly needed.
    for (const std::string& uid : used) {
        if (!destinations_.contains(uid)) {
            auto opening = openDestination(uid);
            co_await std::move(opening);
        }
    }

    // Line inputs come before the routes: a line endpoint's producer is its input.
    auto lineInputs = syncLineInputs();
    co_await std::move(lineInputs);

    for (const Connection& connection : valid) {
        syncRoute(connection);
    }

    auto lineGains = syncLineGains();
    co_await std::move(lineGains);

    applyDestinationGains();
}

QCoro::Task<> RoutingController::openDestination(const std::string& uid) {
    const auto info = device(uid);
    if (!info) {
        co_return;
    }
    const std::uint32_t frames = bufferFrames();
    const std::string label = info->name + " の開始";
    try {
        auto destination = std::make_shared<OutputDestination>(*info);
        auto starting = CoreAudioCall::run(label, timings_.callTimeout,
                                           [destination, frames] { destination->start(frames); });
        co_await std::move(starting);
        destinations_[uid] = std::move(destination);
    } catch (const CoreAudioCall::TimedOut&) {
        throw CoreAudioCall::TimedOut(label);
    } catch (const std::exception& error) {
        setMessage(info->name + " を開けません: " + error.what());
    }
}

QCoro::Task<> RoutingController::syncLineInputs() {
    std::vector<std::string> vanished;
    for (const auto& [uid, input] : lineInputs_) {
        if (std::ranges::find(lines_, uid, &AudioDeviceInfo::uid) == lines_.end()) {
            vanished.push_back(uid);
        }
    }
    for (const std::string& uid : vanished) {
        auto entry = lineInputs_.extract(uid);
        std::shared_ptr<InputDeviceSource> input = std::move(entry.mapped());
        // Taken out of the mix before they are forgotten, so no dead route keeps playing.
        forgetRoutesInvolving(input.get());
        stopInBackground(RunningSource{input});
    }

    for (const AudioDeviceInfo& line : std::vector(lines_)) {
        if (lineInputs_.contains(line.uid) || line.inputChannels == 0) {
            continue;
        }
        const std::uint32_t frames = bufferFrames();
        auto input = std::make_shared<InputDeviceSource>(line, frames);
        try {
            auto starting = input->start(frames);
            co_await std::move(starting);
            lineInputs_[line.uid] = std::move(input);
        } catch (const std::exception& error) {
            log_->error("Line input {}: {}", line.name, error.what());
        }
    }
}

void RoutingController::syncRoute(const Connection& connection) {
    const auto producer = this->producer(connection.from);
    if (!producer) {
        return;
    }
    const auto destinationEntry = destinations_.find(connection.toDeviceUID);
    if (destinationEntry == destinations_.end()) {
        return;
    }
    const std::shared_ptr<OutputDestination> destination = destinationEntry->second;

    ChannelMapping mapping = connection.channelMapping(producer->channelCount());
    const auto channels = static_cast<std::int64_t>(TDDestinationChannels(destination->raw()));
    std::erase_if(mapping.entries,
                  [channels](const ChannelMapping::Entry& entry) { return entry.destination >= channels; });
    RouteKey key{producer.get(), destination.get(), mapping};

    if (auto live = routes_.find(connection.id); live != routes_.end() && !(live->second.key == key)) {
        engine_.disconnect(live->second.route);
        routes_.erase(live);
    }
    auto live = routes_.find(connection.id);
    if (live == routes_.end()) {
        try {
            auto route = engine_.connect(producer, destination, mapping, 1.0f);
            live = routes_.emplace(connection.id, LiveRoute{std::move(key), std::move(route)}).first;
        } catch (const std::exception& error) {
            setMessage(error.what());
            return;
        }
    }
    const auto& route = live->second.route;

    const std::optional<SourceConfig> configured = [&]() -> std::optional<SourceConfig> {
        if (const auto* source = std::get_if<Endpoint::Source>(&connection.from.value)) {
            return this->source(source->id);
        }
        return std::nullopt;
    }();
    float gain = Volume::linearGain(connection.gainDB);
    if (configured) {
        gain *= configured->isMuted ? 0.0f : Volume::linearGain(configured->volumeDB);
    }
    route->gain = gain;
    TDRouteSetGain(route->raw(), gain);
    route->isMuted = connection.isMuted;
    TDRouteSetMuted(route->raw(), connection.isMuted);
    for (std::uint32_t channel = 0; channel < producer->channelCount(); ++channel) {
        TDRouteSetSourceChannelGain(route->raw(), channel,
                                    configured ? configured->channelGain(channel) : 1.0f);
    }
    const auto capture = std::dynamic_pointer_cast<AudioCaptureSource>(producer);
    const bool viaScreenCapture = capture && capture->backend() == CaptureBackend::screenCaptureKit;
    route->setSafetyMilliseconds(safetyFor(config_.latency) +
                                 (viaScreenCapture ? screenCaptureExtraMilliseconds : 0.0));
}

QCoro::Task<> RoutingController::syncLineGains() {
    for (const AudioDeviceInfo& line : std::vector(lines_)) {
        if (lineGainSupport_.contains(line.uid)) {
            continue;
        }
        const AudioObjectID id = line.id;
        auto probing = CoreAudioCall::run(std::string("ラインの機能の確認"), timings_.callTimeout, [id] {
            const AudioObjectPropertyAddress address{kTandrelPropertyLineChannelGains,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            return AudioObjectHasProperty(id, &address);
        });
        lineGainSupport_[line.uid] = co_await std::move(probing);
    }

    for (const AudioDeviceInfo& line : std::vector(lines_)) {
        if (auto support = lineGainSupport_.find(line.uid);
            support == lineGainSupport_.end() || !support->second) {
            continue;
        }
        const DeviceVolume volume = config_.volume(line.uid);
        std::vector<float> gains;
        for (std::uint32_t channel = 0; channel < line.outputChannels; ++channel) {
            gains.push_back(volume.gain(channel));
        }
        if (auto sent = lineGainsSent_.find(line.uid);
            sent != lineGainsSent_.end() && sent->second == gains) {
            continue;
        }
        const AudioObjectID id = line.id;
        auto writing = CoreAudioCall::run(std::string("ラインの音量の設定"), timings_.callTimeout,
                                          [id, gains] { return LineChannelGains::write(id, gains); });
        if (co_await std::move(writing)) {
            lineGainsSent_[line.uid] = std::move(gains);
        }
    }
}

void RoutingController::applyDestinationGains() {
    for (const auto& [uid, destination] : destinations_) {
        auto support = lineGainSupport_.find(uid);
        const bool lineApplies = support != lineGainSupport_.end() && support->second;
        const DeviceVolume volume = config_.volume(uid);
        const std::uint32_t channels = TDDestinationChannels(destination->raw());
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            TDDestinationSetChannelGain(destination->raw(), channel,
                                        lineApplies ? 1.0f : volume.gain(channel));
        }
    }
}

std::uint32_t RoutingController::bufferFrames() const {
    return ::bufferFrames(config_.latency);
}

// ---- Rules of the pass

bool RoutingController::isValid(const Connection& connection) const {
    const auto destination = device(connection.toDeviceUID);
    if (!destination || connection.pair < 0 ||
        connection.pair >= static_cast<std::int64_t>(destination->outputChannels)) {
        return false;
    }
    const bool toMonitor = std::ranges::find(config_.monitorDeviceUIDs, connection.toDeviceUID) !=
                           config_.monitorDeviceUIDs.end();
    if (const auto* line = std::get_if<Endpoint::Line>(&connection.from.value)) {
        if (std::ranges::find(lines_, line->uid, &AudioDeviceInfo::uid) == lines_.end()) {
            return false;
        }
        // A line never feeds a line.
        return !isLine(connection.toDeviceUID) && toMonitor;
    }
    const auto& id = std::get<Endpoint::Source>(connection.from.value).id;
    if (!source(id)) {
        return false;
    }
    return isLine(connection.toDeviceUID) || toMonitor;
}

std::shared_ptr<AudioProducer> RoutingController::producer(const Endpoint& endpoint) const {
    if (const auto* source = std::get_if<Endpoint::Source>(&endpoint.value)) {
        auto running = sources_.find(source->id);
        return running == sources_.end() ? nullptr : running->second.producer();
    }
    auto input = lineInputs_.find(std::get<Endpoint::Line>(endpoint.value).uid);
    return input == lineInputs_.end() ? nullptr : input->second;
}

void RoutingController::disconnectRoutes(const std::function<bool(const Connection&)>& matches) {
    std::erase_if(routes_, [&](const auto& live) {
        auto connection = std::ranges::find(config_.connections, live.first, &Connection::id);
        if (connection != config_.connections.end() && !matches(*connection)) {
            return false;
        }
        engine_.disconnect(live.second.route);
        return true;
    });
}

void RoutingController::disconnectSourceRoutes(const UUID& sourceID) {
    disconnectRoutes([&sourceID](const Connection& connection) { return startsFrom(connection, sourceID); });
}

void RoutingController::forgetRoutesInvolving(const void* object) {
    engine_.disconnectAll(object);
    std::erase_if(routes_, [object](const auto& live) {
        const auto& route = live.second.route;
        return route->producer().get() == object || route->destination().get() == object;
    });
}

void RoutingController::stopCaptureSources() {
    std::vector<UUID> captures;
    for (const auto& [id, running] : sources_) {
        if (std::holds_alternative<std::shared_ptr<AudioCaptureSource>>(running.value)) {
            captures.push_back(id);
        }
    }
    for (const UUID& id : captures) {
        retireSource(id);
        setSourceStatus(id, SourceStatus::idle());
    }
    setStatuses<SourceStatus::Starting>(SourceStatus::idle());
}

// ---- Source life cycle

QCoro::Task<> RoutingController::startSource(std::weak_ptr<RoutingController> weak, SourceConfig source,
                                             std::uint64_t attempt) {
    auto self = weak.lock();
    // A capture restart may have replaced this start with a newer one before it began.
    if (!self || self->tasks_->windingDown() || !self->isCurrentStart(source.id, attempt)) {
        co_return;
    }
    const std::uint32_t frames = self->bufferFrames();
    std::exception_ptr failure;
    RunningSource running;

    if (const auto* input = std::get_if<SourceKind::InputDevice>(&source.kind.value)) {
        auto device = std::ranges::find(self->inputDevices_, input->uid, &AudioDeviceInfo::uid);
        if (device == self->inputDevices_.end()) {
            self->setSourceStatus(source.id, self->devicesLoaded_
                                                 ? SourceStatus::waiting("デバイスが接続されていません")
                                                 : SourceStatus::idle());
            co_return;
        }
        auto started = std::make_shared<InputDeviceSource>(*device, frames);
        running.value = started;
        self.reset();
        try {
            auto starting = started->start(frames);
            co_await std::move(starting);
        } catch (...) {
            failure = std::current_exception();
        }
    } else {
        const auto* app = std::get_if<SourceKind::Application>(&source.kind.value);
        // A process tap would start all the same and capture nothing until the application comes.
        if (app != nullptr && !applicationRuns(app->bundleID)) {
            self->setSourceStatus(source.id, SourceStatus::waiting(applicationNotRunningText));
            self->scheduleReconcile();
            co_return;
        }
        const CaptureTarget target = app != nullptr ? CaptureTarget::application(app->bundleID, source.name)
                                                    : CaptureTarget::systemAudio();
        std::shared_ptr<AudioCaptureSource> capture;
        if (backend(self->config_.captureMode, target) == CaptureBackend::processTap) {
            auto tap = std::make_shared<ProcessTapSource>(target);
            tap->setBufferFrames(frames);
            capture = tap;
        } else {
            capture = std::make_shared<SCKAudioSource>(target, screenCaptureRate);
        }
        running.value = capture;
        self.reset();
        try {
            auto starting = capture->start();
            co_await std::move(starting);
        } catch (...) {
            failure = std::current_exception();
        }
    }

    self = weak.lock();
    if (!self) {
        // Nobody is left to hold it; a started source must not keep capturing.
        if (!failure) {
            auto stopping = stopRunning(running.producer());
            co_await std::move(stopping);
        }
        co_return;
    }
    const bool current = self->isCurrentStart(source.id, attempt);
    if (failure) {
        // A start that was superseded meanwhile leaves the status to the newer one.
        if (!current) {
            co_return;
        }
        bool notRunning = false;
        try {
            std::rethrow_exception(failure);
        } catch (const CaptureError& error) {
            notRunning = error.kind() == CaptureError::Kind::applicationNotFound;
        } catch (...) {
        }
        self->setSourceStatus(source.id, notRunning ? SourceStatus::waiting(applicationNotRunningText)
                                                    : SourceStatus::failed(describeError(failure)));
        self->scheduleReconcile();
        co_return;
    }
    self->commitStartedSource(source, std::move(running), current);
}

std::shared_ptr<AudioCaptureSource> RoutingController::runningCapture(const UUID& id) const {
    auto running = sources_.find(id);
    if (running == sources_.end()) {
        return nullptr;
    }
    const auto* capture = std::get_if<std::shared_ptr<AudioCaptureSource>>(&running->second.value);
    return capture == nullptr ? nullptr : *capture;
}

bool RoutingController::supersedeStart(const UUID& id) {
    auto status = sourceStatus_.find(id);
    if (status == sourceStatus_.end() ||
        !std::holds_alternative<SourceStatus::Starting>(status->second.value)) {
        return false;
    }
    ++startAttempts_[id];
    return true;
}

bool RoutingController::isCurrentStart(const UUID& id, std::uint64_t attempt) const {
    auto latest = startAttempts_.find(id);
    return latest != startAttempts_.end() && latest->second == attempt;
}

void RoutingController::commitStartedSource(const SourceConfig& source, RunningSource running, bool current) {
    const bool configured = this->source(source.id).has_value();
    auto status = sourceStatus_.find(source.id);
    const bool stillStarting =
        status != sourceStatus_.end() && std::holds_alternative<SourceStatus::Starting>(status->second.value);
    // The status alone cannot tell this start from a newer one made after a capture restart; one that
    // was superseded must not enter a source set up with the old capture mode or latency.
    if (!configured || !stillStarting || !current) {
        stopInBackground(std::move(running));
        if (!configured) {
            clearSourceStatus(source.id);
        }
        scheduleReconcile();
        return;
    }

    std::string detail = "入力デバイス";
    if (const auto* capture = std::get_if<std::shared_ptr<AudioCaptureSource>>(&running.value)) {
        detail = runningDetail((*capture)->backend());
        std::weak_ptr<RoutingController> weak = weak_from_this();
        const UUID id = source.id;
        (*capture)->setOnStop([weak, tasks = std::weak_ptr(tasks_), id](std::exception_ptr error) {
            spawnIn(tasks, [weak, id, error] { return reportSourceStopped(weak, id, error); });
        });
    }
    sources_[source.id] = std::move(running);
    setSourceStatus(source.id, SourceStatus::running(std::move(detail)));
    scheduleReconcile();
}

QCoro::Task<> RoutingController::reportSourceStopped(std::weak_ptr<RoutingController> weak, UUID id,
                                                     std::exception_ptr error) {
    if (auto self = weak.lock()) {
        self->sourceStopped(id, std::move(error));
    }
    co_return;
}

void RoutingController::sourceStopped(const UUID& id, std::exception_ptr error) {
    if (retireSource(id)) {
        setSourceStatus(id, SourceStatus::failed(error ? describeError(error) : std::string("停止しました")));
    }
}

bool RoutingController::retireSource(const UUID& id) {
    auto entry = sources_.extract(id);
    if (entry.empty()) {
        return false;
    }
    disconnectSourceRoutes(id);
    stopInBackground(std::move(entry.mapped()));
    return true;
}

void RoutingController::requestRebuild() {
    assertMainThread();
    pendingRebuild_ = true;
    pendingCaptureRestart_ = true;
}

void RoutingController::retrySources() {
    assertMainThread();
    std::vector<UUID> held;
    for (const auto& [id, status] : sourceStatus_) {
        if (std::holds_alternative<SourceStatus::Waiting>(status.value) ||
            std::holds_alternative<SourceStatus::Failed>(status.value)) {
            held.push_back(id);
        }
    }
    for (const UUID& id : held) {
        clearSourceStatus(id);
    }
    scheduleReconcile();
}

QCoro::Task<> RoutingController::waitForReconcile() {
    std::weak_ptr<RoutingController> weak = weak_from_this();
    while (true) {
        {
            auto self = weak.lock();
            if (!self) {
                co_return;
            }
            const bool starting = std::ranges::any_of(self->sourceStatus_, [](const auto& entry) {
                return std::holds_alternative<SourceStatus::Starting>(entry.second.value);
            });
            if (!self->reconcileRunning_ && !starting) {
                co_return;
            }
        }
        auto sleeping = QCoro::sleepFor(std::chrono::milliseconds(20));
        co_await std::move(sleeping);
    }
}

// ---- Unresponsive audio system

void RoutingController::audioSystemUnresponsive() {
    audioSystemResponsive_ = false;
    emit audioSystemResponsiveChanged();
    pendingRebuild_ = true;
    if (!recoveryRunning_) {
        startRecovery();
    }
}
