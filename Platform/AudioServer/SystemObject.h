// The system object (id 1): the device and process lists, the default devices and the translations
// from process ids, UIDs and bundle ids to objects. Owned by the AudioServer.
#pragma once

#include "Platform/AudioServer/AudioObject.h"

class SystemObject final : public BuiltInObject {
public:
    explicit SystemObject(AudioServer& server);

    std::vector<AudioObjectID> ownedObjects() const override;

protected:
    PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const override;
    bool settable(const AudioObjectPropertyAddress& address) const override;
    OSStatus write(const AudioObjectPropertyAddress& address, Qualifier qualifier, PropertyData data,
                   PropertyChanges& changes) override;
};
