// The server's simulated applications: each is a running application of the shared workspace and a
// process object whose signal the process taps hear. Also installs the system's process lookups that
// the workspace backs, as the real process table would offer them.
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/ProcessObject.h"
#include "Platform/System/ProcessPath.h"
#include "Platform/System/SystemInfo.h"
#include "Platform/Workspace/Workspace.h"

namespace {

std::optional<std::string> sharedProcessPath(int pid) {
    return Workspace::shared().processPath(pid);
}

std::optional<std::string> nonEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

bool plays(const InputSignal& signal) {
    return signal.kind == InputSignal::Kind::sine && !signal.tones.empty() &&
           signal.tones.front().amplitude > 0;
}

} // namespace

void AudioServer::launchApplications(const std::vector<ApplicationSpec>& applications) {
    SystemInfo::setResponsibilityFunction(&Workspace::sharedResponsiblePid);
    ProcessPath::setFunction(&sharedProcessPath);
    for (const auto& record : applications) {
        try {
            addApplication(record);
        } catch (const std::exception& e) {
            spdlog::warn("Audio server: the application {} was not launched: {}", record.bundleID, e.what());
        }
    }
}

int32_t AudioServer::addApplication(ApplicationSpec record) {
    record.validate();
    RunningApplication app;
    app.pid = record.pid;
    app.bundleIdentifier = record.bundleID;
    app.localizedName = nonEmpty(record.name);
    app.activationPolicy = record.activationPolicy;
    app.bundlePath = nonEmpty(record.bundlePath);
    app.executablePath = nonEmpty(record.executablePath);
    app.responsiblePid = record.responsiblePid;
    app.icon = record.icon;
    const int32_t pid = Workspace::shared().launch(std::move(app));
    if (addProcess({pid, record.bundleID, false}) == kAudioObjectUnknown) {
        Workspace::shared().terminate(pid);
        throw std::invalid_argument("A process object with process id " + std::to_string(pid) + " exists");
    }
    {
        std::lock_guard lock(modelMutex_);
        applications_.push_back(pid);
    }
    setApplicationSignal(pid, record.signal);
    return pid;
}

bool AudioServer::removeApplication(int32_t pid) {
    {
        std::lock_guard lock(modelMutex_);
        if (std::erase(applications_, pid) == 0) {
            return false;
        }
    }
    removeProcess(pid);
    Workspace::shared().terminate(pid);
    return true;
}

bool AudioServer::setApplicationSignal(int32_t pid, InputSignal signal) {
    ApplicationSpec check;
    check.bundleID = "check";
    check.signal = signal;
    try {
        check.validate();
    } catch (const HardwareProfileError&) {
        return false;
    }
    AudioObjectID id;
    bool changed;
    {
        std::lock_guard lock(modelMutex_);
        auto process = processLocked(pid);
        if (!process) {
            return false;
        }
        process->setToneLocked(signal.tones.empty() ? InputSignal::Tone{} : signal.tones.front());
        changed = process->setRunningOutputLocked(plays(signal));
        id = process->objectID();
        refreshTapMixesLocked();
    }
    if (changed) {
        announce({{id, globalScopeAddress(kAudioProcessPropertyIsRunningOutput)}});
    }
    return true;
}
