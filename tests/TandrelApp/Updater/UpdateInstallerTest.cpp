#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>

#include "Platform/Workspace/Workspace.h"
#include "Support/ScriptedAlerts.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TarWriter.h"
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
        return makeInstaller(installerEnvironment(signing.tools(target.path()), dryRun,
                                                  temporary.isEmpty() ? work.path() : temporary, team));
    }

    std::unique_ptr<UpdateInstaller> makeInstaller(UpdateInstaller::Environment environment) {
        auto installer = std::make_unique<UpdateInstaller>(std::move(environment));
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
    // The elevator says which session it runs in: its own, which the terminal's signals do not reach.
    auto tools = signing.tools(target.path());
    const QString session = signing.newFolder() + "/session";
    tools.elevator = signing
                         .script("session-elevator",
                                 "echo $$ $(awk '{print $6}' /proc/$$/stat) > '" + session + "'; exec \"$@\"")
                         .toStdString();
    auto installer = makeInstaller(installerEnvironment(tools, false, awkward));
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(runToEnd(*installer));
    const QStringList ids = QString::fromUtf8(contents(session)).split(' ');
    ASSERT_EQ(ids.size(), 2);
    EXPECT_EQ(ids[0].trimmed(), ids[1].trimmed()) << "the elevator leads a session of its own";

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
    // Each run's attach waits until the test opens the gate named after its work folder, so neither the
    // order in which the runs reach it nor their speed decides the outcome.
    auto tools = signing.tools(target.path());
    const QString gates = signing.newFolder();
    tools.attach = [gates](const std::string& image, const std::string& mount,
                           const UpdateArchive::Limits& limits) {
        const QString folder = QFileInfo(QFileInfo(QString::fromStdString(mount)).path()).fileName();
        while (!QFile::exists(gates + "/" + folder)) {
            QThread::msleep(20);
        }
        UpdateToolRunner::unpack(image, mount, limits);
    };
    const auto open = [&gates](const QString& folder) {
        QFile(gates + "/" + QFileInfo(folder).fileName()).open(QIODevice::WriteOnly);
    };
    UpdateInstaller installer(installerEnvironment(tools, true, work.path()));
    const UpdateRelease release = offer(signedPackage());
    installer.install(release);
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::verifying(); }));
    const QString staleFolder = installer.lastWorkFolder();
    installer.cancel();
    installer.install(release);
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::verifying(); }));
    // The stale run's tool ends and its run with it, while the newer run still verifies.
    open(staleFolder);
    ASSERT_TRUE(waitUntil([&] { return !QDir(staleFolder).exists(); }));
    EXPECT_EQ(installer.phase(), Phase::verifying());
    open(installer.lastWorkFolder());
    ASSERT_TRUE(waitUntil([&] { return installer.phase() == Phase::idle(); }));
    EXPECT_FALSE(QDir(installer.lastWorkFolder()).exists());
    EXPECT_TRUE(alerts.shown.empty());
}

