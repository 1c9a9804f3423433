#include "TandrelApp/Updater/UpdateChecker.h"

#include <algorithm>

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>
#include <QUrl>

#include <qcoro/qcoronetworkreply.h>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "Platform/System/Desktop/BundleInfo.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Support/TandrelVersion.h"
#include "TandrelApp/Support/UserDefaults.h"
#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Updater/UpdateNetwork.h"

namespace {

const QString feedKey = QStringLiteral("TDUpdateFeedURL");
const QString lastCheckedKey = QStringLiteral("TDUpdateLastChecked");
const QString skippedKey = QStringLiteral("TDUpdateSkippedVersion");
const QString autoCheckDisabledKey = QStringLiteral("TDUpdateAutoCheckDisabled");

std::optional<QDateTime> storedDate(const QVariant& value) {
    if (value.metaType().id() != QMetaType::QDateTime || !value.toDateTime().isValid()) {
        return std::nullopt;
    }
    return value.toDateTime();
}

// A release document on its way in, and why it was cut off.
struct Transfer {
    QByteArray body;
    std::optional<std::string> failure;
};

std::optional<std::string> storedText(const UserDefaults& defaults, const QString& key) {
    const QVariant value = defaults.value(key);
    if (!value.isValid() || value.metaType().id() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString().toStdString();
}

} // namespace

UpdateChecker::Environment UpdateChecker::Environment::standard() {
    return {
        .defaults = &UserDefaults::standard(),
        .infoFeedURL = BundleInfo::string("TDUpdateFeedURL"),
        .currentVersion = TandrelVersion::shortVersion(),
        .currentBuild = TandrelVersion::build(),
        .systemVersion = &SystemInfo::version,
        .arguments = QCoreApplication::arguments(),
        .install = [](const UpdateRelease& release) { UpdateInstaller::shared().install(release); },
    };
}

UpdateChecker& UpdateChecker::shared() {
    static auto* instance = new UpdateChecker(Environment::standard());
    return *instance;
}

UpdateChecker::UpdateChecker(Environment environment, QObject* parent)
    : QObject(parent)
    , environment_(std::move(environment))
    , network_(std::make_unique<QNetworkAccessManager>()) {
    lastChecked_ = storedDate(environment_.defaults->value(lastCheckedKey));
}

UpdateChecker::~UpdateChecker() = default;

void UpdateChecker::setState(State state) {
    state_ = std::move(state);
    emit stateChanged();
}

std::optional<std::string> UpdateChecker::feedURL() const {
    return UpdateRules::feedURL(storedText(*environment_.defaults, feedKey), environment_.infoFeedURL);
}

std::optional<UpdateRelease> UpdateChecker::availableRelease() const {
    if (state_.kind != State::Kind::available || !state_.release) {
        return std::nullopt;
    }
    if (storedText(*environment_.defaults, skippedKey) == state_.release->version) {
        return std::nullopt;
    }
    return state_.release;
}

void UpdateChecker::skipVersion(const std::string& version) {
    environment_.defaults->set(skippedKey, QString::fromStdString(version));
    emit changed();
}

bool UpdateChecker::automaticChecksEnabled() const {
    return !environment_.defaults->value(autoCheckDisabledKey).toBool();
}

void UpdateChecker::setAutomaticChecksEnabled(bool enabled) {
    environment_.defaults->set(autoCheckDisabledKey, !enabled);
    emit changed();
    scheduleAutomaticChecks();
}

QCoro::Task<> UpdateChecker::check(bool userInitiated) {
    if (state_.kind == State::Kind::checking) {
        co_return;
    }
    const auto feed = feedURL();
    if (!feed) {
        setState(State::failed("確認先が設定されていません"));
        if (userInitiated) {
            presentResult();
        }
        co_return;
    }
    setState(State::checking());
    co_await fetch(*feed, userInitiated);
}

QCoro::Task<> UpdateChecker::fetch(std::string feed, bool userInitiated) {
    QPointer self(this);
    QNetworkRequest request{QUrl(QString::fromStdString(feed))};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(int(std::chrono::milliseconds(requestTimeout).count()));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromStdString("Corvane/" + environment_.currentVersion));
    // The manager owns the reply and deletes it with itself, should the checker go first.
    QPointer<QNetworkReply> reply = network_->get(request);
    reply->setReadBufferSize(64 * 1024);
    const auto release = qScopeGuard([reply] {
        if (reply) {
            reply->deleteLater();
        }
    });
    // The document is read as it arrives, and the transfer cut off once it is too large or too slow.
    auto transfer = std::make_shared<Transfer>();
    const std::int64_t limit = environment_.feedLimit;
    const auto cutOff = [transfer, reply](std::string reason) {
        if (!transfer->failure && reply) {
            transfer->failure = std::move(reason);
            reply->abort();
        }
    };
    const auto tooLarge = "リリース情報が大きすぎます（上限 " + std::to_string(limit) + " バイト）";
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, limit, cutOff, tooLarge] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit) {
            cutOff(tooLarge);
        }
    });
    // Reads what has arrived, one byte past the limit at most; false once the document is too large.
    const auto take = [reply, transfer, limit] {
        transfer->body += reply->read(limit + 1 - transfer->body.size());
        return transfer->body.size() <= limit;
    };
    connect(reply, &QNetworkReply::readyRead, reply, [take, cutOff, tooLarge] {
        if (!take()) {
            cutOff(tooLarge);
        }
    });
    QTimer::singleShot(environment_.checkTimeLimit, reply.data(),
                       [cutOff] { cutOff("要求がタイムアウトしました"); });
    co_await qCoro(reply.data()).waitForFinished();
    if (!self || !reply) {
        co_return;
    }
    if (transfer->failure) {
        fail(*transfer->failure, userInitiated);
        co_return;
    }
    if (!take()) {
        fail(tooLarge, userInitiated);
        co_return;
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() && reply->error() != QNetworkReply::NoError) {
        fail(UpdateNetwork::transferFailure(*reply), userInitiated);
        co_return;
    }
    if (status.toInt() != 200) {
        fail(UpdateNetwork::badServerResponse(), userInitiated);
        co_return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        fail(UpdateNetwork::transferFailure(*reply), userInitiated);
        co_return;
    }
    UpdateRelease offered;
    try {
        offered = UpdateRules::decodeRelease(transfer->body.toStdString());
    } catch (const ReleaseDecodingError& error) {
        fail(error.what(), userInitiated);
        co_return;
    }
    if (!UpdateRules::acceptsPackageAddress(offered.url, feed)) {
        fail(UpdateNetwork::unsupportedURL(), userInitiated);
        co_return;
    }

    lastChecked_ = QDateTime::currentDateTime();
    environment_.defaults->set(lastCheckedKey, *lastChecked_);
    emit lastCheckedChanged();

    const auto system = environment_.systemVersion ? environment_.systemVersion() : SystemInfo::version();
    if (!UpdateRules::offersUpdate(offered, environment_.currentVersion, environment_.currentBuild, system)) {
        setState(State::upToDate());
        if (userInitiated) {
            queueResultAlert();
        }
        co_return;
    }

    Log::app("Update")->info("Update available: {}", offered.version);
    setState(State::available(offered));
    if (environment_.arguments.contains(QStringLiteral("--update-dry-run"))) {
        if (environment_.install) {
            environment_.install(offered);
        }
        co_return;
    }
    if (userInitiated) {
        queueResultAlert();
        co_return;
    }
    if (storedText(*environment_.defaults, skippedKey) == offered.version ||
        announced_.contains(offered.version)) {
        co_return;
    }
    announced_.insert(offered.version);
    QTimer::singleShot(0, this, [this, offered] { presentAvailable(offered); });
}

