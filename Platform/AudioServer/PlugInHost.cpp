#include "Platform/AudioServer/PlugInHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/AudioServer/PlugInDevice.h"

namespace {

constexpr AudioObjectID kDriverPlugInObject = 1;

constexpr AudioObjectPropertySelector kControlScope = TD_FOURCC('c', 's', 'c', 'p');
constexpr AudioObjectPropertySelector kControlElement = TD_FOURCC('c', 'e', 'l', 'm');
constexpr AudioObjectPropertySelector kControlScalarValue = TD_FOURCC('l', 'c', 's', 'v');
constexpr AudioObjectPropertySelector kControlDecibelValue = TD_FOURCC('l', 'c', 'd', 'v');
constexpr AudioObjectPropertySelector kControlBooleanValue = TD_FOURCC('b', 'c', 'v', 'l');
constexpr AudioClassID kVolumeControlClass = TD_FOURCC('v', 'l', 'm', 'e');
constexpr AudioClassID kMuteControlClass = TD_FOURCC('m', 'u', 't', 'e');

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

bool isIDList(AudioObjectPropertySelector s) {
    switch (s) {
    case kAudioHardwarePropertyDevices:
    case kAudioObjectPropertyOwnedObjects:
    case kAudioDevicePropertyStreams:
    case TD_FOURCC('c', 't', 'r', 'l'): // controls
    case TD_FOURCC('a', 'k', 'i', 'n'): // related devices
    case TD_FOURCC('b', 'o', 'x', '#'): // boxes
    case kAudioObjectPropertyOwner:
    case kAudioHardwarePropertyTranslateUIDToDevice:
    case TD_FOURCC('u', 'i', 'd', 'b'): // UID to box
        return true;
    default:
        return false;
    }
}

std::string readString(const PlugInHost& host, AudioObjectID local, AudioObjectPropertyAddress a) {
    PLRef value = nullptr;
    if (!host.readValue(local, a, &value)) {
        return {};
    }
    std::string text = PLGetType(value) == PLTypeString ? PLStringGetUTF8(value) : "";
    PLRelease(value);
    return text;
}

bool isBundle(const std::filesystem::path& path) {
    return path.extension() == ".driver" && std::filesystem::is_directory(path);
}

} // namespace

// The host table handed to the driver. The driver may call it for as long as the process lives (it is
// never unloaded, and a later server re-initialises it with a new table), so it is never freed; once
// its server has stopped, notices and requests go nowhere while storage keeps working.
struct PlugInHost::HostTable {
    AudioServerPlugInHostInterface table; // first, so the driver's host reference points at the whole
    std::mutex mutex;
    std::weak_ptr<PlugInHost> owner;
    std::shared_ptr<PlugInStorage> storage;

    // A new table, kept for the life of the process with every other one handed out: a driver may call
    // the table of a server that has stopped, so none is freed, and each stays reachable here.
    static HostTable* handOut() {
        static auto* mutex = new std::mutex;
        static auto* tables = new std::vector<std::unique_ptr<HostTable>>;
        std::lock_guard lock(*mutex);
        return tables->emplace_back(std::make_unique<HostTable>()).get();
    }

    static HostTable& of(AudioServerPlugInHostRef host) {
        return *reinterpret_cast<HostTable*>(const_cast<AudioServerPlugInHostInterface*>(host));
    }
    std::shared_ptr<PlugInHost> currentOwner() {
        std::lock_guard lock(mutex);
        return owner.lock();
    }

