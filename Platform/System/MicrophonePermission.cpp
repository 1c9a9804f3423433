#include "Platform/System/MicrophonePermission.h"

#include <atomic>
#include <mutex>

#include "Platform/Dispatch/DispatchQueue.h"

namespace {

std::mutex mutex;
AuthorizationStatus current = AuthorizationStatus::authorized;
bool answer = true;
std::atomic<int> asked{0};

} // namespace

namespace MicrophonePermission {

AuthorizationStatus status() {
    std::lock_guard lock(mutex);
    return current;
}

void requestAccess(std::function<void(bool granted)> completion) {
    bool granted;
    {
        std::lock_guard lock(mutex);
        if (current == AuthorizationStatus::notDetermined) {
            asked.fetch_add(1);
            current = answer ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
        }
        granted = current == AuthorizationStatus::authorized;
    }
    DispatchQueue::global(DispatchQoS::userInitiated)->async([completion = std::move(completion), granted] {
        completion(granted);
    });
}

void setStatus(AuthorizationStatus status) {
    std::lock_guard lock(mutex);
    current = status;
}

void setRequestAnswer(bool grant) {
    std::lock_guard lock(mutex);
    answer = grant;
}

int requestCount() {
    return asked.load();
}

} // namespace MicrophonePermission