void UpdateChecker::fail(const std::string& description, bool userInitiated) {
    Log::app("Update")->error("Update check failed: {}", description);
    setState(State::failed("確認できませんでした（" + description + "）"));
    if (userInitiated) {
        queueResultAlert();
    }
}

void UpdateChecker::queueResultAlert() {
    QTimer::singleShot(0, this, [this] { presentResult(); });
}

void UpdateChecker::presentResult() {
    if (state_.kind == State::Kind::available && state_.release) {
        presentAvailable(*state_.release);
        return;
    }
    if (auto alert = resultAlert(state_, environment_.currentVersion)) {
        ApplicationActivation::activateIgnoringOtherApps();
        Alerts::shared().run(*alert);
    }
}

void UpdateChecker::presentAvailable(const UpdateRelease& release) {
    Log::app("Update")->info("Presenting update {}", release.version);
    ApplicationActivation::activateIgnoringOtherApps();
    const AlertResponse response = Alerts::shared().run(releaseAlert(release, environment_.currentVersion));
    if (response.button == 0) {
        if (environment_.install) {
            environment_.install(release);
        }
    } else if (response.button == 2) {
        skipVersion(release.version);
    }
}

std::optional<AlertSpec> UpdateChecker::resultAlert(const State& state, const std::string& currentVersion) {
    switch (state.kind) {
    case State::Kind::available:
        if (state.release) {
            return releaseAlert(*state.release, currentVersion);
        }
        return std::nullopt;
    case State::Kind::failed:
        return AlertSpec{
            .style = AlertSpec::Style::warning,
            .message = "アップデートを確認できませんでした",
            .informativeText =
                state.message + "\nインターネットへの接続を確認して、あとでもう一度お試しください。",
            .buttons = {},
            .checkbox = std::nullopt,
        };
    case State::Kind::upToDate:
        return AlertSpec{
            .style = AlertSpec::Style::informational,
            .message = "お使いの Corvane は最新です",
            .informativeText = "バージョン " + currentVersion,
            .buttons = {},
            .checkbox = std::nullopt,
        };
    case State::Kind::idle:
    case State::Kind::checking:
        return std::nullopt;
    }
    return std::nullopt;
}

