// A recording stand-in for the audio server's side of the plug-in contract: it keeps storage in memory
// and records every notification, storage write and configuration-change request the driver makes.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioServerPlugIn.h"
#include "TandrelDriver/PlugInTestSupport.h"

namespace tandrel::driver::test {

struct Notification {
    AudioObjectID objectID;
    std::vector<uint32_t> selectors;
    bool operator==(const Notification&) const = default;
};

struct ConfigurationRequest {
    AudioObjectID deviceID;
    uint64_t action;
    bool operator==(const ConfigurationRequest&) const = default;
};

struct StorageWrite {
    std::string key;
    Ref value;
};

class FakeHost {
public:
    FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    AudioServerPlugInHostRef ref() const { return &entry_.table; }

    // Storage as a restarted server would find it.
    void store(const std::string& key, Ref value);
    Ref stored(const std::string& key) const;

    std::vector<Notification> notifications() const;
    std::vector<ConfigurationRequest> configurationRequests() const;
    std::vector<StorageWrite> writes() const;
    size_t writeCount(const std::string& key) const;
    void clearRecords();

private:
    static FakeHost& self(AudioServerPlugInHostRef host);
    static OSStatus propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, uint32_t count,
                                      const AudioObjectPropertyAddress* addresses);
    static OSStatus copyFromStorage(AudioServerPlugInHostRef host, const char* key, PLRef* out);
    static OSStatus writeToStorage(AudioServerPlugInHostRef host, const char* key, PLRef data);
    static OSStatus deleteFromStorage(AudioServerPlugInHostRef host, const char* key);
    static OSStatus requestConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                               uint64_t action, void* info);

    // The table is the first member, so a host reference converts back to its entry.
    struct Entry {
        AudioServerPlugInHostInterface table;
        FakeHost* owner;
    };
    Entry entry_;
    mutable std::mutex mutex_;
    std::map<std::string, Ref> storage_;
    std::vector<Notification> notifications_;
    std::vector<ConfigurationRequest> requests_;
    std::vector<StorageWrite> writes_;
};

} // namespace tandrel::driver::test
