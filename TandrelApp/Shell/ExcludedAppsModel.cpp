#include "TandrelApp/Shell/ExcludedAppsModel.h"

#include <algorithm>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace ExcludedAppsModel {

std::vector<Row> rows(const std::vector<std::string>& excludedApps) {
    std::vector<Row> out;
    for (const auto& bundleID : excludedApps) {
        out.push_back({bundleID, RoutingController::appName(bundleID)});
    }
    return out;
}

std::vector<CaptureTargetProvider::AppInfo>
candidates(const std::vector<CaptureTargetProvider::AppInfo>& running,
           const std::vector<std::string>& excludedApps) {
    std::vector<CaptureTargetProvider::AppInfo> out;
    for (const auto& app : running) {
        if (std::ranges::find(excludedApps, app.bundleID) == excludedApps.end()) {
            out.push_back(app);
        }
    }
    return out;
}

std::vector<std::string> chosenIdentifiers(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const auto& path : paths) {
        if (auto identifier = Workspace::applicationIdentifier(path)) {
            out.push_back(std::move(*identifier));
        }
    }
    return out;
}

} // namespace ExcludedAppsModel
