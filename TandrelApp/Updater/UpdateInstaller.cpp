#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Support/AppError.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

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
#include "TandrelApp/Support/TandrelVersion.h"
#include "TandrelApp/Support/UUID.h"
#include "TandrelApp/Updater/Package/FileDescriptor.h"
#include "TandrelApp/Updater/Package/PackageTrust.h"
#include "TandrelApp/Updater/Package/SafeFiles.h"
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
    // Held on the work folder while the run lasts: a folder nobody holds was left by a run that was
    // stopped, and the next run removes it.
    FileDescriptor folderLock;
    QPointer<QNetworkReply> reply;
};

UpdateInstaller::Environment UpdateInstaller::Environment::standard() {
    return {
        .tools = UpdateTools::standard(),
        .teamIdentifier = &UpdateInstaller::ownTeamIdentifier,
        .dryRun = QCoreApplication::arguments().contains(QStringLiteral("--update-dry-run")),
        .temporaryDirectory = QDir::tempPath(),
        .currentVersion = TandrelVersion::shortVersion(),
        .currentBuild = TandrelVersion::build(),
        .limits = {},
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
        const QString folder = makeWorkFolder(environment_.temporaryDirectory, state->folderLock);
        DispatchQueue::global()->async(
            [parent = environment_.temporaryDirectory] { removeAbandonedWorkFolders(parent); });
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

        const Environment environment = environment_;
        const auto team = environment_.teamIdentifier ? environment_.teamIdentifier() : std::nullopt;
        auto checking = awaitOnQueue(
            DispatchQueue::global(), [environment, team, image, folder, version = release.version] {
                return verify(environment, team, extractPackage(environment, image, folder), version);
            });
        const Checked checked = co_await std::move(checking);
        const QString& package = checked.package;
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
        auto installing = awaitOnQueue(
            DispatchQueue::global(), [tools = environment.tools, checked, version = release.version,
                                      onAuthorized] { runInstaller(tools, checked, version, onAuthorized); });
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

namespace {

constexpr std::string_view workFolderPrefix = "CorvaneUpdate-";

// Holds `folder` for this run; false when another run holds it.
bool lockFolder(FileDescriptor& lock, int parent, const char* name) {
    lock.reset(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
}

} // namespace

void UpdateInstaller::removeAbandonedWorkFolders(const QString& parent) {
    const FileDescriptor folder(
        ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = folder ? ::fdopendir(::dup(folder.get())) : nullptr;
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        struct stat status {};
        FileDescriptor lock;
        // Only our own folders, by their name, and none that a run still holds.
        if (name.size() != workFolderPrefix.size() + 36 || name.rfind(workFolderPrefix, 0) != 0 ||
            ::fstatat(folder.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
            !lockFolder(lock, folder.get(), entry->d_name)) {
            continue;
        }
        removeFolder(parent + QLatin1Char('/') + QFile::decodeName(entry->d_name));
    }
    ::closedir(listing);
}

QString UpdateInstaller::makeWorkFolder(const QString& parent, FileDescriptor& lock) {
    // As mkdtemp makes one: a name nobody can guess, a folder that did not exist before, ours alone.
    for (int attempt = 0; attempt < 16; ++attempt) {
        UUID::Bytes bytes{};
        const std::string random = SafeFiles::randomBytes(bytes.size());
        std::copy(random.begin(), random.end(), bytes.begin());
        bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40);
        bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);
        const QString folder = parent + QLatin1Char('/') + QLatin1String(workFolderPrefix) +
                               QString::fromStdString(UUID(bytes).uuidString());
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) == 0) {
            if (!lockFolder(lock, AT_FDCWD, QFile::encodeName(folder).constData())) {
                throw UpdateToolError("作業フォルダを作成できません: " + folder.toStdString() + ": " +
                                      std::strerror(errno));
            }
            return folder;
        }
        if (errno != EEXIST) {
            throw UpdateToolError("作業フォルダを作成できません: " + folder.toStdString() + ": " +
                                  std::strerror(errno));
        }
    }
    throw UpdateToolError("作業フォルダを作成できません: " + parent.toStdString());
}