    static OSStatus propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object, uint32_t count,
                                      const AudioObjectPropertyAddress* addresses) {
        if (count != 0 && addresses == nullptr) {
            return kAudio_ParamError;
        }
        // Nothing may leave a C callback as an exception.
        try {
            if (auto owner = of(host).currentOwner()) {
                owner->propertiesChanged(object, count, addresses);
            }
        } catch (const std::exception& e) {
            spdlog::error("Audio server: property-change notice of object {} failed: {}", object, e.what());
            return kAudioHardwareUnspecifiedError;
        }
        return kAudioHardwareNoError;
    }
    static OSStatus copyFromStorage(AudioServerPlugInHostRef host, const char* key, PLRef* outData) {
        if (key == nullptr || outData == nullptr) {
            return kAudio_ParamError;
        }
        *outData = of(host).storage->copy(key);
        return kAudioHardwareNoError;
    }
    static OSStatus writeToStorage(AudioServerPlugInHostRef host, const char* key, PLRef data) {
        if (key == nullptr || data == nullptr) {
            return kAudio_ParamError;
        }
        return of(host).storage->write(key, data) ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
    }
    static OSStatus deleteFromStorage(AudioServerPlugInHostRef host, const char* key) {
        if (key == nullptr) {
            return kAudio_ParamError;
        }
        return of(host).storage->remove(key) ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
    }
    static OSStatus requestConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                               uint64_t action, void* info) {
        auto owner = of(host).currentOwner();
        if (!owner) {
            return kAudioHardwareNotRunningError;
        }
        try {
            owner->requestConfigurationChange(device, action, info);
        } catch (const std::exception& e) {
            spdlog::error("Audio server: configuration change of device {} failed: {}", device, e.what());
            return kAudioHardwareUnspecifiedError;
        }
        return kAudioHardwareNoError;
    }
};

struct PlugInHost::DeviceDescription {
    std::string uid;
    std::vector<AudioObjectID> owned;
    std::map<AudioObjectID, AudioClassID> classes;
    AudioObjectID volume = kAudioObjectUnknown;
    AudioObjectID mute = kAudioObjectUnknown;
    PlugInDeviceLayout layout;
};

// ---- Loading ----

std::vector<std::shared_ptr<PlugInHost>>
PlugInHost::loadAll(AudioServer& server, const std::vector<std::filesystem::path>& places) {
    std::vector<std::filesystem::path> bundles;
    for (const auto& place : places) {
        std::error_code error;
        if (isBundle(place)) {
            bundles.push_back(place);
            continue;
        }
        if (!std::filesystem::is_directory(place, error)) {
            continue;
        }
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(place, error)) {
            if (isBundle(entry.path())) {
                found.push_back(entry.path());
            }
        }
        std::sort(found.begin(), found.end());
        bundles.insert(bundles.end(), found.begin(), found.end());
    }
    std::vector<std::shared_ptr<PlugInHost>> hosts;
    std::set<std::string> bundleIDs;
    for (const auto& bundle : bundles) {
        auto host = load(server, bundle);
        if (!host) {
            continue;
        }
        if (!bundleIDs.insert(host->bundleID()).second) {
            spdlog::warn("Audio server: {} repeats the bundle id {}; left out", bundle.string(),
                         host->bundleID());
            continue;
        }
        if (!host->initialize()) {
            continue;
        }
        spdlog::info("Audio server: loaded plug-in {} from {}", host->bundleID(), bundle.string());
        hosts.push_back(std::move(host));
    }
    return hosts;
}

