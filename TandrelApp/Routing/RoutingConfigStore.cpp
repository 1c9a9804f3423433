#include "TandrelApp/Routing/RoutingConfigStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <nlohmann/json.hpp>

#include "TandrelApp/Support/Log.h"

namespace {

// The file a load or save has already examined; a save to any other path first makes sure it does
// not replace an unreadable file.
QString& examinedPath() {
    static QString path;
    return path;
}

// An unreadable file that could not be moved aside: saving over it would lose it.
QString& unreadableKeptPath() {
    static QString path;
    return path;
}

QString timestamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QString folderOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

// Reads and decodes the file; throws with the reason when it cannot.
RoutingConfig read(QFile& file) {
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(file.errorString().toStdString());
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw std::runtime_error(file.errorString().toStdString());
    }
    return nlohmann::json::parse(bytes.begin(), bytes.end()).get<RoutingConfig>();
}

// The unreadable file's new path; none when it could not be moved.
std::optional<QString> moveAside(const QString& path, const std::string& reason) {
    QString folder = folderOf(path);
    QString base = QStringLiteral("routing.unreadable-") + timestamp();
    QString target = folder + QStringLiteral("/") + base + QStringLiteral(".json");
    for (int suffix = 2; QFileInfo::exists(target) && suffix < 100; ++suffix) {
        target = folder + QStringLiteral("/") + base + QStringLiteral("-%1.json").arg(suffix);
    }
    QFile file(path);
    if (file.rename(target)) {
        Log::app("Controller")
            ->warn("routing.json could not be read ({}); moved it to {} and started from the "
                   "default configuration",
                   reason, QFileInfo(target).fileName().toStdString());
        return target;
    }
    Log::app("Controller")
        ->error("routing.json could not be read ({}) and could not be moved aside: {}", reason,
                file.errorString().toStdString());
    return std::nullopt;
}

// Loads the file at `path`; a file that exists but does not decode is moved aside.
RoutingConfigStore::Loaded loadFrom(const QString& path) {
    examinedPath() = path;
    unreadableKeptPath().clear();
    QFile file(path);
    if (!file.exists()) {
        return {};
    }
    try {
        return {read(file), std::nullopt};
    } catch (const std::exception& error) {
        file.close();
        auto movedTo = moveAside(path, error.what());
        if (!movedTo) {
            unreadableKeptPath() = path;
        }
        return {RoutingConfig{}, std::move(movedTo)};
    }
}

// Why the folder of routing.json cannot be made, in the user's words.
std::string folderProblem(const QString& folder) {
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
        return "「" + folder.toStdString() + "」がフォルダではなくファイルになっています";
    }
    return "フォルダ「" + folder.toStdString() + "」を作成できません";
}

} // namespace

namespace RoutingConfigStore {

QString url() {
    QString support = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (support.isEmpty()) {
        return {};
    }
    return support + QStringLiteral("/TandrelApp/routing.json");
}

Loaded loadNotingProblems() {
    QString path = url();
    if (path.isEmpty()) {
        return {};
    }
    return loadFrom(path);
}

RoutingConfig load() {
    return loadNotingProblems().config;
}

std::optional<std::string> save(const RoutingConfig& config) {
    auto failed = [](std::string description) -> std::optional<std::string> {
        Log::console("failed to save routing config: " + description);
        return description;
    };
    QString path = url();
    if (path.isEmpty()) {
        return failed("アプリケーションのデータを置くフォルダがありません");
    }
    if (!QDir().mkpath(folderOf(path))) {
        return failed(folderProblem(folderOf(path)));
    }
    if (examinedPath() != path || unreadableKeptPath() == path) {
        loadFrom(path);
    }
    if (unreadableKeptPath() == path) {
        return failed("読み込めなかった routing.json を移動できないため、上書きせずに残しています");
    }

    std::string text;
    try {
        nlohmann::json document = config;
        // Invalid UTF-8 in a name is replaced rather than failing every later save.
        text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& error) {
        return failed(error.what());
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return failed(file.errorString().toStdString());
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
        std::string reason = file.errorString().toStdString();
        file.cancelWriting();
        return failed(reason);
    }
    if (!file.commit()) {
        return failed(file.errorString().toStdString());
    }
    return std::nullopt;
}

std::optional<QString> backup() {
    QString path = url();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return std::nullopt;
    }
    QString target =
        folderOf(path) + QStringLiteral("/routing.backup-") + timestamp() + QStringLiteral(".json");
    QFile file(path);
    if (!file.copy(target)) {
        std::string reason = file.errorString().toStdString();
        if (QFileInfo::exists(target)) {
            reason = "a file named " + QFileInfo(target).fileName().toStdString() + " already exists";
        }
        Log::console("failed to back up routing config: " + reason);
        return std::nullopt;
    }
    return target;
}

} // namespace RoutingConfigStore