QCoro::Task<QString> UpdateInstaller::download(QString url, QString folder, std::shared_ptr<Run> state) {
    QPointer self(this);
    const std::uint64_t generation = state->generation;
    const Limits limits = environment_.limits;
    QString name = QUrl(url).fileName();
    if (name.isEmpty()) {
        name = QStringLiteral("update.dmg");
    }
    const QString destination = folder + QLatin1Char('/') + name;

    QFile partial(destination + QStringLiteral(".part"));
    if (!partial.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        throw InstallError::download(partial.errorString().toStdString());
    }
    // Why the transfer was cut off by us, and what has arrived; they outlive the reply and its handlers.
    std::optional<std::string> refusal;
    std::uint64_t received = 0;
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // No bytes for this long: the transfer is given up.
    request.setTransferTimeout(int(limits.stall.count()));
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    reply->setReadBufferSize(256 * 1024);
    state->reply = reply.get();

    QNetworkReply* transfer = reply.get();
    const auto refuse = [&refusal, transfer](std::string reason) {
        if (!refusal) {
            refusal = std::move(reason);
            transfer->abort();
        }
    };
    const auto announced = [transfer]() -> std::optional<std::uint64_t> {
        const QVariant length = transfer->header(QNetworkRequest::ContentLengthHeader);
        return length.isValid() ? std::optional(length.toULongLong()) : std::nullopt;
    };
    const auto take = [&](const QByteArray& bytes) {
        received += std::uint64_t(bytes.size());
        if (received > limits.download) {
            refuse("アップデートのファイルが大きすぎます（上限 " + std::to_string(limits.download) +
                   " バイト）");
        } else if (announced() && received > *announced()) {
            refuse("サーバーが知らせた大きさより多く届きました");
        } else if (!refusal && partial.write(bytes) != bytes.size()) {
            refuse(partial.errorString().toStdString());
        }
    };
    connect(transfer, &QNetworkReply::metaDataChanged, transfer, [&] {
        if (announced() && *announced() > limits.download) {
            refuse("アップデートのファイルが大きすぎます（上限 " + std::to_string(limits.download) +
                   " バイト）");
        }
    });
    connect(transfer, &QNetworkReply::readyRead, transfer, [&, transfer] { take(transfer->readAll()); });
    connect(transfer, &QNetworkReply::downloadProgress, transfer,
            [self, generation](qint64 bytes, qint64 total) {
                if (total < 1 || !self || self->phase_.kind != Phase::Kind::downloading) {
                    return;
                }
                self->setPhase(generation, Phase::downloading(double(bytes) / double(total)));
            });
    co_await qCoro(transfer).waitForFinished();
    state->reply = nullptr;
    if (state->cancelled) {
        throw RunCancelled{};
    }
    if (!refusal && transfer->isOpen()) {
        take(transfer->readAll());
    }
    if (refusal) {
        throw InstallError::download(*refusal);
    }
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

QString UpdateInstaller::extractPackage(const Environment& environment, const QString& image,
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
    // Each entry is written as soon as it is known to be a plain file or folder, uncompressed, and within
    // the bounds; what is written is exactly what was checked.
    environment.tools.attach(image.toStdString(), mount.toStdString(), environment.limits.image);
    const QStringList entries = QDir(mount).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    const auto found = std::find_if(entries.begin(), entries.end(), [](const QString& entry) {
        return QFileInfo(entry).suffix() == QLatin1String("pkg");
    });
    if (found == entries.end()) {
        throw InstallError::noPackage();
    }
    const QString copy = folder + QStringLiteral("/CorvaneUpdate.pkg");
    try {
        const std::string bytes = SafeFiles::readRegularFile(
            (mount + QLatin1Char('/') + *found).toStdString(), environment.limits.download);
        SafeFiles::writeNewFile(copy.toStdString(), bytes, 0600);
    } catch (const SafeFiles::Failure& failure) {
        throw UpdateToolError(std::string("インストーラをコピーできません: ") + failure.what());
    }
    return copy;
}

UpdateInstaller::Checked UpdateInstaller::verify(const Environment& environment,
                                                 const std::optional<std::string>& team,
                                                 const QString& package, const std::string& version) {
    if (!team || team->empty()) {
        throw InstallError::untrusted("このアプリの署名を確認できません");
    }
    std::string bytes;
    PackageTrust::Signer signer;
    const std::string payload =
        (QFileInfo(package).absolutePath() + QStringLiteral("/payload.tar.gz")).toStdString();
    try {
        const std::string authority =
            SafeFiles::readRegularFile(environment.tools.certificateAuthority, 1 << 20);
        bytes = SafeFiles::readRegularFile(package.toStdString(), environment.limits.download);
        signer = PackageTrust::verify(bytes, authority, payload);
    } catch (const std::runtime_error& refusal) {
        throw InstallError::untrusted(std::string("Gatekeeper: ") + refusal.what());
    }
    if (signer.team != *team) {
        throw InstallError::untrusted("署名者がこのアプリの開発元と一致しません");
    }
    // The payload must be the release offered, newer than this program, and one the helper will accept.
    std::optional<ReleaseManifest::Manifest> manifest;
    try {
        const FileDescriptor file(::open(payload.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!file) {
            throw UpdateArchive::Refused(payload + ": " + std::strerror(errno));
        }
        manifest = UpdateArchive::readPayload(file.get(), environment.limits.payload,
                                              [](const UpdateArchive::Entry&, UpdateArchive::Contents&) {});
    } catch (const UpdateArchive::Refused& refusal) {
        throw InstallError::untrusted(refusal.what());
    }
    if (auto problem = ReleaseManifest::bindingProblem(manifest, version, environment.currentVersion,
                                                       environment.currentBuild)) {
        throw InstallError::untrusted(*problem);
    }
    return {package, SafeFiles::sha256Hex(bytes)};
}

void UpdateInstaller::runInstaller(const UpdateTools& tools, const Checked& package,
                                   const std::string& version, const std::function<void()>& onAuthorized) {
    // Checked before the elevator starts: a helper that cannot run, or that others could have replaced,
    // fails here rather than passing for a dismissed prompt.
    UpdateTools elevated = tools;
    elevated.installer = UpdateToolDecisions::trustedInstaller(tools);
    const auto arguments =
        elevated.elevatedInstallArguments(package.package.toStdString(), package.digest, version);
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