std::shared_ptr<PlugInHost> PlugInHost::load(AudioServer& server, const std::filesystem::path& bundle) {
    const auto fail = [&](const std::string& why) {
        spdlog::error("Audio server: cannot load the plug-in {}: {}", bundle.string(), why);
        return nullptr;
    };
    nlohmann::json info;
    try {
        std::ifstream file(bundle / "Contents" / "Info.json");
        if (!file) {
            return fail("no Contents/Info.json");
        }
        info = nlohmann::json::parse(file);
    } catch (const std::exception& e) {
        return fail(std::string("Info.json: ") + e.what());
    }
    const auto text = [&](const char* key) {
        auto found = info.find(key);
        return found != info.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    const std::string bundleID = text("CFBundleIdentifier");
    const std::string executable = text("CFBundleExecutable");
    if (bundleID.empty() || executable.empty() || executable.find('/') != std::string::npos) {
        return fail("Info.json lacks CFBundleIdentifier or a plain CFBundleExecutable");
    }
    // The factory registered for the plug-in type.
    std::string factoryName;
    try {
        for (const auto& factoryID : info.at("CFPlugInTypes").at(kAudioServerPlugInTypeUUIDString)) {
            auto name = info.at("CFPlugInFactories").at(factoryID.get<std::string>());
            factoryName = name.get<std::string>();
            break;
        }
    } catch (const std::exception&) {
    }
    if (factoryName.empty()) {
        return fail("Info.json names no factory for the plug-in type");
    }

    const auto library = bundle / "Contents" / "Linux" / executable;
    // Never closed: the driver keeps threads and timers running for the life of the process.
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        return fail(why != nullptr ? why : "dlopen failed");
    }
    auto factory = reinterpret_cast<AudioServerPlugInFactoryFunction>(dlsym(handle, factoryName.c_str()));
    if (factory == nullptr) {
        return fail("no exported " + factoryName);
    }
    AudioServerPlugInUUID type = kAudioServerPlugInTypeUUID_INIT;
    auto* unknown = static_cast<AudioServerPlugInDriverRef>(factory(nullptr, &type));
    if (unknown == nullptr || *unknown == nullptr || (*unknown)->QueryInterface == nullptr) {
        return fail(factoryName + " returned no driver");
    }
    void* interface = nullptr;
    AudioServerPlugInUUID driverInterface = kAudioServerPlugInDriverInterfaceUUID_INIT;
    if ((*unknown)->QueryInterface(unknown, driverInterface, &interface) != TD_S_OK || interface == nullptr) {
        return fail("the driver does not offer the driver interface");
    }
    auto driver = static_cast<AudioServerPlugInDriverRef>(interface);

    auto storage = std::make_shared<PlugInStorage>(server.home() / "PlugInStorage" / (bundleID + ".json"));
    return std::shared_ptr<PlugInHost>(
        new PlugInHost(server.weak_from_this(), bundleID, driver, std::move(storage)));
}

PlugInHost::PlugInHost(std::weak_ptr<AudioServer> server, std::string bundleID,
                       AudioServerPlugInDriverRef driver, std::shared_ptr<PlugInStorage> storage)
    : server_(std::move(server))
    , bundleID_(std::move(bundleID))
    , driver_(driver)
    , storage_(std::move(storage))
    , queue_(DispatchQueue::serial("qorvix.tandrel.audioserver.plugin." + bundleID_)) {}

PlugInHost::~PlugInHost() = default;

bool PlugInHost::initialize() {
    auto server = server_.lock();
    if (!server) {
        return false;
    }
    hostTable_ = HostTable::handOut();
    hostTable_->table = {&HostTable::propertiesChanged, &HostTable::copyFromStorage,
                         &HostTable::writeToStorage, &HostTable::deleteFromStorage,
                         &HostTable::requestConfigurationChange};
    hostTable_->owner = weak_from_this();
    hostTable_->storage = storage_;
    if (OSStatus status = table().Initialize(driver_, &hostTable_->table); status != kAudioHardwareNoError) {
        spdlog::error("Audio server: the plug-in {} failed to initialise ({})", bundleID_, status);
        std::lock_guard lock(hostTable_->mutex);
        hostTable_->owner.reset();
        return false;
    }
    {
        std::lock_guard lock(server->modelMutex_);
        objectID_ = server->nextObjectIDLocked();
        globalIDs_[kDriverPlugInObject] = objectID_;
        server->objects_[objectID_] =
            std::make_shared<PlugInObject>(*server, objectID_, shared_from_this(), kDriverPlugInObject,
                                           kAudioPlugInClassID, kAudioObjectSystemObject);
        server->plugInsByBundleID_[bundleID_] = objectID_;
    }
    // Initialise announces nothing, so the devices are read now; on the queue, like every later sync.
    PropertyChanges ignored;
    queue_->sync([&] { syncDevices(ignored); });
    return true;
}

