#include "UpdaterTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include "TandrelApp/Support/UserDefaults.h"

namespace {

QByteArray reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

void run(const QString& program, const QStringList& arguments, const QString& folder) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " " << arguments.join(' ').toStdString() << ": "
                      << process.readAll().toStdString();
    }
}

void write(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(contents);
}

QByteArray read(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

std::string incompressible(std::size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = char(QRandomGenerator::global()->bounded(256));
    }
    return bytes;
}

UpdateChecker::Environment checkerEnvironment(const LocalFeedServer& server, QStringList arguments,
                                              std::function<void(const UpdateRelease&)> install) {
    return {
        .defaults = &UserDefaults::standard(),
        .infoFeedURL = server.url("/feed.json").toStdString(),
        .currentVersion = "1.2.0",
        .currentBuild = 5,
        .systemVersion =
            [] {
                return OperatingSystemVersion{14, 5, 0};
            },
        .arguments = std::move(arguments),
        .install = std::move(install),
    };
}

LocalFeedServer::LocalFeedServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->readAll());
                if (!buffer->contains("\r\n\r\n") || socket->property("answered").toBool()) {
                    return;
                }
                socket->setProperty("answered", true);
                std::map<QString, QString> request;
                const auto lines = buffer->left(buffer->indexOf("\r\n\r\n")).split('\n');
                request["path"] = QString::fromUtf8(lines.front().split(' ').value(1));
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const QByteArray line = lines[i].trimmed();
                    const auto colon = line.indexOf(':');
                    if (colon > 0) {
                        request[QString::fromUtf8(line.left(colon)).toLower()] =
                            QString::fromUtf8(line.mid(colon + 1).trimmed());
                    }
                }
                requests.push_back(request);
                socket->setProperty("path", request["path"]);
                answer(socket);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString LocalFeedServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
}

void LocalFeedServer::answer(QTcpSocket* socket) {
    const QString path = socket->property("path").toString();
    const auto found = responses_.find(path);
    const Response response = found != responses_.end() ? found->second : Response{404, "not here"};
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(response.status) + " " + reason(response.status) + "\r\n";
    if (response.announceLength) {
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (response.pieceSize <= 0) {
        socket->write(response.body);
        socket->disconnectFromHost();
        return;
    }
    auto* timer = new QTimer(socket);
    auto offset = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, timer, offset, response] {
        socket->write(response.body.mid(*offset, response.pieceSize));
        *offset += response.pieceSize;
        if (*offset >= response.body.size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(int(response.pieceInterval.count()));
}

UpdateSigning& UpdateSigning::shared() {
    static UpdateSigning signing;
    return signing;
}

UpdateSigning::UpdateSigning() {
    const QString dir = folder_.path();
    run("openssl",
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days",
         "30", "-subj", "/CN=Corvane Test Update Authority", "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign"},
        dir);
    const std::map<QString, QString> subjects{
        {"TEAMA", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)"},
        {"TEAMB", "/OU=TEAMB/CN=Developer ID Installer: Someone Else (TEAMB)"},
        {"impostor", "/OU=TEAMB/CN=Developer ID Installer: Not Us (TEAMA)"},
    };
    for (const auto& [name, subject] : subjects) {
        run("openssl",
            {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
             subject},
            dir);
        run("openssl",
            {"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", name + ".pem", "-days", "30"},
            dir);
    }
    QFile::copy(QStringLiteral(TANDREL_INSTALL_HELPER), dir + "/tandrel-install");
    QFile::setPermissions(dir + "/tandrel-install", QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    script("pass-through", "exec \"$@\"");
}

QByteArray UpdateSigning::package(const std::map<std::string, std::string>& payload,
                                  const std::string& signer) {
    const QString work = folder_.path() + "/made-" + QString::number(++made_);
    for (const auto& [path, contents] : payload) {
        write(work + "/payload/" + QString::fromStdString(path), QByteArray::fromStdString(contents));
    }
    run("tar", {"-czf", "payload.tar.gz", "-C", "payload", "."}, work);
    if (signer.empty()) {
        return read(work + "/payload.tar.gz");
    }
    const QString name = QString::fromStdString(signer);
    run("openssl",
        {"cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-in", "payload.tar.gz", "-signer",
         folder_.path() + "/" + name + ".pem", "-inkey", folder_.path() + "/" + name + ".key", "-out",
         "signed.pkg"},
        work);
    return read(work + "/signed.pkg");
}

QByteArray UpdateSigning::archive(const std::map<std::string, QByteArray>& entries) {
    const QString work = folder_.path() + "/made-" + QString::number(++made_);
    QStringList names;
    for (const auto& [name, contents] : entries) {
        write(work + "/top/" + QString::fromStdString(name), contents);
        names << QString::fromStdString(name);
    }
    QDir().mkpath(work + "/top");
    run("tar", QStringList{"-cf", "image.tar", "-C", "top"} + (names.isEmpty() ? QStringList{"."} : names),
        work);
    return read(work + "/image.tar");
}

UpdateTools UpdateSigning::tools(const QString& target) const {
    UpdateTools tools;
    tools.installer = (folder_.path() + "/tandrel-install").toStdString();
    tools.certificateAuthority = authority().toStdString();
    tools.elevator = (folder_.path() + "/pass-through").toStdString();
    tools.target = target.toStdString();
    return tools;
}

QString UpdateSigning::script(const QString& name, const QString& body) const {
    const QString path = folder_.path() + "/" + name;
    write(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    return path;
}
