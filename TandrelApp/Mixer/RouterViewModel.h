// What the mixer window shows around its matrix, without a widget: which banner stands above the matrix
// (an audio system that does not answer comes first; a missing driver only once the device list has
// been read), the banners' and status bar's texts, and the title of the alert that shows the
// controller's messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace RouterViewModel {

inline constexpr const char* alertTitle = "お知らせ";
inline constexpr const char* alertButton = "OK";

inline constexpr const char* unresponsiveTitle = "オーディオシステムが応答していません";
inline constexpr const char* unresponsiveDetail = "応答が戻りしだい自動で再接続します。長く続く場合はインスト"
                                                  "ーラを再実行するか、Mac を再起動してください。";
inline constexpr const char* retryTitle = "再試行";
inline constexpr const char* driverMissingTitle = "仮想ライン（Line 1 など）が見つかりません";
inline constexpr const char* driverMissingDetail =
    "ドライバをインストールしてください: Scripts/install_driver";

enum class Banner { none, audioSystem, driverMissing };
Banner banner(bool audioSystemResponsive, bool devicesLoaded, bool hasLines);

// "Corvane 1.2" and its tooltip "バージョン 1.2（ビルド 42）".
std::string versionText(const std::string& shortVersion);
std::string versionHelp(const std::string& shortVersion, std::int64_t build);
// "3 接続".
std::string connectionCount(std::size_t connections);

} // namespace RouterViewModel