void PlugInHost::shutDown() {
    stopped_.store(true);
    if (hostTable_ != nullptr) {
        std::lock_guard lock(hostTable_->mutex);
        hostTable_->owner.reset();
    }
    std::map<AudioObjectID, std::shared_ptr<PlugInDevice>> devices;
    if (auto server = server_.lock()) {
        std::lock_guard lock(server->modelMutex_);
        devices.swap(devices_);
    } else {
        devices.swap(devices_); // the server is being destroyed: nothing else reaches the list now
    }
    for (const auto& [local, device] : devices) {
        device->io()->shutDown();
    }
}

// ---- Ids ----

AudioObjectID PlugInHost::globalIDLocked(AudioObjectID local) {
    if (local == kAudioObjectUnknown) {
        return kAudioObjectUnknown;
    }
    if (auto found = globalIDs_.find(local); found != globalIDs_.end()) {
        return found->second;
    }
    auto server = server_.lock();
    if (!server || stopped_.load()) {
        return kAudioObjectUnknown;
    }
    const AudioObjectID id = server->nextObjectIDLocked();
    globalIDs_[local] = id;
    server->objects_[id] = std::make_shared<PlugInObject>(*server, id, shared_from_this(), local,
                                                          kAudioObjectClassID, objectID_);
    return id;
}

void PlugInHost::translateAnswer(AudioObjectID local, AudioObjectPropertySelector selector, void* data,
                                 uint32_t size) {
    if (!isIDList(selector) || data == nullptr) {
        return;
    }
    auto server = server_.lock();
    if (!server) {
        return;
    }
    std::lock_guard lock(server->modelMutex_);
    auto* ids = static_cast<AudioObjectID*>(data);
    for (uint32_t i = 0; i < size / sizeof(AudioObjectID); ++i) {
        // The plug-in object belongs to the system object in the server's tree.
        ids[i] = local == kDriverPlugInObject && selector == kAudioObjectPropertyOwner
                     ? AudioObjectID{kAudioObjectSystemObject}
                     : globalIDLocked(ids[i]);
    }
}

bool PlugInHost::readIDs(AudioObjectID local, AudioObjectPropertyAddress a,
                         std::vector<AudioObjectID>& out) const {
    out.clear();
    uint32_t size = 0;
    if (table().GetPropertyDataSize(driver_, local, 0, &a, 0, nullptr, &size) != kAudioHardwareNoError) {
        return false;
    }
    out.resize(size / sizeof(AudioObjectID));
    if (!out.empty() && table().GetPropertyData(driver_, local, 0, &a, 0, nullptr, size, &size, out.data()) !=
                            kAudioHardwareNoError) {
        out.clear();
        return false;
    }
    out.resize(std::min<size_t>(out.size(), size / sizeof(AudioObjectID)));
    return true;
}

// ---- The device list ----

bool PlugInHost::describeDevice(AudioObjectID local, DeviceDescription& out) const {
    out.uid = readString(*this, local, address(kAudioDevicePropertyDeviceUID));
    if (out.uid.empty() || !PlugInDevice::readLayout(*this, local, out.layout)) {
        return false;
    }
    readIDs(local, address(kAudioObjectPropertyOwnedObjects), out.owned);
    for (AudioObjectID object : out.owned) {
        AudioClassID cls = kAudioObjectClassID;
        readValue(object, address(kAudioObjectPropertyClass), &cls);
        out.classes[object] = cls;
        if (cls != kVolumeControlClass && cls != kMuteControlClass) {
            continue;
        }
        // The device's own volume and mute are the controls of the output scope's main element.
        AudioObjectPropertyScope scope = 0;
        AudioObjectPropertyElement element = 1;
        if (readValue(object, address(kControlScope), &scope) &&
            readValue(object, address(kControlElement), &element) &&
            scope == kAudioObjectPropertyScopeOutput && element == kAudioObjectPropertyElementMain) {
            (cls == kVolumeControlClass ? out.volume : out.mute) = object;
        }
    }
    return true;
}

