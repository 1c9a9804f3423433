// The real program, started as a user would start it: offscreen, in a home of its own. It saves on
// SIGTERM and SIGHUP and exits 0, moves an unreadable routing.json aside and runs on, runs from an
// installation prefix with its driver, hands a second start over to the running copy, keeps standard
// output for the self-tests' reports and says what is wrong with their arguments; and Scripts/run
// refuses to start without a display.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TandrelApp/Updater/Package/SafeFiles.h"

#ifndef TANDREL_APP_EXECUTABLE
#error "TANDREL_APP_EXECUTABLE names the built program"
#endif

namespace {

// A fresh home with its XDG folders, and the program started in it.
class AppHome {
public:
    AppHome() {
        environment_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TANDREL_AUDIO_SERVER_HOME"}) {
            environment_.remove(QString::fromLatin1(name));
        }
        environment_.insert(QStringLiteral("HOME"), home_.path());
        environment_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
        environment_.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/.local/share"));
        environment_.insert(QStringLiteral("XDG_STATE_HOME"), home_.path() + QStringLiteral("/.local/state"));
        // The running copy's lock and socket: this home's own, whatever runs beside the test.
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder());
        QDir().mkpath(runtimeFolder());
        QFile::setPermissions(runtimeFolder(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        environment_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // A quiet machine: one output device, no applications.
        QDir().mkpath(serverHome());
        QFile profile(serverHome() + QStringLiteral("/profile.json"));
        profile.open(QIODevice::WriteOnly);
        profile.write(R"({"devices": [{"uid": "e2e.speakers", "name": "Speakers", "outputStreams": [2]}]})");
    }

    QString routingFile() const {
        return home_.path() + QStringLiteral("/.local/share/TandrelApp/routing.json");
    }
    QString serverHome() const { return home_.path() + QStringLiteral("/.local/state/tandrel-audio-server"); }
    QString path() const { return home_.path(); }
    QString runtimeFolder() const { return home_.path() + QStringLiteral("/runtime"); }

    // The built driver in the audio server's plug-in folder, so the lines exist.
    void installDriver() const {
        QDir().mkpath(serverHome() + QStringLiteral("/PlugIns"));
        ASSERT_TRUE(QFile::link(QStringLiteral(TANDREL_BINARY_DIR "/TandrelDriver.driver"),
                                serverHome() + QStringLiteral("/PlugIns/TandrelDriver.driver")));
    }

    void start(QProcess& process, const QString& program, const QStringList& arguments = {},
               QProcess::ProcessChannelMode channels = QProcess::MergedChannels) const {
        process.setProcessEnvironment(environment_);
        process.setProcessChannelMode(channels);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted(5000)) << process.errorString().toStdString();
    }

private:
    QTemporaryDir home_;
    QProcessEnvironment environment_;
};

// Ends the process with `signal` and returns its exit status; -1 when it crashed or did not end.
int terminate(QProcess& process, int signal = SIGTERM) {
    ::kill(static_cast<pid_t>(process.processId()), signal);
    if (!process.waitForFinished(15000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

ino_t inodeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

nlohmann::json readJSON(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    const QByteArray bytes = file.readAll();
    return nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
}

// Saved once the start-up's automatic adding has settled: the whole system and the speakers.
bool startSettled(const AppHome& home) {
    const auto config = readJSON(home.routingFile());
    return config.is_object() && config.value("monitorDeviceUIDs", nlohmann::json::array()).size() == 1 &&
           config.value("sources", nlohmann::json::array()).size() == 1;
}

TEST(ApplicationProcess, SigtermAndSighupSaveTheConfigurationAtOnceAndExitZero) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        AppHome home;
        QProcess app;
        home.start(app, QStringLiteral(TANDREL_APP_EXECUTABLE));
        ASSERT_TRUE(QTest::qWaitFor([&] { return startSettled(home); }, 30000))
            << app.readAll().toStdString();
        const ino_t before = inodeOf(home.routingFile());

        EXPECT_EQ(terminate(app, signal), 0) << app.readAll().toStdString();

        EXPECT_NE(inodeOf(home.routingFile()), before) << "the quit-time save wrote the file again";
        const auto saved = readJSON(home.routingFile());
        ASSERT_TRUE(saved.is_object());
        EXPECT_EQ(saved["monitorDeviceUIDs"], nlohmann::json::array({"e2e.speakers"}));
        EXPECT_EQ(saved["sources"][0]["kind"], nlohmann::json({{"systemAudio", nlohmann::json::object()}}));
    }
}

TEST(ApplicationProcess, AnUnreadableConfigurationIsMovedAsideAndTheApplicationRunsOn) {
    AppHome home;
    QDir().mkpath(QFileInfo(home.routingFile()).absolutePath());
    const QByteArray corrupt = "{\"sources\": [ this is not JSON";
    {
        QFile file(home.routingFile());
        file.open(QIODevice::WriteOnly);
        file.write(corrupt);
    }
    QProcess app;
    home.start(app, QStringLiteral(TANDREL_APP_EXECUTABLE));

    const QDir folder(QFileInfo(home.routingFile()).absolutePath());
    const auto movedAside = [&] {
        return folder.entryList({QStringLiteral("routing.unreadable-*.json")}).size() == 1 &&
               readJSON(home.routingFile()).is_object();
    };
    ASSERT_TRUE(QTest::qWaitFor(movedAside, 30000)) << app.readAll().toStdString();
    QTest::qWait(500);
    EXPECT_EQ(app.state(), QProcess::Running);

    QFile aside(folder.filePath(folder.entryList({QStringLiteral("routing.unreadable-*.json")}).front()));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), corrupt) << "the unreadable file is kept as it was";
    EXPECT_EQ(terminate(app, SIGINT), 0)
        << "Control-C quits the normal way too: " << app.readAll().toStdString();
}

