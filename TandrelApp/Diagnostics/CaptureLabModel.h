// The capture lab's state and actions: the capture method chosen in the window, the running
// applications offered as targets, and at most one running capture per target, each a capture source
// watched by its own analyzer, metered 15 times a second and recordable to a WAV file in the music
// folder. The capture lab window shows it and calls it; it stands apart from the routing. GUI thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <QObject>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include "TandrelApp/Engine/CaptureModel.h"
#include "TandrelApp/Engine/CaptureTargetProvider.h"

class CaptureAnalyzer;
class CaptureLabModel;

// One running capture: its source, the analyzer that meters and records it, and what the window
// shows of it, refreshed by the model. `changed` fires on every refresh and every change.
class CaptureLabActiveCapture : public QObject {
    Q_OBJECT

public:
    CaptureLabActiveCapture(std::shared_ptr<AudioCaptureSource> source,
                            std::shared_ptr<CaptureAnalyzer> analyzer);
    ~CaptureLabActiveCapture() override;

    const std::shared_ptr<AudioCaptureSource>& source() const { return source_; }
    const std::shared_ptr<CaptureAnalyzer>& analyzer() const { return analyzer_; }
    // Per channel, the peak of the analyzer's latest block (two zeros until the first refresh).
    const std::vector<float>& peak() const { return peak_; }
    const CaptureStatistics& statistics() const { return statistics_; }
    // Frames the analyzer's ring refused because it was full.
    uint64_t dropped() const { return dropped_; }
    // The file being recorded, while a recording runs.
    const std::optional<std::filesystem::path>& recordingPath() const { return recordingPath_; }
    // Why the source stopped by itself, shown until the capture is removed.
    const std::optional<std::string>& error() const { return error_; }
    // Whether its stop has begun; it is removed from the captures once the source has stopped.
    bool isStopping() const { return stopping_; }

signals:
    void changed();

private:
    friend class CaptureLabModel;

    const std::shared_ptr<AudioCaptureSource> source_;
    const std::shared_ptr<CaptureAnalyzer> analyzer_;
    std::vector<float> peak_{0.0f, 0.0f};
    CaptureStatistics statistics_{.callbacks = 0,
                                  .framesReceived = 0,
                                  .lastCallbackFrames = 0,
                                  .sourceFormat = "-",
                                  .tappedProcesses = std::nullopt};
    uint64_t dropped_ = 0;
    std::optional<std::filesystem::path> recordingPath_;
    std::optional<std::string> error_;
    bool stopping_ = false;
};

class CaptureLabModel : public QObject, public std::enable_shared_from_this<CaptureLabModel> {
    Q_OBJECT

public:
    using ActiveCapture = CaptureLabActiveCapture;
    using Captures = std::unordered_map<CaptureTarget, std::shared_ptr<ActiveCapture>>;

    // What the model reaches outside itself; every field left empty takes the real one.
    struct Environment {
        // The source of a target for a backend: a process tap at the source's own buffer size, or a
        // screen capture at 48 kHz.
        std::function<std::shared_ptr<AudioCaptureSource>(CaptureBackend, const CaptureTarget&)> makeSource;
        // The user's music folder; none when the system names none.
        std::function<std::optional<std::filesystem::path>()> musicFolder;
        // The time a recording is named after.
        std::function<std::chrono::system_clock::time_point()> now;
        // Shows a finished recording in the file manager, then tells whether it could, on the GUI thread.
        std::function<void(const std::filesystem::path&, std::function<void(bool shown)>)> reveal;
        // The meter refresh period.
        std::chrono::milliseconds meterInterval{1000 / 15};
    };

    // The folder under the music folder that recordings go to.
    static constexpr const char* capturesFolderName = "Corvane Captures";
    // What every failure to start a recording begins with.
    static constexpr const char* recordingFailedPrefix = "録音を開始できません: ";
    // Where a finished recording is, when the file manager could not show it.
    static constexpr const char* notRevealedPrefix =
        "ファイルマネージャで表示できませんでした。録音は次の場所にあります:\n";