// Reads the driver's device list and makes the server's match it: new devices (with their streams and
// controls) get objects and join the system's list, departed ones leave it and stop their IO.
void PlugInHost::syncDevices(PropertyChanges& changes) {
    auto server = server_.lock();
    if (!server || stopped_.load()) {
        return;
    }
    std::vector<AudioObjectID> locals;
    readIDs(kDriverPlugInObject, address(kAudioHardwarePropertyDevices), locals);
    std::set<AudioObjectID> known;
    {
        std::lock_guard lock(server->modelMutex_);
        for (const auto& [local, device] : devices_) {
            known.insert(local);
        }
    }
    std::vector<std::pair<AudioObjectID, DeviceDescription>> added;
    for (AudioObjectID local : locals) {
        DeviceDescription description;
        if (known.count(local) == 0 && describeDevice(local, description)) {
            added.emplace_back(local, std::move(description));
        }
    }

    std::vector<std::shared_ptr<PlugInDevice>> removed;
    {
        std::lock_guard lock(server->modelMutex_);
        if (!server->running_) {
            return;
        }
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (std::find(locals.begin(), locals.end(), it->first) != locals.end()) {
                ++it;
                continue;
            }
            const AudioObjectID id = it->second->objectID();
            for (auto g = globalIDs_.begin(); g != globalIDs_.end();) {
                auto object = server->objects_.find(g->second);
                const bool ownedByDevice =
                    g->second == id || object == server->objects_.end() || object->second->owner() == id;
                if (ownedByDevice) {
                    server->objects_.erase(g->second);
                    g = globalIDs_.erase(g);
                } else {
                    ++g;
                }
            }
            std::erase_if(controls_, [id](const auto& c) { return c.second.first == id; });
            std::erase(server->deviceOrder_, id);
            changes.push_back({id, address(kAudioDevicePropertyDeviceIsAlive)});
            server->replaceDefaultsAfterRemovalLocked(id, changes);
            server->departLocked(id, it->second->io());
            removed.push_back(it->second);
            it = devices_.erase(it);
        }
        for (auto& [local, d] : added) {
            const AudioObjectID id = server->nextObjectIDLocked();
            globalIDs_[local] = id;
            auto device = std::make_shared<PlugInDevice>(*server, id, shared_from_this(), local, d.uid,
                                                         d.volume, d.mute, d.layout);
            server->objects_[id] = device;
            for (AudioObjectID object : d.owned) {
                if (globalIDs_.count(object) != 0) {
                    continue;
                }
                const AudioObjectID objectID = server->nextObjectIDLocked();
                globalIDs_[object] = objectID;
                server->objects_[objectID] = std::make_shared<PlugInObject>(
                    *server, objectID, shared_from_this(), object, d.classes[object], id);
            }
            if (d.volume != kAudioObjectUnknown) {
                controls_[d.volume] = {id, false};
            }
            if (d.mute != kAudioObjectUnknown) {
                controls_[d.mute] = {id, true};
            }
            devices_[local] = device;
            server->deviceOrder_.push_back(id);
        }
    }
    for (const auto& device : removed) {
        device->io()->shutDown(); // waits for a running cycle: outside the model lock
    }
    if (!added.empty() || !removed.empty()) {
        changes.push_back({kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices)});
        changes.push_back({kAudioObjectSystemObject, address(kAudioObjectPropertyOwnedObjects)});
    }
}

// ---- Notices ----

void PlugInHost::propertiesChanged(AudioObjectID local, uint32_t count,
                                   const AudioObjectPropertyAddress* addresses) {
    if (stopped_.load()) {
        return;
    }
    {
        std::lock_guard lock(noticeMutex_);
        notices_.push_back({local, std::vector<AudioObjectPropertyAddress>(addresses, addresses + count)});
    }
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->deliverNotices();
        }
    });
}