TEST(ApplicationProcess, ScriptsRunWithoutADisplaySaysSoInOneLineAndStopsBeforeBuilding) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Any of these would give the program somewhere to show its windows.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    QProcess run;
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("bash"), {QStringLiteral(TANDREL_SOURCE_DIR "/Scripts/run")});
    ASSERT_TRUE(run.waitForFinished(10000));

    const QString output = QString::fromUtf8(run.readAll());
    EXPECT_NE(run.exitCode(), 0);
    EXPECT_EQ(output.count(QLatin1Char('\n')), 1) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("display"))) << output.toStdString();
}

TEST(ApplicationProcess, TheInstalledApplicationLoadsItsDriverAndRunsASelfTestFromItsPrefix) {
    QTemporaryDir prefix;
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    // Installed by a shell whose umask lets everybody write: the update helper's folder and settings still
    // get modes it trusts.
    install.start(QStringLiteral("sh"),
                  {QStringLiteral("-c"), QStringLiteral("umask 0 && exec \"$0\" \"$@\""),
                   QStringLiteral(TANDREL_CMAKE_COMMAND), QStringLiteral("--install"),
                   QStringLiteral(TANDREL_BINARY_DIR), QStringLiteral("--prefix"), prefix.path()});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().toStdString();

    const QDir root(prefix.path());
    for (const char* trusted : {"lib/tandrel/tandrel-install", "lib/tandrel/tandrel-install.json"}) {
        EXPECT_EQ(SafeFiles::othersCanChange(root.filePath(QString::fromLatin1(trusted)).toStdString(),
                                             ::geteuid()),
                  std::nullopt);
    }
    const QString program = root.filePath(QStringLiteral("bin/TandrelApp"));
    const QString driver = root.filePath(QStringLiteral("lib/tandrel/PlugIns/TandrelDriver.driver"));
    EXPECT_TRUE(QFileInfo(program).isExecutable());
    EXPECT_TRUE(QFile::exists(driver + QStringLiteral("/Contents/Info.json")));
    EXPECT_TRUE(QFile::exists(driver + QStringLiteral("/Contents/Linux/TandrelDriver.so")));
    EXPECT_TRUE(QFile::exists(
        root.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/qorvix.tandrel.app.svg"))));
    QFile entry(root.filePath(QStringLiteral("share/applications/qorvix.tandrel.app.desktop")));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString entryText = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(entryText.contains(QStringLiteral("\nExec=\"") + program + QStringLiteral("\"\n")))
        << entryText.toStdString();
    EXPECT_TRUE(entryText.contains(QStringLiteral("\nIcon=qorvix.tandrel.app\n")));

    AppHome home;
    QProcess app;
    home.start(app, program);
    const QString loaded = QStringLiteral("loaded plug-in qorvix.tandrel.driver from ") + driver;
    QString output;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (output += QString::fromUtf8(app.readAll())).contains(loaded); }, 20000))
        << output.toStdString();
    EXPECT_EQ(terminate(app), 0) << (output + QString::fromUtf8(app.readAll())).toStdString();

    QProcess selfTest;
    const QString report = home.path() + QStringLiteral("/report.json");
    home.start(selfTest, program,
               {QStringLiteral("--capture-test"), QStringLiteral("--target"), QStringLiteral("system"),
                QStringLiteral("--seconds"), QStringLiteral("1"), QStringLiteral("--report"), report});
    ASSERT_TRUE(selfTest.waitForFinished(60000));
    const auto result = readJSON(report);
    ASSERT_TRUE(result.is_object()) << selfTest.readAll().toStdString();
    EXPECT_EQ(result.value("ok", false), true) << result.dump();
    EXPECT_EQ(selfTest.exitCode(), 0) << selfTest.readAll().toStdString();
}

