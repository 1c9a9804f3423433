// The running applications offered as capture targets, one per bundle identifier and sorted by name, for
// the controller's automatic adding, the application pickers and the capture lab.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QImage>

class CaptureTargetProvider {
public:
    struct AppInfo {
        std::string bundleID;
        // The localized name, or the bundle identifier when the application has none.
        std::string name;

        const std::string& id() const { return bundleID; }
        // The icon of the first running application with this bundle identifier; none once it has quit
        // or when it has no readable icon.
        std::optional<QImage> icon() const;

        bool operator==(const AppInfo&) const = default;
    };

    CaptureTargetProvider() = delete;

    // The running regular applications other than this program, sorted by name (locale-aware, case
    // ignored, ties in the workspace's order). Reads the shared workspace on the calling thread.
    static std::vector<AppInfo> runningApplications();
};

template <>
struct std::hash<CaptureTargetProvider::AppInfo> {
    std::size_t operator()(const CaptureTargetProvider::AppInfo& info) const noexcept;
};
