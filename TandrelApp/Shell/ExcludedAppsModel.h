// What the excluded-apps pane shows, free of widgets: its texts, a row per excluded application with its
// display name, the running applications that can still be excluded, and which chosen files name an
// application. ExcludedAppsView shows it; tests check it without a display.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "TandrelApp/Engine/CaptureTargetProvider.h"

namespace ExcludedAppsModel {

inline constexpr double height = 440;
inline constexpr double minimumListHeight = 220;

inline constexpr std::string_view explanation =
    "ここにあるアプリは、起動しても音を出しても自動では行に追加しません（Finder は常に除外）。"
    "「音源を追加」から手動で追加すると、除外は解除されます。";
inline constexpr std::string_view emptyList = "除外しているアプリはありません";
inline constexpr std::string_view includeTitle = "除外を解除";
inline constexpr std::string_view addRunningTitle = "起動中のアプリから追加";
inline constexpr std::string_view noCandidates = "追加できるアプリはありません";
inline constexpr std::string_view chooseTitle = "アプリを選んで追加…";
// The file chooser: its confirm button, and the rest of its words.
inline constexpr std::string_view chooserPrompt = "除外に追加";
inline constexpr std::string_view chooserTitle = "アプリを選んで追加";
inline constexpr std::string_view chooserCancel = "キャンセル";
inline constexpr std::string_view chooserFolder = "場所:";
inline constexpr std::string_view chooserFileName = "名前:";
inline constexpr std::string_view chooserFileType = "種類:";
inline constexpr std::string_view chooserFilter = "アプリケーション (*.desktop)";

struct Row {
    std::string bundleID;
    std::string name;
    bool operator==(const Row&) const = default;
};

// One row per excluded bundle identifier, in the given order, named by RoutingController::appName.
std::vector<Row> rows(const std::vector<std::string>& excludedApps);

// The running applications not yet excluded, in their order.
std::vector<CaptureTargetProvider::AppInfo>
candidates(const std::vector<CaptureTargetProvider::AppInfo>& running,
           const std::vector<std::string>& excludedApps);

// The bundle identifiers of the chosen files that are application entries, in their order; anything
// else is passed over without a word.
std::vector<std::string> chosenIdentifiers(const std::vector<std::string>& paths);

} // namespace ExcludedAppsModel
