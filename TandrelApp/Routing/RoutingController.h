// The one live owner of the routing configuration on the GUI thread: it publishes the configuration and
// the device lists to the mixer window, applies the window's edits, saves them, and holds the running
// sources, destinations and routes that the reconcile pass builds. The application creates one at start
// (ControllerLoader); the self-tests create their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <QObject>
#include <QString>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/AudioAppMonitor.h"
#include "TandrelApp/Engine/AudioDeviceInfo.h"
#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Engine/ChannelMapping.h"
#include "TandrelApp/Engine/RoutingEngine.h"
#include "TandrelApp/Routing/MeterStore.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/TaskGroup.h"
#include "TandrelApp/Support/UUID.h"

class AudioCaptureSource;
class InputDeviceSource;
class OutputDestination;

// Delays the controller waits for; tests shorten them.
struct RoutingControllerTimings {
    // Quiet time after the last configuration change before it is written.
    std::chrono::milliseconds saveDelay{500};
    // Time-out, in seconds, of each audio-server call of the reconcile pass and the device list.
    double callTimeout = 5.0;
    // How long a report of playing applications must stand unchanged before it takes effect.
    std::chrono::milliseconds playingDebounce{1500};
    // Period of the dropout log.
    std::chrono::milliseconds dropoutLogInterval{2000};
    // Sleep before each probe of an audio server that stopped answering, and the probe's time-out in
    // seconds.
    std::chrono::milliseconds recoveryInterval{3000};
    double probeTimeout = 2.0;

    // Listeners and hardware volume linking: the wait before a device-list announcement, the settle time
    // after a volume report, and how long a copied volume's own report counts as its echo.
    std::chrono::milliseconds announceDelay{300};
    std::chrono::milliseconds volumeSettle{80};
    std::chrono::milliseconds volumeEchoWindow{600};
};

class RoutingController : public QObject, public std::enable_shared_from_this<RoutingController> {
    Q_OBJECT

public:
    // What the mixer shows for one configured source.
    struct SourceStatus {
        struct Running {
            std::string detail;
            bool operator==(const Running&) const = default;
        };
        struct Waiting {
            std::string text;
            bool operator==(const Waiting&) const = default;
        };
        struct Failed {
            std::string text;
            bool operator==(const Failed&) const = default;
        };
        struct Idle {
            bool operator==(const Idle&) const = default;
        };
        struct Starting {
            bool operator==(const Starting&) const = default;
        };
        struct Standby {
            bool operator==(const Standby&) const = default;
        };

        std::variant<Running, Waiting, Failed, Idle, Starting, Standby> value;

        static SourceStatus running(std::string detail) { return {Running{std::move(detail)}}; }
        static SourceStatus waiting(std::string text) { return {Waiting{std::move(text)}}; }
        static SourceStatus failed(std::string text) { return {Failed{std::move(text)}}; }
        static SourceStatus idle() { return {Idle{}}; }
        static SourceStatus starting() { return {Starting{}}; }
        static SourceStatus standby() { return {Standby{}}; }

        bool operator==(const SourceStatus&) const = default;
    };

    // A device's hardware volume as last read: scalar 0...1 and mute. Its two functions are the only
    // place where the device's own output volume is touched; both block, so call them on the call queue.
    struct HardwareVolume {
        float scalar = 0.0f;
        bool muted = false;
        bool operator==(const HardwareVolume&) const = default;

        // Main element, else channel 1; a device without a volume reads as 1.0, not muted.
        static HardwareVolume read(AudioObjectID device);
        // Main element when it is settable, else channels 1 and 2; the server's answers are not checked.
        static void write(AudioObjectID device, float scalar, bool muted);
    };

    using Timings = RoutingControllerTimings;

    // Creates a controller with `config` as its live configuration and starts it: workspace observers,
    // meters, automatic adding (only when `autoDiscovers`) and the first reconcile pass, which runs
    // after the caller's event has returned. `persists` makes changes go to routing.json. Every task it
    // starts belongs to its TaskGroup: they wind down when the controller goes (or TaskGroup::windDownAll
    // is called), and no pass follows the one that runs then.
    static std::shared_ptr<RoutingController> create(RoutingConfig config, bool persists, bool autoDiscovers,
                                                     Timings timings = {});

