#include <gtest/gtest.h>

#include <fstream>

#include <QLabel>
#include <QPushButton>
#include <QTimeZone>

#include "Platform/System/SystemInfo.h"
#include "Support/ScriptedAlerts.h"
#include "Support/Snapshots.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Shell/AboutModel.h"
#include "TandrelApp/Shell/AboutSettings.h"
#include "TandrelApp/Shell/SceneSlots.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "UpdaterTestSupport.h"

namespace {

using State = UpdateChecker::State;
using Facts = AboutSettings::Facts;
using namespace std::chrono_literals;

// A driver bundle in `folder` whose information dictionary is `info` (none written when empty).
std::string bundle(const QTemporaryDir& folder, const std::string& info) {
    const std::string path = folder.path().toStdString() + "/TandrelDriver.driver";
    std::filesystem::create_directories(path + "/Contents");
    if (!info.empty()) {
        std::ofstream(path + "/Contents/Info.json") << info;
    }
    return path;
}

TEST(DriverInfo, ReadsVersionBuildAndSourceFromTheBundle) {
    QTemporaryDir folder;
    EXPECT_EQ(DriverInfo::read(folder.path().toStdString() + "/TandrelDriver.driver"), std::nullopt);
    const std::string path = bundle(folder, "");
    EXPECT_EQ(DriverInfo::read(path), std::nullopt) << "a bundle without information";

    const std::pair<const char*, DriverInfo> cases[] = {
        {R"({"CFBundleShortVersionString":"1.4","CFBundleVersion":"27","TDDriverSourceHash":"a1b2c3"})",
         {"1.4（ビルド 27）", "a1b2c3"}},
        {R"({"CFBundleShortVersionString":"1.4"})", {"1.4", std::nullopt}},
        {R"({})", {"-", std::nullopt}},
        {R"({"CFBundleShortVersionString":14,"CFBundleVersion":27,"TDDriverSourceHash":false})",
         {"-", std::nullopt}},
    };
    for (const auto& [info, expected] : cases) {
        bundle(folder, info);
        EXPECT_EQ(DriverInfo::read(path), expected) << info;
    }
    bundle(folder, "[1, 2]");
    EXPECT_EQ(DriverInfo::read(path), std::nullopt);
}

TEST(AboutTexts, UpdateStatusForEveryState) {
    const QDateTime march4(QDate(2025, 3, 4), QTime(9, 5), QTimeZone::systemTimeZone());
    EXPECT_EQ(AboutModel::formatDate(march4), "2025年3月4日 9:05");
    EXPECT_EQ(AboutModel::updateStatus(State::idle(), march4), "最終確認 2025年3月4日 9:05");
    EXPECT_EQ(AboutModel::updateStatus(State::idle(), std::nullopt), "未確認");
    EXPECT_EQ(AboutModel::updateStatus(State::checking(), march4), "確認中…");
    EXPECT_EQ(AboutModel::updateStatus(State::upToDate(), march4), "最新です");
    EXPECT_EQ(AboutModel::updateStatus(State::failed("確認できませんでした（何か）"), march4),
              "確認できませんでした");
    EXPECT_EQ(AboutModel::updateStatus(State::available(releaseOf("2.0", "https://e.org/u")), march4),
              "2.0 が公開されています");
}

TEST(AboutTexts, PathsProcessorAndDriverRows) {
    EXPECT_EQ(AboutModel::tildePath("/home/ann/.local/share/TandrelApp", "/home/ann"),
              "~/.local/share/TandrelApp");
    EXPECT_EQ(AboutModel::tildePath("/home/ann/x/home/ann", "/home/ann"), "~/x~");
    EXPECT_EQ(AboutModel::tildePath("/srv/data", "/"), "/srv/data");
    EXPECT_EQ(AboutModel::settingsFolder("/home/ann/.local/share/TandrelApp/routing.json", "/home/ann"),
              "~/.local/share/TandrelApp");

    EXPECT_EQ(AboutModel::chipText("AMD Ryzen 7 7840U", "x86_64"), "AMD Ryzen 7 7840U（x86_64）");
    EXPECT_EQ(AboutModel::chipText("", "arm64"), "arm64");
    EXPECT_EQ(SystemInfo::processorBrand("processor\t: 0\nvendor_id\t: GenuineIntel\n"
                                         "model name\t: Intel(R) Core(TM) i7-8565U CPU @ 1.80GHz  \n"),
              "Intel(R) Core(TM) i7-8565U CPU @ 1.80GHz");
    EXPECT_EQ(SystemInfo::processorBrand(
                  "processor : 0\nBogoMIPS : 48.00\nHardware : BCM2835\nModel : Raspberry Pi 4\n"),
              "BCM2835");
    EXPECT_EQ(SystemInfo::processorBrand("processor : 0\n"), "");

    EXPECT_EQ(AboutModel::driverRows(std::nullopt, "/x/TandrelDriver.driver"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"", "インストールされていません（/x/TandrelDriver.driver）"}}));
    EXPECT_EQ(AboutModel::driverRows(DriverInfo{"1.4", std::nullopt}, "/x/D.driver"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"バージョン", "1.4"}, {"識別子", "-"}, {"場所", "/x/D.driver"}}));
    EXPECT_EQ(AboutModel::copyright(std::nullopt), AboutModel::builtInCopyright);
    EXPECT_EQ(AboutModel::copyright("© Someone"), "© Someone");
}