// A package is trusted only when its signer is made for code signing, chains to our authority alone
// through authorities allowed to issue for code signing, and names exactly one team: the application
// refuses it before asking for the password, and the helper refuses it again when run directly.
TEST_F(UpdateInstallerTest, OnlyOurAuthoritysCodeSigningCertificatesForOneTeamAreTrusted) {
    // The system's store, as OpenSSL finds it by default, trusts another authority.
    const QByteArray storedFile = qgetenv("SSL_CERT_FILE");
    qputenv("SSL_CERT_FILE", signing.systemAuthority().toUtf8());
    const auto restore = qScopeGuard(
        [&] { storedFile.isNull() ? qunsetenv("SSL_CERT_FILE") : qputenv("SSL_CERT_FILE", storedFile); });
    struct Case {
        const char* signer;
        bool trusted;
    };
    const Case cases[] = {
        {"via-system-ca", false}, {"tls", false},       {"purposeless", false},
        {"via-tls-ca", false},    {"two-units", false}, {"via-code-ca", true},
    };
    for (const auto& [signer, trusted] : cases) {
        SCOPED_TRACE(signer);
        phases.clear();
        alerts.shown.clear();
        const QByteArray package = signedPackage(signer);
        auto installer = makeInstaller(true);
        installer->install(offer(package));
        ASSERT_TRUE(runToEnd(*installer));
        EXPECT_EQ(installer->phase().kind, trusted ? Kind::idle : Kind::failed) << installer->phase().message;
        if (!trusted) {
            EXPECT_EQ(
                installer->phase().message.rfind(
                    "ダウンロードしたインストーラの署名を確認できないため、インストールを中止しました（", 0),
                0u);
        }

        QTemporaryDir helperTarget;
        const CommandResult helper = signing.runHelper(signing.tools(helperTarget.path()), package, "2.0");
        EXPECT_EQ(helper.status, trusted ? 0 : 66) << helper.output;
        EXPECT_EQ(QFile::exists(helperTarget.path() + "/opt/corvane/VERSION"), trusted);
    }
}

// The helper installs the very package the application checked, of the release it asked for, and never
// one older than the program installed: not a package swapped while the password is asked for, nor an
// older signed release that the feed passes off as a new one.
TEST_F(UpdateInstallerTest, OnlyThePackageTheApplicationCheckedIsInstalled) {
    const QByteArray older = signing.package({{"opt/corvane/VERSION", "0.0.9\n"}}, "TEAMA", "0.0.9");

    // Swapped between the check and the helper's start for another package we signed.
    const QString otherPath = signing.newFolder() + "/other.pkg";
    QFile otherFile(otherPath);
    ASSERT_TRUE(otherFile.open(QIODevice::WriteOnly));
    otherFile.write(signing.package({{"opt/corvane/VERSION", "2.0, but not the one checked\n"}}, "TEAMA"));
    otherFile.close();
    auto environment = installerEnvironment(signing.tools(target.path()), false, work.path());
    environment.tools.elevator =
        signing.script("swapping", "cp '" + otherPath + "' \"$3\"; exec \"$@\"").toStdString();
    auto installer = makeInstaller(environment);
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(runToEnd(*installer));
    EXPECT_EQ(installer->phase(),
              Phase::failed("インストールに失敗しました（パッケージが、アプリの確かめたものと違"
                            "います）"));
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(QDir(target.path()).isEmpty());

    // An older release announced as the new one: refused by the application, and by the helper.
    phases.clear();
    installer = makeInstaller(false);
    installer->install(offer(older));
    ASSERT_TRUE(runToEnd(*installer));
    EXPECT_EQ(
        installer->phase().message,
        "ダウンロードしたインストーラの署名を確認できないため、インストールを中止しました（パッケージのバー"
        "ジョン 0.0.9 は、求めたバージョン 2.0 と違います）");
    const auto tools = signing.tools(target.path());
    EXPECT_EQ(signing.runHelper(tools, older, "2.0").status, 66);
    // Asked for as what it is, it is still older than the program installed beside the helper.
    const CommandResult rollback = signing.runHelper(tools, older, "0.0.9");
    EXPECT_EQ(rollback.status, 66);
    EXPECT_NE(rollback.output.find("より新しくありません"), std::string::npos) << rollback.output;
    EXPECT_TRUE(QDir(target.path()).isEmpty());
}

