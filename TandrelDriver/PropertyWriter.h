// The output cursor that every property getter of the driver writes through: it carries the caller's
// buffer and capacity in and the reported size out, and holds the size rules in one place.
#pragma once

#include <algorithm>
#include <cstring>

#include "Platform/AudioServer/AudioServerPlugIn.h"

namespace tandrel::driver {

struct PropertyWriter {
    uint32_t capacity = 0;
    // Null makes the call a size query: nothing is stored and written is the property's full size.
    void* buffer = nullptr;
    uint32_t written = 0;

    static PropertyWriter sizeQuery() { return {}; }
    bool isSizeQuery() const { return buffer == nullptr; }

    // A fixed-size value; a buffer shorter than the value is '!siz'.
    template <typename T>
    OSStatus value(const T& v) {
        return bytes(&v, sizeof(T));
    }

    OSStatus bytes(const void* data, uint32_t size) {
        if (!isSizeQuery()) {
            if (capacity < size) {
                return kAudioHardwareBadPropertySizeError;
            }
            std::memcpy(buffer, data, size);
        }
        written = size;
        return kAudioHardwareNoError;
    }

    // As many whole items as the buffer holds; a short buffer is not an error.
    template <typename T>
    OSStatus partial(const T* items, size_t count) {
        size_t n = count;
        if (!isSizeQuery()) {
            n = std::min<size_t>(count, capacity / sizeof(T));
            if (n > 0) {
                std::memcpy(buffer, items, n * sizeof(T));
            }
        }
        written = static_cast<uint32_t>(n * sizeof(T));
        return kAudioHardwareNoError;
    }

    OSStatus empty() {
        written = 0;
        return kAudioHardwareNoError;
    }

    // A value whose layout the caller fills in place (fill receives a buffer of exactly size bytes).
    template <typename Fill>
    OSStatus fill(uint32_t size, Fill&& fillBuffer) {
        if (!isSizeQuery()) {
            if (capacity < size) {
                return kAudioHardwareBadPropertySizeError;
            }
            fillBuffer(buffer);
        }
        written = size;
        return kAudioHardwareNoError;
    }

    // Hands out a string: the caller of the property gets its own reference and releases it.
    OSStatus string(PLRef s) { return adopt(PLRetain(s)); }

    // Hands out a new string with the given text.
    OSStatus newString(const char* utf8) { return adopt(isSizeQuery() ? nullptr : PLStringCreate(utf8)); }

    // Hands out a +1 value the getter built for the caller. It is released again when it cannot be
    // handed out (size query, short buffer).
    OSStatus adopt(PLRef owned) {
        if (isSizeQuery() || capacity < sizeof(PLRef)) {
            PLRelease(owned);
            written = isSizeQuery() ? sizeof(PLRef) : 0;
            return isSizeQuery() ? kAudioHardwareNoError : kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(buffer, &owned, sizeof(PLRef));
        written = sizeof(PLRef);
        return kAudioHardwareNoError;
    }

    // The custom property list: a buffer too small for the one entry gets nothing, without an error.
    OSStatus customPropertyInfo(const AudioServerPlugInCustomPropertyInfo& info) {
        if (!isSizeQuery() && capacity < sizeof(info)) {
            written = 0;
            return kAudioHardwareNoError;
        }
        return value(info);
    }
};

} // namespace tandrel::driver
