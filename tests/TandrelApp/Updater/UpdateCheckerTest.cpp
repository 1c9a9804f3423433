#include <gtest/gtest.h>

#include <QSignalSpy>

#include "Support/ScriptedAlerts.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "UpdaterTestSupport.h"

namespace {

using State = UpdateChecker::State;
using namespace std::chrono_literals;

class UpdateCheckerTest : public ::testing::Test {
protected:
    std::unique_ptr<UpdateChecker> makeChecker(QStringList arguments = {}) {
        return std::make_unique<UpdateChecker>(
            checkerEnvironment(server, std::move(arguments),
                               [this](const UpdateRelease& release) { installs.push_back(release); }));
    }

    // Runs a check to its end, then lets its queued alert run.
    void check(UpdateChecker& checker, bool userInitiated) {
        auto task = checker.check(userInitiated);
        ASSERT_TRUE(finish(task));
        QTest::qWait(20);
    }

    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    ScriptedAlerts alerts;
    LocalFeedServer server;
    std::vector<UpdateRelease> installs;
};

constexpr const char* newer = R"({"version":"2.0","build":1,"url":"http://127.0.0.1:1/Corvane-2.0.tar",
    "notes":["速くなりました","不具合を修正"]})";

TEST_F(UpdateCheckerTest, UpToDateIsToldOnlyWhenTheUserAsked) {
    server.serveJson("/feed.json", R"({"version":"1.2","build":5,"url":"https://e.org/u.tar"})");
    auto checker = makeChecker();
    EXPECT_EQ(checker->state(), State::idle());
    check(*checker, false);
    EXPECT_EQ(checker->state(), State::upToDate());
    EXPECT_TRUE(alerts.shown.empty());

    check(*checker, true);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "お使いの Corvane は最新です");
    EXPECT_EQ(alerts.shown[0].informativeText, "バージョン 1.2.0");
    EXPECT_TRUE(alerts.shown[0].buttons.empty());

    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_EQ(server.requests[0]["user-agent"], "Corvane/1.2.0");
    ASSERT_TRUE(checker->lastChecked());
    EXPECT_LE(checker->lastChecked()->secsTo(QDateTime::currentDateTime()), 5);
    // The success is remembered for the next run.
    EXPECT_EQ(makeChecker()->lastChecked(), checker->lastChecked());
}

TEST_F(UpdateCheckerTest, ANewerReleaseIsAnnouncedWithItsNotesAndInstalledOnRequest) {
    server.serveJson("/feed.json", newer);
    auto checker = makeChecker();
    alerts.answer(0);
    check(*checker, true);
    ASSERT_EQ(checker->state().kind, State::Kind::available);
    EXPECT_EQ(checker->availableRelease()->version, "2.0");
    ASSERT_EQ(alerts.shown.size(), 1u);
    const AlertSpec& alert = alerts.shown[0];
    EXPECT_EQ(alert.message, "Corvane 2.0 が公開されています");
    EXPECT_EQ(
        alert.informativeText,
        "今お使いのバージョンは 1.2.0 です。\n\n・速くなりました\n・不具合を修正\n\n"
        "「今すぐアップデート」を押すと、ダウンロードとインストールを行い、終わったら自動で起動し直します"
        "（管理者のパスワードを求められます。設定はそのまま引き継がれます）。");
    ASSERT_EQ(alert.buttons.size(), 3u);
    EXPECT_EQ(alert.buttons[0].title, "今すぐアップデート");
    EXPECT_EQ(alert.buttons[1].title, "あとで");
    EXPECT_EQ(alert.buttons[2].title, "このバージョンをスキップ");
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_EQ(installs[0].url, "http://127.0.0.1:1/Corvane-2.0.tar");
}

TEST_F(UpdateCheckerTest, SkippingHidesTheReleaseFromAutomaticChecksButNotFromTheUser) {
    server.serveJson("/feed.json", newer);
    auto checker = makeChecker();
    QSignalSpy changed(checker.get(), &UpdateChecker::changed);
    alerts.answer(2);
    check(*checker, false);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(UserDefaults::standard().string(QStringLiteral("TDUpdateSkippedVersion")),
              QStringLiteral("2.0"));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(checker->state().kind, State::Kind::available);
    EXPECT_FALSE(checker->availableRelease());

    auto later = makeChecker();
    check(*later, false);
    EXPECT_EQ(later->state().kind, State::Kind::available);
    EXPECT_FALSE(later->availableRelease());
    EXPECT_EQ(alerts.shown.size(), 1u) << "a skipped version is not announced";
    alerts.answer(1);
    check(*later, true);
    EXPECT_EQ(alerts.shown.size(), 2u) << "the user who asks sees it";
    EXPECT_TRUE(installs.empty());
}

