// Keeps track of which applications are playing sound: watches the audio server's process list and each
// process's running-output flag on the call queue, maps playing processes to the regular applications
// that own them, and reports each change of that set on the main thread. The controller owns one on
// systems with process taps; the process tap source and the backend choice use its responsibility lookup.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>
#include <spdlog/logger.h>

#include "Platform/AudioServer/AudioServerClient.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Engine/CoreAudioProcess.h"

class AudioAppMonitor : public std::enable_shared_from_this<AudioAppMonitor> {
public:
    struct App {
        std::string bundleID;
        std::string name;
        auto operator<=>(const App&) const = default;
        bool operator==(const App&) const = default;
    };

    // Own it through a shared_ptr: listeners and the timer hold it weakly.
    AudioAppMonitor();
    // Unregisters everything on the call queue, in place when released there, else waiting for it.
    ~AudioAppMonitor();
    AudioAppMonitor(const AudioAppMonitor&) = delete;
    AudioAppMonitor& operator=(const AudioAppMonitor&) = delete;

    // Called on the main thread with the applications now playing. Set it before start(), on the main
    // thread.
    std::function<void(std::vector<App>)> onActiveAppsChanged;

    // Installs the listeners and the one-second poll and refreshes once; throws CoreAudioCall::TimedOut
    // when the call queue does not run it within 5 s. Later calls change nothing.
    QCoro::Task<void> start();

    // The system's lookup of a process's responsible process; null when the system has none.
    static ResponsibilityFunction responsibilityFunction();
    // The regular application that owns a process, other than this program.
    static std::optional<App> owningApp(const CoreAudioProcess& process);

private:
    void startStep();
    void refresh();
    void stopStep();

    std::shared_ptr<spdlog::logger> log_;
    // Call queue only, from here on.
    std::optional<AudioObjectPropertyListenerToken> listListener_;
    std::map<AudioObjectID, AudioObjectPropertyListenerToken> processListeners_;
    std::set<App> lastActive_;
    std::unique_ptr<DispatchTimer> pollTimer_;
};

template <>
struct std::hash<AudioAppMonitor::App> {
    std::size_t operator()(const AudioAppMonitor::App& app) const noexcept;
};
