#include "TandrelApp/Shell/ResetSettings.h"

#include <exception>
#include <string>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "Platform/System/Desktop/FileManager.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace ResetSettings {
namespace {

QCoro::Task<std::optional<QString>> resetController(std::shared_ptr<RoutingController> controller,
                                                    bool resetLines) {
    co_return co_await controller->resetSettings(resetLines);
}

// The reset and its result alert; `alerts` outlives the task (the shared alerts live for the process).
QCoro::Task<> resetAndReport(ResetOperation reset, bool resetLines, Alerts* alerts) {
    std::optional<QString> backup;
    std::string failure;
    bool ok = true;
    try {
        backup = co_await reset(resetLines);
    } catch (const std::exception& error) {
        ok = false;
        failure = error.what();
    }
    if (!ok) {
        alerts->run(failed(failure));
        co_return;
    }
    const AlertResponse answer = alerts->run(succeeded(backup));
    if (backup && answer.button == revealBackupButton) {
        FileManager::reveal(*backup, [alerts, path = *backup](FileManager::Outcome outcome) {
            if (outcome == FileManager::Outcome::notShown) {
                alerts->run(notRevealed(path));
            }
        });
    }
}

} // namespace

AlertSpec confirmation() {
    AlertSpec alert;
    alert.style = AlertSpec::Style::warning;
    alert.message = "設定を初期化しますか？";
    alert.informativeText = "音源・接続・モニター先・音量・L/R の分割・除外するアプリ・バッファなどの設定が、"
                            "インストール直後の状態に戻ります。\n\n"
                            "今の設定は、同じフォルダに「routing.backup-日時.json」として残します。";
    alert.checkbox = AlertSpec::Checkbox{"仮想ライン（名前・本数・チャンネル数・音量）も初期状態に戻す",
                                         "Line 1（2ch）と Line 2（64ch）の2本に戻します。Zoom や OBS "
                                         "で選んでいるラインの設定が変わることがあります。",
                                         false};
    alert.buttons = {{"初期化", /*destructive=*/true, /*cancels=*/false},
                     {"キャンセル", /*destructive=*/false, /*cancels=*/true}};
    return alert;
}

AlertSpec succeeded(const std::optional<QString>& backup) {
    AlertSpec alert;
    alert.message = "設定を初期化しました";
    alert.buttons = {{"OK", false, false}};
    if (backup) {
        alert.informativeText = "元の設定は次の場所に保存しました:\n" + backup->toStdString();
        alert.buttons.push_back({"ファイルマネージャで表示", false, false});
    }
    return alert;
}

AlertSpec notRevealed(const QString& backup) {
    AlertSpec alert;
    alert.message = "ファイルマネージャで表示できませんでした";
    alert.informativeText = "元の設定は次の場所にあります:\n" + backup.toStdString();
    return alert;
}

AlertSpec failed(const std::string& description) {
    AlertSpec alert;
    alert.style = AlertSpec::Style::warning;
    alert.message = "初期化できませんでした";
    alert.informativeText = description;
    return alert;
}

void confirmAndReset(ResetOperation reset, Alerts& alerts) {
    ApplicationActivation::activateIgnoringOtherApps();
    const AlertResponse answer = alerts.run(confirmation());
    if (answer.button != 0) {
        return;
    }
    const bool resetLines = answer.checked;
    Alerts* target = &alerts;
    spawnOnMain(
        [reset = std::move(reset), resetLines, target] { return resetAndReport(reset, resetLines, target); });
}

void confirmAndReset(std::shared_ptr<RoutingController> controller) {
    confirmAndReset([controller](bool resetLines) { return resetController(controller, resetLines); });
}

} // namespace ResetSettings
