#include <gtest/gtest.h>

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocumentFragment>
#include <QToolButton>
#include <QVBoxLayout>

#include "Support/ScriptedAlerts.h"
#include "Support/Snapshots.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Mixer/MixerTestSupport.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Shell/MenuBarContent.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateCommands.h"
#include "TandrelApp/Updater/UpdateNotice.h"
#include "UpdaterTestSupport.h"

namespace {

using namespace UpdateNoticeModel;
using Phase = UpdateInstaller::Phase;
using namespace std::chrono_literals;

const UpdateRelease release = [] {
    UpdateRelease release = releaseOf("2.0", "https://e.org/u.tar");
    release.notes = std::vector<std::string>{"速くなりました"};
    return release;
}();

TEST(UpdateNoticeChoice, ProgressWhileBusyElseTheReleaseElseNothing) {
    EXPECT_EQ(content(Phase::idle(), std::nullopt, "1.2.0", false), Content{});
    EXPECT_EQ(content(Phase::failed("x"), std::nullopt, "1.2.0", true), Content{});
    EXPECT_EQ(content(Phase::idle(), release, "1.2.0", false),
              Content(Banner{"Corvane 2.0 が公開されています", "速くなりました"}));
    EXPECT_EQ(content(Phase::failed("x"), release, "1.2.0", false),
              Content(Banner{"Corvane 2.0 が公開されています", "速くなりました"}))
        << "a failed install brings the banner back";
    UpdateRelease bare = release;
    bare.notes = std::vector<std::string>{};
    EXPECT_EQ(std::get<Banner>(content(Phase::idle(), bare, "1.2.0", false)).subtitle,
              "今お使いのバージョンは 1.2.0 です");
    EXPECT_EQ(content(Phase::idle(), release, "1.2.0", true),
              Content(CompactButton{"バージョン 2.0 にアップデート",
                                    "新しいバージョンをダウンロードしてインストールします（今は 1.2.0）"}));

    struct Row {
        Phase phase;
        const char* text;
        std::optional<double> fraction;
    };
    const Row rows[] = {
        {Phase::downloading(0.25), "アップデートをダウンロードしています…", 0.25},
        {Phase::verifying(), "インストーラの署名を確認しています…", std::nullopt},
        {Phase::waitingForPassword(), "管理者のパスワードを入力してください", std::nullopt},
        {Phase::installing(), "インストールしています。終わると自動で起動し直します…", std::nullopt},
    };
    for (const auto& row : rows) {
        for (bool compact : {false, true}) {
            const auto progress = std::get<Progress>(content(row.phase, release, "1.2.0", compact));
            EXPECT_EQ(progress.text, row.text);
            EXPECT_EQ(progress.fraction, row.fraction);
            EXPECT_EQ(progress.cancellable, !compact && row.phase.kind == Phase::Kind::downloading);
        }
    }
}

class UpdateNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.serveJson("/feed.json", R"({"version":"2.0","url":"http://127.0.0.1:1/Corvane-2.0.tar",
            "notes":["再生中の音切れを修正し、起動が速くなりました"]})");
        checker = std::make_unique<UpdateChecker>(checkerEnvironment(server));
        installer = std::make_unique<UpdateInstaller>(
            installerEnvironment(UpdateSigning::shared().tools(target.path()), true, work.path()));
    }

    void findRelease() {
        alerts.answer(1);
        auto task = checker->check(false);
        ASSERT_TRUE(finish(task));
        QTest::qWait(20);
        ASSERT_TRUE(checker->availableRelease());
    }

    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    TemporaryXdgHome data{"XDG_DATA_HOME"};
    QTemporaryDir work;
    QTemporaryDir target;
    ScriptedAlerts alerts;
    LocalFeedServer server;
    std::unique_ptr<UpdateChecker> checker;
    std::unique_ptr<UpdateInstaller> installer;
};

