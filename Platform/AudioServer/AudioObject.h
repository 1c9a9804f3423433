// The audio objects the emulated server publishes. AudioObject is the byte-level property interface the
// server routes every client call to (simulated hardware answers it here; objects of a loaded plug-in
// will answer it through the plug-in's interface table). BuiltInObject is the convenience base of the
// server's own objects: they describe each property as a PropertyValue under the server's model lock.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Platform/AudioServer/CoreAudioTypes.h"
#include "Platform/AudioServer/PropertyList/PropertyList.h"

class AudioServer;

// Property changes collected while the model lock is held and announced to listeners after it is
// released.
struct PropertyChange {
    AudioObjectID objectID;
    AudioObjectPropertyAddress address;
};
using PropertyChanges = std::vector<PropertyChange>;

constexpr AudioObjectPropertyAddress globalScopeAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// The format of the server's own streams and taps: float32, interleaved, packed.
constexpr AudioStreamBasicDescription interleavedFloatFormat(double sampleRate, uint32_t channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = sampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 4 * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4 * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

class AudioObject {
public:
    AudioObject(AudioServer& server, AudioObjectID id, AudioClassID classID, AudioClassID baseClassID,
                AudioObjectID owner)
        : server_(server)
        , id_(id)
        , classID_(classID)
        , baseClassID_(baseClassID)
        , owner_(owner) {}
    virtual ~AudioObject() = default;
    AudioObject(const AudioObject&) = delete;
    AudioObject& operator=(const AudioObject&) = delete;

    AudioObjectID objectID() const { return id_; }
    AudioClassID classID() const { return classID_; }
    AudioClassID baseClassID() const { return baseClassID_; }
    AudioObjectID owner() const { return owner_; }

    // Called by the server without any server lock held. `ioDataSize` holds the buffer's capacity on
    // entry and the bytes written on return.
    virtual bool hasProperty(const AudioObjectPropertyAddress& address) const = 0;
    virtual OSStatus isPropertySettable(const AudioObjectPropertyAddress& address,
                                        bool* outSettable) const = 0;
    virtual OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                         const void* qualifier, uint32_t* outDataSize) const = 0;
    virtual OSStatus getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                     const void* qualifier, uint32_t* ioDataSize, void* outData) const = 0;
    virtual OSStatus setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                     const void* qualifier, uint32_t dataSize, const void* data) = 0;

protected:
    AudioServer& server_;

private:
    const AudioObjectID id_;
    const AudioClassID classID_;
    const AudioClassID baseClassID_;
    const AudioObjectID owner_;
};

// One property's current value as bytes, or the status that answers instead. Arrays give their element
// size, so that a short buffer receives whole elements. A value that is one property-list reference
// owns it; every copy handed to a client is retained for that client.
class PropertyValue {
public:
    PropertyValue() = default;
    ~PropertyValue() { PLRelease(reference_); }
    PropertyValue(PropertyValue&& other) noexcept
        : status_(other.status_)
        , bytes_(std::move(other.bytes_))
        , elementSize_(other.elementSize_)
        , reference_(std::exchange(other.reference_, nullptr)) {}
    PropertyValue& operator=(PropertyValue&&) = delete;
    PropertyValue(const PropertyValue&) = delete;

    static PropertyValue error(OSStatus status) {
        PropertyValue v;
        v.status_ = status;
        return v;
    }
    template <typename T>
    static PropertyValue of(const T& value) {
        PropertyValue v;
        v.bytes_.resize(sizeof(T));
        std::memcpy(v.bytes_.data(), &value, sizeof(T));
        return v;
    }
    template <typename T>
    static PropertyValue array(const std::vector<T>& values) {
        PropertyValue v;
        v.elementSize_ = sizeof(T);
        v.bytes_.resize(values.size() * sizeof(T));
        if (!values.empty()) {
            std::memcpy(v.bytes_.data(), values.data(), v.bytes_.size());
        }
        return v;
    }
    static PropertyValue bytes(std::vector<std::byte> data) {
        PropertyValue v;
        v.bytes_ = std::move(data);
        return v;
    }
    // Takes over `owned` (which may be NULL: the property then answers a NULL reference).
    static PropertyValue reference(PLRef owned) {
        PropertyValue v = of(owned);
        v.reference_ = owned;
        return v;
    }
    static PropertyValue string(const std::string& text) { return reference(PLStringCreate(text.c_str())); }

    OSStatus status() const { return status_; }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    // Copies the value into a client's buffer by the server's size rules.
    OSStatus copyOut(uint32_t* ioDataSize, void* outData) const;

private:
    OSStatus status_ = kAudioHardwareNoError;
    std::vector<std::byte> bytes_;
    uint32_t elementSize_ = 0;
    PLRef reference_ = nullptr;
};

using Qualifier = std::span<const std::byte>;
using PropertyData = std::span<const std::byte>;

// Reads a fixed-size record from property data or a qualifier; false when the size is not exactly it.
template <typename T>
bool readExactly(std::span<const std::byte> bytes, T* out) {
    if (bytes.size() != sizeof(T)) {
        return false;
    }
    std::memcpy(out, bytes.data(), sizeof(T));
    return true;
}

class BuiltInObject : public AudioObject {
public:
    using AudioObject::AudioObject;

    bool hasProperty(const AudioObjectPropertyAddress& address) const final;
    OSStatus isPropertySettable(const AudioObjectPropertyAddress& address, bool* outSettable) const final;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                                 const void* qualifier, uint32_t* outDataSize) const final;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t* ioDataSize, void* outData) const final;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t dataSize, const void* data) final;

    // The objects this one owns (streams of a device, for example). Model lock held.
    virtual std::vector<AudioObjectID> ownedObjects() const { return {}; }

protected:
    // Model lock held. Answers the class, base class, owner and owned objects; subclasses answer the
    // rest and fall back to this.
    virtual PropertyValue read(const AudioObjectPropertyAddress& address, Qualifier qualifier) const;
    // Model lock held. Only called for addresses `settable` accepts; reports what changed.
    virtual bool settable(const AudioObjectPropertyAddress& /*address*/) const { return false; }
    virtual OSStatus write(const AudioObjectPropertyAddress& /*address*/, Qualifier /*qualifier*/,
                           PropertyData /*data*/, PropertyChanges& /*changes*/) {
        return kAudioHardwareIllegalOperationError;
    }

private:
    PropertyValue readLocked(const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier) const;
};
