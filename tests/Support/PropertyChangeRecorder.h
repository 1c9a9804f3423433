// Records what the emulated audio server announces to listeners on chosen objects, and waits until a
// given change was heard; shared by the server's and the application's tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/AudioServer/AudioServerClient.h"
#include "Support/Polling.h"

class PropertyChangeRecorder {
public:
    void listen(AudioObjectID object, AudioObjectPropertyAddress address) {
        AudioObjectPropertyListenerToken token = 0;
        ASSERT_EQ(AudioObjectAddPropertyListener(
                      object, &address, DispatchQueue::serial("recorder"),
                      [this, object](uint32_t n, const AudioObjectPropertyAddress* a) {
                          std::lock_guard lock(mutex_);
                          for (uint32_t i = 0; i < n; ++i) {
                              heard_.emplace_back(object, a[i]);
                          }
                      },
                      &token),
                  0);
    }

    // Whether a change of that selector in that scope was announced on the object within 3 s.
    bool saw(AudioObjectID object, AudioObjectPropertySelector selector,
             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
        return Polling::waitFor(
            [&] {
                std::lock_guard lock(mutex_);
                return std::any_of(heard_.begin(), heard_.end(), [&](const auto& h) {
                    return h.first == object && h.second.mSelector == selector && h.second.mScope == scope;
                });
            },
            std::chrono::seconds(3), std::chrono::milliseconds(2));
    }
    bool saw(AudioObjectID object, AudioObjectPropertyAddress address) {
        return saw(object, address.mSelector, address.mScope);
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<AudioObjectID, AudioObjectPropertyAddress>> heard_;
};