TEST(ApplicationProcess, AStartWhileACopyRunsShowsThatCopysMixerAndACrashedCopyBlocksNothing) {
    AppHome home;
    QProcess crashed;
    home.start(crashed, QStringLiteral(TANDREL_APP_EXECUTABLE));
    ASSERT_TRUE(QTest::qWaitFor([&] { return startSettled(home); }, 30000))
        << crashed.readAll().toStdString();
    EXPECT_EQ(terminate(crashed, SIGKILL), -1);

    QProcess running;
    home.start(running, QStringLiteral(TANDREL_APP_EXECUTABLE));
    // It answers on its socket in the runtime folder (the crashed copy's is dead) once it runs.
    const auto listening = [&] {
        for (const QString& name :
             QDir(home.runtimeFolder()).entryList({QStringLiteral("*.socket")}, QDir::System)) {
            QLocalSocket probe;
            probe.connectToServer(QDir(home.runtimeFolder()).filePath(name));
            if (probe.waitForConnected(100)) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(listening, 30000)) << running.readAll().toStdString();
    QString output;
    const auto said = [&](const QString& text) {
        return QTest::qWaitFor(
            [&] { return (output += QString::fromUtf8(running.readAll())).contains(text); }, 10000);
    };

    QProcess second;
    home.start(second, QStringLiteral(TANDREL_APP_EXECUTABLE), {QStringLiteral("--bogus")});
    ASSERT_TRUE(second.waitForFinished(30000)) << "the second start ends by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    const QString secondOutput = QString::fromUtf8(second.readAll());
    EXPECT_EQ(second.exitCode(), 0) << secondOutput.toStdString();
    EXPECT_TRUE(secondOutput.contains(QStringLiteral("TandrelApp: unknown argument \"--bogus\" ignored")))
        << secondOutput.toStdString();
    EXPECT_TRUE(said(QStringLiteral("Another start asked for the mixer window"))) << output.toStdString();
    EXPECT_EQ(running.state(), QProcess::Running);
    EXPECT_EQ(terminate(running), 0) << (output + QString::fromUtf8(running.readAll())).toStdString();
}

TEST(ApplicationProcess, ASelfTestsReportIsAllThatReachesStandardOutput) {
    AppHome home;
    home.installDriver();
    QProcess test;
    home.start(test, QStringLiteral(TANDREL_APP_EXECUTABLE),
               {QStringLiteral("--latency-test"), QStringLiteral("--seconds"), QStringLiteral("0.5")},
               QProcess::SeparateChannels);
    ASSERT_TRUE(test.waitForFinished(60000));
    const QByteArray output = test.readAllStandardOutput();
    const QString errors = QString::fromUtf8(test.readAllStandardError());
    EXPECT_TRUE(errors.contains(QStringLiteral("loaded plug-in qorvix.tandrel.driver")))
        << errors.toStdString();
    const auto report = nlohmann::json::parse(output.begin(), output.end(), nullptr, false);
    ASSERT_TRUE(report.is_object()) << output.toStdString();
    EXPECT_TRUE(report.contains("samples")) << report.dump();
}

TEST(ApplicationProcess, SelfTestArgumentsThatCannotBeUsedAreRefusedOrWarnedAboutAndALostReportFails) {
    AppHome home;
    const QString lostReport = home.path() + QStringLiteral("/missing/report.json");
    struct Case {
        QStringList arguments;
        int status;
        std::optional<nlohmann::json> report;
        QString warning;
    };
    const Case cases[] = {
        {{"--latency-test", "--bufer", "64", "--seconds", "inf"},
         1,
         nlohmann::json{{"ok", false}, {"error", "--seconds の値 \"inf\" は使えません（0〜86400 の数）"}},
         "TandrelApp: unknown argument \"--bufer\" ignored"},
        {{"--engine-test", "--buffer", "abc", "--freqs", "440"},
         1,
         nlohmann::json{{"ok", false}, {"error", "--buffer の値 \"abc\" は使えません（1〜4096 の整数）"}},
         "TandrelApp: unknown argument \"--freqs\" ignored"},
        {{"--capture-test", "--seconds", "0", "--report", lostReport},
         1,
         std::nullopt,
         "TandrelApp: cannot write the report to " + lostReport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        QProcess test;
        home.start(test, QStringLiteral(TANDREL_APP_EXECUTABLE), c.arguments, QProcess::SeparateChannels);
        if (!test.waitForFinished(30000)) {
            test.kill();
            test.waitForFinished();
            ADD_FAILURE() << "still running after 30 s";
            continue;
        }
        const QByteArray output = test.readAllStandardOutput();
        const QString errors = QString::fromUtf8(test.readAllStandardError());
        EXPECT_EQ(test.exitCode(), c.status) << errors.toStdString();
        if (c.report) {
            EXPECT_EQ(nlohmann::json::parse(output.begin(), output.end(), nullptr, false), *c.report);
        } else {
            EXPECT_TRUE(output.isEmpty()) << output.toStdString();
        }
        EXPECT_TRUE(errors.contains(c.warning)) << errors.toStdString();
        EXPECT_FALSE(errors.contains(QStringLiteral("\"64\""))) << "an unknown option's value goes with it";
    }
}

} // namespace
