// What the simulated applications play, read by the screen-capture streams that mix them.
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/ProcessObject.h"

std::vector<AudioServer::ApplicationSnapshot> AudioServer::applications() const {
    std::lock_guard lock(modelMutex_);
    std::vector<ApplicationSnapshot> result;
    result.reserve(applications_.size());
    for (int32_t pid : applications_) {
        auto process = processLocked(pid);
        if (!process) {
            continue;
        }
        ApplicationSnapshot snapshot;
        snapshot.pid = pid;
        snapshot.bundleID = process->specLocked().bundleID;
        if (process->specLocked().runningOutput) {
            snapshot.signal = InputSignal{InputSignal::Kind::sine, {process->toneLocked()}, false};
        }
        result.push_back(std::move(snapshot));
    }
    return result;
}
