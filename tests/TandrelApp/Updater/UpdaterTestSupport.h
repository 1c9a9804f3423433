// What the updater's tests share: a small HTTP server on 127.0.0.1 that serves the feed and the update
// archives from the test process (also endlessly, slowly or stalling), an update authority with team
// certificates made by the openssl command line (and the certificates an attacker would try), signed
// and unsigned packages packed into archives, installations of the installer helper with the test
// authority, team and target, and an event-loop wait.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Updater/UpdateRelease.h"
#include "TandrelApp/Updater/UpdateTools.h"

// A release of `version` whose archive is at `url`, with nothing else set.
inline UpdateRelease releaseOf(std::string version, std::string url) {
    UpdateRelease release;
    release.version = std::move(version);
    release.url = std::move(url);
    return release;
}

// `size` random bytes: a payload that does not shrink when packed, so its download takes many pieces.
std::string incompressible(std::size_t size);

// A checker's surroundings for the tests: version 1.2.0 build 5 on system 14.5.0, the standard defaults
// (point XDG_CONFIG_HOME at a temporary folder), the feed "/feed.json" of `server`.
class LocalFeedServer;
UpdateChecker::Environment checkerEnvironment(const LocalFeedServer& server, QStringList arguments = {},
                                              std::function<void(const UpdateRelease&)> install = {});

// An installer's surroundings for the tests: `tools`, the signing team `team`, work folders made in
// `temporary`, a program of version "0" and the standard bounds.
UpdateInstaller::Environment installerEnvironment(UpdateTools tools, bool dryRun, const QString& temporary,
                                                  std::optional<std::string> team = "TEAMA");

// Runs the event loop until `condition` holds; false when it still does not after `limit`.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return QTest::qWaitFor(condition, int(limit.count()));
}

// Runs the event loop until the task has finished.
inline bool finish(QCoro::Task<>& task) {
    return waitUntil([&] { return task.isReady(); });
}

// Each file and folder below `folder` (relative path → type, permissions and contents or link target),
// to tell whether a tree changed.
std::map<QString, QString> snapshot(const QString& folder);

class LocalFeedServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        // Announce the body's length (else the transfer ends when the connection closes).
        bool announceLength = true;
        // Send the body in pieces of this many bytes, one piece every `pieceInterval`; 0 sends it at once.
        int pieceSize = 0;
        std::chrono::milliseconds pieceInterval{20};
        // Send the body over and over, never ending.
        bool endless = false;
        // After the body, keep the connection open without sending anything more.
        bool stall = false;
    };

    LocalFeedServer();

    // The address of `path` ("/feed.json") on this server.
    QString url(const QString& path) const;
    // `body` in pieces of `pieceSize` bytes, one every `interval`, with its length announced.
    static Response slowly(QByteArray body, int pieceSize, std::chrono::milliseconds interval) {
        return {200, std::move(body), true, pieceSize, interval};
    }
    void serve(const QString& path, Response response) { responses_[path] = std::move(response); }
    void serveJson(const QString& path, const std::string& json) {
        serve(path, {200, QByteArray::fromStdString(json)});
    }

    // The request lines and headers received, in order, one map per request ("path", lower-case header
    // names).
    std::vector<std::map<QString, QString>> requests;

private:
    void answer(QTcpSocket* socket);

    QTcpServer server_;
    std::map<QString, Response> responses_;
};

// An update authority and what it signs, made once in a temporary folder.
class UpdateSigning {
public:
    static UpdateSigning& shared();

    QString authority() const { return folder_.path() + "/ca.pem"; }
    QString folder() const { return folder_.path(); }

    // A package: the payload (files by relative path) with a release file for `version` (none when empty),
    // packed as tar.gz and signed by `signer` (see sign()).
    QByteArray package(const std::map<std::string, std::string>& payload, const std::string& signer,
                       const std::string& version = "2.0");
    // The same for a payload laid out in `folder`, packed with more arguments for tar when given.
    QByteArray packageOf(const QString& folder, const std::string& signer = "TEAMA",
                         const std::string& version = "2.0", const QStringList& tarArguments = {});
    // A new empty folder to lay out a payload in, and that folder packed as tar.gz ("./" and what is in
    // it), with more arguments for tar when given.
    QString newFolder();
    QByteArray tarGz(const QString& folder, const QStringList& tarArguments = {});
    // `content` signed as DER CMS with the content inside, by the certificate `signer`: "TEAMA" (ours),
    // "TEAMB" (another team), "impostor" (names "(TEAMA)" but is TEAMB's), "tls" (ours but made for TLS
    // servers), "purposeless" (ours but made for nothing in particular), "two-units" (names TEAMA in one
    // unit and another unit beside its common name), "via-tls-ca" and "via-code-ca" (ours, issued by an
    // intermediate authority for TLS or for code signing) and "via-system-ca" (ours, issued by another
    // authority, systemAuthority()). An empty signer leaves the content unsigned.
    QByteArray sign(const QByteArray& content, const std::string& signer);
    // The other authority, as a system's certificate store would hold it.
    QString systemAuthority() const { return folder_.path() + "/system-ca.pem"; }
    // An update archive holding `entries` (file name → contents) at its top level.
    QByteArray archive(const std::map<std::string, QByteArray>& entries);
    // An update archive of everything in `folder`.
    QByteArray archiveOf(const QString& folder);

    // The tools with a fresh installation of our installer helper that trusts this authority and team
    // TEAMA, installs into `target` and keeps its state in "state" beside it, owned by whoever runs the
    // tests, and a pass-through elevator.
    UpdateTools tools(const QString& target);
    // Runs the installed helper of `tools` directly, as the elevator would, with `package` and its digest.
    CommandResult runHelper(const UpdateTools& tools, const QByteArray& package, const std::string& version);
    // A script in the signing folder that exits with `status` after printing `output`.
    QString script(const QString& name, const QString& body) const;

private:
    UpdateSigning();
    void certificate(const QString& name, const QString& subject, const QString& issuer,
                     const QString& extensions);

    QTemporaryDir folder_;
    int made_ = 0;
};
