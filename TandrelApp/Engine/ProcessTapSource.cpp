#include "TandrelApp/Engine/ProcessTapSource.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include <QString>

#include "Platform/AudioServer/AggregateDevice.h"
#include "Platform/AudioServer/PropertyList/PLOwner.h"
#include "Platform/System/HostClock.h"
#include "Platform/System/ProcessPath.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/AudioAppMonitor.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/AudioFormatSummary.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/CoreAudioProcess.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/QueueAwait.h"
#include "TandrelApp/Support/UUID.h"

namespace {

constexpr AudioObjectPropertyAddress kProcessListAddress{kAudioHardwarePropertyProcessObjectList,
                                                         kAudioObjectPropertyScopeGlobal,
                                                         kAudioObjectPropertyElementMain};

PLRef dictionary(std::vector<std::pair<const char*, PLRef>> entries) {
    std::vector<const char*> keys;
    std::vector<PLRef> values;
    for (auto& [key, value] : entries) {
        keys.push_back(key);
        values.push_back(value);
    }
    PLRef made = PLDictionaryCreate(keys.data(), values.data(), keys.size());
    for (PLRef value : values) {
        PLRelease(value);
    }
    return made;
}

PLRef arrayOfOne(PLRef value) {
    PLRef made = PLArrayCreate(&value, 1);
    PLRelease(value);
    return made;
}

PLRef text(const std::string& value) {
    return PLStringCreate(value.c_str());
}

// The executable path of a process with invalid UTF-8 repaired; absent when it cannot be read.
std::optional<std::string> executablePath(int32_t pid) {
    ProcessPathFunction lookup = ProcessPath::function();
    std::optional<std::string> path = lookup != nullptr ? lookup(pid) : std::nullopt;
    if (!path) {
        return std::nullopt;
    }
    path->resize(std::min<size_t>(path->find('\0'), 4095));
    return QString::fromUtf8(path->data(), qsizetype(path->size())).toStdString();
}

} // namespace

ProcessTapSource::ProcessTapSource(CaptureTarget target)
    : target_(std::move(target))
    , fanout_(std::make_unique<AudioFanout>(2))
    , log_(Log::app("ProcessTap"))
    , controlQueue_(DispatchQueue::serial("qorvix.tandrel.tap.control", DispatchQoS::standard,
                                          CoreAudioCall::queue())) {}

ProcessTapSource::~ProcessTapSource() {
    teardown();
}

CaptureStatistics ProcessTapSource::statistics() const {
    std::lock_guard lock(infoLock_);
    CaptureStatistics s;
    s.callbacks = TDFanoutWriteCount(fanout_->raw());
    s.framesReceived = TDFanoutFramesWritten(fanout_->raw());
    s.lastCallbackFrames = TDFanoutLastWriteFrames(fanout_->raw());
    s.sourceFormat = formatSummary_;
    s.tappedProcesses = tappedProcessCount_;
    return s;
}

void ProcessTapSource::setOnStop(StopHandler handler) {
    std::lock_guard lock(onStopMutex_);
    onStop_ = std::move(handler);
}

QCoro::Task<void> ProcessTapSource::start() {
    auto self = shared_from_this();
    // A named local: g++ 12 destroys temporaries of a co_await expression twice.
    auto starting = awaitOnQueue(DispatchQueue::global(DispatchQoS::userInitiated),
                                 [self] { self->controlQueue_->sync([&] { self->setUp(); }); });
    co_await std::move(starting);
}

QCoro::Task<void> ProcessTapSource::stop() {
    auto self = shared_from_this();
    auto stopping = awaitOnQueue(DispatchQueue::global(DispatchQoS::userInitiated),
                                 [self] { self->controlQueue_->sync([&] { self->teardown(); }); });
    co_await std::move(stopping);
}

