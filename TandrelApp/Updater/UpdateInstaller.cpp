#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Support/AppError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <qcoro/qcoronetworkreply.h>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/Desktop/Alerts.h"
#include "Platform/System/Desktop/ApplicationActivation.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/QueueAwait.h"
#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Support/UUID.h"
#include "TandrelApp/Updater/UpdateNetwork.h"

#ifndef TANDREL_TEAM_ID
#define TANDREL_TEAM_ID ""
#endif

namespace {

// The run was cancelled; it ends without a word.
struct RunCancelled {};

void removeFolder(const QString& folder) {
    if (!folder.isEmpty()) {
        QDir(folder).removeRecursively();
    }
}

} // namespace

struct UpdateInstaller::Run {
    std::uint64_t generation = 0;
    bool cancelled = false;
    bool ended = false;
    QString folder;
    QPointer<QNetworkReply> reply;
};

UpdateInstaller::Environment UpdateInstaller::Environment::standard() {
    return {
        .tools = UpdateTools::standard(),
        .teamIdentifier = &UpdateInstaller::ownTeamIdentifier,
        .dryRun = QCoreApplication::arguments().contains(QStringLiteral("--update-dry-run")),
        .temporaryDirectory = QDir::tempPath(),
    };
}

UpdateInstaller& UpdateInstaller::shared() {
    static auto* instance = new UpdateInstaller(Environment::standard());
    return *instance;
}

UpdateInstaller::UpdateInstaller(Environment environment, QObject* parent)
    : QObject(parent)
    , environment_(std::move(environment)) {}

UpdateInstaller::~UpdateInstaller() {
    if (current_ && current_->reply) {
        current_->reply->abort();
    }
}

std::optional<std::string> UpdateInstaller::ownTeamIdentifier() {
    const std::string team = TANDREL_TEAM_ID;
    return team.empty() ? std::nullopt : std::optional(team);
}

void UpdateInstaller::install(const UpdateRelease& release) {
    const bool runPending = current_ && !current_->ended && !current_->cancelled;
    if (phase_.isBusy() || runPending) {
        return;
    }
    current_ = std::make_shared<Run>();
    current_->generation = ++generation_;
    spawnOnMain([self = QPointer(this), release, state = current_]() -> QCoro::Task<> {
        if (self) {
            co_await self->run(release, state);
        }
    });
}

void UpdateInstaller::cancel() {
    if (current_) {
        current_->cancelled = true;
        if (current_->reply) {
            current_->reply->abort();
        }
    }
    // The cancelled run may still be inside a tool: from now on it leaves the phase alone.
    ++generation_;
    publish(Phase::idle());
}

void UpdateInstaller::setPhase(std::uint64_t generation, Phase phase) {
    if (generation == generation_) {
        publish(std::move(phase));
    }
}

void UpdateInstaller::publish(Phase phase) {
    phase_ = std::move(phase);
    emit phaseChanged();
}

