#include "TandrelApp/Routing/RoutingController.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "TandrelApp/Engine/AudioAppMonitor.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"

using namespace RoutingControllerDetail;

namespace {

// The object id counts: a device removed and added back between two checks keeps its UID but is a new
// object, and everything opened on the old id (IO, listeners, volume) is dead.
std::string signature(const AudioDeviceInfo& device) {
    return device.uid + "#" + std::to_string(device.id) + "#" + std::to_string(device.inputChannels) + "/" +
           std::to_string(device.outputChannels);
}

// Whether a device takes part in the comparison of device sets. Other devices without channels are
// left out on both sides; lines always count, so one that comes or goes without channels is noticed.
bool counts(const AudioDeviceInfo& device) {
    return isLine(device.uid) || device.inputChannels > 0 || device.outputChannels > 0;
}

bool matches(const Connection& connection, const Endpoint& from, const std::string& to, std::int64_t pair,
             std::int64_t width) {
    return connection.from == from && connection.toDeviceUID == to && connection.pair == pair &&
           connection.width == width;
}

Connection newConnection(const Endpoint& from, const std::string& to, std::int64_t pair, std::int64_t width) {
    Connection connection;
    connection.id = UUID::random();
    connection.from = from;
    connection.toDeviceUID = to;
    connection.pair = pair;
    connection.width = width;
    return connection;
}

void removeAll(std::vector<Connection>& connections, const UUID& id) {
    std::erase_if(connections, [&id](const Connection& connection) { return connection.id == id; });
}

std::int64_t pairStart(std::int64_t channel) {
    return channel - channel % 2;
}

} // namespace

QCoro::Task<> RoutingControllerDetail::stopRunning(std::shared_ptr<AudioProducer> producer) {
    if (auto input = std::dynamic_pointer_cast<InputDeviceSource>(producer)) {
        auto stopping = input->stop();
        co_await std::move(stopping);
    } else if (auto capture = std::dynamic_pointer_cast<AudioCaptureSource>(producer)) {
        auto stopping = capture->stop();
        co_await std::move(stopping);
    }
}

std::shared_ptr<AudioProducer> RoutingController::RunningSource::producer() const {
    return std::visit([](const auto& running) -> std::shared_ptr<AudioProducer> { return running; }, value);
}

std::shared_ptr<RoutingController> RoutingController::create(RoutingConfig config, bool persists,
                                                             bool autoDiscovers, Timings timings) {
    return make<RoutingController>(std::move(config), persists, autoDiscovers, timings);
}

RoutingController::RoutingController(RoutingConfig config, bool persists, bool autoDiscovers, Timings timings)
    : config_(std::move(config))
    , log_(Log::app("Controller"))
    , persists_(persists)
    , autoDiscovers_(autoDiscovers)
    , timings_(timings) {
    assertMainThread();
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(timings_.saveDelay);
    // The timer dies with the controller, so a save never outlives it.
    connect(&saveTimer_, &QTimer::timeout, this, &RoutingController::saveConfig);
    playingDebounce_.setSingleShot(true);
}

RoutingController::~RoutingController() {
    for (Workspace::ObserverToken token : workspaceObservers_) {
        Workspace::shared().removeObserver(token);
    }
    // Its tasks wake from their sleeps, find it gone and return.
    tasks_->windDown();
}

// Runs once the controller is owned, so that tasks and observers can hold it weakly.
void RoutingController::start() {
    observeWorkspace();
    installMeterProvider();
    if (autoDiscovers_) {
        addDefaultSources();
        pruneAutoAddedApps([](const std::string& bundleID) {
            return Workspace::shared().runningApplications(bundleID).empty();
        });
        addRunningApps();
        startAppMonitor();
        startDropoutLog();
    }
    // The device list is fetched by this first pass, since pendingDeviceRefresh starts true.
    scheduleReconcile();
}

void RoutingController::setConfig(RoutingConfig value) {
    assertMainThread();
    RoutingConfig previous = std::exchange(config_, std::move(value));
    emit configChanged();
    configDidChange(previous);
}

void RoutingController::configDidChange(const RoutingConfig& previous) {
    if (config_ == previous) {
        return;
    }
    if (persists_) {
        scheduleSave();
    }
    if (config_.captureMode != previous.captureMode) {
        pendingCaptureRestart_ = true;
    }
    if (config_.latency != previous.latency) {
        pendingRebuild_ = true;
        pendingCaptureRestart_ = true;
    }
    scheduleReconcile();
}

// A burst of changes writes once, after the last change has been quiet for the save delay.
void RoutingController::scheduleSave() {
    saveTimer_.start();
}