void PlugInHost::deliverNotices() {
    std::vector<Notice> notices;
    {
        std::lock_guard lock(noticeMutex_);
        notices.swap(notices_);
    }
    auto server = server_.lock();
    if (!server || stopped_.load() || notices.empty()) {
        return;
    }
    PropertyChanges changes;
    for (const auto& notice : notices) {
        const bool deviceList =
            notice.local == kDriverPlugInObject &&
            std::any_of(notice.addresses.begin(), notice.addresses.end(), [](const auto& a) {
                return a.mSelector == kAudioHardwarePropertyDevices ||
                       a.mSelector == kAudioObjectPropertyOwnedObjects;
            });
        if (deviceList) {
            syncDevices(changes);
        }
        std::lock_guard lock(server->modelMutex_);
        auto found = globalIDs_.find(notice.local);
        if (found == globalIDs_.end()) {
            continue; // an object the server never published
        }
        auto control = controls_.find(notice.local);
        for (const auto& a : notice.addresses) {
            changes.push_back({found->second, a});
            if (control == controls_.end()) {
                continue;
            }
            // A control's value is also its device's output-scope 'volm' or 'mute'.
            const auto [device, isMute] = control->second;
            const bool valueChanged =
                isMute ? a.mSelector == kControlBooleanValue
                       : a.mSelector == kControlScalarValue || a.mSelector == kControlDecibelValue;
            if (valueChanged) {
                changes.push_back(
                    {device, address(isMute ? TD_FOURCC('m', 'u', 't', 'e') : TD_FOURCC('v', 'o', 'l', 'm'),
                                     kAudioObjectPropertyScopeOutput)});
            }
        }
    }
    // One notification per property, however often the driver repeated it.
    PropertyChanges unique;
    for (const auto& c : changes) {
        if (std::none_of(unique.begin(), unique.end(), [&](const PropertyChange& u) {
                return u.objectID == c.objectID && u.address.mSelector == c.address.mSelector &&
                       u.address.mScope == c.address.mScope && u.address.mElement == c.address.mElement;
            })) {
            unique.push_back(c);
        }
    }
    server->announce(unique);
}

// ---- Configuration changes ----

void PlugInHost::requestConfigurationChange(AudioObjectID local, uint64_t action, void* info) {
    if (stopped_.load()) {
        return;
    }
    queue_->async([weak = weak_from_this(), local, action, info] {
        if (auto self = weak.lock()) {
            self->performConfigurationChange(local, action, info);
        }
    });
}

void PlugInHost::performConfigurationChange(AudioObjectID local, uint64_t action, void* info) {
    auto server = server_.lock();
    if (!server || stopped_.load()) {
        return;
    }
    std::shared_ptr<PlugInDevice> device;
    {
        std::lock_guard lock(server->modelMutex_);
        if (auto found = devices_.find(local); found != devices_.end()) {
            device = found->second;
        }
    }
    if (!device) {
        // A device the server does not publish has no IO of ours to pause.
        table().PerformDeviceConfigurationChange(driver_, local, action, info);
        return;
    }
    OSStatus status = kAudioHardwareNoError;
    device->io()->withIOPaused([&] {
        status = table().PerformDeviceConfigurationChange(driver_, local, action, info);
        device->reloadLayoutWhilePaused();
    });
    if (status != kAudioHardwareNoError) {
        spdlog::warn("Audio server: plug-in {} refused its own configuration change {} on device {} ({})",
                     bundleID_, action, local, status);
    }
    const AudioObjectID id = device->objectID();
    PropertyChanges changes{
        {id, address(kAudioDevicePropertyNominalSampleRate)},
        {id, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput)},
        {id, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput)},
        {id, address(kAudioDevicePropertyStreams)},
        {id, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput)},
        {id, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput)},
    };
    const auto layout = device->layout();
    {
        std::lock_guard lock(server->modelMutex_);
        for (const auto* streams : {&layout.inputStreams, &layout.outputStreams}) {
            for (AudioObjectID stream : *streams) {
                const AudioObjectID streamID = globalIDLocked(stream);
                changes.push_back({streamID, address(kAudioStreamPropertyVirtualFormat)});
                changes.push_back({streamID, address(kAudioStreamPropertyPhysicalFormat)});
            }
        }
    }
    server->announce(changes);
}
