#include "Platform/AudioServer/AudioServer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include <spdlog/spdlog.h>

#include "Platform/AudioServer/PlugInDevice.h"
#include "Platform/AudioServer/PlugInHost.h"
#include "Platform/AudioServer/ProcessObject.h"
#include "Platform/AudioServer/SimulatedDevice.h"
#include "Platform/AudioServer/SystemObject.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<AudioServer> sharedServer;

bool matches(const AudioObjectPropertyAddress& wanted, const AudioObjectPropertyAddress& changed) {
    auto same = [](uint32_t a, uint32_t b, uint32_t wildcard) {
        return a == b || a == wildcard || b == wildcard;
    };
    return same(wanted.mSelector, changed.mSelector, kAudioObjectPropertySelectorWildcard) &&
           same(wanted.mScope, changed.mScope, kAudioObjectPropertyScopeWildcard) &&
           same(wanted.mElement, changed.mElement, kAudioObjectPropertyElementWildcard);
}

std::filesystem::path defaultHome() {
    if (const char* home = std::getenv("TANDREL_AUDIO_SERVER_HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0') {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        state = std::filesystem::path(home) / ".local" / "state";
    } else {
        state = std::filesystem::temp_directory_path();
    }
    return state / "tandrel-audio-server";
}

HardwareProfile loadProfile(const std::optional<nlohmann::json>& given, const std::filesystem::path& home) {
    if (given) {
        return HardwareProfile::fromJSON(*given);
    }
    auto path = home / "profile.json";
    std::ifstream file(path);
    if (!file) {
        return HardwareProfile::fromJSON(HardwareProfile::builtInJSON());
    }
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(file);
    } catch (const nlohmann::json::exception& e) {
        throw HardwareProfileError(path.string() + " is not valid JSON: " + e.what());
    }
    return HardwareProfile::fromJSON(json, path.string());
}

// The IO of a device, simulated or a plug-in's; null for any other object.
std::shared_ptr<DeviceIO> ioOf(const std::shared_ptr<AudioObject>& object) {
    if (auto device = std::dynamic_pointer_cast<SimulatedDevice>(object)) {
        return device->io();
    }
    if (auto device = std::dynamic_pointer_cast<PlugInDevice>(object)) {
        return device->io();
    }
    return nullptr;
}

} // namespace

struct AudioServer::Listener {
    AudioObjectPropertyListenerToken token;
    AudioObjectID objectID;
    AudioObjectPropertyAddress address;
    std::shared_ptr<DispatchQueue> queue;
    AudioObjectPropertyListener callback;
    std::atomic<bool> active{true};
};

// ---- Lifecycle ----

std::shared_ptr<AudioServer> AudioServer::start(Options options) {
    auto home = options.home.value_or(defaultHome());
    std::error_code error;
    std::filesystem::create_directories(home, error);
    if (error) {
        spdlog::warn("Audio server: cannot create the state directory {}: {}", home.string(),
                     error.message());
    }
    auto profile = loadProfile(options.profile, home);
    auto applications = profile.applications;
    auto plugInPlaces = options.plugIns.value_or(std::vector<std::filesystem::path>{home / "PlugIns"});
    std::shared_ptr<AudioServer> server(new AudioServer(std::move(profile), std::move(home)));
    // Before the server is shared, so clients never see it without its plug-ins' devices.
    server->plugInHosts_ = PlugInHost::loadAll(*server, plugInPlaces);
    // The previous server ends while it is still the shared one, as in `stop`.
    if (auto previous = shared()) {
        previous->shutDown();
    }
    {
        std::lock_guard lock(sharedMutex);
        sharedServer = server;
    }
    // After the previous server has left the workspace, so a profile's fixed pids are free again.
    server->launchApplications(applications);
    return server;
}

std::filesystem::path AudioServer::defaultHome() {
    return ::defaultHome();
}

std::shared_ptr<AudioServer> AudioServer::shared() {
    std::lock_guard lock(sharedMutex);
    return sharedServer;
}