TEST_F(UpdateCheckerTest, AnAutomaticCheckAnnouncesEachVersionOncePerRun) {
    server.serveJson("/feed.json", newer);
    auto checker = makeChecker();
    alerts.answer(1);
    check(*checker, false);
    alerts.answer(1);
    check(*checker, false);
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(checker->availableRelease()) << "\"あとで\" keeps the notice";

    server.serveJson("/feed.json", R"({"version":"2.1","url":"http://127.0.0.1:1/u.tar"})");
    check(*checker, false);
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[1].message, "Corvane 2.1 が公開されています");
    EXPECT_EQ(alerts.shown[1].informativeText.rfind("今お使いのバージョンは 1.2.0 です。\n\n「今すぐ", 0),
              0u);
}

TEST_F(UpdateCheckerTest, ADryRunHandsTheReleaseStraightToTheInstaller) {
    server.serveJson("/feed.json", newer);
    UserDefaults::standard().set(QStringLiteral("TDUpdateSkippedVersion"), QStringLiteral("2.0"));
    auto checker = makeChecker({"TandrelApp", "--update-dry-run"});
    check(*checker, false);
    EXPECT_TRUE(alerts.shown.empty());
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_EQ(installs[0].version, "2.0");
}

TEST_F(UpdateCheckerTest, AReleaseForANewerSystemCountsAsUpToDate) {
    server.serveJson("/feed.json",
                     R"({"version":"3.0","url":"http://127.0.0.1:1/u.tar","minimumSystemVersion":"15.0"})");
    auto checker = makeChecker();
    check(*checker, true);
    EXPECT_EQ(checker->state(), State::upToDate());
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "お使いの Corvane は最新です");
}

