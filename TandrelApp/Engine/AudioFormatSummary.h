// The short text that describes a stream format ("48000 Hz, 2 ch, Float32 interleaved"), shown in the
// capture sources' statistics.
#pragma once

#include <string>

#include "Platform/AudioServer/CoreAudioTypes.h"

std::string summary(const AudioStreamBasicDescription& format);