    // Mode automatic, no applications, no captures, no message; the meter timer runs from here on.
    // Own it through a shared_ptr: its tasks and the sources' stop handlers hold it weakly.
    CaptureLabModel();
    explicit CaptureLabModel(Environment environment);
    // Stops every capture (the analyzers at once, the sources in tasks of their own), and makes a start
    // still being awaited stop its source when it completes, so no source is left running unowned.
    ~CaptureLabModel() override;
    CaptureLabModel(const CaptureLabModel&) = delete;
    CaptureLabModel& operator=(const CaptureLabModel&) = delete;

    CaptureMode mode() const { return mode_; }
    // A different mode stops every capture, in a task, and makes starts still being awaited stop their
    // sources; later captures use the new mode. The mode already set changes nothing.
    void setMode(CaptureMode mode);

    const std::vector<CaptureTargetProvider::AppInfo>& apps() const { return apps_; }
    void setApps(std::vector<CaptureTargetProvider::AppInfo> apps);

    const Captures& captures() const { return captures_; }
    // The capture of a target, or null.
    std::shared_ptr<ActiveCapture> capture(const CaptureTarget& target) const;
    // Whether a capture of the target has started (false while its start is awaited).
    bool isCapturing(const CaptureTarget& target) const { return captures_.contains(target); }

    // The last failure to show, until the window clears it; a newer one replaces it.
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message);

    // Stops the target's capture when there is one, otherwise starts one. Ignored while the target's
    // start or stop is still being awaited, so a target never has two sources.
    QCoro::Task<> toggle(CaptureTarget target);
    // Stops every capture present now, one after the other.
    QCoro::Task<> stopAll();
    // The same two for tasks that start later, when the model may be gone: then they do nothing.
    static QCoro::Task<> toggleTarget(std::weak_ptr<CaptureLabModel> weak, CaptureTarget target);
    static QCoro::Task<> stopCaptures(std::weak_ptr<CaptureLabModel> weak);
    // Stops the capture's recording and shows the file, or starts one into a new file in the music
    // folder's "Corvane Captures"; a failure to start goes to message(). Ignored once the capture stops.
    void toggleRecording(ActiveCapture& capture);

    // Takes every capture's latest peaks, source counters and dropped frames; the meter timer calls it.
    void refreshMeters();

    // The recording's file name without extension: the target's name with "/" as "-", a space, and the
    // time in UTC as 2025-03-04T05-06-07Z.
    static std::string recordingBaseName(const std::string& displayName,
                                         std::chrono::system_clock::time_point time);
    // <folder>/<base>.wav, or, while that is taken, "<base> 2.wav", "<base> 3.wav", ...
    static std::filesystem::path
    uniqueRecordingPath(const std::filesystem::path& folder, const std::string& baseName,
                        const std::function<bool(const std::filesystem::path&)>& isTaken);

signals:
    void modeChanged();
    void appsChanged();
    // A capture was added or removed.
    void capturesChanged();
    void messageChanged();

private:
    static QCoro::Task<> start(std::weak_ptr<CaptureLabModel> weak, CaptureTarget target);
    static QCoro::Task<> stop(std::weak_ptr<CaptureLabModel> weak, std::shared_ptr<ActiveCapture> capture);
    // Stops the given captures, one after the other.
    static QCoro::Task<> stopEach(std::weak_ptr<CaptureLabModel> weak,
                                  std::vector<std::shared_ptr<ActiveCapture>> captures);
    static QCoro::Task<> sourceStopped(std::weak_ptr<CaptureLabModel> weak,
                                       std::weak_ptr<ActiveCapture> capture, std::exception_ptr error);

    // Makes the capture of a started source and starts metering it; false (with a message) when the
    // source cannot be analysed.
    bool addCapture(const CaptureTarget& target, std::shared_ptr<AudioCaptureSource> source);
    std::optional<std::filesystem::path> startRecording(ActiveCapture& capture);

    const Environment environment_;
    CaptureMode mode_ = CaptureMode::automatic;
    std::vector<CaptureTargetProvider::AppInfo> apps_;
    Captures captures_;
    std::optional<std::string> message_;
    QTimer meterTimer_;
    // Targets whose start is being awaited.
    std::unordered_set<CaptureTarget> starting_;
    // Counts mode changes: a start that began before the latest one is not kept.
    uint64_t generation_ = 0;
};
