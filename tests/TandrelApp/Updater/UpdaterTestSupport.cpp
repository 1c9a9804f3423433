#include "UpdaterTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"

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

const char* const codeSigning = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                "extendedKeyUsage=codeSigning\n";

} // namespace

std::map<QString, QString> snapshot(const QString& folder) {
    std::map<QString, QString> tree;
    const auto describe = [](const QString& path) {
        struct stat status {};
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
            return QStringLiteral("gone");
        }
        QString text = QString::number(status.st_mode, 8) + QLatin1Char(' ') + QString::number(status.st_uid);
        if (S_ISREG(status.st_mode)) {
            text += QLatin1Char(' ') + QString::fromUtf8(read(path));
        } else if (S_ISLNK(status.st_mode)) {
            text += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        }
        return text;
    };
    tree[QStringLiteral(".")] = describe(folder);
    QDirIterator entries(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        tree[QDir(folder).relativeFilePath(path)] = describe(path);
    }
    return tree;
}

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
        .feedLimit = 1 << 20,
        .checkTimeLimit = std::chrono::seconds(60),
    };
}

UpdateInstaller::Environment installerEnvironment(UpdateTools tools, bool dryRun, const QString& temporary,
                                                  std::optional<std::string> team) {
    UpdateInstaller::Environment environment;
    environment.tools = std::move(tools);
    environment.teamIdentifier = [team] {
        return team;
    };
    environment.dryRun = dryRun;
    environment.temporaryDirectory = temporary;
    return environment;
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
    if (response.endless) {
        // The body again and again, a piece at a time, as fast as the client takes it.
        auto* timer = new QTimer(socket);
        auto offset = std::make_shared<qsizetype>(0);
        connect(timer, &QTimer::timeout, socket, [socket, offset, response] {
            const qsizetype size = response.pieceSize > 0 ? response.pieceSize : response.body.size();
            if (socket->bytesToWrite() > (1 << 20)) {
                return;
            }
            QByteArray piece;
            while (piece.size() < size) {
                const QByteArray part = response.body.mid(*offset, size - piece.size());
                piece += part;
                *offset = (*offset + part.size()) % response.body.size();
            }
            socket->write(piece);
        });
        timer->start(int(response.pieceInterval.count()));
        return;
    }
    if (response.stall) {
        socket->write(response.body);
        return;
    }
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
    const auto authority = [&dir](const QString& name, const QString& subject) {
        run("openssl",
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             name + ".key", "-out", name + ".pem", "-days", "30", "-subj", subject, "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"},
            dir);
    };
    authority("ca", "/CN=Corvane Test Update Authority");
    authority("system-ca", "/CN=Some Authority In The System Store");
    const QString ca = dir + "/ca";
    certificate("TEAMA", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", ca, codeSigning);
    certificate("TEAMB", "/OU=TEAMB/CN=Developer ID Installer: Someone Else (TEAMB)", ca, codeSigning);
    certificate("impostor", "/OU=TEAMB/CN=Developer ID Installer: Not Us (TEAMA)", ca, codeSigning);
    certificate("tls", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", ca,
                "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
    certificate("purposeless", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", ca,
                "keyUsage=critical,digitalSignature\n");
    // A relative name's attributes are sorted by their encoding: the longer unit comes after the name, and
    // a one-line rendering shows it behind the name ("CN = ... + OU = ...").
    certificate(
        "two-units",
        "/CN=Developer ID Installer: Qorvix (TEAMA)+OU=TEAMB, a unit of somebody else entirely/OU=TEAMA", ca,
        codeSigning);
    const QString intermediate = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n";
    certificate("tls-ca", "/CN=Corvane Test TLS Authority", ca,
                intermediate + "extendedKeyUsage=serverAuth\n");
    certificate("code-ca", "/CN=Corvane Test Code Signing Authority", ca,
                intermediate + "extendedKeyUsage=codeSigning\n");
    certificate("via-tls-ca", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", dir + "/tls-ca",
                codeSigning);
    certificate("via-code-ca", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", dir + "/code-ca",
                codeSigning);
    certificate("via-system-ca", "/OU=TEAMA/CN=Developer ID Installer: Qorvix (TEAMA)", dir + "/system-ca",
                codeSigning);
    script("pass-through", "exec \"$@\"");
}

void UpdateSigning::certificate(const QString& name, const QString& subject, const QString& issuer,
                                const QString& extensions) {
    const QString dir = folder_.path();
    run("openssl",
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         name + ".key", "-out", name + ".csr", "-subj", subject, "-multivalue-rdn"},
        dir);
    write(dir + "/" + name + ".ext", extensions.toUtf8());
    run("openssl",
        {"x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + ".key",
         "-CAcreateserial", "-out", name + ".pem", "-days", "30", "-extfile", name + ".ext"},
        dir);
}