void ProcessTapSource::setUp() {
    // A second start replaces the running capture: left running, its tap and aggregate device would stay
    // in the server and its callback would write into the fan-out after this source is gone.
    teardown();
    log_->info("Tap setup begin: {}", target_.displayName());
    if (target_.app() != nullptr) {
        tapDescription_ = CATapDescription::stereoMixdownOfProcesses(matchingProcessObjects());
    } else {
        std::vector<AudioObjectID> own;
        if (auto id = CoreAudioProcess::objectIDForPID(Workspace::ownPid())) {
            own.push_back(*id);
        }
        tapDescription_ = CATapDescription::stereoGlobalTapButExcludeProcesses(own);
    }
    tapDescription_->setName("Corvane: " + target_.displayName());
    tapDescription_->setPrivate(true);
    tapDescription_->setMuteBehavior(CATapMuteBehavior::unmuted);

    try {
        OSStatus status = AudioHardwareCreateProcessTap(&*tapDescription_, &tapID_);
        if (status != kAudioHardwareNoError) {
            tapID_ = kAudioObjectUnknown;
            throw CoreAudioError::osStatus("AudioHardwareCreateProcessTap", status);
        }

        tapFormat_ =
            CoreAudioProperty::read<AudioStreamBasicDescription>(tapID_, kAudioTapPropertyFormat, {});
        sampleRate_.store(tapFormat_.mSampleRate, std::memory_order_relaxed);

        const auto output = CoreAudioProperty::read<AudioObjectID>(
            kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, kAudioObjectUnknown);
        const std::string outputUID = CoreAudioProperty::readString(output, kAudioDevicePropertyDeviceUID);

        const PLOwner description = PLOwner::adopt(dictionary({
            {kAudioAggregateDeviceNameKey, text("Corvane Tap (" + target_.displayName() + ")")},
            {kAudioAggregateDeviceUIDKey, text("qorvix.tandrel.tap." + UUID::random().uuidString())},
            {kAudioAggregateDeviceMainSubDeviceKey, text(outputUID)},
            {kAudioAggregateDeviceIsPrivateKey, PLBooleanCreate(true)},
            {kAudioAggregateDeviceIsStackedKey, PLBooleanCreate(false)},
            {kAudioAggregateDeviceTapAutoStartKey, PLBooleanCreate(true)},
            {kAudioAggregateDeviceSubDeviceListKey,
             arrayOfOne(dictionary({{kAudioSubDeviceUIDKey, text(outputUID)}}))},
            {kAudioAggregateDeviceTapListKey,
             arrayOfOne(dictionary({{kAudioSubTapDriftCompensationKey, PLBooleanCreate(true)},
                                    {kAudioSubTapUIDKey, text(tapDescription_->uuid())}}))},
        }));
        status = AudioHardwareCreateAggregateDevice(description.get(), &aggregateID_);
        if (status != kAudioHardwareNoError) {
            aggregateID_ = kAudioObjectUnknown;
            throw CoreAudioError::osStatus("AudioHardwareCreateAggregateDevice", status);
        }

        // The block holds the fan-out and the format, never the source: teardown removes it first.
        AudioFanout* fanout = fanout_.get();
        const AudioStreamBasicDescription captured = tapFormat_;
        status = AudioDeviceCreateIOProcIDWithBlock(
            &ioProcID_, aggregateID_, nullptr,
            [fanout, captured](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                               AudioBufferList*,
                               const AudioTimeStamp*) { fanout->write(input, captured, HostClockNow()); });
        if (status != kAudioHardwareNoError || ioProcID_ == nullptr) {
            ioProcID_ = nullptr;
            throw CoreAudioError::osStatus("AudioDeviceCreateIOProcIDWithBlock", status);
        }
        if (bufferFrames_) {
            AudioDeviceCatalog::setBufferFrameSize(aggregateID_, *bufferFrames_);
        }
        status = AudioDeviceStart(aggregateID_, ioProcID_);
        if (status != kAudioHardwareNoError) {
            throw CoreAudioError::osStatus("AudioDeviceStart", status);
        }
    } catch (...) {
        teardown();
        throw;
    }

    if (target_.app() != nullptr) {
        startWatchingProcesses();
    }
    std::string summaryText = summary(tapFormat_);
    {
        std::lock_guard lock(infoLock_);
        formatSummary_ = summaryText;
        if (target_.app() != nullptr) {
            tappedProcessCount_ = static_cast<int>(tapDescription_->processes().size());
        }
    }
    log_->info("Tap started: {}, {}", target_.displayName(), summaryText);
}