class AboutPaneTest : public ::testing::Test {
protected:
    void SetUp() override { checker = std::make_unique<UpdateChecker>(checkerEnvironment(server)); }

    AboutSettings::Facts facts() {
        return {
            .shortVersion = "1.2.0",
            .build = 5,
            .bundleIdentifier = std::nullopt,
            .copyright = std::nullopt,
            .systemName = "Debian GNU/Linux 12 (bookworm)",
            .chip = "AMD Ryzen 7 7840U（x86_64）",
            .settingsFolder = "~/.local/share/TandrelApp",
            .driverPath = driverFolder.path().toStdString() + "/TandrelDriver.driver",
            .readDriver =
                [this] {
                    return DriverInfo::read(driverFolder.path().toStdString() + "/TandrelDriver.driver");
                },
        };
    }

    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    QTemporaryDir driverFolder;
    ScriptedAlerts alerts;
    LocalFeedServer server;
    std::unique_ptr<UpdateChecker> checker;
};

TEST_F(AboutPaneTest, TheDriverIsReadAgainEachTimeThePaneIsShown) {
    AboutSettings pane(*checker, facts());
    pane.show();
    QApplication::processEvents();
    const QString path = driverFolder.path() + "/TandrelDriver.driver";
    EXPECT_EQ(pane.driverTexts(), QStringList{"インストールされていません（" + path + "）"});
    EXPECT_EQ(pane.value("バンドル ID"), "-");
    EXPECT_EQ(pane.value("OS"), "Debian GNU/Linux 12 (bookworm)");

    bundle(driverFolder, R"({"CFBundleShortVersionString":"1.4","CFBundleVersion":"27"})");
    pane.hide();
    pane.show();
    QApplication::processEvents();
    EXPECT_EQ(pane.driverTexts(), (QStringList{"1.4（ビルド 27）", "-", path}));
}

