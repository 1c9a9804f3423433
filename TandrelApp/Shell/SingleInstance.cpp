#include "TandrelApp/Shell/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Support/Log.h"

namespace {

const QByteArray showRequest = "show\n";
const QByteArray shownAnswer = "shown\n";

} // namespace

SingleInstance::SingleInstance(QString folder, QString name)
    : lockPath_(folder + QStringLiteral("/") + name + QStringLiteral(".lock"))
    , socketPath_(folder + QStringLiteral("/") + name + QStringLiteral(".socket")) {}

SingleInstance::~SingleInstance() {
    if (server_) {
        server_->close();
    }
    if (lockDescriptor_ >= 0) {
        ::close(lockDescriptor_);
    }
}

std::unique_ptr<SingleInstance> SingleInstance::forApplication() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QByteArray configuration = QFileInfo(RoutingConfigStore::url()).absolutePath().toUtf8();
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(configuration, QCryptographicHash::Sha1).toHex().left(12));
    return std::make_unique<SingleInstance>(folder, QStringLiteral("qorvix.tandrel.app-") + digest);
}

bool SingleInstance::claim() {
    if (lockDescriptor_ >= 0) {
        return true;
    }
    QDir().mkpath(QFileInfo(lockPath_).absolutePath());
    const int descriptor =
        ::open(QFile::encodeName(lockPath_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        // Without a lock file nothing can be coordinated; running is better than refusing to.
        Log::console("cannot create the lock file " + lockPath_.toStdString() + ": " + std::strerror(errno));
        return true;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        ::close(descriptor);
        return false;
    }
    lockDescriptor_ = descriptor;
    return true;
}

bool SingleInstance::listen(std::function<void()> showMixer) {
    showMixer_ = std::move(showMixer);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours, so a socket left there belongs to a copy that is gone.
    QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_)) {
        Log::app("App")->error("Cannot listen for later starts at {}: {}", socketPath_.toStdString(),
                               server_->errorString().toStdString());
        server_.reset();
        return false;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::answer);
    return true;
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                // A request is one short line; anything longer is no request of ours.
                if (socket->bytesAvailable() > showRequest.size()) {
                    socket->disconnectFromServer();
                }
                return;
            }
            if (socket->readLine() == showRequest) {
                Log::app("App")->info("Another start asked for the mixer window");
                if (showMixer_) {
                    showMixer_();
                }
                socket->write(shownAnswer);
            }
            socket->disconnectFromServer();
        });
    }
}

bool SingleInstance::askRunningCopyToShowMixer(std::chrono::milliseconds timeout) const {
    QElapsedTimer elapsed;
    elapsed.start();
    const auto remaining = [&] {
        return int(std::max<qint64>(0, timeout.count() - elapsed.elapsed()));
    };
    while (remaining() > 0) {
        QLocalSocket socket;
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(std::min(remaining(), 1000))) {
            socket.write(showRequest);
            socket.waitForBytesWritten(remaining());
            while (!socket.canReadLine() && socket.waitForReadyRead(remaining())) {
            }
            if (socket.canReadLine() && socket.readLine() == shownAnswer) {
                return true;
            }
        }
        // The running copy may not be listening yet: it opens its socket once its windows exist.
        QThread::msleep(100);
    }
    return false;
}
