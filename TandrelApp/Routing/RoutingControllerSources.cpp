// Sources and monitors added by hand and automatically, playing applications and exclusions, and the
// workspace's launch and termination events.
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <QCollator>
#include <QLocale>
#include <QString>

#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Engine/CaptureTargetProvider.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerDetail.h"

using namespace RoutingControllerDetail;

namespace {

constexpr OperatingSystemVersion appMonitorMinimum{14, 2, 0};
// Never added as a running application: it is always running and plays nothing worth a row.
constexpr std::string_view fileManagerBundleID = "com.apple.finder";

// Runs `work` as a task of its own on the GUI thread, after the current event.
QCoro::Task<> runAsTask(std::function<void()> work) {
    work();
    co_return;
}

// The order a file manager gives names: locale-aware, case ignored, numbers by value. An unset (C) locale
// would compare code points, so English rules stand in for it.
QCollator nameCollator() {
    const QLocale system;
    QCollator collator(system.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates)
                                                       : system);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    return collator;
}

// Sorts `items` stably by the name `nameOf` gives each.
template <class T, class NameOf>
void sortByName(std::vector<T>& items, NameOf nameOf) {
    const QCollator collator = nameCollator();
    std::vector<std::pair<QString, T>> keyed;
    keyed.reserve(items.size());
    for (auto& item : items) {
        keyed.emplace_back(QString::fromStdString(nameOf(item)), std::move(item));
    }
    std::ranges::stable_sort(
        keyed, [&collator](const auto& a, const auto& b) { return collator.compare(a.first, b.first) < 0; });
    items.clear();
    for (auto& [key, item] : keyed) {
        items.push_back(std::move(item));
    }
}

const std::string* bundleIDOf(const SourceConfig& source) {
    const auto* app = std::get_if<SourceKind::Application>(&source.kind.value);
    return app == nullptr ? nullptr : &app->bundleID;
}

bool isApplication(const SourceConfig& source, const std::string& bundleID) {
    const std::string* id = bundleIDOf(source);
    return id != nullptr && *id == bundleID;
}

SourceConfig newSource(SourceKind kind, std::string name, bool isAutoAdded) {
    SourceConfig source;
    source.id = UUID::random();
    source.kind = std::move(kind);
    source.name = std::move(name);
    source.isAutoAdded = isAutoAdded;
    return source;
}

} // namespace

// ---- By hand

void RoutingController::addSource(const SourceKind& kind, const std::string& name) {
    assertMainThread();
    if (const auto* app = std::get_if<SourceKind::Application>(&kind.value)) {
        RoutingConfig next = config_;
        next.autoAdd.dismissedApps.erase(app->bundleID);
        setConfig(std::move(next));
    } else if (std::holds_alternative<SourceKind::SystemAudio>(kind.value)) {
        RoutingConfig next = config_;
        next.autoAdd.systemAudio = true;
        setConfig(std::move(next));
    }

    RoutingConfig next = config_;
    // Kinds are equal when both are the whole system, or the same application or the same device.
    auto existing = std::ranges::find(next.sources, kind, &SourceConfig::kind);
    if (existing != next.sources.end()) {
        // An automatically added source so becomes the user's own and is never pruned.
        existing->isAutoAdded = false;
        setConfig(std::move(next));
        return;
    }
    SourceConfig added = newSource(kind, name, false);
    if (std::holds_alternative<SourceKind::SystemAudio>(kind.value)) {
        next.sources.insert(next.sources.begin(), std::move(added));
    } else {
        next.sources.push_back(std::move(added));
    }
    setConfig(std::move(next));
}

void RoutingController::removeSource(const UUID& id) {
    assertMainThread();
    const auto removed = source(id);
    if (!removed) {
        return;
    }
    if (const std::string* bundleID = bundleIDOf(*removed)) {
        RoutingConfig next = config_;
        next.autoAdd.dismissedApps.insert(*bundleID);
        setConfig(std::move(next));
    } else if (std::holds_alternative<SourceKind::SystemAudio>(removed->kind.value)) {
        RoutingConfig next = config_;
        next.autoAdd.systemAudio = false;
        setConfig(std::move(next));
    }

    RoutingConfig next = config_;
    std::erase_if(next.sources, [&id](const SourceConfig& source) { return source.id == id; });
    setConfig(std::move(next));

    next = config_;
    std::erase_if(next.connections,
                  [&id](const Connection& connection) { return startsFrom(connection, id); });
    setConfig(std::move(next));
}

