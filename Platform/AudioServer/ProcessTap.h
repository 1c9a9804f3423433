// Process taps of the emulated audio server: the description a client builds (CATapDescription), the
// tap object the server keeps for it, and the client calls that create and destroy taps. The process
// tap source makes one per capture; the server plays the mix of the tapped processes into the input of
// the aggregate device that holds the tap (AggregateDevice.h).
//
// A tap object answers 'tuid' (its description's UUID text), 'lnam' (its name), 'tfmt' (float32 stereo
// at the default system output's rate, 40 bytes) and takes 'tdsc' (8 bytes: a `const
// CATapDescription*`), whose processes the mix follows from the next IO cycle on. The server copies the
// description it is given; the caller keeps its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/CoreAudioTypes.h"

enum class CATapMuteBehavior : uint32_t {
    unmuted = 0,         // the tapped processes still play on their usual output
    muted = 1,           // they are silenced there
    mutedWhenTapped = 2, // they are silenced while a client reads the tap
};

class CATapDescription {
public:
    // A stereo mix-down of exactly these process objects.
    static CATapDescription stereoMixdownOfProcesses(std::vector<AudioObjectID> processes);
    // A stereo mix of every process object except these.
    static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes);

    // True for a global tap: `processes` are the ones left out.
    bool isExclusive() const { return exclusive_; }
    const std::vector<AudioObjectID>& processes() const { return processes_; }
    void setProcesses(std::vector<AudioObjectID> processes) { processes_ = std::move(processes); }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    bool isPrivate() const { return private_; }
    void setPrivate(bool isPrivate) { private_ = isPrivate; }
    CATapMuteBehavior muteBehavior() const { return muteBehavior_; }
    void setMuteBehavior(CATapMuteBehavior behavior) { muteBehavior_ = behavior; }
    // A new random UUID per description, in the upper-case hyphenated text form; aggregate devices
    // name their tap by it.
    const std::string& uuid() const { return uuid_; }

private:
    friend class TapObject; // keeps its own UUID when a description is written to it
    CATapDescription(bool exclusive, std::vector<AudioObjectID> processes);

    bool exclusive_;
    std::vector<AudioObjectID> processes_;
    std::string name_;
    bool private_ = false;
    CATapMuteBehavior muteBehavior_ = CATapMuteBehavior::unmuted;
    std::string uuid_;
};

// Creates a tap from a copy of the description; a UUID already in use answers 'nope'.
OSStatus AudioHardwareCreateProcessTap(const CATapDescription* description, AudioObjectID* outTapID);
// Destroys a tap; aggregate devices that hold it fall silent. An object that is no tap answers '!obj'.
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID);

// The server's object for one tap; state guarded by the server's model lock.
class TapObject final : public BuiltInObject {
public:
    TapObject(AudioServer& server, AudioObjectID id, CATapDescription description);

    const CATapDescription& descriptionLocked() const { return description_; }

protected:
    PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const override;
    bool settable(const AudioObjectPropertyAddress& address) const override;
    OSStatus write(const AudioObjectPropertyAddress& address, Qualifier qualifier, PropertyData data,
                   PropertyChanges& changes) override;

private:
    CATapDescription description_;
};
