#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Support/AppError.h"

#include <algorithm>
#include <ctime>
#include <system_error>
#include <utility>

#include <QCoreApplication>
#include <QStandardPaths>

#include "Platform/System/Desktop/FileManager.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> systemMusicFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    return fs::path(folder.toStdString());
}

void revealInFileManager(const fs::path& file, std::function<void(bool shown)> done) {
    FileManager::reveal(QString::fromStdString(file.string()),
                        [done = std::move(done)](FileManager::Outcome outcome) {
                            done(outcome != FileManager::Outcome::notShown);
                        });
}

CaptureLabModel::Environment withDefaults(CaptureLabModel::Environment environment) {
    if (!environment.makeSource) {
        environment.makeSource = [](CaptureBackend backend, const CaptureTarget& target) {
            return CaptureTestRunner::makeSource(backend, target);
        };
    }
    if (!environment.musicFolder) {
        environment.musicFolder = &systemMusicFolder;
    }
    if (!environment.now) {
        environment.now = [] {
            return std::chrono::system_clock::now();
        };
    }
    if (!environment.reveal) {
        environment.reveal = &revealInFileManager;
    }
    return environment;
}

bool pathIsTaken(const fs::path& path) {
    std::error_code error;
    // A dangling link counts: opening it for writing would write through it. A path that cannot be
    // looked at (a name too long, say) is free here; opening it then fails with the reason.
    const fs::file_type type = fs::symlink_status(path, error).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

// Ends a source whose capture nobody holds any more.
QCoro::Task<> stopOrphan(std::shared_ptr<AudioCaptureSource> source) {
    auto stopping = source->stop();
    co_await std::move(stopping);
}

} // namespace

// ---- ActiveCapture

CaptureLabActiveCapture::CaptureLabActiveCapture(std::shared_ptr<AudioCaptureSource> source,
                                                 std::shared_ptr<CaptureAnalyzer> analyzer)
    : source_(std::move(source))
    , analyzer_(std::move(analyzer)) {}

CaptureLabActiveCapture::~CaptureLabActiveCapture() = default;

// ---- The model

CaptureLabModel::CaptureLabModel()
    : CaptureLabModel(Environment{}) {}

CaptureLabModel::CaptureLabModel(Environment environment)
    : environment_(withDefaults(std::move(environment))) {
    meterTimer_.setTimerType(Qt::PreciseTimer);
    meterTimer_.setInterval(environment_.meterInterval);
    connect(&meterTimer_, &QTimer::timeout, this, &CaptureLabModel::refreshMeters);
    meterTimer_.start();
}

CaptureLabModel::~CaptureLabModel() {
    meterTimer_.stop();
    for (auto& [target, capture] : captures_) {
        // A capture already stopping has its stop task, which holds the source until it is done.
        if (capture->stopping_) {
            continue;
        }
        capture->stopping_ = true;
        capture->analyzer_->stop();
        if (QCoreApplication::instance() != nullptr) {
            spawnOnMain([source = capture->source_] { return stopOrphan(source); });
        }
    }
}

void CaptureLabModel::setMode(CaptureMode mode) {
    if (mode == mode_) {
        return;
    }
    mode_ = mode;
    generation_ += 1;
    emit modeChanged();
    // The captures of the old mode, taken now: one that starts in the new mode before this task runs
    // is not the task's to stop.
    std::vector<std::shared_ptr<ActiveCapture>> present;
    for (const auto& [target, capture] : captures_) {
        present.push_back(capture);
    }
    std::weak_ptr<CaptureLabModel> weak = weak_from_this();
    spawnOnMain([weak, present = std::move(present)] { return stopEach(weak, present); });
}

void CaptureLabModel::setApps(std::vector<CaptureTargetProvider::AppInfo> apps) {
    apps_ = std::move(apps);
    emit appsChanged();
}

std::shared_ptr<CaptureLabModel::ActiveCapture> CaptureLabModel::capture(const CaptureTarget& target) const {
    const auto found = captures_.find(target);
    return found == captures_.end() ? nullptr : found->second;
}

void CaptureLabModel::setMessage(std::optional<std::string> message) {
    message_ = std::move(message);
    emit messageChanged();
}

QCoro::Task<> CaptureLabModel::toggle(CaptureTarget target) {
    return toggleTarget(weak_from_this(), std::move(target));
}

QCoro::Task<> CaptureLabModel::stopAll() {
    return stopCaptures(weak_from_this());
}

QCoro::Task<> CaptureLabModel::toggleTarget(std::weak_ptr<CaptureLabModel> weak, CaptureTarget target) {
    auto self = weak.lock();
    if (!self || self->starting_.contains(target)) {
        co_return;
    }
    if (auto running = self->capture(target)) {
        self.reset();
        co_await stop(weak, running);
    } else {
        self.reset();
        co_await start(weak, target);
    }
}

QCoro::Task<> CaptureLabModel::stopCaptures(std::weak_ptr<CaptureLabModel> weak) {
    std::vector<std::shared_ptr<ActiveCapture>> present;
    if (auto self = weak.lock()) {
        for (const auto& [target, capture] : self->captures_) {
            present.push_back(capture);
        }
    }
    co_await stopEach(weak, std::move(present));
}

QCoro::Task<> CaptureLabModel::stopEach(std::weak_ptr<CaptureLabModel> weak,
                                        std::vector<std::shared_ptr<ActiveCapture>> captures) {
    for (auto& capture : captures) {
        co_await stop(weak, capture);
    }
}