void AudioServer::stop() {
    // Shut down while still shared: a client stopping its IO meanwhile reaches this server and waits for
    // its device's end, rather than hearing there is no server while the device still calls its block.
    auto current = shared();
    if (!current) {
        return;
    }
    current->shutDown();
    std::lock_guard lock(sharedMutex);
    if (sharedServer == current) {
        sharedServer = nullptr;
    }
}

AudioServer::AudioServer(HardwareProfile profile, std::filesystem::path home)
    : home_(std::move(home)) {
    objects_[kAudioObjectSystemObject] = std::make_shared<SystemObject>(*this);
    for (auto& record : profile.devices) {
        addDeviceLocked(std::move(record));
    }
    auto pick = [this](const std::string& uid, bool input) {
        if (!uid.empty()) {
            return deviceForUIDLocked(uid);
        }
        for (AudioObjectID id : deviceOrder_) {
            if (std::static_pointer_cast<SimulatedDevice>(objects_.at(id))->hasStreamsLocked(input)) {
                return id;
            }
        }
        return AudioObjectID{kAudioObjectUnknown};
    };
    defaultInput_ = pick(profile.defaultInputUID, true);
    defaultOutput_ = pick(profile.defaultOutputUID, false);
    defaultSystemOutput_ =
        profile.defaultSystemOutputUID.empty() ? defaultOutput_ : pick(profile.defaultSystemOutputUID, false);
}

AudioServer::~AudioServer() {
    shutDown();
}

void AudioServer::shutDown() {
    {
        std::lock_guard lock(listenerMutex_);
        for (auto& l : listeners_) {
            l->active = false;
        }
        listeners_.clear();
    }
    for (const auto& host : plugInHosts_) {
        host->shutDown();
    }
    std::map<AudioObjectID, std::shared_ptr<AudioObject>> dropped;
    std::vector<int32_t> applications;
    {
        std::lock_guard lock(modelMutex_);
        running_ = false;
        for (const auto& [id, o] : objects_) {
            if (auto io = ioOf(o)) {
                departLocked(id, io);
            }
        }
        dropped.swap(objects_);
        deviceOrder_.clear();
        processOrder_.clear();
        tapOrder_.clear();
        aggregateTaps_.clear();
        applications.swap(applications_);
    }
    for (int32_t pid : applications) {
        Workspace::shared().terminate(pid);
    }
    for (const auto& [id, o] : dropped) {
        if (auto io = ioOf(o)) {
            io->shutDown();
        }
    }
}

// ---- Client interface ----

std::shared_ptr<AudioObject> AudioServer::object(AudioObjectID id) const {
    std::lock_guard lock(modelMutex_);
    auto found = objects_.find(id);
    return running_ && found != objects_.end() ? found->second : nullptr;
}

std::optional<AudioServer::Refusal>
AudioServer::refusal(AudioObjectID id, AudioObjectPropertySelector selector, Operation op) const {
    std::lock_guard lock(modelMutex_);
    if (hidden_.contains({id, selector})) {
        return Refusal{kAudioHardwareUnknownPropertyError, all};
    }
    auto found = refusals_.find({id, selector});
    if (found == refusals_.end() || (found->second.operations & op) == 0) {
        return std::nullopt;
    }
    return found->second;
}

bool AudioServer::hasProperty(AudioObjectID id, const AudioObjectPropertyAddress& address) {
    auto o = object(id);
    return o && !hasPropertyHidden(id, address.mSelector) && o->hasProperty(address);
}

PLOwner AudioServer::answer(AudioObjectID id, AudioObjectPropertySelector selector) const {
    std::lock_guard lock(modelMutex_);
    auto found = answers_.find({id, selector});
    return found != answers_.end() ? found->second : PLOwner();
}

bool AudioServer::hasPropertyHidden(AudioObjectID id, AudioObjectPropertySelector selector) const {
    std::lock_guard lock(modelMutex_);
    return hidden_.contains({id, selector});
}

OSStatus AudioServer::isPropertySettable(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                         bool* outSettable) {
    auto o = object(id);
    if (o && hasPropertyHidden(id, address.mSelector)) {
        return kAudioHardwareUnknownPropertyError;
    }
    return o ? o->isPropertySettable(address, outSettable) : kAudioHardwareBadObjectError;
}