void RoutingController::saveConfig() {
    const std::optional<std::string> failure = RoutingConfigStore::save(config_);
    const bool announce = failure && !saveFailing_;
    saveFailing_ = failure.has_value();
    if (announce) {
        emit saveFailed(QString::fromStdString(*failure));
    }
}

void RoutingController::cancelPendingSave() {
    assertMainThread();
    saveTimer_.stop();
}

void RoutingController::scheduleReconcile() {
    assertMainThread();
    needsReconcile_ = true;
    if (reconcileRunning_ || tasks_->windingDown()) {
        return;
    }
    // Set before the post, so every request until the loop ends joins this one.
    reconcileRunning_ = true;
    std::weak_ptr<RoutingController> weak = weak_from_this();
    tasks_->spawn([weak] { return runReconcileLoop(weak); });
}

// Holds the controller only for the length of one pass, so a pass never keeps a dropped controller alive
// beyond it.
QCoro::Task<> RoutingController::runReconcileLoop(std::weak_ptr<RoutingController> weak) {
    while (true) {
        std::shared_ptr<RoutingController> self = weak.lock();
        if (!self) {
            co_return;
        }
        if (!self->needsReconcile_ || self->tasks_->windingDown()) {
            self->reconcileRunning_ = false;
            co_return;
        }
        self->needsReconcile_ = false;
        // A pass reports its own failures; should one escape anyway, later requests must still run.
        try {
            co_await self->reconcile();
        } catch (const std::exception& e) {
            self->log_->error("Reconcile pass failed: {}", e.what());
        } catch (...) {
            self->log_->error("Reconcile pass failed");
        }
    }
}

void RoutingController::setSourceStatus(const UUID& id, SourceStatus status) {
    sourceStatus_[id] = std::move(status);
    emit sourceStatusChanged();
}

void RoutingController::clearSourceStatus(const UUID& id) {
    if (sourceStatus_.erase(id) > 0) {
        emit sourceStatusChanged();
    }
}

void RoutingController::injectSource(std::shared_ptr<AudioProducer> producer, const UUID& id) {
    assertMainThread();
    sources_[id] = RunningSource{std::move(producer)};
    setSourceStatus(id, SourceStatus::running("injected"));
    scheduleReconcile();
}

// ---- Device list

QCoro::Task<std::vector<AudioDeviceInfo>> RoutingController::fetchDevices() {
    auto listing = CoreAudioCall::run(std::string("デバイス一覧の取得"), timings_.callTimeout, [] {
        auto devices = AudioDeviceCatalog::all();
        std::erase_if(devices, [](const AudioDeviceInfo& device) {
            return device.uid.starts_with(ownAggregatePrefix);
        });
        return devices;
    });
    co_return co_await std::move(listing);
}

QCoro::Task<> RoutingController::applyDevices(std::vector<AudioDeviceInfo> devices) {
    assertMainThread();
    std::vector<AudioDeviceInfo> lines;
    std::vector<AudioDeviceInfo> outputs;
    std::vector<AudioDeviceInfo> inputs;
    for (const auto& device : devices) {
        if (isLine(device.uid)) {
            lines.push_back(device);
            continue;
        }
        if (device.outputChannels > 0) {
            outputs.push_back(device);
        }
        if (device.inputChannels > 0) {
            inputs.push_back(device);
        }
    }
    // Stable, so lines with equal UIDs keep the server's order.
    std::ranges::stable_sort(lines, [](const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
        return AudioDeviceCatalog::compareNaturally(a.uid, b.uid) < 0;
    });
    lines_ = std::move(lines);
    emit linesChanged();
    outputDevices_ = std::move(outputs);
    emit outputDevicesChanged();
    inputDevices_ = std::move(inputs);
    emit inputDevicesChanged();
    devicesLoaded_ = true;
    emit devicesLoadedChanged();
    addConnectedMonitors();

    std::weak_ptr<RoutingController> weak = weak_from_this();
    auto installing = installSystemListener();
    co_await std::move(installing);
    if (weak.expired()) {
        co_return;
    }
    auto watching = watchSampleRates(std::move(devices));
    co_await std::move(watching);
}

bool RoutingController::deviceSetChanged(const std::vector<AudioDeviceInfo>& devices) const {
    // Devices without channels are left out on both sides: a line published without channels would
    // otherwise differ from every fresh list and rebuild on each check.
    std::set<std::string> current;
    for (const auto* list : {&lines_, &outputDevices_, &inputDevices_}) {
        for (const auto& device : *list) {
            if (counts(device)) {
                current.insert(signature(device));
            }
        }
    }
    std::set<std::string> fresh;
    for (const auto& device : devices) {
        if (counts(device)) {
            fresh.insert(signature(device));
        }
    }
    return current != fresh;
}

