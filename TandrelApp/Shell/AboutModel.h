// What the About pane says: the update status line, the last check's date, the driver section's rows,
// the processor and the settings folder with the home folder written "~", the links and the copyright.
// Plain functions of the checker's state and the facts read; the pane shows them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QDateTime>

#include "TandrelApp/Shell/DriverInfo.h"
#include "TandrelApp/Updater/UpdateChecker.h"

namespace AboutModel {

inline constexpr const char* website = "https://corvane.qorvix.example/";
inline constexpr const char* releaseNotes = "https://github.com/qorvix/corvane/releases";
// Shown when the program's information has no "NSHumanReadableCopyright".
inline constexpr const char* builtInCopyright = "© 2026 Qorvix. All rights reserved.";

// "yyyy年M月d日 H:mm" in the local time zone.
std::string formatDate(const QDateTime& date);
// The update row's text for the checker's state and last successful check.
std::string updateStatus(const UpdateChecker::State& state, const std::optional<QDateTime>& lastChecked);

// "<short>（ビルド <build>）".
std::string versionLine(const std::string& shortVersion, std::int64_t build);
// The copyright key's text when present, else the built-in notice.
std::string copyright(const std::optional<std::string>& infoCopyright);

// The driver section: label and value rows; for no driver, one row with an empty label holding
// "インストールされていません（<path>）".
std::vector<std::pair<std::string, std::string>> driverRows(const std::optional<DriverInfo>& driver,
                                                            const std::string& installPath);

// The processor row: the brand with the build's architecture in full-width brackets; the architecture
// alone when the system names no brand.
std::string chipText(const std::string& brand, const std::string& architecture);
// `path` with every occurrence of `home` written "~" (left as it is for an empty or root home).
std::string tildePath(const std::string& path, const std::string& home);
// The settings folder: the folder of the routing configuration, home as "~".
std::string settingsFolder(const std::string& configurationPath, const std::string& home);
// "ホームページ（<host>）".
std::string websiteTitle();

} // namespace AboutModel