void ProcessTapSource::teardown() {
    if (tapID_ != kAudioObjectUnknown) {
        log_->info("Tap teardown: {}", target_.displayName());
    }
    stopWatchingProcesses();
    const AudioObjectID aggregate = std::exchange(aggregateID_, kAudioObjectUnknown);
    AudioDeviceIOProcID proc = std::exchange(ioProcID_, nullptr);
    const AudioObjectID tap = std::exchange(tapID_, kAudioObjectUnknown);
    tapDescription_.reset();
    if (aggregate != kAudioObjectUnknown) {
        if (proc != nullptr) {
            AudioDeviceStop(aggregate, proc);
            AudioDeviceDestroyIOProcID(aggregate, proc);
        }
        AudioHardwareDestroyAggregateDevice(aggregate);
    }
    if (tap != kAudioObjectUnknown) {
        AudioHardwareDestroyProcessTap(tap);
    }
}

std::vector<AudioObjectID> ProcessTapSource::matchingProcessObjects() {
    const auto* app = target_.app();
    if (app == nullptr) {
        return {};
    }
    std::optional<std::string> bundlePrefix = appBundlePath();
    if (bundlePrefix && !bundlePrefix->ends_with('/')) {
        *bundlePrefix += '/';
    }
    std::set<int> appPids;
    for (const auto& running : Workspace::shared().runningApplications(app->bundleID)) {
        appPids.insert(running.pid);
    }
    ResponsibilityFunction responsible = AudioAppMonitor::responsibilityFunction();
    std::vector<AudioObjectID> matching;
    for (const auto& process : CoreAudioProcess::all()) {
        bool matches = process.bundleID == app->bundleID || process.bundleID.starts_with(app->bundleID + ".");
        if (!matches && responsible != nullptr) {
            const int r = responsible(process.pid);
            matches = r >= 1 && r != process.pid && appPids.count(r) != 0;
        }
        if (!matches && bundlePrefix) {
            auto path = executablePath(process.pid);
            matches = path && path->starts_with(*bundlePrefix);
        }
        if (matches) {
            matching.push_back(process.objectID);
        }
    }
    return matching;
}

const std::optional<std::string>& ProcessTapSource::appBundlePath() {
    if (appBundlePath_) {
        return *appBundlePath_;
    }
    std::optional<std::string> path;
    if (const auto* app = target_.app()) {
        auto running = Workspace::shared().runningApplications(app->bundleID);
        if (!running.empty() && running.front().bundlePath) {
            path = running.front().bundlePath;
        } else {
            path = Workspace::shared().urlForApplication(app->bundleID);
        }
    }
    if (path) {
        std::error_code error;
        auto resolved = std::filesystem::weakly_canonical(*path, error);
        if (!error) {
            path = resolved.string();
        }
    }
    appBundlePath_ = std::move(path);
    return *appBundlePath_;
}

void ProcessTapSource::startWatchingProcesses() {
    std::weak_ptr<ProcessTapSource> weak = weak_from_this();
    AudioObjectPropertyListenerToken token = 0;
    OSStatus status = AudioObjectAddPropertyListener(
        kAudioObjectSystemObject, &kProcessListAddress, controlQueue_,
        [weak](uint32_t, const AudioObjectPropertyAddress*) {
            if (auto self = weak.lock()) {
                self->updateTappedProcesses();
            }
        },
        &token);
    if (status == kAudioHardwareNoError) {
        processListListener_ = token;
    }
}

void ProcessTapSource::stopWatchingProcesses() {
    if (auto token = std::exchange(processListListener_, std::nullopt)) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kProcessListAddress, *token);
    }
}

void ProcessTapSource::updateTappedProcesses() {
    if (!tapDescription_ || tapID_ == kAudioObjectUnknown) {
        return;
    }
    std::vector<AudioObjectID> processes = matchingProcessObjects();
    const auto& current = tapDescription_->processes();
    if (std::set(processes.begin(), processes.end()) == std::set(current.begin(), current.end())) {
        return;
    }
    std::vector<AudioObjectID> previous = current;
    tapDescription_->setProcesses(processes);
    AudioObjectPropertyAddress address{kAudioTapPropertyDescription, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    const CATapDescription* reference = &*tapDescription_;
    OSStatus status = AudioObjectSetPropertyData(tapID_, &address, 0, nullptr, sizeof reference, &reference);
    if (status != kAudioHardwareNoError) {
        log_->error("Failed to update tap processes: {}", status);
        // The tap still has the old processes; so must the description, or the next notice would find
        // nothing to change and the new processes would never be captured.
        tapDescription_->setProcesses(std::move(previous));
        return;
    }
    {
        std::lock_guard lock(infoLock_);
        tappedProcessCount_ = static_cast<int>(processes.size());
    }
    log_->info("Tap processes updated: {}", processes.size());
}