OSStatus AudioServer::getPropertyDataSize(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                          uint32_t qualifierSize, const void* qualifier,
                                          uint32_t* outDataSize) {
    auto o = object(id);
    if (!o) {
        return kAudioHardwareBadObjectError;
    }
    if (auto r = refusal(id, address.mSelector, getSize)) {
        if (r->status != kAudioHardwareNoError || outDataSize == nullptr) {
            return r->status;
        }
        *outDataSize = 0;
        return kAudioHardwareNoError;
    }
    if (answer(id, address.mSelector) && outDataSize != nullptr) {
        *outDataSize = sizeof(PLRef);
        return kAudioHardwareNoError;
    }
    return o->getPropertyDataSize(address, qualifierSize, qualifier, outDataSize);
}

OSStatus AudioServer::getPropertyData(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                      uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                      void* outData) {
    auto o = object(id);
    if (!o) {
        return kAudioHardwareBadObjectError;
    }
    if (auto r = refusal(id, address.mSelector, get)) {
        if (r->status != kAudioHardwareNoError) {
            return r->status;
        }
        // An answer without a value: what a server gives for a reference it could not make.
        uint32_t size = 0;
        if (o->getPropertyDataSize(address, qualifierSize, qualifier, &size) == kAudioHardwareNoError &&
            size == sizeof(PLRef) && ioDataSize != nullptr && *ioDataSize >= sizeof(PLRef) &&
            outData != nullptr) {
            PLRef none = nullptr;
            std::memcpy(outData, &none, sizeof none);
            *ioDataSize = sizeof(PLRef);
        } else if (ioDataSize != nullptr) {
            *ioDataSize = 0;
        }
        return kAudioHardwareNoError;
    }
    if (const PLOwner answered = answer(id, address.mSelector)) {
        if (ioDataSize == nullptr || *ioDataSize < sizeof(PLRef) || outData == nullptr) {
            return kAudioHardwareBadPropertySizeError;
        }
        const PLRef copy = PLRetain(answered.get());
        std::memcpy(outData, &copy, sizeof copy);
        *ioDataSize = sizeof(PLRef);
        return kAudioHardwareNoError;
    }
    return o->getPropertyData(address, qualifierSize, qualifier, ioDataSize, outData);
}

OSStatus AudioServer::setPropertyData(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                      uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                      const void* data) {
    auto o = object(id);
    if (!o) {
        return kAudioHardwareBadObjectError;
    }
    if (auto r = refusal(id, address.mSelector, set)) {
        return r->status;
    }
    return o->setPropertyData(address, qualifierSize, qualifier, dataSize, data);
}

OSStatus AudioServer::addPropertyListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                          std::shared_ptr<DispatchQueue> queue,
                                          AudioObjectPropertyListener callback,
                                          AudioObjectPropertyListenerToken* outToken) {
    if (!queue || !callback || outToken == nullptr) {
        return kAudio_ParamError;
    }
    if (!object(id)) {
        return kAudioHardwareBadObjectError;
    }
    auto listener = std::make_shared<Listener>();
    listener->objectID = id;
    listener->address = address;
    listener->queue = std::move(queue);
    listener->callback = std::move(callback);
    std::lock_guard lock(listenerMutex_);
    listener->token = nextToken_++;
    listeners_.push_back(listener);
    *outToken = listener->token;
    return kAudioHardwareNoError;
}

OSStatus AudioServer::removePropertyListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                             AudioObjectPropertyListenerToken token) {
    std::lock_guard lock(listenerMutex_);
    auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const auto& l) {
        return l->token == token && l->objectID == id && l->address.mSelector == address.mSelector &&
               l->address.mScope == address.mScope && l->address.mElement == address.mElement;
    });
    if (found == listeners_.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    (*found)->active = false;
    listeners_.erase(found);
    return kAudioHardwareNoError;
}

std::size_t AudioServer::listenerCount() const {
    std::lock_guard lock(listenerMutex_);
    return listeners_.size();
}