QString UpdateSigning::newFolder() {
    const QString folder = folder_.path() + "/made-" + QString::number(++made_);
    QDir().mkpath(folder);
    return folder;
}

QByteArray UpdateSigning::tarGz(const QString& folder, const QStringList& tarArguments) {
    const QString out = folder + ".tar.gz";
    run("tar", QStringList{"-czf", out} + tarArguments + QStringList{"-C", folder, "."}, folder_.path());
    return read(out);
}

QByteArray UpdateSigning::sign(const QByteArray& content, const std::string& signer) {
    if (signer.empty()) {
        return content;
    }
    const QString work = newFolder();
    write(work + "/content", content);
    const QString name = folder_.path() + "/" + QString::fromStdString(signer);
    QStringList arguments{"cms",    "-sign",       "-binary", "-nodetach", "-outform",
                          "DER",    "-in",         "content", "-signer",   name + ".pem",
                          "-inkey", name + ".key", "-out",    "signed.pkg"};
    if (signer.rfind("via-", 0) == 0 && signer != "via-system-ca") {
        arguments << "-certfile" << folder_.path() + "/" + QString::fromStdString(signer.substr(4)) + ".pem";
    }
    run("openssl", arguments, work);
    return read(work + "/signed.pkg");
}

QByteArray UpdateSigning::package(const std::map<std::string, std::string>& payload,
                                  const std::string& signer, const std::string& version) {
    const QString work = newFolder();
    for (const auto& [path, contents] : payload) {
        write(work + "/" + QString::fromStdString(path), QByteArray::fromStdString(contents));
    }
    return packageOf(work, signer, version);
}

QByteArray UpdateSigning::packageOf(const QString& folder, const std::string& signer,
                                    const std::string& version, const QStringList& tarArguments) {
    if (!version.empty()) {
        write(folder + "/CorvaneRelease.json",
              QByteArray::fromStdString(R"({"version":")" + version + R"("})"));
    }
    return sign(tarGz(folder, tarArguments), signer);
}

QByteArray UpdateSigning::archive(const std::map<std::string, QByteArray>& entries) {
    const QString work = newFolder();
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

QByteArray UpdateSigning::archiveOf(const QString& folder) {
    run("tar", {"-cf", folder + ".tar", "-C", folder, "."}, folder_.path());
    return read(folder + ".tar");
}

UpdateTools UpdateSigning::tools(const QString& target) {
    const QString helper = newFolder();
    QFile::copy(QStringLiteral(TANDREL_INSTALL_HELPER), helper + "/tandrel-install");
    QFile::setPermissions(helper + "/tandrel-install",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                              QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    QFile::copy(authority(), helper + "/update-ca.pem");
    write(
        helper + "/tandrel-install.json",
        (R"({"team": "TEAMA", "target": ")" + target + R"(", "state": ")" + helper + R"(/state"})").toUtf8());
    UpdateTools tools;
    tools.installer = (helper + "/tandrel-install").toStdString();
    tools.certificateAuthority = (helper + "/update-ca.pem").toStdString();
    tools.elevator = (folder_.path() + "/pass-through").toStdString();
    tools.installerOwner = ::geteuid();
    return tools;
}

CommandResult UpdateSigning::runHelper(const UpdateTools& tools, const QByteArray& package,
                                       const std::string& version) {
    const QString path = newFolder() + "/CorvaneUpdate.pkg";
    write(path, package);
    const std::string digest = SafeFiles::sha256Hex(std::string_view(package.constData(), package.size()));
    return UpdateToolRunner::runSync(tools.installer,
                                     {"-pkg", path.toStdString(), "-sha256", digest, "-version", version});
}

QString UpdateSigning::script(const QString& name, const QString& body) const {
    const QString path = folder_.path() + "/" + name;
    write(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    return path;
}