TEST_F(UpdateCheckerTest, FailuresLeaveTheLastSuccessAndAlertOnlyTheUser) {
    server.serveJson("/feed.json", R"({"version":"1.0","url":"https://e.org/u.tar"})");
    auto checker = makeChecker();
    check(*checker, false);
    const auto success = checker->lastChecked();
    ASSERT_TRUE(success);

    const std::vector<LocalFeedServer::Response> failures{
        {404, "missing"},
        {204, ""},
        {500, "oops"},
        {200, R"([{"version":"2.0","url":"https://e.org/u.tar"}])"},
        {200, R"({"version":"2.0"})"},
        {200, R"({"version":"2.0","url":"https://e.org/u.tar","notes":null,"build":"3"})"},
    };
    for (const auto& response : failures) {
        SCOPED_TRACE(response.status);
        SCOPED_TRACE(response.body.toStdString());
        server.serve("/feed.json", response);
        alerts.shown.clear();
        check(*checker, false);
        EXPECT_EQ(checker->state().kind, State::Kind::failed);
        EXPECT_EQ(checker->state().message.rfind("確認できませんでした（", 0), 0u)
            << checker->state().message;
        EXPECT_TRUE(alerts.shown.empty());
        check(*checker, true);
        ASSERT_EQ(alerts.shown.size(), 1u);
        EXPECT_EQ(alerts.shown[0].style, AlertSpec::Style::warning);
        EXPECT_EQ(alerts.shown[0].message, "アップデートを確認できませんでした");
        EXPECT_EQ(alerts.shown[0].informativeText,
                  checker->state().message +
                      "\nインターネットへの接続を確認して、あとでもう一度お試しください。");
        EXPECT_EQ(checker->lastChecked(), success);
    }
    server.serve("/feed.json", {404, "missing"});
    check(*checker, false);
    EXPECT_EQ(checker->state().message, "確認できませんでした（サーバーから不正な応答がありました）");
    server.serveJson("/feed.json", "[]");
    check(*checker, false);
    EXPECT_EQ(checker->state().message,
              "確認できませんでした（リリース情報を読み取れません（リリースのオブジェクトではありません））");
}

TEST_F(UpdateCheckerTest, WithoutAFeedAddressNothingIsRequestedAndTheUserIsToldAtOnce) {
    UserDefaults::standard().set(QStringLiteral("TDUpdateFeedURL"), QString());
    auto checker = makeChecker();
    auto task = checker->check(true);
    // Shown before the check returns, not queued.
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].informativeText,
              "確認先が設定されていません\nインターネットへの接続を確認して、あとでもう一度お試しください。");
    ASSERT_TRUE(finish(task));
    EXPECT_EQ(checker->state(), State::failed("確認先が設定されていません"));
    EXPECT_TRUE(server.requests.empty());

    UserDefaults::standard().set(QStringLiteral("TDUpdateFeedURL"),
                                 QStringLiteral("http://example.org/f.json"));
    check(*checker, false);
    EXPECT_EQ(checker->state(), State::failed("確認先が設定されていません"));
    EXPECT_TRUE(server.requests.empty());
}

TEST_F(UpdateCheckerTest, ACheckStartedDuringAnotherReturnsAtOnce) {
    server.serve("/feed.json",
                 LocalFeedServer::slowly(R"({"version":"1.0","url":"https://e.org/u.tar"})", 4, 20ms));
    auto checker = makeChecker();
    auto first = checker->check(true);
    EXPECT_EQ(checker->state(), State::checking());
    auto second = checker->check(true);
    EXPECT_TRUE(second.isReady());
    EXPECT_EQ(checker->state(), State::checking());
    ASSERT_TRUE(finish(first));
    EXPECT_EQ(checker->state(), State::upToDate());
    QTest::qWait(20);
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(server.requests.size(), 1u);
}

TEST_F(UpdateCheckerTest, AnUnreachableFeedFailsWithTheTransferError) {
    auto checker = makeChecker();
    UserDefaults::standard().set(QStringLiteral("TDUpdateFeedURL"),
                                 QStringLiteral("http://127.0.0.1:1/feed.json"));
    check(*checker, false);
    EXPECT_EQ(checker->state(), State::failed("確認できませんでした（サーバーに接続できませんでした）"));
}

TEST(UpdateSchedule, WaitsForADayAfterTheLastSuccessButAtLeastTenSeconds) {
    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_EQ(UpdateChecker::automaticCheckDelay(std::nullopt, now), 10s);
    EXPECT_EQ(UpdateChecker::automaticCheckDelay(now.addSecs(-30 * 3600), now), 10s);
    EXPECT_EQ(UpdateChecker::automaticCheckDelay(now.addSecs(-23 * 3600), now), 1h);
    EXPECT_EQ(UpdateChecker::automaticCheckDelay(now, now), 24h);
    EXPECT_EQ(UpdateChecker::automaticCheckDelay(now.addSecs(-86395), now), 10s);
}

TEST_F(UpdateCheckerTest, TheToggleStoresTheInverseAndPlansAfresh) {
    auto checker = makeChecker();
    EXPECT_TRUE(checker->automaticChecksEnabled());
    checker->scheduleAutomaticChecks();
    EXPECT_EQ(checker->scheduledDelay(), 10s);

    checker->setAutomaticChecksEnabled(false);
    EXPECT_EQ(UserDefaults::standard().value(QStringLiteral("TDUpdateAutoCheckDisabled")).toBool(), true);
    EXPECT_FALSE(checker->scheduledDelay());

    UserDefaults::standard().set(QStringLiteral("TDUpdateLastChecked"),
                                 QDateTime::currentDateTime().addSecs(-3600));
    auto recent = makeChecker();
    recent->setAutomaticChecksEnabled(true);
    EXPECT_EQ(UserDefaults::standard().value(QStringLiteral("TDUpdateAutoCheckDisabled")).toBool(), false);
    ASSERT_TRUE(recent->scheduledDelay());
    EXPECT_NEAR(double(recent->scheduledDelay()->count()), 23 * 3600e3, 5e3);
}

// A last check dated in the future counts as now: the next automatic check still comes within a day.
TEST_F(UpdateCheckerTest, ALastCheckInTheFutureCountsAsNow) {
    UserDefaults::standard().set(QStringLiteral("TDUpdateLastChecked"),
                                 QDateTime::currentDateTime().addDays(40));
    auto checker = makeChecker();
    checker->scheduleAutomaticChecks();
    ASSERT_TRUE(checker->scheduledDelay());
    EXPECT_NEAR(double(checker->scheduledDelay()->count()), 24 * 3600e3, 5e3);
}

// A feed that is too large, never ends or trickles is cut off, the check fails, and the next one runs.
TEST_F(UpdateCheckerTest, AnEndlessLargeOrTricklingFeedIsCutOff) {
    const std::string document = R"({"version":"1.0","url":"https://e.org/u.tar"})";
    struct Case {
        const char* name;
        LocalFeedServer::Response response;
        // Short only where the total time is what is tested.
        std::chrono::milliseconds timeLimit;
        std::string message;
    };
    const std::string tooLarge = "確認できませんでした（リリース情報が大きすぎます（上限 1048576 バイト））";
    const Case cases[] = {
        {"endless", {200, QByteArray(65536, ' '), false, 0, 1ms, true, false}, 60s, tooLarge},
        {"announced too large", {200, QByteArray(2 << 20, ' '), true, 0, 1ms, false, false}, 60s, tooLarge},
        {"trickling",
         {200, QByteArray::fromStdString(document), false, 1, 50ms, true, false},
         1500ms,
         "確認できませんでした（要求がタイムアウトしました）"},
    };
    for (const auto& feed : cases) {
        SCOPED_TRACE(feed.name);
        auto environment = checkerEnvironment(server);
        environment.checkTimeLimit = feed.timeLimit;
        UpdateChecker checker(environment);
        server.serve("/feed.json", feed.response);
        auto cutOff = checker.check(false);
        ASSERT_TRUE(finish(cutOff));
        EXPECT_EQ(checker.state(), State::failed(feed.message));

        server.serveJson("/feed.json", document);
        auto next = checker.check(false);
        ASSERT_TRUE(finish(next));
        EXPECT_EQ(checker.state(), State::upToDate());
    }
}

TEST_F(UpdateCheckerTest, AStoredValueThatIsNoDateIsNoLastCheck) {
    UserDefaults::standard().set(QStringLiteral("TDUpdateLastChecked"), QStringLiteral("yesterday"));
    EXPECT_FALSE(makeChecker()->lastChecked());
}

} // namespace
