// What the updater's tests share: a small HTTP server on 127.0.0.1 that serves the feed and the update
// archives from the test process, an update authority with team certificates made by the openssl
// command line, signed and unsigned packages packed into archives, and an event-loop wait.
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

// Runs the event loop until `condition` holds; false when it still does not after `limit`.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return QTest::qWaitFor(condition, int(limit.count()));
}

// Runs the event loop until the task has finished.
inline bool finish(QCoro::Task<>& task) {
    return waitUntil([&] { return task.isReady(); });
}

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

    // A package: the payload (files by relative path) packed as tar.gz and signed as DER CMS by
    // `signer` ("TEAMA", "TEAMB" or "impostor", whose name reads "(TEAMA)" but whose team is TEAMB); an
    // empty signer leaves the payload unsigned.
    QByteArray package(const std::map<std::string, std::string>& payload, const std::string& signer);
    // An update archive holding `entries` (file name → contents) at its top level.
    QByteArray archive(const std::map<std::string, QByteArray>& entries);

    // The tools with this authority, our installer helper, `target` and a pass-through elevator.
    UpdateTools tools(const QString& target) const;
    // A script in the signing folder that exits with `status` after printing `output`.
    QString script(const QString& name, const QString& body) const;

private:
    UpdateSigning();

    QTemporaryDir folder_;
    int made_ = 0;
};
