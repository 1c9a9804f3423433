// Showing a file in the desktop's file manager: selected through the file manager service on a bus (a
// private dbus-daemon of the test's own with a stand-in service), else its folder opened, else nothing
// shown, which the caller hears about so it can say where the file is.
#include "Platform/System/Desktop/FileManager.h"

#include <optional>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

using Outcome = FileManager::Outcome;

// The freedesktop file manager service: it notes the items it is asked to show.
class StandInFileManager : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QStringLiteral("org.freedesktop.FileManager1") ||
            message.member() != QStringLiteral("ShowItems")) {
            return false;
        }
        shown = message.arguments().value(0).toStringList();
        startupId = message.arguments().value(1).toString();
        connection.send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    QStringList shown;
    QString startupId;
};

// A session bus of the test's own, gone with the object.
class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            return;
        }
        process_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                QStringLiteral("--print-address=1")});
        if (process_.waitForStarted(5000) && process_.waitForReadyRead(5000)) {
            address = QString::fromUtf8(process_.readLine()).trimmed();
        }
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-in file manager"));
        process_.kill();
        process_.waitForFinished(5000);
    }

    QString address;

private:
    QProcess process_;
};

std::optional<Outcome> reveal(const QString& path) {
    std::optional<Outcome> outcome;
    bool called = false;
    FileManager::reveal(path, [&](Outcome result) {
        outcome = result;
        called = true;
    });
    EXPECT_FALSE(called) << "the outcome comes after reveal() has returned";
    if (!QTest::qWaitFor([&] { return called; }, 15000)) {
        ADD_FAILURE() << "no outcome for " << path.toStdString();
    }
    return outcome;
}

class FileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        file = folder.path() + QStringLiteral("/take 1.wav");
        QFile(file).open(QIODevice::WriteOnly);
    }
    void TearDown() override {
        FileManager::setBusAddress(std::nullopt);
        FileManager::setFolderOpener(std::nullopt);
    }

    QTemporaryDir folder;
    QString file;
};

TEST_F(FileManagerTest, TheFileManagerOnTheBusSelectsTheFile) {
    PrivateBus bus;
    if (bus.address.isEmpty()) {
        GTEST_SKIP() << "no dbus-daemon to run a bus of the test's own";
    }
    QDBusConnection connection =
        QDBusConnection::connectToBus(bus.address, QStringLiteral("stand-in file manager"));
    ASSERT_TRUE(connection.isConnected());
    StandInFileManager service;
    ASSERT_TRUE(connection.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &service));
    ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    FileManager::setBusAddress(bus.address);
    FileManager::setFolderOpener(QStringList{QStringLiteral("false")});

    EXPECT_EQ(reveal(file), Outcome::selected);
    EXPECT_EQ(service.shown, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
    EXPECT_TRUE(service.shown.value(0).endsWith(QStringLiteral("/take%201.wav")));
    EXPECT_EQ(service.startupId, QString());

    // The same bus without the service: the folder opens instead.
    connection.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    FileManager::setFolderOpener(QStringList{QStringLiteral("true")});
    EXPECT_EQ(reveal(file), Outcome::folderOpened);
}

TEST_F(FileManagerTest, WithoutAFileManagerTheFolderOpensOrNothingIsShown) {
    FileManager::setBusAddress(QString());
    struct Case {
        QString path;
        QString opener;
        Outcome outcome;
    };
    const std::vector<Case> cases{
        {file, QStringLiteral("true"), Outcome::folderOpened},
        {file, QStringLiteral("false"), Outcome::notShown},
        {file, QStringLiteral("/nonexistent/opener"), Outcome::notShown},
        {folder.path() + QStringLiteral("/missing.wav"), QStringLiteral("true"), Outcome::notShown},
        {QStringLiteral("take 1.wav"), QStringLiteral("true"), Outcome::notShown},
        {file + QStringLiteral("\n--help"), QStringLiteral("true"), Outcome::notShown},
    };
    for (const Case& c : cases) {
        FileManager::setFolderOpener(QStringList{c.opener});
        EXPECT_EQ(reveal(c.path), c.outcome) << c.path.toStdString() << " with " << c.opener.toStdString();
    }
}

} // namespace