void AudioServer::announce(const PropertyChanges& changes) {
    if (changes.empty()) {
        return;
    }
    std::vector<std::pair<std::shared_ptr<Listener>, std::vector<AudioObjectPropertyAddress>>> deliveries;
    {
        std::lock_guard lock(listenerMutex_);
        for (const auto& l : listeners_) {
            std::vector<AudioObjectPropertyAddress> addresses;
            for (const auto& c : changes) {
                if (c.objectID == l->objectID && matches(l->address, c.address)) {
                    addresses.push_back(c.address);
                }
            }
            if (!addresses.empty()) {
                deliveries.emplace_back(l, std::move(addresses));
            }
        }
    }
    for (auto& [listener, addresses] : deliveries) {
        listener->queue->async([listener, addresses] {
            if (listener->active.load()) {
                listener->callback(static_cast<uint32_t>(addresses.size()), addresses.data());
            }
        });
    }
}

// ---- Device IO ----

std::shared_ptr<DeviceIO> AudioServer::deviceIO(AudioObjectID id, OSStatus* status) const {
    auto o = object(id);
    auto io = ioOf(o);
    *status = !o ? kAudioHardwareBadObjectError : !io ? kAudioHardwareBadDeviceError : kAudioHardwareNoError;
    return io;
}

void AudioServer::departLocked(AudioObjectID id, const std::shared_ptr<DeviceIO>& io) {
    std::erase_if(departed_, [](const auto& entry) { return entry.second.expired(); });
    departed_[id] = io;
}

// A removed device's IO ends after it has left the registry. A client that stops its proc because the
// device is gone frees what the block uses once the stop returns, so the stop returns after that end.
void AudioServer::waitForDeparted(AudioObjectID id) const {
    std::shared_ptr<DeviceIO> io;
    {
        std::lock_guard lock(modelMutex_);
        if (auto found = departed_.find(id); found != departed_.end()) {
            io = found->second.lock();
        }
    }
    if (io) {
        io->waitUntilEnded();
    }
}

OSStatus AudioServer::createIOProc(AudioObjectID device, std::shared_ptr<DispatchQueue> queue,
                                   AudioDeviceIOBlock block, AudioDeviceIOProcID* outID) {
    if (outID == nullptr || !block) {
        return kAudio_ParamError;
    }
    *outID = nullptr;
    OSStatus status;
    auto io = deviceIO(device, &status);
    return io ? io->createProc(std::move(queue), std::move(block), outID) : status;
}

OSStatus AudioServer::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    OSStatus status;
    auto io = deviceIO(device, &status);
    if (!io) {
        waitForDeparted(device);
        return status;
    }
    return io->destroyProc(procID);
}

OSStatus AudioServer::startIOProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    {
        std::lock_guard lock(modelMutex_);
        if (auto refusal = startRefusals_.find(device); refusal != startRefusals_.end()) {
            return refusal->second;
        }
    }
    OSStatus status;
    auto io = deviceIO(device, &status);
    return io ? io->startProc(procID) : status;
}

OSStatus AudioServer::stopIOProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    OSStatus status;
    auto io = deviceIO(device, &status);
    if (!io) {
        waitForDeparted(device);
        return status;
    }
    return io->stopProc(procID);
}

// ---- Lookups for the objects (model lock held) ----