// The download stops at its bound, at the length the server announced, or after a stall.
TEST_F(UpdateInstallerTest, AnEndlessOversizedOrStalledDownloadIsCutOff) {
    struct Case {
        const char* name;
        LocalFeedServer::Response response;
        // Short only where the stall is what is tested: a busy machine must not pass for a stalled server.
        std::chrono::milliseconds stall;
        std::string detail;
    };
    const std::string tooLarge = "アップデートのファイルが大きすぎます（上限 1048576 バイト）";
    const QByteArray piece(65536, 'x');
    const Case cases[] = {
        {"endless", {200, piece, false, 0, 1ms, true, false}, 30s, tooLarge},
        {"announced too large", {200, QByteArray(2 << 20, 'x'), true, 0, 1ms, false, false}, 30s, tooLarge},
        {"stalled", {200, piece, false, 0, 1ms, false, true}, 1s, "要求がタイムアウトしました"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        auto environment = installerEnvironment(signing.tools(target.path()), true, work.path());
        environment.limits.download = 1 << 20;
        environment.limits.stall = failure.stall;
        auto installer = makeInstaller(environment);
        server.serve("/u.tar", failure.response);
        installer->install(releaseOf("2.0", server.url("/u.tar").toStdString()));
        ASSERT_TRUE(runToEnd(*installer));
        EXPECT_EQ(installer->phase(),
                  Phase::failed("ダウンロードできませんでした（" + failure.detail + "）"));
    }
}

// Nothing in the update archive can keep the verification waiting or flood the disk: pipes, symlinks,
// compression and too many entries are refused before anything is unpacked, and what the reader does not
// understand is refused rather than skipped, so nothing is unpacked that was not checked.
TEST_F(UpdateInstallerTest, AnArchiveWithSpecialEntriesIsRefusedAtOnce) {
    struct Case {
        const char* name;
        std::function<void(const QString& top)> layOut;
        std::string reason;
        QStringList tarArguments;
        // Written byte by byte instead.
        std::string archive;
    };
    // A folder whose "contents" are the header of a symlink, which tar reads as the next entry.
    const std::string symlinkHeader = TarWriter().symlink("link", "/etc/passwd").tar().substr(0, 512);
    const std::string folderWithContents =
        TarWriter().entry('5', "Corvane-2.0/", symlinkHeader, 512).file("Corvane-2.0.pkg", "x").tar();
    const std::string unknownField =
        TarWriter().pax({{"GNU.sparse.size", "1"}}).file("Corvane-2.0.pkg", "x").tar();
    const auto pipe = [](const QString& top) {
        ::mkfifo(QFile::encodeName(top + "/Corvane-2.0.pkg"), 0644);
    };
    const auto link = [](const QString& top) {
        QFile::link("/dev/zero", top + "/Corvane-2.0.pkg");
    };
    const auto many = [](const QString& top) {
        for (int i = 0; i < 5; ++i) {
            QFile file(top + "/Corvane-" + QString::number(i) + ".pkg");
            file.open(QIODevice::WriteOnly);
        }
    };
    const Case cases[] = {
        {"a pipe", pipe, "./Corvane-2.0.pkg: 名前付きパイプは受け付けません", {}, {}},
        {"a symlink", link, "./Corvane-2.0.pkg: シンボリックリンクは受け付けません", {}, {}},
        {"compressed", many, "tar アーカイブではありません", {"-z"}, {}},
        {"too many entries", many, "項目が多すぎます（上限 4）", {}, {}},
        {"a folder with contents",
         {},
         "Corvane-2.0/: 中身のあるフォルダやシンボリックリンクは受け付けません",
         {},
         folderWithContents},
        {"an unknown header field", {}, "扱えない拡張ヘッダです（GNU.sparse.size）", {}, unknownField},
    };
    for (const auto& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        if (refusal.archive.empty()) {
            const QString top = signing.newFolder();
            refusal.layOut(top);
            QProcess tar;
            tar.start("tar",
                      QStringList{"-cf", top + ".tar"} + refusal.tarArguments + QStringList{"-C", top, "."});
            ASSERT_TRUE(tar.waitForFinished());
            QFile archive(top + ".tar");
            ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
            server.serve("/u.tar", {200, archive.readAll()});
        } else {
            server.serve("/u.tar", {200, QByteArray::fromStdString(refusal.archive)});
        }

        auto environment = installerEnvironment(signing.tools(target.path()), true, work.path());
        environment.limits.image.entries = 4;
        auto installer = makeInstaller(environment);
        installer->install(releaseOf("2.0", server.url("/u.tar").toStdString()));
        ASSERT_TRUE(runToEnd(*installer));
        EXPECT_EQ(installer->phase(),
                  Phase::failed("ダウンロードできませんでした（ディスクイメージを開けません: " +
                                refusal.reason + "）"));
    }
}

// A helper that is missing, cannot be run or could have been replaced by someone else is a failure the
// user is told about, never a dismissed password prompt; the elevator is not even started.
TEST_F(UpdateInstallerTest, AHelperThatCannotRunIsAFailureNotADismissedPrompt) {
    struct Case {
        const char* name;
        std::function<void(const QString& helper)> spoil;
        std::string reason;
    };
    const Case cases[] = {
        {"missing", [](const QString& helper) { QFile::remove(helper); }, "が見つかりません"},
        {"not executable", [](const QString& helper) { ::chmod(QFile::encodeName(helper), 0644); },
         "を実行できません"},
        {"in a folder others can write",
         [](const QString& helper) { ::chmod(QFile::encodeName(QFileInfo(helper).path()), 0777); },
         "を管理者のほかにも書き換えられます"},
        {"with settings others can write",
         [](const QString& helper) {
             ::chmod(QFile::encodeName(QFileInfo(helper).path() + "/tandrel-install.json"), 0666);
         },
         "を管理者のほかにも書き換えられます"},
    };
    const QString started = signing.newFolder() + "/elevator-started";
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.name);
        alerts.shown.clear();
        auto environment = installerEnvironment(signing.tools(target.path()), false, work.path());
        environment.tools.elevator =
            signing.script("recording-elevator", "touch '" + started + "'; exec \"$@\"").toStdString();
        broken.spoil(QString::fromStdString(environment.tools.installer));
        auto installer = makeInstaller(environment);
        installer->install(offer(signedPackage()));
        ASSERT_TRUE(runToEnd(*installer));
        ASSERT_EQ(installer->phase().kind, Kind::failed);
        EXPECT_EQ(installer->phase().message.rfind("インストールに失敗しました（", 0), 0u);
        EXPECT_NE(installer->phase().message.find(broken.reason), std::string::npos)
            << installer->phase().message;
        EXPECT_EQ(alerts.shown.size(), 1u);
        EXPECT_FALSE(QFile::exists(started));
    }
}