void RoutingController::refreshDeviceNames(const std::vector<AudioDeviceInfo>& devices) {
    assertMainThread();
    // The first device of a UID wins.
    std::map<std::string, const AudioDeviceInfo*> byUID;
    for (const auto& device : devices) {
        byUID.try_emplace(device.uid, &device);
    }
    const auto renamed = [&byUID](std::vector<AudioDeviceInfo> list) {
        for (auto& element : list) {
            auto fresh = byUID.find(element.uid);
            if (fresh != byUID.end() &&
                (fresh->second->name != element.name || fresh->second->id != element.id)) {
                element = *fresh->second;
            }
        }
        return list;
    };
    auto lines = renamed(lines_);
    auto outputs = renamed(outputDevices_);
    auto inputs = renamed(inputDevices_);

    bool lineRenamed = false;
    for (std::size_t index = 0; index < std::min(lines_.size(), lines.size()); ++index) {
        if (lines_[index].name != lines[index].name) {
            log_->info("Device renamed: {} → {}", lines_[index].name, lines[index].name);
            lineRenamed = true;
        }
    }
    if (lines != lines_) {
        lines_ = std::move(lines);
        emit linesChanged();
    }
    if (outputs != outputDevices_) {
        outputDevices_ = std::move(outputs);
        emit outputDevicesChanged();
    }
    if (inputs != inputDevices_) {
        inputDevices_ = std::move(inputs);
        emit inputDevicesChanged();
    }
    // Other clients only see the driver's new line names after the server announces a list change.
    if (lineRenamed) {
        announceDeviceListChange();
    }
}

QCoro::Task<> RoutingController::teardownDevices() {
    assertMainThread();
    for (auto& [id, live] : routes_) {
        engine_.disconnect(live.route);
    }
    routes_.clear();

    std::vector<std::shared_ptr<OutputDestination>> takenDestinations;
    for (auto& [uid, destination] : destinations_) {
        takenDestinations.push_back(std::move(destination));
    }
    destinations_.clear();
    std::vector<std::shared_ptr<InputDeviceSource>> takenLineInputs;
    for (auto& [uid, input] : lineInputs_) {
        takenLineInputs.push_back(std::move(input));
    }
    lineInputs_.clear();
    // The next pass probes the lines and sends their gains again.
    lineGainSupport_.clear();
    lineGainsSent_.clear();

    std::weak_ptr<RoutingController> weak = weak_from_this();
    for (auto& input : takenLineInputs) {
        auto stopping = input->stop();
        co_await std::move(stopping);
    }
    if (weak.expired()) {
        co_return;
    }

    std::vector<std::pair<UUID, RunningSource>> inputSources;
    std::erase_if(sources_, [&inputSources](const auto& entry) {
        if (!std::holds_alternative<std::shared_ptr<InputDeviceSource>>(entry.second.value)) {
            return false;
        }
        inputSources.emplace_back(entry.first, entry.second);
        return true;
    });
    for (auto& [id, source] : inputSources) {
        setSourceStatus(id, SourceStatus::idle());
        stopInBackground(std::move(source));
    }

    for (auto& destination : takenDestinations) {
        auto stopping = stopDestination(std::exchange(destination, nullptr));
        co_await std::move(stopping);
        if (weak.expired()) {
            co_return;
        }
    }

    setStatuses<SourceStatus::Waiting>(SourceStatus::idle());
}

QCoro::Task<> RoutingController::stopDestination(std::shared_ptr<OutputDestination> destination) {
    std::string label = destination->device().name + " の停止";
    // The last reference is dropped on the call queue, where the destination stops its device callback
    // and destroys its IO procedure in place; one that never started has nothing to stop.
    auto stopping = CoreAudioCall::run(std::move(label), timings_.callTimeout,
                                       [held = std::move(destination)]() mutable { held.reset(); });
    co_await std::move(stopping);
}

void RoutingController::stopInBackground(RunningSource source) {
    // An injected producer belongs to whoever injected it.
    if (std::holds_alternative<std::shared_ptr<AudioProducer>>(source.value)) {
        return;
    }
    auto producer = source.producer();
    tasks_->spawn([producer] { return stopRunning(producer); });
}

// ---- Lookups

