// The controller's private state as the routing controller tests reach it (a friend of the controller).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TandrelApp/Engine/InputDeviceSource.h"
#include "TandrelApp/Engine/OutputDestination.h"
#include "TandrelApp/Routing/RoutingController.h"

struct RoutingControllerTestAccess {
    static void publishDevices(RoutingController& controller, std::vector<AudioDeviceInfo> lines,
                               std::vector<AudioDeviceInfo> outputs, std::vector<AudioDeviceInfo> inputs) {
        controller.lines_ = std::move(lines);
        controller.outputDevices_ = std::move(outputs);
        controller.inputDevices_ = std::move(inputs);
    }
    static bool isValid(const RoutingController& c, const Connection& connection) {
        return c.isValid(connection);
    }
    static void sourceStopped(RoutingController& c, const UUID& id, std::exception_ptr error) {
        c.sourceStopped(id, std::move(error));
    }
    static bool pendingRebuild(const RoutingController& c) { return c.pendingRebuild_; }
    static bool pendingCaptureRestart(const RoutingController& c) { return c.pendingCaptureRestart_; }
    static bool pendingDeviceRefresh(const RoutingController& c) { return c.pendingDeviceRefresh_; }
    static bool reconcileRunning(const RoutingController& c) { return c.reconcileRunning_; }

    // Device list.
    static QCoro::Task<std::vector<AudioDeviceInfo>> fetchDevices(RoutingController& c) {
        return c.fetchDevices();
    }
    static QCoro::Task<> applyDevices(RoutingController& c, std::vector<AudioDeviceInfo> devices) {
        return c.applyDevices(std::move(devices));
    }
    static bool deviceSetChanged(const RoutingController& c, const std::vector<AudioDeviceInfo>& devices) {
        return c.deviceSetChanged(devices);
    }
    static void refreshDeviceNames(RoutingController& c, const std::vector<AudioDeviceInfo>& devices) {
        c.refreshDeviceNames(devices);
    }
    static QCoro::Task<> teardownDevices(RoutingController& c) { return c.teardownDevices(); }

    // Running objects, entered the way the reconcile pass enters them.
    static void addDestination(RoutingController& c, std::shared_ptr<OutputDestination> destination) {
        c.destinations_[destination->id()] = std::move(destination);
    }
    static void addLineInput(RoutingController& c, std::shared_ptr<InputDeviceSource> input) {
        c.lineInputs_[input->device().uid] = std::move(input);
    }
    static void addInputSource(RoutingController& c, const UUID& id,
                               std::shared_ptr<InputDeviceSource> input) {
        c.sources_[id] = RoutingController::RunningSource{std::move(input)};
    }
    static void addRoute(RoutingController& c, const UUID& connectionID,
                         std::shared_ptr<AudioProducer> producer,
                         std::shared_ptr<OutputDestination> destination, ChannelMapping mapping) {
        RoutingController::RouteKey key{producer.get(), destination.get(), mapping};
        auto route = c.engine_.connect(std::move(producer), std::move(destination), mapping, 1.0f);
        c.routes_[connectionID] = RoutingController::LiveRoute{std::move(key), std::move(route)};
    }
    static void setStatus(RoutingController& c, const UUID& id, RoutingController::SourceStatus status) {
        c.setSourceStatus(id, std::move(status));
    }
    static void cacheLineGains(RoutingController& c, const std::string& uid) {
        c.lineGainSupport_[uid] = true;
        c.lineGainsSent_[uid] = {1.0f, 1.0f};
    }
    static std::size_t routes(const RoutingController& c) { return c.routes_.size(); }
    static std::size_t destinations(const RoutingController& c) { return c.destinations_.size(); }
    static std::size_t lineInputs(const RoutingController& c) { return c.lineInputs_.size(); }
    static std::size_t sources(const RoutingController& c) { return c.sources_.size(); }
    static std::size_t lineGainCaches(const RoutingController& c) {
        return c.lineGainSupport_.size() + c.lineGainsSent_.size();
    }
    static const RoutingEngine& engine(const RoutingController& c) { return c.engine_; }

    // What the reconcile pass built.
    static std::shared_ptr<OutputDestination> destination(const RoutingController& c,
                                                          const std::string& uid) {
        auto found = c.destinations_.find(uid);
        return found == c.destinations_.end() ? nullptr : found->second;
    }
    static std::shared_ptr<InputDeviceSource> lineInput(const RoutingController& c, const std::string& uid) {
        auto found = c.lineInputs_.find(uid);
        return found == c.lineInputs_.end() ? nullptr : found->second;
    }
    static std::shared_ptr<RoutingEngine::Route> route(const RoutingController& c, const UUID& connectionID) {
        auto found = c.routes_.find(connectionID);
        return found == c.routes_.end() ? nullptr : found->second.route;
    }
    static std::optional<bool> lineGainSupport(const RoutingController& c, const std::string& uid) {
        auto found = c.lineGainSupport_.find(uid);
        return found == c.lineGainSupport_.end() ? std::nullopt : std::optional(found->second);
    }
    static std::optional<std::vector<float>> lineGainsSent(const RoutingController& c,
                                                           const std::string& uid) {
        auto found = c.lineGainsSent_.find(uid);
        return found == c.lineGainsSent_.end() ? std::nullopt : std::optional(found->second);
    }

    // A source start as the reconcile pass makes it: the status becomes starting and the attempt is
    // counted; the start itself runs up to its first suspension when called.
    static std::uint64_t beginStart(RoutingController& c, const UUID& id) {
        c.setSourceStatus(id, RoutingController::SourceStatus::starting());
        return ++c.startAttempts_[id];
    }
    static QCoro::Task<> startSource(RoutingController& c, SourceConfig source, std::uint64_t attempt) {
        return RoutingController::startSource(c.weak_from_this(), std::move(source), attempt);
    }
    static std::shared_ptr<AudioProducer> sourceProducer(const RoutingController& c, const UUID& id) {
        auto found = c.sources_.find(id);
        return found == c.sources_.end() ? nullptr : found->second.producer();
    }

    // Sources and monitors, playing applications.
    static const std::set<std::string>& appsPlayingNow(const RoutingController& c) {
        return c.appsPlayingNow_;
    }
    static void pruneAutoAddedApps(RoutingController& c,
                                   const std::function<bool(const std::string&)>& isGone) {
        c.pruneAutoAddedApps(isGone);
    }
    // Meters, dropout log, reset of settings.
    static void startDropoutLog(RoutingController& c) { c.startDropoutLog(); }
    static void setPendingDeviceRefresh(RoutingController& c, bool value) { c.pendingDeviceRefresh_ = value; }
    // Volumes and recovery.
    static void audioSystemUnresponsive(RoutingController& c) { c.audioSystemUnresponsive(); }
    static bool recoveryRunning(const RoutingController& c) { return c.recoveryRunning_; }
    // Listeners and hardware volume linking.
    static bool pendingDeviceCheck(const RoutingController& c) { return c.pendingDeviceCheck_; }
    static std::size_t deviceListeners(const RoutingController& c) { return c.deviceListeners_.size(); }
    static void announceDeviceListChange(RoutingController& c) { c.announceDeviceListChange(); }
    static void hardwareVolumeChanged(RoutingController& c, const AudioDeviceInfo& device) {
        c.hardwareVolumeChanged(device);
    }
    // Every task the controller started.
    static std::shared_ptr<TaskGroup> tasks(const RoutingController& c) { return c.tasks_; }
};
