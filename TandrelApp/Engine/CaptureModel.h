// The vocabulary of application and whole-system capture: what is captured, by which backend, the
// counters of a running source, the capture-source interface, and the rule that picks a backend for a
// mode and a target. The controller, the capture lab and the self-tests choose and start sources with it.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <QCoro/QCoroTask>

#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Engine/CaptureMode.h"

enum class CaptureBackend { processTap, screenCaptureKit };

std::string_view rawValue(CaptureBackend backend);
std::optional<CaptureBackend> captureBackendFromRawValue(std::string_view text);
inline constexpr std::array<CaptureBackend, 2> allCaptureBackends{CaptureBackend::processTap,
                                                                  CaptureBackend::screenCaptureKit};

// One application (by bundle identifier and display name) or the whole system. Both fields of an
// application take part in equality and hashing.
class CaptureTarget {
public:
    struct Application {
        std::string bundleID;
        std::string name;
        bool operator==(const Application&) const = default;
    };
    struct SystemAudio {
        bool operator==(const SystemAudio&) const = default;
    };

    static CaptureTarget application(std::string bundleID, std::string name) {
        return CaptureTarget(std::in_place_type<Application>,
                             Application{std::move(bundleID), std::move(name)});
    }
    static CaptureTarget systemAudio() {
        return CaptureTarget(std::in_place_type<SystemAudio>, SystemAudio{});
    }

    bool isSystemAudio() const { return std::holds_alternative<SystemAudio>(value_); }
    // The application's fields, or null for the whole system.
    const Application* app() const { return std::get_if<Application>(&value_); }
    // What the sources capturing it are called: the application's name, or "System Audio".
    std::string displayName() const { return app() != nullptr ? app()->name : "System Audio"; }

    bool operator==(const CaptureTarget&) const = default;

private:
    // The alternative is built in place: moving a whole variant made from the other alternative trips
    // g++ 12's uninitialized-use analysis in sanitizer builds.
    template <typename Alternative>
    CaptureTarget(std::in_place_type_t<Alternative> type, Alternative value)
        : value_(type, std::move(value)) {}
    std::variant<SystemAudio, Application> value_;
};

template <>
struct std::hash<CaptureTarget> {
    std::size_t operator()(const CaptureTarget& target) const noexcept;
};

struct CaptureStatistics {
    uint64_t callbacks = 0;
    uint64_t framesReceived = 0;
    uint32_t lastCallbackFrames = 0;
    std::string sourceFormat;
    std::optional<int> tappedProcesses;
};

// A producer that captures one application or the whole system and can be started and stopped.
class AudioCaptureSource : public AudioProducer {
public:
    // Called when capture ends without stop(): the error says why (null when there is none).
    using StopHandler = std::function<void(std::exception_ptr)>;

    virtual CaptureTarget target() const = 0;
    virtual CaptureBackend backend() const = 0;
    // One consistent snapshot, safe from any thread.
    virtual CaptureStatistics statistics() const = 0;
    virtual void setOnStop(StopHandler handler) = 0;
    // Sets the capture up and begins writing into fanout(); throws the source's error.
    virtual QCoro::Task<void> start() = 0;
    // Ends the capture and releases what start() set up. Never throws.
    virtual QCoro::Task<void> stop() = 0;
};

std::string_view rawValue(CaptureMode mode);
std::optional<CaptureMode> captureModeFromRawValue(std::string_view text);
// The label where a mode is offered for choice ("自動", ...).
std::string_view label(CaptureMode mode);
inline constexpr std::array<CaptureMode, 3> allCaptureModes{CaptureMode::automatic, CaptureMode::processTap,
                                                            CaptureMode::screenCaptureKit};

// The WebKit browsers that automatic mode treats apart.
bool isWebKitAudioApp(std::string_view bundleID);

// Whether `candidate` is the application `bundleID` names or one of its helpers (its identifier followed
// by "."), as the capture sources match them.
inline bool isOfApplication(std::string_view candidate, std::string_view bundleID) {
    return candidate.starts_with(bundleID) &&
           (candidate.size() == bundleID.size() || candidate[bundleID.size()] == '.');
}
// Whether the application `bundleID` names, or a helper of it, runs now.
bool applicationRuns(const std::string& bundleID);

// Whether a system of this version offers process taps (14.2 and later).
bool processTapsAvailable(OperatingSystemVersion system);
// The modes a user may choose on this system, in the order they are offered: the process tap only where
// the system has process taps.
std::vector<CaptureMode> offeredCaptureModes(OperatingSystemVersion system);
// The backend a source for `target` uses under `mode` on this system.
CaptureBackend backend(CaptureMode mode, const CaptureTarget& target);
// The same rule with the system's facts given: its version and whether the responsibility lookup exists.
CaptureBackend backend(CaptureMode mode, const CaptureTarget& target, OperatingSystemVersion system,
                       bool hasResponsibilityFunction);