AudioObjectID AudioServer::processForPIDLocked(int32_t pid) const {
    for (AudioObjectID id : processOrder_) {
        if (std::static_pointer_cast<ProcessObject>(objects_.at(id))->specLocked().pid == pid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

AudioObjectID AudioServer::deviceForUIDLocked(const std::string& uid) const {
    if (auto device = deviceLocked(uid)) {
        return device->objectID();
    }
    for (AudioObjectID id : deviceOrder_) {
        auto device = std::dynamic_pointer_cast<PlugInDevice>(objects_.at(id));
        if (device && device->uid() == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

AudioObjectID AudioServer::plugInForBundleIDLocked(const std::string& bundleID) const {
    auto found = plugInsByBundleID_.find(bundleID);
    return found != plugInsByBundleID_.end() ? found->second : AudioObjectID{kAudioObjectUnknown};
}

std::vector<AudioObjectID> AudioServer::plugInListLocked() const {
    std::vector<AudioObjectID> ids;
    for (const auto& [bundle, id] : plugInsByBundleID_) {
        ids.push_back(id);
    }
    return ids;
}

AudioObjectID AudioServer::defaultDeviceLocked(AudioObjectPropertySelector which) const {
    switch (which) {
    case kAudioHardwarePropertyDefaultInputDevice:
        return defaultInput_;
    case kAudioHardwarePropertyDefaultOutputDevice:
        return defaultOutput_;
    default:
        return defaultSystemOutput_;
    }
}

OSStatus AudioServer::setDefaultDeviceLocked(AudioObjectPropertySelector which, AudioObjectID device,
                                             PropertyChanges& changes) {
    bool input = which == kAudioHardwarePropertyDefaultInputDevice;
    auto found = objects_.find(device);
    auto simulated =
        found != objects_.end() ? std::dynamic_pointer_cast<SimulatedDevice>(found->second) : nullptr;
    if (!simulated || !simulated->hasStreamsLocked(input)) {
        return kAudioHardwareBadDeviceError;
    }
    AudioObjectID& slot =
        input ? defaultInput_
              : (which == kAudioHardwarePropertyDefaultOutputDevice ? defaultOutput_ : defaultSystemOutput_);
    if (slot != device) {
        slot = device;
        changes.push_back({kAudioObjectSystemObject, globalScopeAddress(which)});
    }
    return kAudioHardwareNoError;
}

std::shared_ptr<SimulatedDevice> AudioServer::deviceLocked(const std::string& uid) const {
    for (AudioObjectID id : deviceOrder_) {
        auto device = std::dynamic_pointer_cast<SimulatedDevice>(objects_.at(id));
        if (device && device->specLocked().uid == uid) {
            return device;
        }
    }
    return nullptr;
}

std::shared_ptr<ProcessObject> AudioServer::processLocked(int32_t pid) const {
    AudioObjectID id = processForPIDLocked(pid);
    return id != kAudioObjectUnknown ? std::static_pointer_cast<ProcessObject>(objects_.at(id)) : nullptr;
}

// ---- Test hooks ----

AudioObjectID AudioServer::addDeviceLocked(DeviceSpec record) {
    record.validate();
    if (deviceLocked(record.uid)) {
        throw HardwareProfileError("the uid \"" + record.uid + "\" is taken");
    }
    auto inputs = record.inputStreams;
    auto outputs = record.outputStreams;
    auto device = std::make_shared<SimulatedDevice>(*this, nextObjectIDLocked(), std::move(record));
    auto newID = [this] {
        return nextObjectIDLocked();
    };
    device->setStreamsLocked(true, inputs, newID);
    device->setStreamsLocked(false, outputs, newID);
    objects_[device->objectID()] = device;
    for (const auto& s : device->streamsLocked()) {
        objects_[s->objectID()] = s;
    }
    deviceOrder_.push_back(device->objectID());
    return device->objectID();
}

AudioObjectID AudioServer::addDevice(DeviceSpec record) {
    AudioObjectID id;
    PropertyChanges changes{{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyDevices)},
                            {kAudioObjectSystemObject, globalScopeAddress(kAudioObjectPropertyOwnedObjects)}};
    {
        std::lock_guard lock(modelMutex_);
        id = addDeviceLocked(std::move(record));
        // A device plugged in while there is none of its kind becomes the default, as it would on the
        // real system.
        const auto device = std::static_pointer_cast<SimulatedDevice>(objects_.at(id));
        const auto fill = [&](AudioObjectID& slot, bool input, AudioObjectPropertySelector selector) {
            if (slot == kAudioObjectUnknown && device->hasStreamsLocked(input)) {
                slot = id;
                changes.push_back({kAudioObjectSystemObject, globalScopeAddress(selector)});
            }
        };
        fill(defaultInput_, true, kAudioHardwarePropertyDefaultInputDevice);
        fill(defaultOutput_, false, kAudioHardwarePropertyDefaultOutputDevice);
        fill(defaultSystemOutput_, false, kAudioHardwarePropertyDefaultSystemOutputDevice);
    }
    announce(changes);
    return id;
}

void AudioServer::replaceDefaultsAfterRemovalLocked(AudioObjectID removed, PropertyChanges& changes) {
    auto replace = [&](AudioObjectID& slot, bool input, AudioObjectPropertySelector selector) {
        if (slot != removed) {
            return;
        }
        slot = kAudioObjectUnknown;
        for (AudioObjectID id : deviceOrder_) {
            auto d = std::dynamic_pointer_cast<SimulatedDevice>(objects_.at(id));
            if (d && d->hasStreamsLocked(input)) {
                slot = id;
                break;
            }
        }
        changes.push_back({kAudioObjectSystemObject, globalScopeAddress(selector)});
    };
    replace(defaultInput_, true, kAudioHardwarePropertyDefaultInputDevice);
    replace(defaultOutput_, false, kAudioHardwarePropertyDefaultOutputDevice);
    replace(defaultSystemOutput_, false, kAudioHardwarePropertyDefaultSystemOutputDevice);
}

bool AudioServer::removeDevice(const std::string& uid) {
    PropertyChanges changes;
    std::shared_ptr<SimulatedDevice> device;
    {
        std::lock_guard lock(modelMutex_);
        device = deviceLocked(uid);
        if (!device) {
            return false;
        }
        for (const auto& s : device->streamsLocked()) {
            objects_.erase(s->objectID());
        }
        objects_.erase(device->objectID());
        departLocked(device->objectID(), device->io());
        std::erase(deviceOrder_, device->objectID());
        changes.push_back({device->objectID(), globalScopeAddress(kAudioDevicePropertyDeviceIsAlive)});
        changes.push_back({kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyDevices)});
        changes.push_back({kAudioObjectSystemObject, globalScopeAddress(kAudioObjectPropertyOwnedObjects)});
        replaceDefaultsAfterRemovalLocked(device->objectID(), changes);
    }
    device->io()->shutDown(); // outside the model lock: it waits for a running cycle
    announce(changes);
    return true;
}

bool AudioServer::renameDevice(const std::string& uid, const std::string& name) {
    AudioObjectID id;
    {
        std::lock_guard lock(modelMutex_);
        auto device = deviceLocked(uid);
        if (!device) {
            return false;
        }
        device->renameLocked(name);
        id = device->objectID();
    }
    announce({{id, globalScopeAddress(kAudioObjectPropertyName)}});
    return true;
}

bool AudioServer::setNominalSampleRate(const std::string& uid, double rate) {
    if (!HardwareLimits::runnableRate(rate)) {
        return false;
    }
    PropertyChanges changes;
    {
        std::lock_guard lock(modelMutex_);
        auto device = deviceLocked(uid);
        if (!device) {
            return false;
        }
        device->setNominalSampleRateLocked(rate, changes);
    }
    announce(changes);
    return true;
}

bool AudioServer::setStreamLayout(const std::string& uid, AudioObjectPropertyScope scope,
                                  std::vector<uint32_t> channels) {
    if (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput) {
        return false;
    }
    PropertyChanges changes;
    {
        std::lock_guard lock(modelMutex_);
        auto device = deviceLocked(uid);
        if (!device) {
            return false;
        }
        bool input = scope == kAudioObjectPropertyScopeInput;
        // Held to what a profile could give the device: channels in every stream, and not too many.
        DeviceSpec check = device->specLocked();
        (input ? check.inputStreams : check.outputStreams) = channels;
        try {
            check.validate();
        } catch (const HardwareProfileError&) {
            return false;
        }
        for (const auto& s :
             device->setStreamsLocked(input, channels, [this] { return nextObjectIDLocked(); })) {
            objects_.erase(s->objectID());
        }
        for (const auto& s : device->streamsLocked()) {
            objects_[s->objectID()] = s;
        }
        AudioObjectID id = device->objectID();
        changes.push_back(
            {id, {kAudioDevicePropertyStreamConfiguration, scope, kAudioObjectPropertyElementMain}});
        changes.push_back({id, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain}});
        changes.push_back({id, globalScopeAddress(kAudioDevicePropertyStreams)});
        changes.push_back({id, globalScopeAddress(kAudioObjectPropertyOwnedObjects)});
    }
    announce(changes);
    return true;
}

AudioObjectID AudioServer::deviceID(const std::string& uid) const {
    std::lock_guard lock(modelMutex_);
    return deviceForUIDLocked(uid);
}

AudioObjectID AudioServer::addProcess(ProcessSpec record) {
    AudioObjectID id;
    {
        std::lock_guard lock(modelMutex_);
        if (processLocked(record.pid)) {
            return kAudioObjectUnknown;
        }
        id = nextObjectIDLocked();
        objects_[id] = std::make_shared<ProcessObject>(*this, id, std::move(record));
        processOrder_.push_back(id);
        refreshTapMixesLocked();
    }
    announce({{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyProcessObjectList)}});
    return id;
}

bool AudioServer::removeProcess(int32_t pid) {
    {
        std::lock_guard lock(modelMutex_);
        auto process = processLocked(pid);
        if (!process) {
            return false;
        }
        objects_.erase(process->objectID());
        std::erase(processOrder_, process->objectID());
        refreshTapMixesLocked();
    }
    announce({{kAudioObjectSystemObject, globalScopeAddress(kAudioHardwarePropertyProcessObjectList)}});
    return true;
}

bool AudioServer::setProcessRunningOutput(int32_t pid, bool running) {
    AudioObjectID id;
    {
        std::lock_guard lock(modelMutex_);
        auto process = processLocked(pid);
        if (!process) {
            return false;
        }
        if (!process->setRunningOutputLocked(running)) {
            return true;
        }
        id = process->objectID();
        refreshTapMixesLocked();
    }
    announce({{id, globalScopeAddress(kAudioProcessPropertyIsRunningOutput)}});
    return true;
}

bool AudioServer::recordOutput(const std::string& uid, uint32_t frames) {
    std::lock_guard lock(modelMutex_);
    auto device = deviceLocked(uid);
    if (!device) {
        return false;
    }
    device->io()->recordOutput(frames);
    return true;
}

std::optional<RecordedOutput> AudioServer::recordedOutput(const std::string& uid, uint32_t frames) const {
    std::shared_ptr<DeviceIO> io;
    {
        std::lock_guard lock(modelMutex_);
        auto device = deviceLocked(uid);
        if (!device) {
            return std::nullopt;
        }
        io = device->io();
    }
    return io->recordedOutput(frames);
}

std::optional<uint64_t> AudioServer::skippedCycles(const std::string& uid) const {
    std::lock_guard lock(modelMutex_);
    auto device = deviceLocked(uid);
    if (!device) {
        return std::nullopt;
    }
    return device->io()->skippedCycles();
}

bool AudioServer::setInputSignal(const std::string& uid, InputSignal signal) {
    std::lock_guard lock(modelMutex_);
    auto device = deviceLocked(uid);
    if (!device) {
        return false;
    }
    DeviceSpec check = device->specLocked();
    check.inputSignal = signal;
    try {
        check.validate();
    } catch (const HardwareProfileError&) {
        return false;
    }
    device->setInputSignalLocked(std::move(signal));
    return true;
}

bool AudioServer::setClockDrift(const std::string& uid, double ppm) {
    std::lock_guard lock(modelMutex_);
    auto device = deviceLocked(uid);
    if (!device || !(std::abs(ppm) <= HardwareLimits::maximumClockDriftPpm)) {
        return false;
    }
    device->setClockDriftLocked(ppm);
    return true;
}

void AudioServer::refuseProperty(AudioObjectID object, AudioObjectPropertySelector selector, OSStatus status,
                                 uint32_t operations) {
    std::lock_guard lock(modelMutex_);
    refusals_[{object, selector}] = Refusal{status, operations};
}

void AudioServer::refuseDeviceStart(AudioObjectID device, OSStatus status) {
    std::lock_guard lock(modelMutex_);
    if (status == kAudioHardwareNoError) {
        startRefusals_.erase(device);
    } else {
        startRefusals_[device] = status;
    }
}

void AudioServer::hideProperty(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::lock_guard lock(modelMutex_);
    hidden_.insert({object, selector});
}

void AudioServer::answerProperty(AudioObjectID object, AudioObjectPropertySelector selector, PLRef value) {
    std::lock_guard lock(modelMutex_);
    answers_[{object, selector}] = PLOwner::retain(value);
}

void AudioServer::clearRefusals() {
    std::lock_guard lock(modelMutex_);
    refusals_.clear();
    hidden_.clear();
    answers_.clear();
}