void RoutingController::addMonitor(const std::string& uid) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.dismissedMonitors.erase(uid);
    setConfig(std::move(next));

    if (std::ranges::find(config_.monitorDeviceUIDs, uid) == config_.monitorDeviceUIDs.end()) {
        next = config_;
        next.monitorDeviceUIDs.push_back(uid);
        setConfig(std::move(next));
    }
}

void RoutingController::removeMonitor(const std::string& uid) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.dismissedMonitors.insert(uid);
    setConfig(std::move(next));

    next = config_;
    std::erase(next.monitorDeviceUIDs, uid);
    setConfig(std::move(next));

    // The device's volumes and layout stay, for when it is added again.
    next = config_;
    std::erase_if(next.connections,
                  [&uid](const Connection& connection) { return connection.toDeviceUID == uid; });
    setConfig(std::move(next));
}

// ---- Switches and exclusions

void RoutingController::setAutoAddsApps(bool on) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.apps = on;
    setConfig(std::move(next));
}

void RoutingController::setAutoAddsRunningApps(bool on) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.runningApps = on;
    setConfig(std::move(next));
    if (on) {
        addRunningApps();
    }
}

void RoutingController::setAutoAddsMonitors(bool on) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.monitors = on;
    setConfig(std::move(next));
    if (on) {
        addConnectedMonitors();
    }
}

std::vector<std::string> RoutingController::excludedApps() const {
    std::vector<std::string> excluded(config_.autoAdd.dismissedApps.begin(),
                                      config_.autoAdd.dismissedApps.end());
    sortByName(excluded, [](const std::string& bundleID) { return appName(bundleID); });
    return excluded;
}

void RoutingController::excludeApp(const std::string& bundleID) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.dismissedApps.insert(bundleID);
    std::vector<UUID> removed;
    for (const auto& source : next.sources) {
        if (isApplication(source, bundleID)) {
            removed.push_back(source.id);
        }
    }
    std::erase_if(next.sources,
                  [&bundleID](const SourceConfig& source) { return isApplication(source, bundleID); });
    std::erase_if(next.connections, [&removed](const Connection& connection) {
        return std::ranges::any_of(removed,
                                   [&connection](const UUID& id) { return startsFrom(connection, id); });
    });
    setConfig(std::move(next));
}

void RoutingController::includeApp(const std::string& bundleID) {
    assertMainThread();
    RoutingConfig next = config_;
    next.autoAdd.dismissedApps.erase(bundleID);
    setConfig(std::move(next));
    addRunningApps();
}

// ---- Playing applications

void RoutingController::appsPlayingAudio(std::vector<AudioAppMonitor::App> apps) {
    assertMainThread();
    latestPlayingIDs_.clear();
    for (const auto& app : apps) {
        latestPlayingIDs_.insert(app.bundleID);
    }
    // Each report replaces the pending one, so only a report that stands unchanged takes effect. The
    // timer dies with the controller, and with it any pending report.
    playingDebounce_.stop();
    disconnect(&playingDebounce_, &QTimer::timeout, this, nullptr);
    connect(&playingDebounce_, &QTimer::timeout, this, [this, report = std::move(apps)] {
        std::vector<AudioAppMonitor::App> standing;
        for (const auto& app : report) {
            if (latestPlayingIDs_.contains(app.bundleID)) {
                standing.push_back(app);
            }
        }
        appsStillPlaying(std::move(standing));
    });
    playingDebounce_.start(timings_.playingDebounce);
}

void RoutingController::appsStillPlaying(std::vector<AudioAppMonitor::App> apps) {
    assertMainThread();
    appsPlayingNow_.clear();
    for (const auto& app : apps) {
        appsPlayingNow_.insert(app.bundleID);
    }
    scheduleReconcile();
    if (!config_.autoAdd.apps && !config_.autoAdd.runningApps) {
        return;
    }

    sortByName(apps, [](const AudioAppMonitor::App& app) { return app.name; });
    bool woke = false;
    for (const auto& app : apps) {
        auto existing = std::ranges::find_if(config_.sources, [&app](const SourceConfig& source) {
            return isApplication(source, app.bundleID);
        });
        if (existing != config_.sources.end()) {
            // A source that waited for its application may start now that it plays.
            const UUID id = existing->id;
            auto status = sourceStatus_.find(id);
            if (status != sourceStatus_.end() &&
                std::holds_alternative<SourceStatus::Waiting>(status->second.value)) {
                setSourceStatus(id, SourceStatus::idle());
                woke = true;
            }
            continue;
        }
        if (config_.autoAdd.dismissedApps.contains(app.bundleID)) {
            continue;
        }
        log_->info("Auto-adding app: {}", app.bundleID);
        RoutingConfig next = config_;
        next.sources.push_back(newSource(SourceKind::application(app.bundleID), app.name, true));
        setConfig(std::move(next));
    }
    if (woke) {
        scheduleReconcile();
    }
}

