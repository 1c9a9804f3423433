#include "Platform/ScreenCapture/SCShareableContent.h"

#include <condition_variable>
#include <mutex>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/ScreenCapture/ScreenCaptureError.h"
#include "Platform/System/ScreenCapturePermission.h"
#include "Platform/Workspace/Workspace.h"

namespace {

std::mutex displaysMutex;
std::vector<SCDisplay> currentDisplays = SCShareableContent::defaultDisplays();
std::condition_variable released;
bool completionsHeld = false;

} // namespace

std::vector<SCDisplay> SCShareableContent::defaultDisplays() {
    return {SCDisplay{1, 1920, 1080}};
}

void SCShareableContent::setDisplays(std::vector<SCDisplay> displays) {
    std::lock_guard lock(displaysMutex);
    currentDisplays = std::move(displays);
}

void SCShareableContent::holdCompletions(bool held) {
    {
        std::lock_guard lock(displaysMutex);
        completionsHeld = held;
    }
    released.notify_all();
}

void SCShareableContent::getShareableContent(bool, bool, Completion completion) {
    DispatchQueue::global(DispatchQoS::userInitiated)->async([completion = std::move(completion)] {
        if (!ScreenCapturePermission::preflight()) {
            completion(nullptr, std::make_exception_ptr(ScreenCaptureError(
                                    ScreenCaptureError::Code::permissionDenied,
                                    "The user declined screen capture for this application")));
            return;
        }
        auto content = std::make_shared<SCShareableContent>();
        {
            std::lock_guard lock(displaysMutex);
            content->displays_ = currentDisplays;
        }
        for (const auto& app : Workspace::shared().runningApplications()) {
            content->applications_.push_back(
                {app.pid, app.bundleIdentifier.value_or(""), app.localizedName.value_or("")});
        }
        {
            std::unique_lock lock(displaysMutex);
            released.wait(lock, [] { return !completionsHeld; });
        }
        completion(std::move(content), nullptr);
    });
}