QCoro::Task<> CaptureLabModel::start(std::weak_ptr<CaptureLabModel> weak, CaptureTarget target) {
    auto self = weak.lock();
    if (!self) {
        co_return;
    }
    const uint64_t generation = self->generation_;
    std::shared_ptr<AudioCaptureSource> source =
        self->environment_.makeSource(backend(self->mode_, target), target);
    self->starting_.insert(target);
    self.reset();

    std::exception_ptr failure;
    try {
        auto starting = source->start();
        co_await std::move(starting);
    } catch (...) {
        failure = std::current_exception();
    }

    self = weak.lock();
    if (self) {
        self->starting_.erase(target);
    }
    if (failure) {
        if (self) {
            self->setMessage(target.displayName() + ": " + describeError(failure));
        }
        co_return;
    }
    // The window went, or the mode changed, while the source started: nobody is to hear it.
    if (!self || generation != self->generation_ || !self->addCapture(target, source)) {
        self.reset();
        co_await stopOrphan(source);
    }
}

bool CaptureLabModel::addCapture(const CaptureTarget& target, std::shared_ptr<AudioCaptureSource> source) {
    std::shared_ptr<CaptureAnalyzer> analyzer;
    try {
        analyzer = std::make_shared<CaptureAnalyzer>(source, std::vector<double>{});
    } catch (const std::exception& e) {
        setMessage(target.displayName() + ": " + e.what());
        return false;
    }
    auto capture = std::make_shared<ActiveCapture>(source, analyzer);
    std::weak_ptr<CaptureLabModel> weakModel = weak_from_this();
    std::weak_ptr<ActiveCapture> weakCapture = capture;
    // Called on any thread; everything it does happens in a main-thread task.
    source->setOnStop([weakModel, weakCapture](std::exception_ptr error) {
        spawnOnMain([weakModel, weakCapture, error] { return sourceStopped(weakModel, weakCapture, error); });
    });
    analyzer->start();
    captures_[target] = std::move(capture);
    emit capturesChanged();
    return true;
}

QCoro::Task<> CaptureLabModel::sourceStopped(std::weak_ptr<CaptureLabModel> weak,
                                             std::weak_ptr<ActiveCapture> weakCapture,
                                             std::exception_ptr error) {
    auto capture = weakCapture.lock();
    if (weak.expired() || !capture) {
        co_return;
    }
    capture->error_ = error ? std::optional(describeError(error)) : std::nullopt;
    emit capture->changed();
    co_await stop(weak, capture);
}

QCoro::Task<> CaptureLabModel::stop(std::weak_ptr<CaptureLabModel> weak,
                                    std::shared_ptr<ActiveCapture> capture) {
    if (capture->stopping_) {
        co_return;
    }
    capture->stopping_ = true;
    capture->analyzer_->stop();
    emit capture->changed();

    auto stopping = capture->source_->stop();
    co_await std::move(stopping);

    auto self = weak.lock();
    if (!self) {
        co_return;
    }
    const auto found = self->captures_.find(capture->source_->target());
    if (found != self->captures_.end() && found->second == capture) {
        self->captures_.erase(found);
        emit self->capturesChanged();
    }
}

// ---- Meters

void CaptureLabModel::refreshMeters() {
    // Slots answering `changed` run inside the loop: walk a copy, which none of them can invalidate.
    const Captures present = captures_;
    for (const auto& [target, capture] : present) {
        capture->peak_ = capture->analyzer_->levels().peak;
        capture->statistics_ = capture->source_->statistics();
        capture->dropped_ = capture->analyzer_->droppedFrames();
        emit capture->changed();
    }
}

// ---- Recording

void CaptureLabModel::toggleRecording(ActiveCapture& capture) {
    if (capture.stopping_) {
        return;
    }
    if (capture.recordingPath_) {
        capture.analyzer_->stopRecording();
        const fs::path finished = *std::exchange(capture.recordingPath_, std::nullopt);
        emit capture.changed();
        environment_.reveal(finished, [self = weak_from_this(), finished](bool shown) {
            if (auto model = self.lock(); model && !shown) {
                model->setMessage(notRevealedPrefix + finished.string());
            }
        });
        return;
    }
    if (auto path = startRecording(capture)) {
        capture.recordingPath_ = std::move(path);
        emit capture.changed();
    }
}

std::optional<fs::path> CaptureLabModel::startRecording(ActiveCapture& capture) {
    const auto music = environment_.musicFolder();
    if (!music || music->empty()) {
        setMessage(std::string(recordingFailedPrefix) + "音楽フォルダが見つかりません");
        return std::nullopt;
    }
    const fs::path folder = *music / capturesFolderName;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        setMessage(std::string(recordingFailedPrefix) + "フォルダを作成できません（" + folder.string() +
                   "）: " + error.message());
        return std::nullopt;
    }
    const fs::path path = uniqueRecordingPath(
        folder, recordingBaseName(capture.source_->target().displayName(), environment_.now()), &pathIsTaken);
    try {
        capture.analyzer_->startRecording(path);
    } catch (const std::exception& e) {
        setMessage(std::string(recordingFailedPrefix) + e.what());
        return std::nullopt;
    }
    return path;
}

std::string CaptureLabModel::recordingBaseName(const std::string& displayName,
                                               std::chrono::system_clock::time_point time) {
    std::string name = displayName;
    std::replace(name.begin(), name.end(), '/', '-');
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%SZ", &utc);
    return name + " " + stamp;
}

fs::path CaptureLabModel::uniqueRecordingPath(const fs::path& folder, const std::string& baseName,
                                              const std::function<bool(const fs::path&)>& isTaken) {
    fs::path path = folder / (baseName + ".wav");
    for (int number = 2; isTaken(path); ++number) {
        path = folder / (baseName + " " + std::to_string(number) + ".wav");
    }
    return path;
}
