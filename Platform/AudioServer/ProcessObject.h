// A client process of the emulated server as a process object: its pid, bundle id and whether it is
// playing audio. Created by the server's test hooks; state guarded by the server's model lock.
#pragma once

#include "Platform/AudioServer/AudioObject.h"
#include "Platform/AudioServer/AudioServer.h"

class ProcessObject final : public BuiltInObject {
public:
    ProcessObject(AudioServer& server, AudioObjectID id, ProcessSpec record);

    const ProcessSpec& specLocked() const { return spec_; }
    // Returns false when nothing changed.
    bool setRunningOutputLocked(bool running);
    // What process taps hear from it while it runs output, on both channels.
    const InputSignal::Tone& toneLocked() const { return tone_; }
    void setToneLocked(InputSignal::Tone tone) { tone_ = tone; }

protected:
    PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const override;

private:
    ProcessSpec spec_;
    InputSignal::Tone tone_;
};