QCoro::Task<> UpdateInstaller::run(UpdateRelease release, std::shared_ptr<Run> state) {
    QPointer self(this);
    const std::uint64_t generation = state->generation;
    std::exception_ptr failure;
    try {
        const QString folder = environment_.temporaryDirectory + QStringLiteral("/CorvaneUpdate-") +
                               QString::fromStdString(UUID::random().uuidString());
        if (!QDir().mkpath(folder)) {
            throw UpdateToolError("作業フォルダを作成できません: " + folder.toStdString());
        }
        state->folder = folder;
        lastWorkFolder_ = folder;
        setPhase(generation, Phase::downloading(0));

        auto downloading = download(QString::fromStdString(release.url), folder, state);
        const QString image = co_await std::move(downloading);
        if (!self) {
            co_return;
        }
        if (state->cancelled) {
            throw RunCancelled{};
        }
        setPhase(generation, Phase::verifying());

        const UpdateTools tools = environment_.tools;
        const auto team = environment_.teamIdentifier ? environment_.teamIdentifier() : std::nullopt;
        auto checking = awaitOnQueue(DispatchQueue::global(), [tools, team, image, folder] {
            const QString package = extractPackage(tools, image, folder);
            verify(tools, team, package);
            return package;
        });
        const QString package = co_await std::move(checking);
        if (!self) {
            co_return;
        }
        if (state->cancelled) {
            throw RunCancelled{};
        }
        auto log = Log::app("Update");
        log->info("Update package verified: {}", QFileInfo(package).fileName().toStdString());

        if (environment_.dryRun) {
            log->info("Dry run: would install {}", package.toStdString());
            setPhase(generation, Phase::idle());
            removeFolder(folder);
            state->ended = true;
            co_return;
        }

        setPhase(generation, Phase::waitingForPassword());
        if (quitTimeSave_) {
            quitTimeSave_();
        }
        auto onAuthorized = [self, generation] {
            DispatchQueue::main()->async([self, generation] {
                if (self) {
                    self->setPhase(generation, Phase::installing());
                }
            });
        };
        auto installing = awaitOnQueue(DispatchQueue::global(), [tools, team, package, onAuthorized] {
            runInstaller(tools, team.value_or(""), package, onAuthorized);
        });
        co_await std::move(installing);
        if (!self) {
            co_return;
        }
        setPhase(generation, Phase::idle());
        removeFolder(folder);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && self) {
        finishWithFailure(release, failure, *state);
    }
    state->ended = true;
}

void UpdateInstaller::finishWithFailure(const UpdateRelease& release, const std::exception_ptr& failure,
                                        const Run& state) {
    bool cancelledRun = state.cancelled;
    bool cancelledPrompt = false;
    try {
        std::rethrow_exception(failure);
    } catch (const RunCancelled&) {
        cancelledRun = true;
    } catch (const InstallError& error) {
        cancelledPrompt = error.isCancelledPrompt();
    } catch (...) {
    }
    if (cancelledRun) {
        setPhase(state.generation, Phase::idle());
        removeFolder(state.folder);
        return;
    }
    const std::string description = describeError(failure);
    Log::app("Update")->error("Update failed: {}", description);
    removeFolder(state.folder);
    if (cancelledPrompt) {
        setPhase(state.generation, Phase::idle());
        return;
    }
    setPhase(state.generation, Phase::failed(description));
    showFailureAlert(release, description);
}

QCoro::Task<QString> UpdateInstaller::download(QString url, QString folder, std::shared_ptr<Run> state) {
    QPointer self(this);
    const std::uint64_t generation = state->generation;
    QString name = QUrl(url).fileName();
    if (name.isEmpty()) {
        name = QStringLiteral("update.dmg");
    }
    const QString destination = folder + QLatin1Char('/') + name;

    QFile partial(destination + QStringLiteral(".part"));
    if (!partial.open(QIODevice::WriteOnly)) {
        throw InstallError::download(partial.errorString().toStdString());
    }
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    state->reply = reply.get();

    std::optional<std::string> writeFailure;
    QNetworkReply* transfer = reply.get();
    connect(transfer, &QNetworkReply::readyRead, transfer, [&partial, &writeFailure, transfer] {
        const QByteArray bytes = transfer->readAll();
        if (!writeFailure && partial.write(bytes) != bytes.size()) {
            writeFailure = partial.errorString().toStdString();
            transfer->abort();
        }
    });
    connect(transfer, &QNetworkReply::downloadProgress, transfer,
            [self, generation](qint64 received, qint64 total) {
                if (total < 1 || !self || self->phase_.kind != Phase::Kind::downloading) {
                    return;
                }
                self->setPhase(generation, Phase::downloading(double(received) / double(total)));
            });
    co_await qCoro(transfer).waitForFinished();
    state->reply = nullptr;
    if (state->cancelled) {
        throw RunCancelled{};
    }
    if (writeFailure) {
        throw InstallError::download(*writeFailure);
    }
    const QByteArray rest = transfer->readAll();
    partial.write(rest);
    partial.close();

    const QVariant status = transfer->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() && transfer->error() != QNetworkReply::NoError) {
        throw InstallError::download(UpdateNetwork::transferFailure(*transfer));
    }
    if (status.toInt() != 200) {
        throw InstallError::download("サーバーの応答 " + std::to_string(status.toInt()));
    }
    if (transfer->error() != QNetworkReply::NoError) {
        throw InstallError::download(UpdateNetwork::transferFailure(*transfer));
    }
    QFile::remove(destination);
    if (!partial.rename(destination)) {
        throw InstallError::download(partial.errorString().toStdString());
    }
    co_return destination;
}

