// The one place where live connections from producers to output destinations are made and unmade
// while audio runs. The controller (and each self-test) owns one engine; core objects that an audio
// thread may still read are freed only after the reclaim delay.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Engine/ChannelMapping.h"
#include "TandrelApp/Support/AppError.h"
#include "TandrelApp/Support/UUID.h"
#include "TandrelCore/TandrelCore.h"

class OutputDestination;

// The core's channel-matrix form of a mapping, entry for entry.
std::vector<TDMatrixEntry> matrixEntries(const ChannelMapping& mapping);

class RoutingEngine {
public:
    class RoutingError : public AppError {
    public:
        enum class Kind { channelOutOfRange, tooManyConsumers, routeCreationFailed };
        static RoutingError channelOutOfRange(const std::string& what);
        static RoutingError tooManyConsumers(const std::string& producerName);
        static RoutingError routeCreationFailed();

        Kind kind() const { return kind_; }
        const std::string& payload() const { return payload_; }

    private:
        RoutingError(Kind kind, std::string payload, const std::string& description);
        Kind kind_;
        std::string payload_;
    };

    // One live connection. gain and isMuted are plain values: whoever changes them also calls
    // TDRouteSetGain or TDRouteSetMuted on raw(). Per-source-channel gains go straight to raw().
    class Route {
    public:
        Route(std::shared_ptr<AudioProducer> producer, std::shared_ptr<OutputDestination> destination,
              ChannelMapping mapping, TDRoute* raw, float gain);

        const UUID& id() const { return id_; }
        const std::shared_ptr<AudioProducer>& producer() const { return producer_; }
        const std::shared_ptr<OutputDestination>& destination() const { return destination_; }
        const ChannelMapping& mapping() const { return mapping_; }
        TDRoute* raw() const { return raw_; }

        float gain;
        bool isMuted = false;

        double safetyMilliseconds() const { return safetyMilliseconds_; }
        // Stores the value and gives the core route that many milliseconds of the producer's frames
        // (a negative value or NaN counts as 0).
        void setSafetyMilliseconds(double milliseconds);

    private:
        UUID id_;
        std::shared_ptr<AudioProducer> producer_;
        std::shared_ptr<OutputDestination> destination_;
        ChannelMapping mapping_;
        TDRoute* raw_;
        double safetyMilliseconds_ = 5.0;
    };

    // How long core objects live on after they were unpublished.
    static constexpr std::chrono::seconds reclaimDelay{1};

    RoutingEngine() = default;
    // Takes every live route off the air (rings detached, plans without them published) and frees
    // the core routes after the reclaim delay.
    ~RoutingEngine();
    RoutingEngine(const RoutingEngine&) = delete;
    RoutingEngine& operator=(const RoutingEngine&) = delete;

    // Creates a route from producer into destination; throws RoutingError. Connecting the same pair
    // twice makes two routes, both mixed.
    std::shared_ptr<Route> connect(std::shared_ptr<AudioProducer> producer,
                                   std::shared_ptr<OutputDestination> destination,
                                   const ChannelMapping& mapping, float gain);
    // Does nothing for a route that is not live.
    void disconnect(const std::shared_ptr<Route>& route);
    // Disconnects every route whose producer or destination is that very object.
    void disconnectAll(const void* object);

    const std::vector<std::shared_ptr<Route>>& routes() const { return routes_; }
    std::vector<std::shared_ptr<Route>> routes(const OutputDestination* to) const;

private:
    // A detached core route that the destination's current plan may still name.
    struct Unpublished {
        TDRoute* raw;
        std::weak_ptr<OutputDestination> destination;
    };

    // Publishes the destination's plan of live routes and frees the detached routes no plan names any
    // more; when the new plan cannot be published the old one, and its routes, stay in force.
    void publishPlan(OutputDestination& destination);
    void detach(Route& route);
    void reclaimUnpublished();

    std::vector<std::shared_ptr<Route>> routes_;
    std::vector<Unpublished> unpublished_;
};
