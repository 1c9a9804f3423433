#include "TandrelApp/Engine/RoutingEngine.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "Platform/Dispatch/DeferredWork.h"
#include "TandrelApp/Engine/AudioFanout.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Support/Log.h"

namespace {

void freeLater(TDRoutePlan* plan) {
    DeferredWork::schedule(RoutingEngine::reclaimDelay, [plan] { TDPlanFree(plan); });
}

void destroyLater(TDRoute* raw) {
    DeferredWork::schedule(RoutingEngine::reclaimDelay, [raw] { TDRouteDestroy(raw); });
}

} // namespace

std::vector<TDMatrixEntry> matrixEntries(const ChannelMapping& mapping) {
    std::vector<TDMatrixEntry> entries;
    entries.reserve(mapping.entries.size());
    for (const auto& entry : mapping.entries) {
        entries.push_back(
            {static_cast<uint16_t>(entry.source), static_cast<uint16_t>(entry.destination), entry.gain});
    }
    return entries;
}

RoutingEngine::RoutingError::RoutingError(Kind kind, std::string payload, const std::string& description)
    : AppError(description)
    , kind_(kind)
    , payload_(std::move(payload)) {}

RoutingEngine::RoutingError RoutingEngine::RoutingError::channelOutOfRange(const std::string& what) {
    return RoutingError(Kind::channelOutOfRange, what, "チャンネル指定が範囲外です: " + what);
}

RoutingEngine::RoutingError RoutingEngine::RoutingError::tooManyConsumers(const std::string& producerName) {
    return RoutingError(Kind::tooManyConsumers, producerName, producerName + " の接続数が上限に達しています");
}

RoutingEngine::RoutingError RoutingEngine::RoutingError::routeCreationFailed() {
    return RoutingError(Kind::routeCreationFailed, {}, "ルートを作成できませんでした");
}

RoutingEngine::Route::Route(std::shared_ptr<AudioProducer> producer,
                            std::shared_ptr<OutputDestination> destination, ChannelMapping mapping,
                            TDRoute* raw, float gain)
    : gain(gain)
    , id_(UUID::random())
    , producer_(std::move(producer))
    , destination_(std::move(destination))
    , mapping_(std::move(mapping))
    , raw_(raw) {}

void RoutingEngine::Route::setSafetyMilliseconds(double milliseconds) {
    safetyMilliseconds_ = milliseconds;
    const double ms = std::isnan(milliseconds) ? 0.0 : std::max(milliseconds, 0.0);
    const double frames = std::trunc(ms * producer_->sampleRate() / 1000.0);
    TDRouteSetSafetyFrames(raw_, frames >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(frames));
}

RoutingEngine::~RoutingEngine() {
    std::vector<std::shared_ptr<OutputDestination>> fed;
    for (const auto& route : routes_) {
        detach(*route);
        if (std::find(fed.begin(), fed.end(), route->destination()) == fed.end()) {
            fed.push_back(route->destination());
        }
    }
    routes_.clear();
    for (const auto& destination : fed) {
        publishPlan(*destination);
    }
    if (!unpublished_.empty()) {
        // A plan still names these routes: leaking them is the only safe choice.
        Log::app("Routing")->warn(
            "Leaving {} routes allocated: their destinations' plans could not be replaced",
            unpublished_.size());
    }
}

std::shared_ptr<RoutingEngine::Route> RoutingEngine::connect(std::shared_ptr<AudioProducer> producer,
                                                             std::shared_ptr<OutputDestination> destination,
                                                             const ChannelMapping& mapping, float gain) {
    const uint32_t destinationChannels = TDDestinationChannels(destination->raw());
    for (const auto& entry : mapping.entries) {
        if (entry.source < 0 || entry.source >= producer->channelCount()) {
            throw RoutingError::channelOutOfRange(producer->producerName() + " ch" +
                                                  std::to_string(entry.source + 1));
        }
        if (entry.destination < 0 || entry.destination >= destinationChannels) {
            throw RoutingError::channelOutOfRange(destination->producerName() + " ch" +
                                                  std::to_string(entry.destination + 1));
        }
    }
    const auto entries = matrixEntries(mapping);
    TDRoute* raw =
        TDRouteCreate(producer->channelCount(), 4096, entries.data(), static_cast<uint32_t>(entries.size()),
                      producer->sampleRate(), destination->sampleRate());
    if (raw == nullptr) {
        throw RoutingError::routeCreationFailed();
    }
    auto route = std::make_shared<Route>(producer, destination, mapping, raw, gain);
    TDRouteSetGain(raw, gain);
    if (!TDFanoutAdd(producer->fanout().raw(), TDRouteRing(raw))) {
        TDRouteDestroy(raw); // never reachable from an audio thread
        throw RoutingError::tooManyConsumers(producer->producerName());
    }
    routes_.push_back(route);
    publishPlan(*destination);
    Log::app("Routing")->info("Connected {} → {}", producer->producerName(), destination->producerName());
    return route;
}

void RoutingEngine::disconnect(const std::shared_ptr<Route>& route) {
    const auto live = std::remove(routes_.begin(), routes_.end(), route);
    if (live == routes_.end()) {
        return;
    }
    routes_.erase(live, routes_.end());
    detach(*route);
    publishPlan(*route->destination());
}

void RoutingEngine::disconnectAll(const void* object) {
    const auto snapshot = routes_;
    for (const auto& route : snapshot) {
        if (route->producer().get() == object || route->destination().get() == object) {
            disconnect(route);
        }
    }
}

std::vector<std::shared_ptr<RoutingEngine::Route>> RoutingEngine::routes(const OutputDestination* to) const {
    std::vector<std::shared_ptr<Route>> result;
    std::copy_if(routes_.begin(), routes_.end(), std::back_inserter(result),
                 [to](const auto& route) { return route->destination().get() == to; });
    return result;
}

void RoutingEngine::publishPlan(OutputDestination& destination) {
    std::vector<TDRoute*> raws;
    for (const auto& route : routes_) {
        if (route->destination().get() == &destination) {
            raws.push_back(route->raw());
        }
    }
    TDRoutePlan* previous =
        TDDestinationSetRoutes(destination.raw(), raws.data(), static_cast<uint32_t>(raws.size()));
    // Null means either that there was no plan before or that the new one could not be allocated;
    // only a destination that has had a plan can be in the second case.
    auto& plan = destination.planState;
    const bool published = previous != nullptr || !plan.published;
    if (previous != nullptr) {
        freeLater(previous);
    }
    if (!published) {
        Log::app("Routing")->error("Could not publish a new plan for {}", destination.producerName());
        return;
    }
    plan.published = true;
    plan.routes = std::move(raws);
    reclaimUnpublished();
}

void RoutingEngine::detach(Route& route) {
    TDFanoutRemove(route.producer()->fanout().raw(), TDRouteRing(route.raw()));
    unpublished_.push_back({route.raw(), route.destination()});
}

void RoutingEngine::reclaimUnpublished() {
    // A detached route may be freed once the plan in force at its destination no longer names it, or
    // the destination is gone; a failed publish leaves the old plan, and its routes, in force.
    std::vector<Unpublished> waiting;
    for (const auto& item : unpublished_) {
        auto destination = item.destination.lock();
        const auto& named = destination == nullptr ? std::vector<TDRoute*>{} : destination->planState.routes;
        if (std::find(named.begin(), named.end(), item.raw) == named.end()) {
            destroyLater(item.raw);
        } else {
            waiting.push_back(item);
        }
    }
    unpublished_ = std::move(waiting);
}
