// The meters' peak provider, and two read-only views of the running routes: the periodic dropout log
// and the route information of a matrix cell.
#include "TandrelApp/Routing/RoutingController.h"

#include <algorithm>
#include <unordered_set>

#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"

using namespace RoutingControllerDetail;

namespace {

// Sources show at most this many channels.
constexpr std::uint32_t maxSourceMeterChannels = 8;

std::vector<float> takePeaks(const AudioFanout& fanout, std::uint32_t channels) {
    std::vector<float> peaks(channels);
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        peaks[channel] = TDFanoutTakePeak(fanout.raw(), channel);
    }
    return peaks;
}

// Frames of the producer's rate in milliseconds; 0 while the rate is unknown.
double milliseconds(std::uint32_t frames, double rate) {
    return rate > 0 ? frames / rate * 1000.0 : 0.0;
}

} // namespace

void RoutingController::installMeterProvider() {
    std::weak_ptr<RoutingController> weak = weak_from_this();
    meters_.setProvider([weak]() -> MeterStore::Levels {
        auto self = weak.lock();
        return self ? self->collectPeaks() : MeterStore::Levels{};
    });
}

MeterStore::Levels RoutingController::collectPeaks() {
    assertMainThread();
    MeterStore::Levels peaks;
    for (const auto& [id, running] : sources_) {
        auto producer = running.producer();
        if (!producer) {
            continue;
        }
        const std::uint32_t channels = std::min(producer->channelCount(), maxSourceMeterChannels);
        peaks[MeterKey::source(id)] = takePeaks(producer->fanout(), channels);
    }
    for (const auto& [uid, destination] : destinations_) {
        peaks[MeterKey::device(uid)] =
            takePeaks(destination->fanout(), TDDestinationChannels(destination->raw()));
    }
    // What a line plays back is what its meters show; its destination's peaks are still taken (and reset).
    for (const auto& [uid, input] : lineInputs_) {
        peaks[MeterKey::device(uid)] = takePeaks(input->fanout(), input->device().inputChannels);
    }
    return peaks;
}

void RoutingController::startDropoutLog() {
    std::weak_ptr<RoutingController> weak = weak_from_this();
    const auto interval = timings_.dropoutLogInterval;
    tasks_->spawn([weak, tasks = tasks_, interval] { return runDropoutLog(weak, tasks, interval); });
}

// Holds the controller only while it looks at the routes, so the log ends with the controller.
QCoro::Task<> RoutingController::runDropoutLog(std::weak_ptr<RoutingController> weak,
                                               std::shared_ptr<TaskGroup> tasks,
                                               std::chrono::milliseconds interval) {
    auto log = Log::app("Dropouts");
    std::unordered_map<UUID, DropoutCounts> lastSeen;
    while (true) {
        auto sleeping = TaskGroup::sleep(tasks, interval);
        if (!co_await std::move(sleeping)) {
            co_return;
        }
        auto self = weak.lock();
        if (!self) {
            co_return;
        }
        self->logDropouts(lastSeen, *log);
    }
}

void RoutingController::logDropouts(std::unordered_map<UUID, DropoutCounts>& lastSeen,
                                    spdlog::logger& log) const {
    std::unordered_set<UUID> seen;
    for (const auto& [connectionID, live] : routes_) {
        const auto& route = *live.route;
        seen.insert(route.id());
        const TDRouteStats stats = TDRouteGetStats(route.raw());
        const DropoutCounts current{stats.underruns, stats.overruns};
        // A route seen for the first time logs nothing, whatever it counted before.
        const DropoutCounts previous = lastSeen.try_emplace(route.id(), current).first->second;
        lastSeen[route.id()] = current;

        const std::uint64_t underruns =
            current.underruns > previous.underruns ? current.underruns - previous.underruns : 0;
        const std::uint64_t overruns =
            current.overruns > previous.overruns ? current.overruns - previous.overruns : 0;
        if (underruns == 0 && overruns == 0) {
            continue;
        }
        const double rate = route.producer()->sampleRate();
        log.info("{} → {}: underruns +{} overruns +{} target {:.1f}ms fill {:.1f}ms",
                 route.producer()->producerName(), route.destination()->device().name, underruns, overruns,
                 milliseconds(stats.target, rate), milliseconds(stats.fill, rate));
    }
    std::erase_if(lastSeen, [&seen](const auto& entry) { return !seen.contains(entry.first); });
}

std::optional<RoutingController::RouteInfo> RoutingController::routeInfo(const UUID& connectionID) const {
    assertMainThread();
    auto live = routes_.find(connectionID);
    if (live == routes_.end()) {
        return std::nullopt;
    }
    const auto& route = *live->second.route;
    const TDRouteStats stats = TDRouteGetStats(route.raw());
    const double rate = route.producer()->sampleRate();
    if (!(rate > 0) || !(stats.nominalRatio > 0)) {
        return std::nullopt;
    }
    return RouteInfo{
        .bufferMs = stats.target / rate * 1000.0,
        .driftPpm = (stats.ratio / stats.nominalRatio - 1.0) * 1'000'000.0,
        .underruns = stats.underruns,
    };
}