    ~RoutingController() override;
    RoutingController(const RoutingController&) = delete;
    RoutingController& operator=(const RoutingController&) = delete;

    // Published state. Every assignment emits the field's signal, equal value or not.
    const RoutingConfig& config() const { return config_; }
    // Stores the value, announces it, then saves (debounced) and reconciles when it really changed.
    void setConfig(RoutingConfig value);
    const std::vector<AudioDeviceInfo>& lines() const { return lines_; }
    const std::vector<AudioDeviceInfo>& outputDevices() const { return outputDevices_; }
    const std::vector<AudioDeviceInfo>& inputDevices() const { return inputDevices_; }
    const std::unordered_map<UUID, SourceStatus>& sourceStatus() const { return sourceStatus_; }
    bool audioSystemResponsive() const { return audioSystemResponsive_; }
    bool devicesLoaded() const { return devicesLoaded_; }
    const std::optional<std::string>& message() const { return message_; }
    // The user has seen the message: it goes, and the change is announced.
    void clearMessage();
    const std::map<std::string, HardwareVolume>& hardwareVolumes() const { return hardwareVolumes_; }

    bool persists() const { return persists_; }
    bool autoDiscovers() const { return autoDiscovers_; }

    // Drops a save that is waiting for its quiet time; the quit-time save writes at once instead.
    void cancelPendingSave();

    // Hardware volume linking between a line and the monitors that play it.
    // The devices whose hardware volume follows this one's: a linked line's monitors, or a monitor's
    // linked lines.
    std::vector<AudioDeviceInfo> volumePartners(const std::string& uid) const;
    void setLinksMonitorToLineVolume(bool linked, const std::string& uid);
    // Writes a published device's volume in the background; its change report publishes and links it.
    void setHardwareVolume(const std::string& uid, float scalar, bool muted);

    // Asks for a reconcile pass. Any number of requests before the pass starts give one pass; requests
    // made while a pass runs give exactly one more.
    void scheduleReconcile();

    // Enters a producer of the routing self-test as the running source `id` and reconciles.
    void injectSource(std::shared_ptr<AudioProducer> producer, const UUID& id);
    // Returns once no reconcile pass runs and no source is starting (checked every 20 ms).
    QCoro::Task<> waitForReconcile();
    // Forgets every waiting and failed status, so the next pass starts those sources again, and asks
    // for that pass.
    void retrySources();
    // Asks the next reconcile pass for a full rebuild of the devices and a restart of the capture
    // sources (the mixer's "再試行"); retrySources() then asks for the pass.
    void requestRebuild();

    // Matrix editing. Pairs are destination channel indices: a pair by its first channel, a single
    // channel of a split pair by its own index. Each edit assigns the configuration once.
    void toggleConnection(const Endpoint& from, const std::string& to, std::int64_t pair, std::int64_t width);
    // `bit` is one of Connection::routeBits' bits (1, 2, 4, 8).
    void toggleRoute(const Endpoint& from, const std::string& to, std::int64_t pair, std::int64_t width,
                     std::int64_t bit);
    void setSplit(bool split, const std::string& deviceUID, std::int64_t pair);
    bool isSplit(const std::string& deviceUID, std::int64_t pair) const;
    int visiblePairs(const AudioDeviceInfo& device) const;
    void setVisiblePairs(int count, const AudioDeviceInfo& device);
    // The same rule over any configuration, for views that compute the matrix from plain state: the
    // stored count, else 4 for a line and 1 for another device, limited to 1 ... pairCapacity.
    static int visiblePairs(const RoutingConfig& config, const AudioDeviceInfo& device);
    // The pairs a device has: one per two output channels, a lone last channel counting as one; at
    // least one.
    static int pairCapacity(const AudioDeviceInfo& device);