TEST_F(AboutPaneTest, TheCheckButtonFollowsTheChecker) {
    server.serve("/feed.json",
                 LocalFeedServer::slowly(R"({"version":"1.0","url":"https://e.org/u.tar"})", 4, 20ms));
    AboutSettings pane(*checker, facts());
    EXPECT_EQ(pane.updateStatusLabel()->text(), QStringLiteral("未確認"));
    pane.checkButton()->click();
    ASSERT_TRUE(waitUntil([&] { return checker->state() == State::checking(); }));
    EXPECT_EQ(pane.updateStatusLabel()->text(), QStringLiteral("確認中…"));
    EXPECT_FALSE(pane.checkButton()->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return checker->state() == State::upToDate(); }));
    EXPECT_EQ(pane.updateStatusLabel()->text(), QStringLiteral("最新です"));
    EXPECT_TRUE(pane.checkButton()->isEnabled());
    QTest::qWait(20);
    EXPECT_EQ(alerts.shown.size(), 1u) << "the checker shows its outcome itself";

    server.serve("/feed.json", {500, "no"});
    pane.checkButton()->click();
    ASSERT_TRUE(waitUntil([&] { return checker->state().kind == State::Kind::failed; }));
    EXPECT_EQ(pane.updateStatusLabel()->text(), QStringLiteral("確認できませんでした"));
}

// At the window's 560 points with long values from outside, everything stays within the pane on one
// line, the long values shortened in their middle with the whole text on hover, the button whole; markup
// in a value is shown as written. The mixer's display size leaves the pane as it is.
TEST_F(AboutPaneTest, LongValuesStayWithinThePaneAndButtonsWhole) {
    bundle(driverFolder, R"({"CFBundleShortVersionString":"1.4.0-<b>rc</b>","CFBundleVersion":"2718281828",)"
                         R"("TDDriverSourceHash":"9f3c2e1d4b5a69788796a5b4c3d2e1f0a9b8c7d6e5f40312"})");
    Facts longFacts = facts();
    longFacts.copyright = "© 2026 <i>Qorvix</i> & Partners. All rights reserved worldwide, including Japan.";
    longFacts.settingsFolder = "~/.local/share/TandrelApp/with/a/rather/long/folder/name/for/the/settings";
    AboutSettings pane(*checker, longFacts);
    pane.setFixedWidth(560);
    pane.show();
    QApplication::processEvents();
    EXPECT_EQ(pane.QWidget::height(), 560);
    EXPECT_TRUE(writeSnapshot(pane, "about-pane"));

    for (QWidget* part : pane.findChildren<QWidget*>()) {
        if (part->isVisibleTo(&pane) && !part->inherits("QScrollBar")) {
            const QRect placed(part->mapTo(&pane, QPoint(0, 0)), part->size());
            EXPECT_LE(placed.right(), pane.rect().right()) << part->metaObject()->className();
        }
    }
    QPushButton* check = pane.checkButton();
    EXPECT_GE(check->width(), check->sizeHint().width()) << "the button's title is whole";

    const auto* folder = pane.findChild<ElidedLabel*>(QStringLiteral("設定の保存先"));
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->shownText().contains(QChar(0x2026))) << "shortened in its middle";
    EXPECT_TRUE(folder->shownText().startsWith(QStringLiteral("~/.local")));
    EXPECT_TRUE(folder->shownText().endsWith(QStringLiteral("settings")));
    EXPECT_EQ(folder->toolTipText(), folder->text());
    EXPECT_EQ(pane.value("バージョン"), QStringLiteral("1.2.0（ビルド 5）"));
    EXPECT_EQ(pane.value("CPU"), QStringLiteral("AMD Ryzen 7 7840U（x86_64）"));
    EXPECT_EQ(pane.driverTexts().value(0), QStringLiteral("1.4.0-<b>rc</b>（ビルド 2718281828）"));
    for (const QLabel* label : pane.findChildren<QLabel*>()) {
        // Besides the icon's picture and the two links, every label's text is shown as written.
        if (!label->text().isEmpty() && !label->text().startsWith(QStringLiteral("<a href"))) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
        }
    }

    UserDefaults::standard().set(QStringLiteral("TDUIScale"), 1.5);
    const auto scaled = createAboutPane();
    EXPECT_EQ(scaled->height(), 560) << "the display size is the mixer's alone";
}

} // namespace
