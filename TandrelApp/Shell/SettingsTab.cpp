#include "TandrelApp/Shell/SettingsTab.h"

#include <string>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

struct TabInfo {
    SettingsTab tab;
    std::string_view raw;
    std::string_view title;
    std::string_view symbol;
};

constexpr std::array<TabInfo, 4> tabs{{
    {SettingsTab::general, "general", "一般", "gearshape"},
    {SettingsTab::lines, "lines", "ライン", "waveform.path"},
    {SettingsTab::excludedApps, "excludedApps", "除外するアプリ", "nosign"},
    {SettingsTab::about, "about", "情報", "info.circle"},
}};

const TabInfo& infoOf(SettingsTab tab) {
    for (const auto& info : tabs) {
        if (info.tab == tab) {
            return info;
        }
    }
    return tabs.front();
}

} // namespace

std::string_view rawValue(SettingsTab tab) {
    return infoOf(tab).raw;
}

std::optional<SettingsTab> settingsTabFromRawValue(std::string_view text) {
    for (const auto& info : tabs) {
        if (info.raw == text) {
            return info.tab;
        }
    }
    return std::nullopt;
}

std::string_view title(SettingsTab tab) {
    return infoOf(tab).title;
}

std::string_view symbolName(SettingsTab tab) {
    return infoOf(tab).symbol;
}

SettingsTab storedSettingsTab(const UserDefaults& defaults) {
    const auto stored = defaults.string(settingsTabKey);
    if (!stored) {
        return SettingsTab::general;
    }
    return settingsTabFromRawValue(stored->toStdString()).value_or(SettingsTab::general);
}

void openSettings(SettingsTab tab) {
    UserDefaults::standard().set(
        settingsTabKey,
        QString::fromUtf8(rawValue(tab).data(), static_cast<qsizetype>(rawValue(tab).size())));
    ApplicationActivation::activateIgnoringOtherApps();
    if (SettingsOpener::open()) {
        SettingsOpener::open()();
    }
}

namespace SettingsOpener {

std::function<void()>& open() {
    static std::function<void()> opener;
    return opener;
}

} // namespace SettingsOpener