TEST_F(UpdateNoticeTest, TheBannerOffersTheReleaseAndSkippingRemovesIt) {
    QWidget window;
    auto* notice = new UpdateNotice(*checker, *installer, false, Theme::Metrics(), &window);
    (new QVBoxLayout(&window))->addWidget(notice);
    window.show();
    EXPECT_TRUE(notice->isHidden());
    findRelease();
    EXPECT_TRUE(notice->isVisible());
    EXPECT_TRUE(notice->banner()->isVisible());
    EXPECT_FALSE(notice->progressRow()->isVisible());
    EXPECT_EQ(notice->titleLabel()->text(), QStringLiteral("Corvane 2.0 が公開されています"));

    // The first note, on one line however long; the whole of it in the tooltip.
    EXPECT_EQ(QTextDocumentFragment::fromHtml(notice->subtitleLabel()->toolTip()).toPlainText(),
              QStringLiteral("再生中の音切れを修正し、起動が速くなりました"));
    window.resize(300, 80);
    QApplication::processEvents();
    EXPECT_TRUE(notice->subtitleLabel()->text().endsWith(QChar(0x2026)));
    EXPECT_LE(notice->subtitleLabel()->height(), notice->subtitleLabel()->fontMetrics().height() + 2);

    notice->skipButton()->click();
    EXPECT_TRUE(notice->isHidden());
    EXPECT_EQ(UserDefaults::standard().string(QStringLiteral("TDUpdateSkippedVersion")),
              QStringLiteral("2.0"));
}

TEST_F(UpdateNoticeTest, UpdatingShowsTheProgressAndCancelBringsTheBannerBack) {
    const QByteArray package = UpdateSigning::shared().package(
        {{"opt/corvane/VERSION", "2.0\n"}, {"opt/corvane/blob", incompressible(500000)}}, "TEAMA");
    server.serve(
        "/Corvane-2.0.tar",
        LocalFeedServer::slowly(UpdateSigning::shared().archive({{"Corvane-2.0.pkg", package}}), 8192, 30ms));
    server.serveJson("/feed.json",
                     R"({"version":"2.0","url":")" + server.url("/Corvane-2.0.tar").toStdString() + R"("})");
    QWidget window;
    auto* notice = new UpdateNotice(*checker, *installer, false, Theme::Metrics(), &window);
    auto* compact = new UpdateNotice(*checker, *installer, true, Theme::Metrics(), &window);
    window.show();
    findRelease();
    EXPECT_TRUE(compact->compactButton()->isVisible());
    EXPECT_EQ(compact->compactButton()->text(), QStringLiteral("バージョン 2.0 にアップデート"));

    notice->updateButton()->click();
    ASSERT_TRUE(waitUntil([&] { return installer->phase().fraction > 0; }));
    EXPECT_TRUE(notice->progressRow()->isVisible());
    EXPECT_FALSE(notice->banner()->isVisible());
    EXPECT_TRUE(notice->progressBar()->isVisible());
    EXPECT_GT(notice->progressBar()->value(), 0);
    EXPECT_TRUE(notice->cancelButton()->isVisible());
    EXPECT_TRUE(compact->progressRow()->isVisible());
    EXPECT_EQ(compact->cancelButton(), nullptr);
    EXPECT_EQ(compact->progressBar()->width(), 80);
    EXPECT_EQ(notice->progressBar()->width(), 160);

    notice->cancelButton()->click();
    EXPECT_TRUE(notice->banner()->isVisible());
    EXPECT_TRUE(compact->compactButton()->isVisible());
}

// What the feed says is shown as it stands, in the notice and in the alert: no markup, no links.
TEST_F(UpdateNoticeTest, MarkupFromTheFeedIsShownLiterally) {
    const std::string version = "2.0<b>!</b>";
    const std::string note = "<a href=\"https://example.org/\">ここをクリック</a>";
    server.serveJson("/feed.json", R"({"version":"2.0<b>!</b>","url":"https://e.org/u.tar",
        "notes":["<a href=\"https://example.org/\">ここをクリック</a>"]})");
    QWidget window;
    auto* notice = new UpdateNotice(*checker, *installer, false, Theme::Metrics(), &window);
    auto* compact = new UpdateNotice(*checker, *installer, true, Theme::Metrics(), &window);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(notice);
    layout->addWidget(compact);
    window.show();
    findRelease();

    EXPECT_EQ(notice->titleLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(notice->titleLabel()->text().toStdString(), "Corvane " + version + " が公開されています");
    EXPECT_EQ(notice->subtitleLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(QTextDocumentFragment::fromHtml(notice->subtitleLabel()->toolTip()).toPlainText().toStdString(),
              note);
    EXPECT_EQ(QTextDocumentFragment::fromHtml(compact->compactButton()->toolTip()).toPlainText(),
              QStringLiteral("新しいバージョンをダウンロードしてインストールします（今は 1.2.0）"));

    const auto box =
        MessageBoxAlerts::messageBox(UpdateChecker::releaseAlert(*checker->availableRelease(), "1.2.0"));
    for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
        SCOPED_TRACE(name);
        const auto* label = box->findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_FALSE(label->openExternalLinks());
    }
    EXPECT_NE(box->informativeText().toStdString().find("・" + note), std::string::npos);
}