// The work folder is new, ours alone and closed to everybody else, as mkdtemp makes one; one that a run
// stopped half-way left behind is removed, one that a run still uses stays.
TEST_F(UpdateInstallerTest, TheWorkFolderIsPrivate) {
    const QString abandoned = work.path() + "/CorvaneUpdate-00000000-0000-4000-8000-000000000001";
    const QString inUse = work.path() + "/CorvaneUpdate-00000000-0000-4000-8000-000000000002";
    QDir().mkpath(abandoned + "/mount");
    QDir().mkpath(inUse);
    const FileDescriptor held(::open(QFile::encodeName(inUse), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    auto installer = makeInstaller(true);
    std::optional<struct stat> folder;
    QObject::connect(installer.get(), &UpdateInstaller::phaseChanged, installer.get(), [&] {
        struct stat status {};
        if (!folder && ::lstat(QFile::encodeName(installer->lastWorkFolder()), &status) == 0) {
            folder = status;
        }
    });
    installer->install(offer(signedPackage()));
    ASSERT_TRUE(runToEnd(*installer));
    ASSERT_TRUE(folder);
    EXPECT_TRUE(S_ISDIR(folder->st_mode));
    EXPECT_EQ(folder->st_mode & 07777, 0700u);
    EXPECT_EQ(folder->st_uid, ::geteuid());
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(abandoned); }));
    EXPECT_TRUE(QFileInfo::exists(inUse));
}

} // namespace
