#include "Platform/System/Desktop/FileManager.h"

#include <chrono>
#include <memory>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QUrl>

namespace FileManager {

namespace {

using namespace std::chrono_literals;

// A file manager started on demand by the bus takes a moment to answer its first call.
constexpr int kCallTimeoutMs = 10'000;
// An opener still running after this long is showing the folder (xdg-open waits for some file managers
// to close their window).
constexpr auto kOpenerPatience = 3s;
constexpr const char* kPrivateBusName = "qorvix.tandrel.file-manager";

std::optional<QString> busAddress;
std::optional<QStringList> folderOpener;

// Calls `done` at most once: an opener may both finish and outlast its patience.
using Once = std::shared_ptr<std::function<void(Outcome)>>;

void finish(const Once& done, Outcome outcome) {
    if (*done) {
        const auto callback = std::exchange(*done, nullptr);
        callback(outcome);
    }
}

// Later on the GUI thread, never from inside reveal().
void finishLater(const Once& done, Outcome outcome) {
    QTimer::singleShot(0, qApp, [done, outcome] { finish(done, outcome); });
}

bool hasControlCharacters(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return true;
        }
    }
    return false;
}

QDBusConnection bus() {
    if (!busAddress) {
        return QDBusConnection::sessionBus();
    }
    if (busAddress->isEmpty()) {
        return QDBusConnection(QString());
    }
    return QDBusConnection::connectToBus(*busAddress, QString::fromLatin1(kPrivateBusName));
}

void openFolder(const QFileInfo& target, const Once& done) {
    const QString folder = target.absolutePath();
    QStringList command = folderOpener.value_or(QStringList{QStringLiteral("xdg-open")});
    const QString program = command.takeFirst();
    command << folder;
    auto* opener = new QProcess(qApp);
    QObject::connect(opener, &QProcess::errorOccurred, opener, [opener, done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            finish(done, Outcome::notShown);
            opener->deleteLater();
        }
    });
    QObject::connect(opener, &QProcess::finished, opener,
                     [opener, done](int status, QProcess::ExitStatus how) {
                         const bool opened = how == QProcess::NormalExit && status == 0;
                         finish(done, opened ? Outcome::folderOpened : Outcome::notShown);
                         opener->deleteLater();
                     });
    QTimer::singleShot(kOpenerPatience, opener, [done] { finish(done, Outcome::folderOpened); });
    opener->setStandardInputFile(QProcess::nullDevice());
    opener->start(program, command);
}

} // namespace

void reveal(const QString& path, std::function<void(Outcome)> done) {
    const Once once = std::make_shared<std::function<void(Outcome)>>(std::move(done));
    // A folder given with a trailing slash is shown in its parent, as a file is.
    const QFileInfo target(QDir::cleanPath(path));
    if (!target.isAbsolute() || hasControlCharacters(path) || !target.exists()) {
        finishLater(once, Outcome::notShown);
        return;
    }
    QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        QTimer::singleShot(0, qApp, [target, once] { openFolder(target, once); });
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(target.absoluteFilePath()).toString(QUrl::FullyEncoded)}
         << QString();
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMs), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, target, once](QDBusPendingCallWatcher*) {
                         watcher->deleteLater();
                         if (watcher->isError()) {
                             openFolder(target, once);
                         } else {
                             finish(once, Outcome::selected);
                         }
                     });
}

void setBusAddress(std::optional<QString> address) {
    QDBusConnection::disconnectFromBus(QString::fromLatin1(kPrivateBusName));
    busAddress = std::move(address);
}

void setFolderOpener(std::optional<QStringList> command) {
    folderOpener = std::move(command);
}

} // namespace FileManager