std::optional<std::uint32_t> RoutingController::sourceChannelCount(const Endpoint& endpoint) const {
    if (const auto* source = std::get_if<Endpoint::Source>(&endpoint.value)) {
        auto running = sources_.find(source->id);
        if (running == sources_.end()) {
            return std::nullopt;
        }
        auto producer = running->second.producer();
        return producer ? std::optional(producer->channelCount()) : std::nullopt;
    }
    const auto& uid = std::get<Endpoint::Line>(endpoint.value).uid;
    auto line = std::ranges::find(lines_, uid, &AudioDeviceInfo::uid);
    return line == lines_.end() ? std::nullopt : std::optional(line->outputChannels);
}

std::uint32_t RoutingController::channelCountOrStereo(const Endpoint& endpoint) const {
    return sourceChannelCount(endpoint).value_or(2);
}

std::optional<SourceConfig> RoutingController::source(const UUID& id) const {
    auto found = std::ranges::find(config_.sources, id, &SourceConfig::id);
    return found == config_.sources.end() ? std::nullopt : std::optional(*found);
}

std::optional<AudioDeviceInfo> RoutingController::device(const std::string& uid) const {
    for (const auto* list : {&lines_, &outputDevices_}) {
        auto found = std::ranges::find(*list, uid, &AudioDeviceInfo::uid);
        if (found != list->end()) {
            return *found;
        }
    }
    return std::nullopt;
}

bool RoutingController::isSplit(const std::string& deviceUID, std::int64_t pair) const {
    auto entry = config_.splitPairs.find(deviceUID);
    return entry != config_.splitPairs.end() && entry->second.contains(pair);
}

int RoutingController::visiblePairs(const AudioDeviceInfo& device) const {
    return visiblePairs(config_, device);
}

int RoutingController::visiblePairs(const RoutingConfig& config, const AudioDeviceInfo& device) {
    const int pairs = pairCapacity(device);
    std::int64_t value = isLine(device.uid) ? std::min(pairs, 4) : 1;
    if (auto stored = config.visiblePairs.find(device.uid); stored != config.visiblePairs.end()) {
        value = stored->second;
    }
    return static_cast<int>(std::clamp<std::int64_t>(value, 1, pairs));
}

int RoutingController::pairCapacity(const AudioDeviceInfo& device) {
    return std::max(1, static_cast<int>((static_cast<std::int64_t>(device.outputChannels) + 1) / 2));
}

void RoutingController::setVisiblePairs(int count, const AudioDeviceInfo& device) {
    assertMainThread();
    RoutingConfig next = config_;
    next.visiblePairs[device.uid] = std::clamp(count, 1, pairCapacity(device));
    setConfig(std::move(next));
}

// ---- Editing

void RoutingController::toggleConnection(const Endpoint& from, const std::string& to, std::int64_t pair,
                                         std::int64_t width) {
    assertMainThread();
    RoutingConfig next = config_;
    auto& connections = next.connections;
    auto found = std::ranges::find_if(connections, [&](const Connection& connection) {
        return matches(connection, from, to, pair, width);
    });
    if (found != connections.end()) {
        removeAll(connections, UUID(found->id));
    } else {
        Connection connection = newConnection(from, to, pair, width);
        if (width == 1) {
            // A single channel takes the source channel of the same parity; a mono source has only one.
            connection.monoMix = false;
            connection.sourceChannel = pair % 2;
            if (auto channels = sourceChannelCount(from); channels && *channels < 2) {
                connection.sourceChannel = 0;
            }
        }
        connections.push_back(std::move(connection));
    }
    setConfig(std::move(next));
}

void RoutingController::toggleRoute(const Endpoint& from, const std::string& to, std::int64_t pair,
                                    std::int64_t width, std::int64_t bit) {
    assertMainThread();
    RoutingConfig next = config_;
    auto& connections = next.connections;
    auto found = std::ranges::find_if(connections, [&](const Connection& connection) {
        return matches(connection, from, to, pair, width);
    });
    if (found != connections.end()) {
        const std::int64_t mask = found->routeMaskFor(channelCountOrStereo(from));
        if (mask == bit) {
            removeAll(connections, UUID(found->id));
        } else {
            // The mask is relative to the pair start, so the channel moves there; the id stays, so the
            // pass rebuilds the same route.
            found->sourceChannel = pairStart(found->sourceChannel);
            found->routeMask = mask ^ bit;
        }
    } else {
        Connection connection = newConnection(from, to, pair, width);
        connection.routeMask = bit;
        connections.push_back(std::move(connection));
    }
    setConfig(std::move(next));
}

