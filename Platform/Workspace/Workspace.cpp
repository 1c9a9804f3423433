#include "Platform/Workspace/Workspace.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <unistd.h>

#include "Platform/Dispatch/DispatchQueue.h"

namespace {

// Assigned pids start above Linux's largest pid_max, so a simulated application never shares a pid
// with a real process.
constexpr int kFirstAssignedPid = 10'000'000;

std::mutex ownMutex;
std::optional<std::string> ownBundle;

void dropIfEmpty(std::optional<std::string>& text) {
    if (text && text->empty()) {
        text.reset();
    }
}

} // namespace

struct Workspace::ObserverEntry {
    Event event;
    Observer observer;
    // Cleared on removal, so notices already queued for the main thread are not delivered.
    std::atomic<bool> active{true};
};

Workspace& Workspace::shared() {
    static Workspace* workspace = new Workspace(); // never destroyed: read from any thread until exit
    return *workspace;
}

Workspace::Workspace()
    : nextPid_(kFirstAssignedPid) {}

Workspace::~Workspace() {
    std::lock_guard lock(mutex_);
    for (auto& [token, entry] : observers_) {
        entry->active = false;
    }
}

std::vector<RunningApplication> Workspace::runningApplications() const {
    std::lock_guard lock(mutex_);
    return applications_;
}

std::vector<RunningApplication>::const_iterator Workspace::findLocked(int pid) const {
    return std::find_if(applications_.begin(), applications_.end(),
                        [pid](const RunningApplication& app) { return app.pid == pid; });
}

std::optional<RunningApplication> Workspace::runningApplication(int pid) const {
    std::lock_guard lock(mutex_);
    auto found = findLocked(pid);
    return found != applications_.end() ? std::optional(*found) : std::nullopt;
}

std::vector<RunningApplication> Workspace::runningApplications(std::string_view bundleIdentifier) const {
    std::vector<RunningApplication> matching;
    std::lock_guard lock(mutex_);
    for (const auto& app : applications_) {
        if (app.bundleIdentifier && *app.bundleIdentifier == bundleIdentifier) {
            matching.push_back(app);
        }
    }
    return matching;
}

std::optional<std::string> Workspace::processPath(int pid) const {
    auto app = runningApplication(pid);
    return app ? app->executablePath : std::nullopt;
}

int Workspace::responsiblePid(int pid) const {
    auto app = runningApplication(pid);
    return app && app->responsiblePid ? *app->responsiblePid : pid;
}

int Workspace::sharedResponsiblePid(int pid) {
    return shared().responsiblePid(pid);
}

int Workspace::launch(RunningApplication application) {
    dropIfEmpty(application.bundleIdentifier);
    dropIfEmpty(application.localizedName);
    std::lock_guard lock(mutex_);
    auto running = [this](int pid) {
        return findLocked(pid) != applications_.end();
    };
    if (application.pid < 0) {
        throw std::invalid_argument("A process id cannot be negative: " + std::to_string(application.pid));
    }
    if (application.pid == 0) {
        while (running(nextPid_)) {
            ++nextPid_;
        }
        application.pid = nextPid_++;
    } else if (running(application.pid)) {
        throw std::invalid_argument("An application with process id " + std::to_string(application.pid) +
                                    " is already running");
    }
    applications_.push_back(std::move(application));
    announce(Event::didLaunchApplication, applications_.back());
    return applications_.back().pid;
}

bool Workspace::terminate(int pid) {
    std::lock_guard lock(mutex_);
    auto found = findLocked(pid);
    if (found == applications_.end()) {
        return false;
    }
    RunningApplication gone = *found;
    applications_.erase(found);
    announce(Event::didTerminateApplication, gone);
    return true;
}

Workspace::ObserverToken Workspace::addObserver(Event event, Observer observer) {
    auto entry = std::make_shared<ObserverEntry>();
    entry->event = event;
    entry->observer = std::move(observer);
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.emplace(token, std::move(entry));
    return token;
}

void Workspace::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    if (auto found = observers_.find(token); found != observers_.end()) {
        found->second->active = false;
        observers_.erase(found);
    }
}

// Called with mutex_ held, so notices reach the main queue in the order the registry changed.
void Workspace::announce(Event event, const RunningApplication& application) {
    auto main = DispatchQueue::main();
    for (const auto& [token, entry] : observers_) {
        if (entry->event != event) {
            continue;
        }
        main->async([entry, application] {
            if (entry->active) {
                entry->observer(application);
            }
        });
    }
}

int Workspace::ownPid() {
    return static_cast<int>(::getpid());
}

std::optional<std::string> Workspace::ownBundleIdentifier() {
    std::lock_guard lock(ownMutex);
    return ownBundle;
}

void Workspace::setOwnBundleIdentifier(std::optional<std::string> bundleIdentifier) {
    dropIfEmpty(bundleIdentifier);
    std::lock_guard lock(ownMutex);
    ownBundle = std::move(bundleIdentifier);
}
