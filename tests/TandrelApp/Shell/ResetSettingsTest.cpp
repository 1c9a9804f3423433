// The reset of settings as the user meets it: the confirmation, the reset, and the alert that reports
// where the old settings went or why the reset failed.
#include "TandrelApp/Shell/ResetSettings.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "Platform/System/Desktop/FileManager.h"
#include "ShellTestSupport.h"
#include "Support/ScriptedAlerts.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace {

// What the scripted reset is to do, and what it was asked.
struct ResetScript {
    std::optional<QString> backup;
    std::optional<std::string> failure;
    std::vector<bool> calls;
};

QCoro::Task<std::optional<QString>> scriptedReset(std::shared_ptr<ResetScript> script, bool resetLines) {
    script->calls.push_back(resetLines);
    if (script->failure) {
        throw std::runtime_error(*script->failure);
    }
    co_return script->backup;
}

ResetSettings::ResetOperation operation(std::shared_ptr<ResetScript> script) {
    return [script](bool resetLines) {
        return scriptedReset(script, resetLines);
    };
}

// A desktop without a file manager on a bus, whose folder opener is `opener`.
class DesktopWithoutFileManager {
public:
    explicit DesktopWithoutFileManager(QStringList opener) {
        FileManager::setBusAddress(QString());
        FileManager::setFolderOpener(std::move(opener));
    }
    ~DesktopWithoutFileManager() {
        FileManager::setBusAddress(std::nullopt);
        FileManager::setFolderOpener(std::nullopt);
    }
};

TEST(ResetSettingsFlow, TheConfirmationOffersTheLinesAndCancellingStartsNothing) {
    ScriptedAlerts alerts;
    alerts.answer(1);
    auto script = std::make_shared<ResetScript>();

    ResetSettings::confirmAndReset(operation(script), alerts);
    QTest::qWait(50);

    ASSERT_EQ(alerts.shown.size(), 1u);
    const AlertSpec& asked = alerts.shown[0];
    EXPECT_EQ(asked.style, AlertSpec::Style::warning);
    EXPECT_EQ(asked.message, "設定を初期化しますか？");
    EXPECT_EQ(
        asked.informativeText,
        "音源・接続・モニター先・音量・L/R の分割・除外するアプリ・バッファなどの設定が、インストール直後の"
        "状態に戻ります。\n\n今の設定は、同じフォルダに「routing.backup-日時.json」として残します。");
    ASSERT_TRUE(asked.checkbox.has_value());
    EXPECT_EQ(asked.checkbox->title, "仮想ライン（名前・本数・チャンネル数・音量）も初期状態に戻す");
    EXPECT_EQ(asked.checkbox->toolTip, "Line 1（2ch）と Line 2（64ch）の2本に戻します。Zoom や OBS "
                                       "で選んでいるラインの設定が変わることがあります。");
    EXPECT_FALSE(asked.checkbox->checked);
    EXPECT_EQ(asked.buttons,
              (std::vector<AlertSpec::Button>{{"初期化", true, false}, {"キャンセル", false, true}}));
    EXPECT_TRUE(script->calls.empty());
}

// A message box lays itself out as it is shown; its picture is taken then.
bool snapshotShown(QMessageBox& box, const QString& name) {
    box.show();
    QApplication::processEvents();
    const bool written = box.grab().save(snapshotPath(name));
    box.hide();
    return written;
}

TEST(ResetSettingsFlow, TheConfirmationAsAMessageBoxDefaultsToResetAndEscapesToCancel) {
    const auto box = MessageBoxAlerts::messageBox(ResetSettings::confirmation());
    ASSERT_NE(box->defaultButton(), nullptr);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("初期化"));
    ASSERT_NE(box->escapeButton(), nullptr);
    EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("キャンセル"));
    ASSERT_NE(box->checkBox(), nullptr);
    EXPECT_FALSE(box->checkBox()->isChecked());
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_TRUE(snapshotShown(*box, QStringLiteral("alert-reset-confirmation")));
    const auto result = MessageBoxAlerts::messageBox(ResetSettings::succeeded(
        QStringLiteral("/home/user/.local/share/TandrelApp/routing.backup-20250102-030405.json")));
    EXPECT_EQ(result->defaultButton()->text(), QStringLiteral("OK"));
    EXPECT_TRUE(snapshotShown(*result, QStringLiteral("alert-reset-done")));
}

