// routing.json problems reach the user: an unreadable file set aside at start, and saves that fail, each
// in one alert.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <gtest/gtest.h>

#include "ShellTestSupport.h"
#include "Support/ScriptedAlerts.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/TandrelApp.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The folder of routing.json becomes a plain file: no save can succeed.
void blockFolder(const QString& folder) {
    ASSERT_TRUE(QDir(folder).removeRecursively());
    writeFile(folder, "in the way");
}

// An edit the controller saves 0.5 s later.
void edit(RoutingController& controller, LatencyPreset latency) {
    RoutingConfig config = controller.config();
    config.latency = latency;
    controller.setConfig(config);
}

TEST(ConfigFileAlerts, AFileSetAsideAndSavesThatFailReachTheUserOnceEach) {
    ShellEnvironment environment;
    ScriptedAlerts alerts;
    const QString folder = QFileInfo(RoutingConfigStore::url()).absolutePath();
    writeFile(RoutingConfigStore::url(), "{\"sources\": [ not JSON");

    TandrelApp app({"TandrelApp"});
    app.launch();
    auto controller = app.controller();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts.shown.empty(); }, 3000));
    const QStringList setAside = QDir(folder).entryList({QStringLiteral("routing.unreadable-*.json")});
    ASSERT_EQ(setAside.size(), 1);
    EXPECT_EQ(alerts.shown[0].message, "保存されていた設定を読み込めませんでした");
    EXPECT_NE(alerts.shown[0].informativeText.find(QDir(folder).filePath(setAside[0]).toStdString()),
              std::string::npos)
        << alerts.shown[0].informativeText;
    // The start's own additions saved: the folder works.
    ASSERT_TRUE(QTest::qWaitFor([&] { return RoutingConfigStore::load() == controller->config(); }, 3000));

    blockFolder(folder);
    edit(*controller, LatencyPreset::low);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 2; }, 3000));
    EXPECT_EQ(alerts.shown[1].message, "設定の変更を保存できません");
    EXPECT_NE(alerts.shown[1].informativeText.find("フォルダではなくファイル"), std::string::npos)
        << alerts.shown[1].informativeText;
    edit(*controller, LatencyPreset::safe);
    QTest::qWait(1000);
    EXPECT_EQ(alerts.shown.size(), 2u) << "not repeated while saves keep failing";

    // Once a save has succeeded again, the next failure is news again.
    ASSERT_TRUE(QFile::remove(folder));
    edit(*controller, LatencyPreset::normal);
    ASSERT_TRUE(QTest::qWaitFor([&] { return RoutingConfigStore::load() == controller->config(); }, 3000));
    blockFolder(folder);
    edit(*controller, LatencyPreset::low);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.shown.size() == 3; }, 3000));
    EXPECT_EQ(alerts.shown[2].message, "設定の変更を保存できません");

    ASSERT_TRUE(QFile::remove(folder));
    controller->cancelPendingSave();
    QCoro::waitFor(controller->waitForReconcile());
}

} // namespace