bool RoutingController::shouldCapture(const SourceConfig& source) const {
    const std::string* bundleID = bundleIDOf(source);
    if (bundleID == nullptr || appsPlayingNow_.contains(*bundleID)) {
        return true;
    }
    return std::ranges::any_of(config_.connections, [&source](const Connection& connection) {
        return startsFrom(connection, source.id);
    });
}

// ---- Automatic adding

void RoutingController::addDefaultSources() {
    if (!config_.autoAdd.systemAudio) {
        return;
    }
    const bool present = std::ranges::any_of(config_.sources, [](const SourceConfig& source) {
        return std::holds_alternative<SourceKind::SystemAudio>(source.kind.value);
    });
    if (present) {
        return;
    }
    RoutingConfig next = config_;
    next.sources.insert(next.sources.begin(), newSource(SourceKind::systemAudio(), "システム全体", false));
    setConfig(std::move(next));
}

void RoutingController::pruneAutoAddedApps(const std::function<bool(const std::string&)>& isGone) {
    // Whatever the user touched (level, mute, a connection) stays; per-channel settings do not count.
    const auto prunable = [this, &isGone](const SourceConfig& source) {
        if (!source.isAutoAdded) {
            return false;
        }
        const std::string* bundleID = bundleIDOf(source);
        if (bundleID == nullptr || source.volumeDB != 0.0f || source.isMuted) {
            return false;
        }
        const bool connected =
            std::ranges::any_of(config_.connections, [&source](const Connection& connection) {
                return startsFrom(connection, source.id);
            });
        return !connected && isGone(*bundleID);
    };
    if (std::ranges::none_of(config_.sources, prunable)) {
        return;
    }
    RoutingConfig next = config_;
    std::erase_if(next.sources, prunable);
    setConfig(std::move(next));
}

void RoutingController::addRunningApps() {
    if (!autoDiscovers_ || !config_.autoAdd.runningApps) {
        return;
    }
    std::set<std::string> configured;
    for (const auto& source : config_.sources) {
        if (const std::string* bundleID = bundleIDOf(source)) {
            configured.insert(*bundleID);
        }
    }
    std::vector<CaptureTargetProvider::AppInfo> selected;
    for (auto& app : CaptureTargetProvider::runningApplications()) {
        if (app.bundleID == fileManagerBundleID || configured.contains(app.bundleID) ||
            config_.autoAdd.dismissedApps.contains(app.bundleID)) {
            continue;
        }
        selected.push_back(std::move(app));
    }
    if (selected.empty()) {
        return;
    }
    std::string ids;
    for (const auto& app : selected) {
        ids += (ids.empty() ? "" : ", ") + app.bundleID;
    }
    log_->info("Adding running apps: {}", ids);
    RoutingConfig next = config_;
    for (auto& app : selected) {
        next.sources.push_back(newSource(SourceKind::application(app.bundleID), std::move(app.name), true));
    }
    setConfig(std::move(next));
}

void RoutingController::startAppMonitor() {
    // Without process taps there is nothing to watch playing processes with.
    if (!SystemInfo::isAtLeast(appMonitorMinimum)) {
        return;
    }
    auto monitor = std::make_shared<AudioAppMonitor>();
    std::weak_ptr<RoutingController> weak = weak_from_this();
    monitor->onActiveAppsChanged = [weak](std::vector<AudioAppMonitor::App> apps) {
        if (auto self = weak.lock()) {
            self->appsPlayingAudio(std::move(apps));
        }
    };
    appMonitor_ = monitor;
    tasks_->spawn([monitor, log = log_] { return runAppMonitor(monitor, log); });
}

