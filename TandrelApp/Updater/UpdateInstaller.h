// Turns a release the update checker found into an installed one: downloads its update archive, within
// bounds, into a private work folder with progress, takes the package out of it, accepts the package only
// when it is signed by our own team under the update authority and holds the release offered, runs the
// quit-time save and has the elevated installer helper install exactly the package it checked. Publishes
// its phase for the update notice and reports failures in an alert. One shared instance; the checker's
// alert, the notice and "--update-dry-run" start it. GUI thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/UpdateArchive.h"
#include "TandrelApp/Updater/UpdateRelease.h"
#include "TandrelApp/Updater/UpdateTools.h"

class QNetworkReply;

class UpdateInstaller : public QObject {
    Q_OBJECT

public:
    struct Phase {
        enum class Kind { idle, downloading, verifying, waitingForPassword, installing, failed };
        Kind kind = Kind::idle;
        // downloading: 0 ... 1.
        double fraction = 0;
        // failed: the failure's description.
        std::string message;

        static Phase idle() { return {}; }
        static Phase downloading(double fraction) { return {Kind::downloading, fraction, {}}; }
        static Phase verifying() { return {Kind::verifying, 0, {}}; }
        static Phase waitingForPassword() { return {Kind::waitingForPassword, 0, {}}; }
        static Phase installing() { return {Kind::installing, 0, {}}; }
        static Phase failed(std::string message) { return {Kind::failed, 0, std::move(message)}; }
        // Neither idle nor failed: a run is under way.
        bool isBusy() const { return kind != Kind::idle && kind != Kind::failed; }
        bool operator==(const Phase&) const = default;
    };

    // What the installer takes from the network and unpacks, at most.
    struct Limits {
        // The update archive's size, and so the package's.
        std::uint64_t download = UpdateArchive::packageBytes;
        // A download that receives nothing for this long fails.
        std::chrono::milliseconds stall{30000};
        UpdateArchive::Limits image = UpdateArchive::imageLimits;
        UpdateArchive::Limits payload = UpdateArchive::payloadLimits;
    };

    struct Environment {
        UpdateTools tools;
        // The signing team of the running program; none in a development build.
        std::function<std::optional<std::string>()> teamIdentifier;
        // "--update-dry-run" was given: stop after the verification.
        bool dryRun = false;
        // Where work folders are made.
        QString temporaryDirectory;
        // The running program's version and build, which a package must be newer than.
        std::string currentVersion = "0";
        std::int64_t currentBuild = 0;
        Limits limits;

        // The program's own: its tools, its build's team, its command line.
        static Environment standard();
    };

    static UpdateInstaller& shared();

    explicit UpdateInstaller(Environment environment, QObject* parent = nullptr);
    ~UpdateInstaller() override;

    const Phase& phase() const { return phase_; }
    bool dryRun() const { return environment_.dryRun; }

    // Starts a run for `release` when idle or failed; ignored while a run is under way.
    void install(const UpdateRelease& release);
    // Stops the run: the download is aborted, the phase is idle at once, and the run ends silently.
    void cancel();

    // The quit-time save the installer runs before the privileged install (the application's delegate
    // holds it); null runs nothing.
    void setQuitTimeSave(std::function<void()> save) { quitTimeSave_ = std::move(save); }

    // The work folder of the latest run (it exists only while that run lasts).
    const QString& lastWorkFolder() const { return lastWorkFolder_; }
    // The own team identifier built into this program: empty in development builds.
    static std::optional<std::string> ownTeamIdentifier();

signals:
    void phaseChanged();

private:
    struct Run;

    QCoro::Task<> run(UpdateRelease release, std::shared_ptr<Run> state);
    QCoro::Task<QString> download(QString url, QString folder, std::shared_ptr<Run> state);
    void finishWithFailure(const UpdateRelease& release, const std::exception_ptr& failure, const Run& state);
    // Sets the phase for the run of `generation` only: a run that was cancelled or replaced leaves it.
    void setPhase(std::uint64_t generation, Phase phase);
    void publish(Phase phase);

    // The package the verification accepted, and its SHA-256 digest, by which the helper knows it again.
    struct Checked {
        QString package;
        std::string digest;
    };

    // A new work folder in `parent`, held through `lock` while the run lasts.
    static QString makeWorkFolder(const QString& parent, FileDescriptor& lock);
    // Deletes the work folders in `parent` that runs stopped half-way left behind (no run holds them).
    static void removeAbandonedWorkFolders(const QString& parent);
    static QString extractPackage(const Environment& environment, const QString& image,
                                  const QString& folder);
    static Checked verify(const Environment& environment, const std::optional<std::string>& team,
                          const QString& package, const std::string& version);
    static void runInstaller(const UpdateTools& tools, const Checked& package, const std::string& version,
                             const std::function<void()>& onAuthorized);
    static void showFailureAlert(const UpdateRelease& release, const std::string& description);

    Environment environment_;
    Phase phase_;
    std::function<void()> quitTimeSave_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<Run> current_;
    QString lastWorkFolder_;
};