    // Volume and mute editing. Volumes are dB, clamped to -60 ... +12; an edit that is not a finite
    // number is ignored. A per-pair or per-channel volume of 0 dB removes its entry. Device edits create
    // the device's entry with the defaults; channels and pairs count from 0.
    void setSourceMuted(const UUID& id, bool muted);
    void setSourceVolume(const UUID& id, float dB);
    void setSourceChannelVolume(const UUID& id, std::int64_t channel, float dB);
    void setSourceChannelMuted(const UUID& id, std::int64_t channel, bool muted);
    void setDeviceVolume(const std::string& uid, float dB);
    void setDeviceMuted(const std::string& uid, bool muted);
    void setPairVolume(const std::string& uid, std::int64_t pair, float dB);
    void setChannelVolume(const std::string& uid, std::int64_t channel, float dB);
    // Unmuting a channel of a device without an entry creates none.
    void setChannelMuted(const std::string& uid, std::int64_t channel, bool muted);
    // The pair's channels below `channels` (the device's output channel count); always stores the entry.
    void setPairMuted(const std::string& uid, std::int64_t pair, std::int64_t channels, bool muted);
    // True when every channel of the pair below `channels` is muted (so also for an empty range).
    bool isPairMuted(const std::string& uid, std::int64_t pair, std::int64_t channels) const;
    void setShowsFaders(bool shows, const std::string& uid);

    // Lookups for the window and the reconcile pass.
    // A running source's channel count or a line's; nothing for a source that is not running.
    std::optional<std::uint32_t> sourceChannelCount(const Endpoint& endpoint) const;
    std::optional<SourceConfig> source(const UUID& id) const;
    // A line first, else an output device; input devices are not searched.
    std::optional<AudioDeviceInfo> device(const std::string& uid) const;

    // Sources and monitors, playing applications and exclusions. Removing a source or monitor by hand
    // puts it on its dismissed list, so automatic adding never brings it back; adding it by hand takes
    // it off again. Every step of an edit assigns the configuration once.
    void addSource(const SourceKind& kind, const std::string& name);
    void removeSource(const UUID& id);
    void addMonitor(const std::string& uid);
    void removeMonitor(const std::string& uid);
    // The automatic-adding switches. They always write; switching running applications or monitors on
    // adds what is there now.
    bool autoAddsApps() const { return config_.autoAdd.apps; }
    void setAutoAddsApps(bool on);
    bool autoAddsRunningApps() const { return config_.autoAdd.runningApps; }
    void setAutoAddsRunningApps(bool on);
    bool autoAddsMonitors() const { return config_.autoAdd.monitors; }
    void setAutoAddsMonitors(bool on);
    // The excluded bundle identifiers, in the order of their applications' display names.
    std::vector<std::string> excludedApps() const;
    // Excludes an application from automatic adding and removes all its sources and their connections.
    void excludeApp(const std::string& bundleID);
    // Lifts an exclusion and adds the application at once when it runs.
    void includeApp(const std::string& bundleID);
    // The application audio monitor's report; only the last one of a burst takes effect, once it has
    // stood for the debounce time.
    void appsPlayingAudio(std::vector<AudioAppMonitor::App> apps);
    // A report that stood: starts the sources of playing applications, wakes those that waited for
    // them, and adds new ones when automatic adding is on.
    void appsStillPlaying(std::vector<AudioAppMonitor::App> apps);
    // Whether the reconcile pass is to run a configured source now: anything but an application always,
    // an application while it plays or while a connection starts from it.
    bool shouldCapture(const SourceConfig& source) const;
    // An application's display name: the running one's, else the installed one's without ".app",
    // else the bundle identifier.
    static std::string appName(const std::string& bundleID);
    // ---- Meters, dropout log, route information, reset of settings
    // The store the meter views register with; the controller feeds it the peaks of the running audio.
    MeterStore& meters() { return meters_; }
    // A live route's depth, clock drift and underruns, for the help text of a matrix cell.
    struct RouteInfo {
        double bufferMs = 0;
        double driftPpm = 0;
        std::uint64_t underruns = 0;
        bool operator==(const RouteInfo&) const = default;
    };
    // Nothing when the connection has no live route (or its rates are not known).
    std::optional<RouteInfo> routeInfo(const UUID& connectionID) const;
    // Backs up routing.json, forgets the user defaults, and returns to the default configuration with
    // the automatic sources and monitors; with `resetLines` the driver's lines first go back to the two
    // default lines at full volume. Returns the backup's path, when one was made. Throws the line reset's
    // error, and then leaves the configuration and the user defaults as they were.
    QCoro::Task<std::optional<QString>> resetSettings(bool resetLines);

signals:
    void configChanged();
    void linesChanged();
    void outputDevicesChanged();
    void inputDevicesChanged();
    void sourceStatusChanged();
    void audioSystemResponsiveChanged();
    void devicesLoadedChanged();
    void messageChanged();
    void hardwareVolumesChanged();
    // A save of routing.json failed after the last one succeeded (or after none was made): the
    // changes are not kept until a save succeeds again. `description` says why, for the user.
    void saveFailed(QString description);

protected:
    RoutingController(RoutingConfig config, bool persists, bool autoDiscovers, Timings timings);

