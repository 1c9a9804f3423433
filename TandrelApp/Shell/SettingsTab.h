// The settings window's tabs, the one the window shows (remembered under "TDSettingsTab"), and opening
// the window on a chosen tab: the status-item menu opens it on the general tab, the source menu on the
// excluded-apps tab. GUI thread only.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string_view>

#include <QString>

class UserDefaults;

enum class SettingsTab { general, lines, excludedApps, about };

inline constexpr std::array<SettingsTab, 4> allSettingsTabs{SettingsTab::general, SettingsTab::lines,
                                                            SettingsTab::excludedApps, SettingsTab::about};

// The user default holding the raw value of the tab shown last.
inline const QString settingsTabKey = QStringLiteral("TDSettingsTab");

std::string_view rawValue(SettingsTab tab);
// Nothing for a text that names no tab.
std::optional<SettingsTab> settingsTabFromRawValue(std::string_view text);
// The tab's title in the window ("一般", ...).
std::string_view title(SettingsTab tab);
// The name of the symbol beside the title ("gearshape", ...).
std::string_view symbolName(SettingsTab tab);

// The tab remembered in `defaults`; the general tab when none is stored or the stored text names none.
SettingsTab storedSettingsTab(const UserDefaults& defaults);

// Remembers `tab` in the standard defaults (an open settings window switches to it), brings the
// application forward and opens the settings window through SettingsOpener::open().
void openSettings(SettingsTab tab);

namespace SettingsOpener {
// What opens the settings window; the application sets it when it declares its windows. Unset, opening
// the settings only remembers the tab and activates the application.
std::function<void()>& open();
} // namespace SettingsOpener