void RoutingController::setSplit(bool split, const std::string& deviceUID, std::int64_t pair) {
    assertMainThread();
    if (isSplit(deviceUID, pair) == split) {
        return;
    }
    RoutingConfig next = config_;
    if (split) {
        splitPair(next.connections, deviceUID, pair);
        next.splitPairs[deviceUID].insert(pair);
    } else {
        joinPair(next.connections, deviceUID, pair);
        if (auto entry = next.splitPairs.find(deviceUID); entry != next.splitPairs.end()) {
            entry->second.erase(pair);
            if (entry->second.empty()) {
                next.splitPairs.erase(entry);
            }
        }
    }
    setConfig(std::move(next));
}

// Replaces each stereo connection on the pair by one single-channel connection per destination channel
// it reaches, carrying the same sound.
void RoutingController::splitPair(std::vector<Connection>& connections, const std::string& deviceUID,
                                  std::int64_t pair) const {
    for (std::size_t index = connections.size(); index-- > 0;) {
        const Connection& candidate = connections[index];
        if (candidate.toDeviceUID != deviceUID || candidate.pair != pair || candidate.width != 2) {
            continue;
        }
        const Connection removed = candidate;
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
        const ChannelMapping mapping = removed.channelMapping(channelCountOrStereo(removed.from));

        std::set<std::int64_t> destinations;
        for (const auto& entry : mapping.entries) {
            destinations.insert(entry.destination);
        }
        for (std::int64_t destination : destinations) {
            std::vector<std::int64_t> sources;
            for (const auto& entry : mapping.entries) {
                if (entry.destination == destination) {
                    sources.push_back(entry.source);
                }
            }
            Connection single = removed;
            single.id = UUID::random();
            single.width = 1;
            single.pair = destination;
            if (sources.size() == 1) {
                single.sourceChannel = sources.front();
                single.monoMix = false;
                single.routeMask.reset();
            } else {
                const std::int64_t base = pairStart(*std::ranges::min_element(sources));
                const auto has = [&sources](std::int64_t channel) {
                    return std::ranges::find(sources, channel) != sources.end();
                };
                single.sourceChannel = base;
                single.routeMask = (has(base) ? 1 : 0) | (has(base + 1) ? 4 : 0);
            }
            connections.push_back(std::move(single));
        }
    }
}

// Merges the single-channel connections on the pair's two channels into one stereo connection per
// endpoint, expressed as a route mask over the pair.
void RoutingController::joinPair(std::vector<Connection>& connections, const std::string& deviceUID,
                                 std::int64_t pair) const {
    std::vector<Connection> taken;
    std::erase_if(connections, [&](const Connection& connection) {
        const bool onPair = connection.toDeviceUID == deviceUID && connection.width == 1 &&
                            (connection.pair == pair || connection.pair == pair + 1);
        if (onPair) {
            taken.push_back(connection);
        }
        return onPair;
    });

    std::vector<std::vector<Connection>> groups;
    for (auto& connection : taken) {
        auto group = std::ranges::find_if(
            groups, [&connection](const auto& members) { return members.front().from == connection.from; });
        if (group == groups.end()) {
            groups.push_back({std::move(connection)});
        } else {
            group->push_back(std::move(connection));
        }
    }

    for (const auto& group : groups) {
        const std::uint32_t channels = channelCountOrStereo(group.front().from);
        std::vector<ChannelMapping::Entry> entries;
        for (const auto& connection : group) {
            const auto mapping = connection.channelMapping(channels);
            entries.insert(entries.end(), mapping.entries.begin(), mapping.entries.end());
        }
        if (entries.empty()) {
            continue;
        }
        const std::int64_t base =
            pairStart(std::ranges::min_element(entries, {}, &ChannelMapping::Entry::source)->source);
        std::int64_t mask = 0;
        for (const auto& entry : entries) {
            auto row = std::ranges::find_if(Connection::routeBits, [&](const Connection::RouteBit& bit) {
                return bit.sourceOffset == entry.source - base &&
                       bit.destinationOffset == entry.destination - pair;
            });
            if (row != Connection::routeBits.end()) {
                mask |= row->bit;
            }
        }

        Connection joined = group.front();
        joined.id = UUID::random();
        joined.width = 2;
        joined.pair = pair;
        joined.sourceChannel = base;
        joined.monoMix = true;
        constexpr std::int64_t straightStereo = 9;
        if (mask == straightStereo) {
            joined.routeMask.reset();
            joined.mode = channels == 1 ? MappingMode::automatic : MappingMode::stereo;
        } else {
            joined.routeMask = mask;
            joined.mode = MappingMode::automatic;
        }
        connections.push_back(std::move(joined));
    }
}