    // Builds one controller of type T (this class, or a test's subclass) and starts it.
    template <class T, class... Args>
    static std::shared_ptr<T> make(Args&&... args) {
        std::shared_ptr<T> controller(new T(std::forward<Args>(args)...));
        controller->start();
        return controller;
    }

    // One reconcile pass: brings the running audio objects in line with the configuration. Never
    // throws: a time-out of the audio server marks it unresponsive, any other error goes to message().
    virtual QCoro::Task<> reconcile();

private:
    friend struct RoutingControllerTestAccess;

    // What runs for one configured source.
    struct RunningSource {
        std::variant<std::shared_ptr<AudioCaptureSource>, std::shared_ptr<InputDeviceSource>,
                     std::shared_ptr<AudioProducer>>
            value;

        std::shared_ptr<AudioProducer> producer() const;
    };

    // What a live route was built from; the route is rebuilt when any part of it changes.
    struct RouteKey {
        const AudioProducer* producer = nullptr;
        const OutputDestination* destination = nullptr;
        ChannelMapping mapping;
        bool operator==(const RouteKey&) const = default;
    };

    struct LiveRoute {
        RouteKey key;
        std::shared_ptr<RoutingEngine::Route> route;
    };

    struct DeviceListener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerToken token;
    };

    void start();
    void setMessage(std::string text);
    void configDidChange(const RoutingConfig& previous);
    void scheduleSave();
    // Writes routing.json now; the first failure after a success is announced.
    void saveConfig();
    static QCoro::Task<> runReconcileLoop(std::weak_ptr<RoutingController> weak);
    void setSourceStatus(const UUID& id, SourceStatus status);
    // Removes a source's status; announced only when there was one.
    void clearSourceStatus(const UUID& id);
    // Gives every source whose status is of case `Case` the status `status`.
    template <class Case>
    void setStatuses(const SourceStatus& status) {
        std::vector<UUID> matching;
        for (const auto& [id, current] : sourceStatus_) {
            if (std::holds_alternative<Case>(current.value)) {
                matching.push_back(id);
            }
        }
        // Collected first: a slot of the signal may change the map.
        for (const UUID& id : matching) {
            setSourceStatus(id, status);
        }
    }

    // Channel count of an endpoint for the editing rules: 2 when it is not known.
    std::uint32_t channelCountOrStereo(const Endpoint& endpoint) const;
    void splitPair(std::vector<Connection>& connections, const std::string& deviceUID,
                   std::int64_t pair) const;
    void joinPair(std::vector<Connection>& connections, const std::string& deviceUID,
                  std::int64_t pair) const;

    // The audio server's device list, taken into the published lists, and the device side of the running
    // audio taken down again. The reconcile pass calls them; each runs on the GUI thread.
    // The server's devices in its order, without the program's own short-lived aggregates.
    QCoro::Task<std::vector<AudioDeviceInfo>> fetchDevices();
    // Publishes the lines (sorted by UID), outputs and inputs, then installs the server listeners.
    QCoro::Task<> applyDevices(std::vector<AudioDeviceInfo> devices);
    // Whether a device came, went or changed its channel counts; a rename alone is no change.
    bool deviceSetChanged(const std::vector<AudioDeviceInfo>& devices) const;
    // Takes over new names without a rebuild.
    void refreshDeviceNames(const std::vector<AudioDeviceInfo>& devices);
    // Stops all device IO and forgets routes, destinations, line inputs and input-device sources.
    QCoro::Task<> teardownDevices();
    // Stops a source already taken out of `sources_` without making the caller wait.
    void stopInBackground(RunningSource source);
    // Stops every running capture source (a new capture mode or latency); input and injected sources
    // keep running. Starting statuses become idle.
    void stopCaptureSources();
    // Disconnects and forgets the route of each connection that matches, or that is no longer
    // configured at all.
    void disconnectRoutes(const std::function<bool(const Connection&)>& matches);
    void disconnectSourceRoutes(const UUID& sourceID);
    // Disconnects and forgets every route from or into that very producer or destination.
    void forgetRoutesInvolving(const void* object);
    // Releases a destination on the call queue, where it stops its device callback; throws TimedOut.
    QCoro::Task<> stopDestination(std::shared_ptr<OutputDestination> destination);

    // Audio-server listeners, the device-list announcement and hardware volume linking.
    struct ListenerRegistry; // the registrations really made, kept on the call queue
    enum class DeviceChange { deviceCheck, volume, sampleRate };
    static QCoro::Task<> handleDeviceChange(std::weak_ptr<RoutingController> weak, DeviceChange change,
                                            AudioDeviceInfo device);
    static QCoro::Task<> announceAfterDelay(std::weak_ptr<RoutingController> weak);
    void loadHardwareVolumes(const std::vector<AudioDeviceInfo>& devices);
    static QCoro::Task<> readHardwareVolumes(std::weak_ptr<RoutingController> weak,
                                             std::vector<std::pair<std::string, AudioObjectID>> devices);
    void hardwareVolumeChanged(const AudioDeviceInfo& device);
    static QCoro::Task<> settleHardwareVolume(std::weak_ptr<RoutingController> weak, AudioDeviceInfo device);
    // Publishes a settled value and returns the partners it is to be copied to (none for an echo).
    std::vector<AudioObjectID> takeHardwareVolume(const AudioDeviceInfo& device, HardwareVolume value);
    std::shared_ptr<ListenerRegistry> listenerRegistry_;

    // The pass itself; throws what ends it early.
    QCoro::Task<> reconcileSteps();
    QCoro::Task<> openDestination(const std::string& uid);
    QCoro::Task<> syncLineInputs();
    void syncRoute(const Connection& connection);
    QCoro::Task<> syncLineGains();
    void applyDestinationGains();
    // Whether a connection can be routed now.
    bool isValid(const Connection& connection) const;
    // The producer a connection from `endpoint` reads: a running source, or a line's input.
    std::shared_ptr<AudioProducer> producer(const Endpoint& endpoint) const;
    std::uint32_t bufferFrames() const;

    // Starts one configured source; reports through sourceStatus and asks for a pass itself.
    // `attempt` tells this start from later ones of the same source.
    static QCoro::Task<> startSource(std::weak_ptr<RoutingController> weak, SourceConfig source,
                                     std::uint64_t attempt);
    bool isCurrentStart(const UUID& id, std::uint64_t attempt) const;
    // Enters a started source, or stops it again when it is no longer wanted.
    void commitStartedSource(const SourceConfig& source, RunningSource running, bool current);
    // A capture source ended by itself (reported from its own thread, handled on the GUI thread).
    static QCoro::Task<> reportSourceStopped(std::weak_ptr<RoutingController> weak, UUID id,
                                             std::exception_ptr error);
    void sourceStopped(const UUID& id, std::exception_ptr error);
    // Takes a started source out of service: its routes go at once and it stops in the background. False
    // when it was not running.
    bool retireSource(const UUID& id);
    // Marks the audio system unresponsive after a time-out and asks for a rebuild.
    void audioSystemUnresponsive();
    // Probes the audio server until it answers, then asks for a full rebuild and restarts the sources.
    void startRecovery();
    static QCoro::Task<> runRecovery(std::weak_ptr<RoutingController> weak, std::shared_ptr<TaskGroup> tasks,
                                     Timings timings);

    // The audio-server listeners and the device-list announcement.
    QCoro::Task<> installSystemListener();                                // the device-list listener, once
    QCoro::Task<> watchSampleRates(std::vector<AudioDeviceInfo> devices); // replaces the per-device listeners
    void announceDeviceListChange(); // makes every client re-read the list

    // Started with the controller.
    void installMeterProvider(); // the meter store's peak provider
    void startDropoutLog();      // the periodic dropout log

    // Automatic adding of sources and monitors, and the workspace's launch and termination events.
    void observeWorkspace();
    // Adds the whole-system source at the top unless it was dismissed or is there.
    void addDefaultSources();
    // Removes the automatically added application sources that the user left untouched and
    // unconnected and whose application `isGone`.
    void pruneAutoAddedApps(const std::function<bool(const std::string&)>& isGone);
    // Adds the running applications that are neither configured nor dismissed.
    void addRunningApps();
    // Watches which applications play sound, on systems with process taps.
    void startAppMonitor();
    static QCoro::Task<> runAppMonitor(std::shared_ptr<AudioAppMonitor> monitor,
                                       std::shared_ptr<spdlog::logger> log);
    // Adds the output devices that are neither monitors nor dismissed.
    void addConnectedMonitors();
    // An application started or quit. The sources that capture it follow it to its new processes: a
    // screen capture hears only the processes it started with, so it starts again, as does a start still
    // under way; a process tap follows by itself. A source left with nothing of its application to
    // capture stops and waits for it. The launch's retry of the held sources starts them again.
    void applicationLaunched(const std::string& bundleID);
    void applicationTerminated(const std::string& bundleID);
    // The capture source running for `id`, if any.
    std::shared_ptr<AudioCaptureSource> runningCapture(const UUID& id) const;
    // Makes a start still under way count as superseded, so that it never enters its source; false when
    // none is under way.
    bool supersedeStart(const UUID& id);

    // ---- Meters, dropout log, reset of settings
    struct DropoutCounts {
        std::uint64_t underruns = 0;
        std::uint64_t overruns = 0;
    };
    // The peaks since the last take: up to 8 channels per running source, every channel of each
    // destination and line input; a line input replaces its line's destination entry.
    MeterStore::Levels collectPeaks();
    static QCoro::Task<> runDropoutLog(std::weak_ptr<RoutingController> weak,
                                       std::shared_ptr<TaskGroup> tasks, std::chrono::milliseconds interval);
    // Logs each route whose counts grew since `lastSeen`, which it updates and prunes.
    void logDropouts(std::unordered_map<UUID, DropoutCounts>& lastSeen, spdlog::logger& log) const;
    // Full volume and no mute on every line, then the default line list; runs on the call queue.
    static void resetLinesToDefault(const std::vector<AudioObjectID>& lines);

    // Published.
    RoutingConfig config_;
    std::vector<AudioDeviceInfo> lines_;
    std::vector<AudioDeviceInfo> outputDevices_;
    std::vector<AudioDeviceInfo> inputDevices_;
    std::unordered_map<UUID, SourceStatus> sourceStatus_;
    bool audioSystemResponsive_ = true;
    bool devicesLoaded_ = false;
    std::optional<std::string> message_;
    std::map<std::string, HardwareVolume> hardwareVolumes_;

    // Declared before the maps that hold its routes, so it outlives them.
    RoutingEngine engine_;
    std::shared_ptr<spdlog::logger> log_;
    std::unordered_map<UUID, RunningSource> sources_;
    // The latest start of each source, so that a superseded start can tell it was.
    std::unordered_map<UUID, std::uint64_t> startAttempts_;
    std::unordered_map<std::string, std::shared_ptr<OutputDestination>> destinations_;
    std::unordered_map<std::string, std::shared_ptr<InputDeviceSource>> lineInputs_;
    std::map<std::string, bool> lineGainSupport_;
    std::map<std::string, std::vector<float>> lineGainsSent_;
    std::unordered_map<UUID, LiveRoute> routes_;
    bool reconcileRunning_ = false;
    bool needsReconcile_ = false;
    std::vector<DeviceListener> deviceListeners_;
    bool systemListenerInstalled_ = false;
    std::vector<Workspace::ObserverToken> workspaceObservers_;
    bool recoveryRunning_ = false;
    QTimer saveTimer_;
    bool saveFailing_ = false;
    bool pendingDeviceRefresh_ = true;
    bool pendingDeviceCheck_ = false;
    bool pendingRebuild_ = false;
    bool pendingCaptureRestart_ = false;
    const bool persists_;
    const bool autoDiscovers_;
    std::shared_ptr<AudioAppMonitor> appMonitor_;
    std::set<std::string> appsPlayingNow_;
    std::set<std::string> latestPlayingIDs_;
    QTimer playingDebounce_;
    std::map<std::string, std::chrono::steady_clock::time_point> volumeEchoUntil_;
    std::set<std::string> volumeChangePending_;
    const Timings timings_;
    MeterStore meters_;
    // Every task the controller starts: they hold the controller weakly, and the group wakes and ends
    // them when it goes.
    const std::shared_ptr<TaskGroup> tasks_ = TaskGroup::create();
};