// The backup is shown in the file manager; where the desktop has none to show it, an alert says
// where it is.
TEST(ResetSettingsFlow, ASuccessfulResetShowsTheBackupAndCanRevealIt) {
    TemporaryXdgHome data{"XDG_DATA_HOME"};
    const QString backup = data.path() + QStringLiteral("/routing.backup-20250102-030405.json");
    QFile(backup).open(QIODevice::WriteOnly);
    for (const bool folderOpens : {true, false}) {
        SCOPED_TRACE(folderOpens ? "the folder opens" : "nothing opens");
        const DesktopWithoutFileManager desktop(
            {folderOpens ? QStringLiteral("true") : QStringLiteral("false")});
        ScriptedAlerts alerts;
        alerts.answer(0, /*checked=*/true);
        alerts.answer(ResetSettings::revealBackupButton);
        auto script = std::make_shared<ResetScript>(ResetScript{backup, std::nullopt, {}});

        ResetSettings::confirmAndReset(operation(script), alerts);
        EXPECT_TRUE(script->calls.empty()) << "the reset runs in a task of its own, after the answer";
        ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 2000));

        EXPECT_EQ(script->calls, std::vector<bool>{true}) << "the checkbox resets the lines too";
        const AlertSpec& result = alerts.shown[1];
        EXPECT_EQ(result.style, AlertSpec::Style::informational);
        EXPECT_EQ(result.message, "設定を初期化しました");
        EXPECT_EQ(result.informativeText, "元の設定は次の場所に保存しました:\n" + backup.toStdString());
        EXPECT_EQ(result.buttons, (std::vector<AlertSpec::Button>{
                                      {"OK", false, false}, {"ファイルマネージャで表示", false, false}}));
        if (folderOpens) {
            QTest::qWait(300);
            EXPECT_EQ(alerts.shown.size(), 2u);
        } else {
            ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 3; }, 5000));
            EXPECT_EQ(alerts.shown[2].message, "ファイルマネージャで表示できませんでした");
            EXPECT_EQ(alerts.shown[2].informativeText,
                      "元の設定は次の場所にあります:\n" + backup.toStdString());
        }
    }
}

TEST(ResetSettingsFlow, WithoutABackupTheResultHasNoPathAndOnlyOK) {
    ScriptedAlerts alerts;
    alerts.answer(0, /*checked=*/false);
    auto script = std::make_shared<ResetScript>();

    ResetSettings::confirmAndReset(operation(script), alerts);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 2000));

    EXPECT_EQ(script->calls, std::vector<bool>{false});
    EXPECT_EQ(alerts.shown[1].message, "設定を初期化しました");
    EXPECT_EQ(alerts.shown[1].informativeText, "");
    EXPECT_EQ(alerts.shown[1].buttons, (std::vector<AlertSpec::Button>{{"OK", false, false}}));
}

TEST(ResetSettingsFlow, AFailureShowsItsOwnDescription) {
    ScriptedAlerts alerts;
    alerts.answer(0, /*checked=*/true);
    const std::string timedOut = "オーディオシステム（coreaudiod）が応答しません（ラインの初期化）。";
    auto script = std::make_shared<ResetScript>(ResetScript{std::nullopt, timedOut, {}});

    ResetSettings::confirmAndReset(operation(script), alerts);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 2000));

    EXPECT_EQ(alerts.shown[1].style, AlertSpec::Style::warning);
    EXPECT_EQ(alerts.shown[1].message, "初期化できませんでした");
    EXPECT_EQ(alerts.shown[1].informativeText, timedOut);
    EXPECT_TRUE(alerts.shown[1].buttons.empty()) << "the platform's single default button";
}

TEST(ResetSettingsFlow, TheControllersResetBacksUpTheSavedFileAndReportsIt) {
    ShellEnvironment environment;
    RoutingConfig saved;
    saved.latency = LatencyPreset::safe;
    RoutingConfigStore::save(saved);
    auto controller = RoutingController::create(saved, /*persists=*/true, /*autoDiscovers=*/false);
    ScriptedAlerts alerts;
    alerts.answer(0);

    ResetSettings::confirmAndReset(controller);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 5000));

    const std::string text = alerts.shown[1].informativeText;
    const std::string prefix = "元の設定は次の場所に保存しました:\n";
    ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
    const QFileInfo backup(QString::fromStdString(text.substr(prefix.size())));
    EXPECT_TRUE(backup.exists());
    EXPECT_EQ(backup.absolutePath(), QFileInfo(RoutingConfigStore::url()).absolutePath());
    EXPECT_TRUE(backup.fileName().startsWith(QStringLiteral("routing.backup-")));
    EXPECT_EQ(controller->config(), RoutingConfig{});
    EXPECT_EQ(RoutingConfigStore::load(), RoutingConfig{});
    QCoro::waitFor(controller->waitForReconcile());
}

} // namespace