// A monitor that fails to start stays in place without reports; the other ways of adding go on.
QCoro::Task<> RoutingController::runAppMonitor(std::shared_ptr<AudioAppMonitor> monitor,
                                               std::shared_ptr<spdlog::logger> log) {
    try {
        auto starting = monitor->start();
        co_await std::move(starting);
    } catch (const std::exception& error) {
        log->error("App monitor failed: {}", error.what());
    }
}

void RoutingController::addConnectedMonitors() {
    if (!autoDiscovers_ || !config_.autoAdd.monitors) {
        return;
    }
    std::vector<std::string> selected;
    for (const auto& device : outputDevices_) {
        const bool listed =
            std::ranges::find(config_.monitorDeviceUIDs, device.uid) != config_.monitorDeviceUIDs.end();
        if (!listed && !config_.autoAdd.dismissedMonitors.contains(device.uid)) {
            selected.push_back(device.uid);
        }
    }
    if (selected.empty()) {
        return;
    }
    RoutingConfig next = config_;
    next.monitorDeviceUIDs.insert(next.monitorDeviceUIDs.end(), selected.begin(), selected.end());
    setConfig(std::move(next));
}

// ---- Workspace events

void RoutingController::observeWorkspace() {
    std::weak_ptr<RoutingController> weak = weak_from_this();
    const std::weak_ptr<TaskGroup> tasks = tasks_;
    Workspace& workspace = Workspace::shared();
    // A launch may be the application a waiting source needs, whether or not anything is added.
    workspaceObservers_.push_back(workspace.addObserver(
        Workspace::Event::didLaunchApplication, [weak, tasks](const RunningApplication& application) {
            const std::string launched = application.bundleIdentifier.value_or("");
            spawnIn(tasks, [weak, launched] {
                return runAsTask([weak, launched] {
                    if (auto self = weak.lock()) {
                        self->addRunningApps();
                        self->applicationLaunched(launched);
                        self->retrySources();
                    }
                });
            });
        }));
    // Only the terminated application's own automatically added sources go, even if another instance
    // of it still runs.
    workspaceObservers_.push_back(workspace.addObserver(
        Workspace::Event::didTerminateApplication, [weak, tasks](const RunningApplication& application) {
            if (!application.bundleIdentifier) {
                return;
            }
            const std::string gone = *application.bundleIdentifier;
            spawnIn(tasks, [weak, gone] {
                return runAsTask([weak, gone] {
                    auto self = weak.lock();
                    if (!self) {
                        return;
                    }
                    if (self->autoDiscovers_) {
                        self->pruneAutoAddedApps(
                            [&gone](const std::string& bundleID) { return bundleID == gone; });
                    }
                    self->applicationTerminated(gone);
                });
            });
        }));
}

void RoutingController::applicationLaunched(const std::string& launched) {
    if (launched.empty()) {
        return;
    }
    for (const SourceConfig& source : std::vector(config_.sources)) {
        const std::string* bundleID = bundleIDOf(source);
        if (bundleID == nullptr || !isOfApplication(launched, *bundleID)) {
            continue;
        }
        const auto capture = runningCapture(source.id);
        const bool viaScreenCapture = capture && capture->backend() == CaptureBackend::screenCaptureKit;
        if ((viaScreenCapture && retireSource(source.id)) || (!capture && supersedeStart(source.id))) {
            setSourceStatus(source.id, SourceStatus::idle());
        }
    }
}

void RoutingController::applicationTerminated(const std::string& terminated) {
    for (const SourceConfig& source : std::vector(config_.sources)) {
        const std::string* bundleID = bundleIDOf(source);
        if (bundleID == nullptr || !isOfApplication(terminated, *bundleID) || applicationRuns(*bundleID)) {
            continue;
        }
        const bool held = runningCapture(source.id) ? retireSource(source.id) : supersedeStart(source.id);
        if (held) {
            setSourceStatus(source.id, SourceStatus::waiting(applicationNotRunningText));
        }
    }
}

std::string RoutingController::appName(const std::string& bundleID) {
    const Workspace& workspace = Workspace::shared();
    const auto running = workspace.runningApplications(bundleID);
    if (!running.empty() && running.front().localizedName) {
        return *running.front().localizedName;
    }
    if (const auto installed = workspace.urlForApplication(bundleID)) {
        std::string name = Workspace::displayName(*installed);
        constexpr std::string_view suffix = ".app";
        for (auto at = name.find(suffix); at != std::string::npos; at = name.find(suffix, at)) {
            name.erase(at, suffix.size());
        }
        return name;
    }
    return bundleID;
}
