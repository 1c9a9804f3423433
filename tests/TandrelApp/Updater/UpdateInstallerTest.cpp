#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "Platform/Workspace/Workspace.h"
#include "Support/ScriptedAlerts.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateInstaller.h"
#include "UpdaterTestSupport.h"

namespace {

using Phase = UpdateInstaller::Phase;
using Kind = UpdateInstaller::Phase::Kind;
using namespace std::chrono_literals;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class UpdateInstallerTest : public ::testing::Test {
public:
    void SetUp() override {
        Workspace::shared().setLauncher([this](const std::vector<std::string>& argv) {
            opened.push_back(argv);
            return true;
        });
    }
    void TearDown() override { Workspace::shared().setLauncher(nullptr); }

    std::unique_ptr<UpdateInstaller> makeInstaller(bool dryRun, std::optional<std::string> team = "TEAMA",
                                                   QString temporary = {}) {
        auto installer = std::make_unique<UpdateInstaller>(installerEnvironment(
            signing.tools(target.path()), dryRun, temporary.isEmpty() ? work.path() : temporary, team));
        installer->setQuitTimeSave([this] {
            ++saves;
            payloadAtSave = QFile::exists(target.path() + "/opt/corvane/VERSION");
        });
        QObject::connect(installer.get(), &UpdateInstaller::phaseChanged, installer.get(),
                         [this, raw = installer.get()] { phases.push_back(raw->phase()); });
        return installer;
    }

    // Serves an archive holding `package` as "Corvane-2.0.pkg" and returns the release offering it.
    // Slowly when `pieceSize` is given.
    UpdateRelease offer(const QByteArray& package, int pieceSize = 0,
                        std::chrono::milliseconds interval = 20ms) {
        server.serve(
            "/Corvane-2.0.tar",
            LocalFeedServer::slowly(signing.archive({{"Corvane-2.0.pkg", package}}), pieceSize, interval));
        UpdateRelease release = releaseOf("2.0", server.url("/Corvane-2.0.tar").toStdString());
        release.page = "https://e.org/dl";
        return release;
    }

    QByteArray signedPackage(const std::string& signer = "TEAMA") {
        return signing.package({{"opt/corvane/VERSION", "2.0\n"}}, signer);
    }

    bool runToEnd(UpdateInstaller& installer) {
        return waitUntil([&] { return !installer.phase().isBusy() && !phases.empty(); }) &&
               waitUntil([&] { return !QDir(installer.lastWorkFolder()).exists(); });
    }

    bool saw(Kind kind) const {
        return std::any_of(phases.begin(), phases.end(),
                           [kind](const Phase& phase) { return phase.kind == kind; });
    }

    UpdateSigning& signing = UpdateSigning::shared();
    QTemporaryDir work;
    QTemporaryDir target;
    LocalFeedServer server;
    ScriptedAlerts alerts;
    std::vector<Phase> phases;
    std::vector<std::vector<std::string>> opened;
    int saves = 0;
    bool payloadAtSave = true;
};

TEST_F(UpdateInstallerTest, ADryRunVerifiesWithProgressAndStopsBeforeInstalling) {
    auto installer = makeInstaller(true);
    // A large payload in small pieces, so the progress is reported along the way.
    const QByteArray package = signing.package(
        {{"opt/corvane/VERSION", "2.0\n"}, {"opt/corvane/blob", incompressible(400000)}}, "TEAMA");
    installer->install(offer(package, 32768, 5ms));
    ASSERT_TRUE(runToEnd(*installer));

    EXPECT_EQ(installer->phase(), Phase::idle());
    ASSERT_FALSE(phases.empty());
    EXPECT_EQ(phases.front(), Phase::downloading(0));
    const bool partway = std::any_of(phases.begin(), phases.end(), [](const Phase& phase) {
        return phase.kind == Kind::downloading && phase.fraction > 0 && phase.fraction < 1;
    });
    EXPECT_TRUE(partway);
    EXPECT_TRUE(saw(Kind::verifying));
    EXPECT_FALSE(saw(Kind::waitingForPassword));
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(QDir(target.path()).isEmpty());
    EXPECT_FALSE(QDir(installer->lastWorkFolder()).exists());
    EXPECT_TRUE(QFileInfo(installer->lastWorkFolder()).fileName().startsWith("CorvaneUpdate-"));
    EXPECT_TRUE(alerts.shown.empty());
}

// From the feed to the verified package: a newer signed release found by an automatic check goes straight
// to the installer with "--update-dry-run", which stops before installing.
TEST_F(UpdateInstallerTest, TheFeedsNewerReleaseIsFetchedAndVerifiedInADryRun) {
    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    auto installer = makeInstaller(true);
    const QByteArray package = signing.package(
        {{"opt/corvane/VERSION", "2.0\n"}, {"opt/corvane/blob", incompressible(300000)}}, "TEAMA");
    const UpdateRelease release = offer(package, 16384, 5ms);
    server.serveJson("/feed.json", R"({"version":"2.0","build":3,"url":")" + release.url + R"("})");
    UpdateChecker checker(
        checkerEnvironment(server, {"TandrelApp", "--update-dry-run"},
                           [&installer](const UpdateRelease& found) { installer->install(found); }));
    auto check = checker.check(false);
    ASSERT_TRUE(finish(check));
    EXPECT_EQ(checker.state().kind, UpdateChecker::State::Kind::available);
    ASSERT_TRUE(runToEnd(*installer));
    EXPECT_EQ(installer->phase(), Phase::idle()) << installer->phase().message;
    EXPECT_TRUE(std::any_of(phases.begin(), phases.end(), [](const Phase& phase) {
        return phase.kind == Kind::downloading && phase.fraction > 0 && phase.fraction < 1;
    }));
    EXPECT_TRUE(saw(Kind::verifying));
    EXPECT_FALSE(saw(Kind::waitingForPassword));
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(QDir(target.path()).isEmpty());
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(UpdateInstallerTest, ARealRunSavesThenInstallsThePayloadThroughTheElevator) {
    // A temporary folder whose path needs quoting on its way through the shell.
    const QString awkward = work.path() + "/it's \"quoted\" \\ here";
    ASSERT_TRUE(QDir().mkpath(awkward));
    auto installer = makeInstaller(false, "TEAMA", awkward);
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(runToEnd(*installer));

    EXPECT_EQ(installer->phase(), Phase::idle()) << installer->phase().message;
    EXPECT_EQ(contents(target.path() + "/opt/corvane/VERSION"), "2.0\n");
    EXPECT_EQ(saves, 1);
    EXPECT_FALSE(payloadAtSave) << "the save runs before the install";
    EXPECT_TRUE(saw(Kind::waitingForPassword));
    EXPECT_TRUE(saw(Kind::installing));
    EXPECT_TRUE(QDir(awkward).isEmpty());
    EXPECT_TRUE(alerts.shown.empty());
}

struct FailureCase {
    const char* name;
    std::function<UpdateRelease(UpdateInstallerTest&)> offer;
    std::optional<std::string> team;
    std::string message;
};

TEST_F(UpdateInstallerTest, EveryFailureEndsFailedWithItsTextAndInstallsNothing) {
    const std::string untrusted =
        "ダウンロードしたインストーラの署名を確認できないため、インストールを中止しました（";
    const std::vector<FailureCase> cases{
        {"unsigned",
         [](UpdateInstallerTest& t) {
             return t.offer(t.signing.package({{"opt/x", "1"}}, ""));
         },
         "TEAMA", untrusted + "Gatekeeper: "},
        {"another team", [](UpdateInstallerTest& t) { return t.offer(t.signedPackage("TEAMB")); }, "TEAMA",
         untrusted + "署名者がこのアプリの開発元と一致しません）"},
        {"a name that mentions our team",
         [](UpdateInstallerTest& t) { return t.offer(t.signedPackage("impostor")); }, "TEAMA",
         untrusted + "署名者がこのアプリの開発元と一致しません）"},
        {"no team in this build", [](UpdateInstallerTest& t) { return t.offer(t.signedPackage()); },
         std::nullopt, untrusted + "このアプリの署名を確認できません）"},
        {"missing archive",
         [](UpdateInstallerTest& t) { return releaseOf("2.0", t.server.url("/gone.tar").toStdString()); },
         "TEAMA", "ダウンロードできませんでした（サーバーの応答 404）"},
        {"no package",
         [](UpdateInstallerTest& t) {
             t.server.serve("/u.tar",
                            {200, t.signing.archive({{"Corvane.PKG", t.signedPackage()}, {"read me", "x"}})});
             return releaseOf("2.0", t.server.url("/u.tar").toStdString());
         },
         "TEAMA", "ダウンロードしたファイルにインストーラが見つかりません"},
        {"not an archive",
         [](UpdateInstallerTest& t) {
             t.server.serve("/u.tar", {200, "this is not a tar archive"});
             return releaseOf("2.0", t.server.url("/u.tar").toStdString());
         },
         "TEAMA", "ダウンロードできませんでした（ディスクイメージを開けません: "},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        phases.clear();
        alerts.shown.clear();
        auto installer = makeInstaller(false, failure.team);
        alerts.answer(0);
        const UpdateRelease release = failure.offer(*this);
        installer->install(release);
        ASSERT_TRUE(runToEnd(*installer));
        ASSERT_EQ(installer->phase().kind, Kind::failed);
        EXPECT_EQ(installer->phase().message.rfind(failure.message, 0), 0u) << installer->phase().message;
        EXPECT_EQ(saves, 0);
        EXPECT_TRUE(QDir(target.path()).isEmpty());
        EXPECT_FALSE(QDir(installer->lastWorkFolder()).exists());
        ASSERT_EQ(alerts.shown.size(), 1u);
        EXPECT_EQ(alerts.shown[0].message, "アップデートできませんでした");
        EXPECT_EQ(alerts.shown[0].informativeText,
                  installer->phase().message +
                      "\n\nホームページからダウンロードして、インストーラを実行することもできます。");
        EXPECT_EQ(alerts.shown[0].buttons.at(0).title, "ダウンロードページを開く");
        EXPECT_EQ(alerts.shown[0].buttons.at(1).title, "閉じる");
        ASSERT_FALSE(opened.empty());
        EXPECT_EQ(opened.back().back(), release.page.value_or(release.url));
    }
}

TEST_F(UpdateInstallerTest, ADismissedPasswordPromptEndsSilentlyAfterTheSave) {
    auto installer = makeInstaller(false);
    auto tools = signing.tools(target.path());
    tools.elevator = signing.script("dismissed", "echo 'Request dismissed'; exit 126").toStdString();
    installer = std::make_unique<UpdateInstaller>(installerEnvironment(tools, false, work.path()));
    installer->setQuitTimeSave([this] { ++saves; });
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(waitUntil([&] { return saves == 1 && installer->phase() == Phase::idle(); }));
    ASSERT_TRUE(waitUntil([&] { return !QDir(installer->lastWorkFolder()).exists(); }));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(QDir(target.path()).isEmpty());

    // Refused for another reason: the tool's words, in the alert.
    tools.elevator = signing.script("refused", "echo; echo 'Not authorized'; exit 127").toStdString();
    installer = std::make_unique<UpdateInstaller>(installerEnvironment(tools, false, work.path()));
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(waitUntil([&] { return installer->phase().kind == Kind::failed; }));
    EXPECT_EQ(installer->phase().message, "インストールに失敗しました（Not authorized）");
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST_F(UpdateInstallerTest, CancellingTheDownloadReturnsToIdleAtOnceAndLeavesNothing) {
    auto installer = makeInstaller(false);
    const QByteArray package = signing.package(
        {{"opt/corvane/VERSION", "2.0\n"}, {"opt/corvane/blob", incompressible(600000)}}, "TEAMA");
    installer->install(offer(package, 16384, 30ms));
    ASSERT_TRUE(waitUntil(
        [&] { return installer->phase().kind == Kind::downloading && installer->phase().fraction > 0; }));
    // Busy: a second request changes nothing.
    const QString folder = installer->lastWorkFolder();
    installer->install(releaseOf("9.9", server.url("/other.tar").toStdString()));
    QTest::qWait(50);
    EXPECT_EQ(installer->lastWorkFolder(), folder);

    installer->cancel();
    EXPECT_EQ(installer->phase(), Phase::idle());
    ASSERT_TRUE(waitUntil([&] { return !QDir(folder).exists(); }));
    QTest::qWait(100);
    EXPECT_EQ(installer->phase(), Phase::idle());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(QDir(target.path()).isEmpty());
}

// A run cancelled while its tool still runs must not overwrite the phase of the run started after it.
TEST_F(UpdateInstallerTest, AStaleRunLeavesTheNewerRunsPhaseAlone) {
    auto tools = signing.tools(target.path());
    const QString marker = signing.folder() + "/slow-tar-calls";
    QFile::remove(marker);
    tools.tar = signing
                    .script("slow-tar", "echo x >> '" + marker +
                                            "'\n"
                                            "if [ $(wc -l < '" +
                                            marker +
                                            "') -eq 1 ]; then sleep 1; else sleep 3; fi\n"
                                            "exec tar \"$@\"")
                    .toStdString();
    UpdateInstaller installer(installerEnvironment(tools, true, work.path()));
    const UpdateRelease release = offer(signedPackage());
    installer.install(release);
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::verifying(); }));
    const QString staleFolder = installer.lastWorkFolder();
    installer.cancel();
    installer.install(release);
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::verifying(); }));
    // The stale run's tool ends and its run with it, while the newer run still verifies.
    ASSERT_TRUE(waitUntil([&] { return !QDir(staleFolder).exists(); }));
    EXPECT_EQ(installer.phase(), Phase::verifying());
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::idle(); }));
    EXPECT_FALSE(QDir(installer.lastWorkFolder()).exists());
    EXPECT_TRUE(alerts.shown.empty());
}

} // namespace
