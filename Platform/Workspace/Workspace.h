// The desktop workspace (running applications with launch and termination notices on the main queue,
// the program's own identity, installed applications from XDG desktop entries, opening URLs),
// read by the capture sources, the audio monitor and the controller and fed by the simulated applications.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How an application takes part in the desktop: `regular` ones have a window and a dock/taskbar entry,
// `accessory` ones (menu-bar agents) have neither, `prohibited` ones are background processes.
enum class ActivationPolicy { regular, accessory, prohibited };

// An application's icon as plain data: an encoded image (PNG, ...), an image file, or both (the data
// wins). Empty when the application has none.
struct ApplicationIcon {
    std::vector<std::uint8_t> imageData;
    std::string path;

    bool isEmpty() const { return imageData.empty() && path.empty(); }
    bool operator==(const ApplicationIcon&) const = default;
};

// One running application as the workspace reports it: an immutable snapshot.
struct RunningApplication {
    // 0 when handed to launch(): the workspace then assigns one.
    int pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    std::optional<std::string> bundlePath;
    std::optional<std::string> executablePath;
    // The process that answers for this one (the application behind a helper); absent: itself.
    std::optional<int> responsiblePid;
    ApplicationIcon icon;

    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    enum class Event { didLaunchApplication, didTerminateApplication };
    using Observer = std::function<void(const RunningApplication&)>;
    using ObserverToken = std::uint64_t;
    // Starts a program (argv[0] is looked up in PATH) without waiting for it; false when it could not.
    using Launcher = std::function<bool(const std::vector<std::string>& argv)>;

    // The one workspace of the process; what the application and the emulated audio server share.
    static Workspace& shared();

    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // ---- Running applications; every read is safe from any thread ----

    // In launch order.
    std::vector<RunningApplication> runningApplications() const;
    std::optional<RunningApplication> runningApplication(int pid) const;
    // Those with exactly this bundle identifier, in launch order.
    std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) const;
    // The executable path of a running application's process.
    std::optional<std::string> processPath(int pid) const;
    // The pid responsible for `pid`: its application's responsible pid, else `pid` itself.
    int responsiblePid(int pid) const;
    // responsiblePid() of the shared workspace, shaped for SystemInfo::setResponsibilityFunction.
    static int sharedResponsiblePid(int pid);

    // Adds a running application and announces its launch; returns its pid. An empty bundle identifier
    // or name counts as absent. Throws std::invalid_argument for a negative pid or one already running.
    int launch(RunningApplication application);
    // Removes the application and announces its termination; false when no application has the pid.
    bool terminate(int pid);

    // The observer runs on the main dispatch queue for each later event of that kind, in the order the
    // events happened. Once removeObserver() has returned on the main thread it is never called again.
    ObserverToken addObserver(Event event, Observer observer);
    void removeObserver(ObserverToken token);

    // ---- The program itself ----

    static int ownPid();
    // The program's bundle identifier, absent until the application sets it at start.
    static std::optional<std::string> ownBundleIdentifier();
    static void setOwnBundleIdentifier(std::optional<std::string> bundleIdentifier);

    // ---- Installed applications (XDG desktop entries) ----

    // The desktop entry installed for a bundle identifier (the entry's file name is the identifier plus
    // ".desktop"), searched in the data home, then the data dirs; absent when none, or when the first
    // one found is hidden or not an application.
    std::optional<std::string> urlForApplication(std::string_view bundleIdentifier) const;
    // The name a file manager shows for a path: a desktop entry's localized Name, else the file name.
    static std::string displayName(const std::string& path);
    // The icon a file manager shows for a path: a desktop entry's Icon, as an image file given by its
    // path or found by name in the hicolor theme or the pixmaps of the data folders beside the
    // application folders. Empty when the path has no icon of its own (the caller shows the generic one).
    ApplicationIcon iconForFile(const std::string& path) const;
    // The bundle identifier of the application a chosen file installs: the desktop-file id (the file
    // name without ".desktop") of a readable desktop entry of type Application that is not hidden.
    // Absent for anything else.
    static std::optional<std::string> applicationIdentifier(const std::string& path);
    // The "applications" folders searched for installed applications, in order.
    std::vector<std::string> applicationDirectories() const;
    // Test hook: the "applications" folders to search, in order; empty restores the XDG ones.
    void setApplicationDirectories(std::vector<std::string> directories);

    // ---- Opening things ----

    // Opens a URL (it must have a scheme) with the desktop's handler; false when refused or not started.
    // (Showing a file in the file manager is FileManager::reveal, among the desktop's services.)
    bool openURL(const std::string& url);
    // Test hook: how programs are started; null restores the real launcher.
    void setLauncher(Launcher launcher);

private:
    struct ObserverEntry;

    void announce(Event event, const RunningApplication& application);
    // mutex_ held. The application with this pid, or the end of applications_.
    std::vector<RunningApplication>::const_iterator findLocked(int pid) const;
    Launcher launcher() const;

    mutable std::mutex mutex_;
    std::vector<RunningApplication> applications_;
    int nextPid_;
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, std::shared_ptr<ObserverEntry>> observers_;
    std::vector<std::string> applicationDirectories_;
    Launcher launcher_;
};
