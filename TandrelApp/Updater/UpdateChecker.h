// The one object that knows whether a newer release exists: it finds the feed address, fetches the
// release document, compares it with the running version and publishes the outcome as its state; it
// announces a newer release in an alert, plans automatic checks once a day and remembers the version the
// user skipped. The update notice, the menus and the About pane read and start it; the installer takes
// over when the user accepts. One shared instance for the process. GUI thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include "Platform/System/Desktop/Alerts.h"
#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Updater/UpdateRelease.h"

class QNetworkAccessManager;
class UserDefaults;

class UpdateChecker : public QObject {
    Q_OBJECT

public:
    struct State {
        enum class Kind { idle, checking, upToDate, available, failed };
        Kind kind = Kind::idle;
        // available: the newer release.
        std::optional<UpdateRelease> release;
        // failed: the text the user reads.
        std::string message;

        static State idle() { return {}; }
        static State checking() { return {Kind::checking, std::nullopt, {}}; }
        static State upToDate() { return {Kind::upToDate, std::nullopt, {}}; }
        static State available(UpdateRelease release) { return {Kind::available, std::move(release), {}}; }
        static State failed(std::string message) { return {Kind::failed, std::nullopt, std::move(message)}; }
        bool operator==(const State&) const = default;
    };

    struct Environment {
        UserDefaults* defaults = nullptr;
        // The information dictionary's "TDUpdateFeedURL" when it is a text.
        std::optional<std::string> infoFeedURL;
        std::string currentVersion;
        std::int64_t currentBuild = 0;
        std::function<OperatingSystemVersion()> systemVersion;
        QStringList arguments;
        // Hands an accepted release to the installer.
        std::function<void(const UpdateRelease&)> install;
        // The largest release document read, and how long a check may take in all (the request also
        // fails after `requestTimeout` without a byte).
        std::int64_t feedLimit = 1 << 20;
        std::chrono::milliseconds checkTimeLimit{60000};

        // The program's own: its defaults, information dictionary, system, command line and installer.
        static Environment standard();
    };

    static constexpr std::chrono::seconds checkInterval{86400};
    static constexpr std::chrono::seconds minimumDelay{10};
    static constexpr std::chrono::seconds requestTimeout{15};

    static UpdateChecker& shared();

    explicit UpdateChecker(Environment environment, QObject* parent = nullptr);
    ~UpdateChecker() override;

    const State& state() const { return state_; }
    const std::optional<QDateTime>& lastChecked() const { return lastChecked_; }
    const std::string& currentVersion() const { return environment_.currentVersion; }
    std::int64_t currentBuild() const { return environment_.currentBuild; }

    // Checks the feed now; a user-initiated check shows its outcome in an alert, an automatic one only a
    // newer release not skipped nor announced before in this run. Returns at once while a check runs.
    QCoro::Task<> check(bool userInitiated);
    // Plans the next automatic check afresh: none when turned off, else when the last success is a day
    // old, never sooner than 10 s.
    void scheduleAutomaticChecks();
    // The planned automatic check's delay, while one is planned.
    std::optional<std::chrono::milliseconds> scheduledDelay() const;

    // The release the update notice offers: the available one unless it is the skipped version.
    std::optional<UpdateRelease> availableRelease() const;
    std::optional<std::string> feedURL() const;
    // Stores the version the user chose to skip and tells the observers.
    void skipVersion(const std::string& version);
    // Whether automatic checks are on ("TDUpdateAutoCheckDisabled" missing or false), and turning them on
    // or off, which plans afresh.
    bool automaticChecksEnabled() const;
    void setAutomaticChecksEnabled(bool enabled);

    // The delay of the automatic check after `lastChecked`, at `now`: from 10 s up to a day (a last check
    // in the future counts as now).
    static std::chrono::milliseconds automaticCheckDelay(const std::optional<QDateTime>& lastChecked,
                                                         const QDateTime& now);

    // The alert of a user-initiated check's outcome (none while idle or checking; the release alert when
    // one is available) and the announcement of a release, with its buttons "今すぐアップデート",
    // "あとで" and "このバージョンをスキップ".
    static std::optional<AlertSpec> resultAlert(const State& state, const std::string& currentVersion);
    static AlertSpec releaseAlert(const UpdateRelease& release, const std::string& currentVersion);

signals:
    void stateChanged();
    void lastCheckedChanged();
    // A user default of the checker changed (skipped version, automatic checks): re-read availableRelease.
    void changed();

private:
    void setState(State state);
    QCoro::Task<> fetch(std::string feed, bool userInitiated);
    void fail(const std::string& description, bool userInitiated);
    void queueResultAlert();
    void presentResult();
    void presentAvailable(const UpdateRelease& release);

    Environment environment_;
    State state_;
    std::optional<QDateTime> lastChecked_;
    std::unique_ptr<QTimer> timer_;
    std::set<std::string> announced_;
    std::unique_ptr<QNetworkAccessManager> network_;
};
