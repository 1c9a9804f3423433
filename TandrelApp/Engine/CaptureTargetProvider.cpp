#include "TandrelApp/Engine/CaptureTargetProvider.h"

#include <algorithm>
#include <unordered_set>

#include <QCollator>
#include <QLocale>
#include <QString>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Support/HashCombine.h"

namespace {

std::optional<QImage> decodeIcon(const ApplicationIcon& icon) {
    QImage image;
    if (!icon.imageData.empty()) {
        image.loadFromData(reinterpret_cast<const uchar*>(icon.imageData.data()),
                           static_cast<int>(icon.imageData.size()));
    }
    if (image.isNull() && !icon.path.empty()) {
        image.load(QString::fromStdString(icon.path));
    }
    return image.isNull() ? std::nullopt : std::optional(image);
}

// The C locale means none was chosen (containers, minimal sessions); Qt would then compare code
// points and put "Émile" after "Fox", so compare as English does instead.
QLocale collationLocale() {
    const QLocale system;
    return system.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates) : system;
}

} // namespace

std::optional<QImage> CaptureTargetProvider::AppInfo::icon() const {
    const auto running = Workspace::shared().runningApplications(bundleID);
    if (running.empty()) {
        return std::nullopt;
    }
    return decodeIcon(running.front().icon);
}

std::vector<CaptureTargetProvider::AppInfo> CaptureTargetProvider::runningApplications() {
    const auto own = Workspace::ownBundleIdentifier();
    std::vector<AppInfo> apps;
    std::unordered_set<std::string> taken;
    for (const auto& app : Workspace::shared().runningApplications()) {
        if (app.activationPolicy != ActivationPolicy::regular || !app.bundleIdentifier) {
            continue;
        }
        const std::string& bundleID = *app.bundleIdentifier;
        if ((own && bundleID == *own) || !taken.insert(bundleID).second) {
            continue;
        }
        apps.push_back(AppInfo{bundleID, app.localizedName.value_or(bundleID)});
    }

    QCollator collator(collationLocale());
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<QString> keys;
    keys.reserve(apps.size());
    for (const auto& app : apps) {
        keys.push_back(QString::fromStdString(app.name));
    }
    std::vector<std::size_t> order(apps.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return collator.compare(keys[a], keys[b]) < 0; });
    std::vector<AppInfo> sorted;
    sorted.reserve(apps.size());
    for (std::size_t index : order) {
        sorted.push_back(std::move(apps[index]));
    }
    return sorted;
}

std::size_t std::hash<CaptureTargetProvider::AppInfo>::operator()(
    const CaptureTargetProvider::AppInfo& info) const noexcept {
    std::size_t seed = std::hash<std::string>{}(info.bundleID);
    hashCombine(seed, std::hash<std::string>{}(info.name));
    return seed;
}