TEST_F(UpdateNoticeTest, TheCheckCommandIsDisabledWhileChecking) {
    server.serve("/feed.json",
                 LocalFeedServer::slowly(R"({"version":"1.0","url":"https://e.org/u.tar"})", 4, 20ms));
    QMenu menu;
    UpdateCommands::add(menu, *checker);
    ASSERT_EQ(menu.actions().size(), 2);
    QAction* check = menu.actions()[0];
    QAction* automatic = menu.actions()[1];
    EXPECT_EQ(check->text(), QStringLiteral("アップデートを確認…"));
    EXPECT_EQ(automatic->text(), QStringLiteral("アップデートを自動で確認"));
    EXPECT_TRUE(automatic->isChecked());

    check->trigger();
    ASSERT_TRUE(waitUntil([&] { return checker->state() == UpdateChecker::State::checking(); }));
    EXPECT_FALSE(check->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return checker->state() == UpdateChecker::State::upToDate(); }));
    EXPECT_TRUE(check->isEnabled());

    automatic->trigger();
    EXPECT_FALSE(automatic->isChecked());
    EXPECT_EQ(UserDefaults::standard().value(QStringLiteral("TDUpdateAutoCheckDisabled")).toBool(), true);
    EXPECT_FALSE(checker->scheduledDelay());
    automatic->trigger();
    EXPECT_TRUE(automatic->isChecked());
    EXPECT_GE(checker->scheduledDelay().value_or(0ms), 10s);
}

// Pictures of the notice where it is shown: atop the mixer window, in the menu-bar panel, and the progress
// row of both forms.
TEST_F(UpdateNoticeTest, Snapshots) {
    findRelease();
    RoutingConfig config;
    auto controller = MixerTestSupport::PasslessController::create(config);
    auto banner = std::make_unique<UpdateNotice>(*checker, *installer, false, Theme::Metrics());
    UpdateNotice* bannerNotice = banner.get();
    RouterView router(controller, controller->meters(), UserDefaults::standard(), std::move(banner));
    router.resize(900, 420);
    router.show();
    QApplication::processEvents();
    EXPECT_EQ(bannerNotice->y(), 0);
    EXPECT_TRUE(bannerNotice->banner()->isVisible());
    EXPECT_LT(bannerNotice->updateButton()->geometry().right(), bannerNotice->width());
    EXPECT_TRUE(writeSnapshot(router, "update-notice-mixer-banner"));

    auto compact = std::make_unique<UpdateNotice>(*checker, *installer, true, Theme::Metrics());
    UpdateNotice* compactNotice = compact.get();
    MenuBarContent panel(controller, controller->meters(), false,
                         MenuBarContent::Environment{
                             .openMixer = [] {},
                             .setLaunchAtLogin = [](bool) {},
                             .launchAtLogin = [] { return false; },
                             .updateNotice = std::move(compact),
                         });
    panel.show();
    QApplication::processEvents();
    EXPECT_TRUE(compactNotice->compactButton()->isVisible());
    EXPECT_TRUE(writeSnapshot(panel, "update-notice-panel-compact"));

    // The progress rows, as the download shows them.
    const QByteArray package = UpdateSigning::shared().package(
        {{"opt/corvane/VERSION", "2.0\n"}, {"opt/corvane/blob", incompressible(400000)}}, "TEAMA");
    server.serve(
        "/slow.tar",
        LocalFeedServer::slowly(UpdateSigning::shared().archive({{"Corvane-2.0.pkg", package}}), 8192, 40ms));
    installer->install(releaseOf("2.0", server.url("/slow.tar").toStdString()));
    ASSERT_TRUE(waitUntil([&] { return installer->phase().fraction > 0.3; }));
    QApplication::processEvents();
    EXPECT_TRUE(bannerNotice->progressRow()->isVisible());
    EXPECT_TRUE(writeSnapshot(router, "update-notice-mixer-progress"));
    EXPECT_TRUE(writeSnapshot(panel, "update-notice-panel-progress"));
    installer->cancel();
}

} // namespace
