#include "TandrelApp/Engine/AudioAppMonitor.h"

#include <algorithm>
#include <chrono>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Support/HashCombine.h"
#include "TandrelApp/Support/Log.h"

namespace {

using namespace std::chrono_literals;

constexpr AudioObjectPropertyAddress global(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}
constexpr AudioObjectPropertyAddress kProcessList = global(kAudioHardwarePropertyProcessObjectList);
constexpr AudioObjectPropertyAddress kIsRunningOutput = global(kAudioProcessPropertyIsRunningOutput);

bool isRunningOutput(AudioObjectID process) {
    uint32_t running = 0;
    uint32_t size = sizeof running;
    return AudioObjectGetPropertyData(process, &kIsRunningOutput, 0, nullptr, &size, &running) ==
               kAudioHardwareNoError &&
           running != 0;
}

// A regular application with a bundle identifier other than this program's.
std::optional<AudioAppMonitor::App> qualifying(const RunningApplication& app, const std::string& own) {
    if (app.activationPolicy != ActivationPolicy::regular || !app.bundleIdentifier ||
        *app.bundleIdentifier == own) {
        return std::nullopt;
    }
    return AudioAppMonitor::App{*app.bundleIdentifier, app.localizedName.value_or(*app.bundleIdentifier)};
}

} // namespace

std::size_t std::hash<AudioAppMonitor::App>::operator()(const AudioAppMonitor::App& app) const noexcept {
    std::size_t seed = std::hash<std::string>{}(app.bundleID);
    hashCombine(seed, std::hash<std::string>{}(app.name));
    return seed;
}

AudioAppMonitor::AudioAppMonitor()
    : log_(Log::app("AppMonitor")) {}

AudioAppMonitor::~AudioAppMonitor() {
    CoreAudioCall::sync([this] { stopStep(); });
}

ResponsibilityFunction AudioAppMonitor::responsibilityFunction() {
    // The stand-in of the by-name symbol lookup: what the system offers does not change during a run,
    // so asking again is the same as asking once.
    return SystemInfo::responsibilityFunction();
}

QCoro::Task<void> AudioAppMonitor::start() {
    std::weak_ptr<AudioAppMonitor> weak = weak_from_this();
    // A named local: g++ 12 destroys temporaries of a co_await expression twice.
    auto starting = CoreAudioCall::run("アプリの音声の監視開始", 5.0, [weak] {
        if (auto self = weak.lock()) {
            self->startStep();
        }
    });
    co_await std::move(starting);
}

void AudioAppMonitor::startStep() {
    if (listListener_) {
        return;
    }
    std::weak_ptr<AudioAppMonitor> weak = weak_from_this();
    auto refreshIfAlive = [weak] {
        if (auto self = weak.lock()) {
            self->refresh();
        }
    };
    AudioObjectPropertyListenerToken token = 0;
    AudioObjectAddPropertyListener(
        kAudioObjectSystemObject, &kProcessList, CoreAudioCall::queue(),
        [refreshIfAlive](uint32_t, const AudioObjectPropertyAddress*) { refreshIfAlive(); }, &token);
    listListener_ = token;
    refresh();
    pollTimer_ = DispatchTimer::repeating(CoreAudioCall::queue(), 1s, 200ms, refreshIfAlive, 1s);
}

void AudioAppMonitor::refresh() {
    const auto processes = CoreAudioProcess::all();

    for (auto it = processListeners_.begin(); it != processListeners_.end();) {
        const bool listed = std::any_of(processes.begin(), processes.end(),
                                        [&](const CoreAudioProcess& p) { return p.objectID == it->first; });
        if (listed) {
            ++it;
            continue;
        }
        AudioObjectRemovePropertyListener(it->first, &kIsRunningOutput, it->second);
        it = processListeners_.erase(it);
    }
    std::weak_ptr<AudioAppMonitor> weak = weak_from_this();
    for (const auto& process : processes) {
        if (processListeners_.count(process.objectID) != 0) {
            continue;
        }
        AudioObjectPropertyListenerToken token = 0;
        OSStatus status = AudioObjectAddPropertyListener(
            process.objectID, &kIsRunningOutput, CoreAudioCall::queue(),
            [weak](uint32_t, const AudioObjectPropertyAddress*) {
                if (auto self = weak.lock()) {
                    self->refresh();
                }
            },
            &token);
        if (status == kAudioHardwareNoError) {
            processListeners_.emplace(process.objectID, token);
        }
    }

    std::set<App> active;
    const int own = Workspace::ownPid();
    for (const auto& process : processes) {
        if (process.pid == own || !isRunningOutput(process.objectID)) {
            continue;
        }
        if (auto app = owningApp(process)) {
            active.insert(std::move(*app));
        }
    }
    if (active == lastActive_) {
        return;
    }
    lastActive_ = active;
    std::string ids;
    for (const auto& app : active) { // a std::set iterates in ascending order
        ids += (ids.empty() ? "" : ", ") + app.bundleID;
    }
    log_->info("Apps playing audio: {}", ids);
    std::vector<App> report(active.begin(), active.end());
    DispatchQueue::main()->async([weak, report = std::move(report)] {
        auto self = weak.lock();
        if (self && self->onActiveAppsChanged) {
            self->onActiveAppsChanged(report);
        }
    });
}

std::optional<AudioAppMonitor::App> AudioAppMonitor::owningApp(const CoreAudioProcess& process) {
    const std::string own = Workspace::ownBundleIdentifier().value_or("");
    std::vector<int> candidates;
    if (ResponsibilityFunction responsible = responsibilityFunction()) {
        const int r = responsible(process.pid);
        if (r >= 1 && r != process.pid) {
            candidates.push_back(r);
        }
    }
    candidates.push_back(process.pid);
    for (int pid : candidates) {
        if (auto app = Workspace::shared().runningApplication(pid)) {
            if (auto found = qualifying(*app, own)) {
                return found;
            }
        }
    }
    if (process.bundleID.empty()) {
        return std::nullopt;
    }
    for (const auto& app : Workspace::shared().runningApplications()) {
        auto found = qualifying(app, own);
        if (found &&
            (process.bundleID == found->bundleID || process.bundleID.starts_with(found->bundleID + "."))) {
            return found;
        }
    }
    return std::nullopt;
}

void AudioAppMonitor::stopStep() {
    pollTimer_.reset();
    if (auto token = std::exchange(listListener_, std::nullopt)) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kProcessList, *token);
    }
    for (const auto& [process, token] : processListeners_) {
        AudioObjectRemovePropertyListener(process, &kIsRunningOutput, token);
    }
    processListeners_.clear();
}
