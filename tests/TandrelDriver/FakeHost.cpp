#include "TandrelDriver/FakeHost.h"

#include <algorithm>

namespace tandrel::driver::test {

FakeHost::FakeHost()
    : entry_{
          {propertiesChanged, copyFromStorage, writeToStorage, deleteFromStorage, requestConfigurationChange},
          this} {}

FakeHost& FakeHost::self(AudioServerPlugInHostRef host) {
    return *reinterpret_cast<const Entry*>(host)->owner;
}

void FakeHost::store(const std::string& key, Ref value) {
    std::lock_guard guard(mutex_);
    storage_[key] = std::move(value);
}

Ref FakeHost::stored(const std::string& key) const {
    std::lock_guard guard(mutex_);
    auto it = storage_.find(key);
    return it == storage_.end() ? Ref() : it->second;
}

std::vector<Notification> FakeHost::notifications() const {
    std::lock_guard guard(mutex_);
    return notifications_;
}

std::vector<ConfigurationRequest> FakeHost::configurationRequests() const {
    std::lock_guard guard(mutex_);
    return requests_;
}

std::vector<StorageWrite> FakeHost::writes() const {
    std::lock_guard guard(mutex_);
    return writes_;
}

size_t FakeHost::writeCount(const std::string& key) const {
    std::lock_guard guard(mutex_);
    return std::count_if(writes_.begin(), writes_.end(), [&](const StorageWrite& w) { return w.key == key; });
}

void FakeHost::clearRecords() {
    std::lock_guard guard(mutex_);
    notifications_.clear();
    requests_.clear();
    writes_.clear();
}

OSStatus FakeHost::propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, uint32_t count,
                                     const AudioObjectPropertyAddress* addresses) {
    Notification n{objectID, {}};
    for (uint32_t i = 0; i < count; ++i) {
        n.selectors.push_back(addresses[i].mSelector);
    }
    FakeHost& h = self(host);
    std::lock_guard guard(h.mutex_);
    h.notifications_.push_back(std::move(n));
    return kAudioHardwareNoError;
}

OSStatus FakeHost::copyFromStorage(AudioServerPlugInHostRef host, const char* key, PLRef* out) {
    FakeHost& h = self(host);
    std::lock_guard guard(h.mutex_);
    auto it = h.storage_.find(key);
    *out = it == h.storage_.end() ? nullptr : PLRetain(it->second.get());
    return kAudioHardwareNoError;
}

OSStatus FakeHost::writeToStorage(AudioServerPlugInHostRef host, const char* key, PLRef data) {
    FakeHost& h = self(host);
    std::lock_guard guard(h.mutex_);
    h.storage_[key] = Ref::retain(data);
    h.writes_.push_back({key, Ref::retain(data)});
    return kAudioHardwareNoError;
}

OSStatus FakeHost::deleteFromStorage(AudioServerPlugInHostRef host, const char* key) {
    FakeHost& h = self(host);
    std::lock_guard guard(h.mutex_);
    h.storage_.erase(key);
    return kAudioHardwareNoError;
}

OSStatus FakeHost::requestConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                              uint64_t action, void*) {
    FakeHost& h = self(host);
    std::lock_guard guard(h.mutex_);
    h.requests_.push_back({deviceID, action});
    return kAudioHardwareNoError;
}

} // namespace tandrel::driver::test
