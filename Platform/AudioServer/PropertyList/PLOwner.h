// Owns one reference to a property-list value for C++ callers: copies retain, destruction releases, so a
// value held by queued work or a failing path is released however that work ends.
#pragma once

#include <utility>

#include "Platform/AudioServer/PropertyList/PropertyList.h"

class PLOwner {
public:
    PLOwner() = default;
    // Takes over a +1 reference (from a Create or Copy function).
    static PLOwner adopt(PLRef owned) { return PLOwner(owned); }
    // Adds a reference of its own to a borrowed value.
    static PLOwner retain(PLRef borrowed) { return PLOwner(PLRetain(borrowed)); }

    PLOwner(const PLOwner& other)
        : value_(PLRetain(other.value_)) {}
    PLOwner(PLOwner&& other) noexcept
        : value_(std::exchange(other.value_, nullptr)) {}
    PLOwner& operator=(PLOwner other) noexcept {
        std::swap(value_, other.value_);
        return *this;
    }
    ~PLOwner() { PLRelease(value_); }

    PLRef get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

private:
    explicit PLOwner(PLRef value)
        : value_(value) {}
    PLRef value_ = nullptr;
};
