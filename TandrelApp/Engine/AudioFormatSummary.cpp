#include "TandrelApp/Engine/AudioFormatSummary.h"

#include <cstdio>

std::string summary(const AudioStreamBasicDescription& format) {
    const bool isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    const bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    char text[128];
    std::snprintf(text, sizeof text, "%.0f Hz, %u ch, %s%u %s", format.mSampleRate, format.mChannelsPerFrame,
                  isFloat ? "Float" : "Int", format.mBitsPerChannel,
                  nonInterleaved ? "non-interleaved" : "interleaved");
    return text;
}