AlertSpec UpdateChecker::releaseAlert(const UpdateRelease& release, const std::string& currentVersion) {
    std::string informative = "今お使いのバージョンは " + currentVersion + " です。";
    if (release.notes && !release.notes->empty()) {
        informative += "\n";
        for (const auto& note : *release.notes) {
            informative += "\n・" + note;
        }
    }
    informative +=
        "\n\n「今すぐアップデート」を押すと、ダウンロードとインストールを行い、終わったら自動で起動し直します"
        "（管理者のパスワードを求められます。設定はそのまま引き継がれます）。";
    return {
        .style = AlertSpec::Style::informational,
        .message = "Corvane " + release.version + " が公開されています",
        .informativeText = informative,
        .buttons = {{.title = "今すぐアップデート"},
                    {.title = "あとで", .cancels = true},
                    {.title = "このバージョンをスキップ"}},
        .checkbox = std::nullopt,
    };
}

std::chrono::milliseconds UpdateChecker::automaticCheckDelay(const std::optional<QDateTime>& lastChecked,
                                                             const QDateTime& now) {
    std::chrono::milliseconds delay{0};
    if (lastChecked) {
        const QDateTime last = std::min(*lastChecked, now);
        delay = std::chrono::milliseconds(now.msecsTo(last.addSecs(checkInterval.count())));
    }
    return std::max<std::chrono::milliseconds>(delay, minimumDelay);
}

void UpdateChecker::scheduleAutomaticChecks() {
    timer_.reset();
    if (!automaticChecksEnabled()) {
        return;
    }
    timer_ = std::make_unique<QTimer>();
    timer_->setSingleShot(true);
    timer_->setInterval(automaticCheckDelay(lastChecked_, QDateTime::currentDateTime()));
    connect(timer_.get(), &QTimer::timeout, this, [self = QPointer(this)] {
        spawnOnMain([self]() -> QCoro::Task<> {
            if (!self) {
                co_return;
            }
            co_await self->check(false);
            if (self) {
                self->scheduleAutomaticChecks();
            }
        });
    });
    timer_->start();
}

std::optional<std::chrono::milliseconds> UpdateChecker::scheduledDelay() const {
    if (!timer_ || !timer_->isActive()) {
        return std::nullopt;
    }
    return timer_->intervalAsDuration();
}