QString UpdateInstaller::extractPackage(const UpdateTools& tools, const QString& image,
                                        const QString& folder) {
    const QString mount = folder + QStringLiteral("/mount");
    if (!QDir().mkpath(mount)) {
        throw UpdateToolError("フォルダを作成できません: " + mount.toStdString());
    }
    // "Detach": whatever happens from here, nothing of the archive stays unpacked.
    struct Detach {
        QString mount;
        ~Detach() { QDir(mount).removeRecursively(); }
    } detach{mount};

    const auto attached =
        UpdateToolRunner::runSync(tools.tar, tools.attachArguments(image.toStdString(), mount.toStdString()));
    if (auto failure = UpdateToolDecisions::attachFailure(attached)) {
        throw *failure;
    }
    const QStringList entries = QDir(mount).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    const auto found = std::find_if(entries.begin(), entries.end(), [](const QString& entry) {
        return QFileInfo(entry).suffix() == QLatin1String("pkg");
    });
    if (found == entries.end()) {
        throw InstallError::noPackage();
    }
    const QString copy = folder + QStringLiteral("/CorvaneUpdate.pkg");
    QFile source(mount + QLatin1Char('/') + *found);
    if (!source.copy(copy)) {
        throw UpdateToolError("インストーラをコピーできません: " + source.errorString().toStdString());
    }
    return copy;
}

void UpdateInstaller::verify(const UpdateTools& tools, const std::optional<std::string>& team,
                             const QString& package) {
    if (!team || team->empty()) {
        throw InstallError::untrusted("このアプリの署名を確認できません");
    }
    const std::string path = package.toStdString();
    if (auto failure = UpdateToolDecisions::assessmentFailure(
            UpdateToolRunner::runSync(tools.openssl, tools.assessArguments(path)))) {
        throw *failure;
    }
    const std::string signerFile = QFileInfo(package).absolutePath().toStdString() + "/signer.pem";
    const auto signer = UpdateToolRunner::runSync(tools.openssl, tools.signerArguments(path, signerFile));
    const auto subject = signer.status == 0
                             ? UpdateToolRunner::runSync(tools.openssl, tools.subjectArguments(signerFile))
                             : CommandResult{1, {}};
    if (auto failure = UpdateToolDecisions::teamFailure(signer, subject, *team)) {
        throw *failure;
    }
}

void UpdateInstaller::runInstaller(const UpdateTools& tools, const std::string& team, const QString& package,
                                   const std::function<void()>& onAuthorized) {
    const auto arguments = tools.elevatedInstallArguments(package.toStdString(), team);
    // Called before the elevator starts: the phase reads "installing" while the password is asked for.
    onAuthorized();
    if (auto failure =
            UpdateToolDecisions::installerFailure(UpdateToolRunner::runSync(tools.elevator, arguments))) {
        throw *failure;
    }
}

void UpdateInstaller::showFailureAlert(const UpdateRelease& release, const std::string& description) {
    ApplicationActivation::activateIgnoringOtherApps();
    const AlertResponse response = Alerts::shared().run({
        .style = AlertSpec::Style::warning,
        .message = "アップデートできませんでした",
        .informativeText =
            description + "\n\nホームページからダウンロードして、インストーラを実行することもできます。",
        .buttons = {{.title = "ダウンロードページを開く"}, {.title = "閉じる", .cancels = true}},
        .checkbox = std::nullopt,
    });
    if (response.button == 0) {
        Workspace::shared().openURL(release.page.value_or(release.url));
    }
}
